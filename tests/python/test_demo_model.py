"""The trained demo model end to end: held-out accuracy floors through V2Engine, and logit
agreement between the PyTorch model (on the container's dequantised weights) and the engine.

The floors sit a little below what the model card records, so a regression in the engine
shows here; they are not targets.
"""
import json
import pathlib
import sys

import numpy as np
import pytest

ROOT = pathlib.Path(__file__).resolve().parents[2]
MODEL = ROOT / "models" / "demo-v2.trov"
CARD = ROOT / "models" / "demo-v2.json"
sys.path.insert(0, str(ROOT / "training"))

pytestmark = pytest.mark.skipif(not MODEL.exists(), reason="no trained demo model in models/")


@pytest.fixture(scope="module")
def engine():
    vorpel_rs = pytest.importorskip("vorpel_rs")
    return vorpel_rs.V2Engine.load(str(MODEL))


@pytest.fixture(scope="module")
def floors():
    return json.loads(CARD.read_text())["test_floors"]


@pytest.mark.parametrize("held_out_templates", [True, False], ids=["held_out_templates", "training_templates"])
def test_held_out_metrics_stay_above_their_floors(engine, floors, held_out_templates):
    import evaluate

    card = json.loads(CARD.read_text())
    limits = floors if held_out_templates else card["test_floors_training_templates"]
    metrics = evaluate.evaluate(engine, n=floors["examples"], seed=1234, held_out_templates=held_out_templates)
    low = {k: (metrics[k], v) for k, v in limits.items() if k in metrics and metrics[k] < v}
    assert not low, f"below floor (measured, floor): {low}"
    # Constrained decoding never names a tool outside the offered list.
    assert metrics["names_outside_offered_constrained"] == 0.0


def test_torch_model_and_engine_agree_on_held_out_prompts(engine, vorpel_cli):
    torch = pytest.importorskip("torch")
    import export
    import subprocess

    import task
    import train

    data = MODEL.read_bytes()
    model = export.model_from_container(data)
    bos = export.tokenizer_ids(data)["bos_id"]
    enc_ids = []
    for ex in task.TaskGenerator("test", 99).examples(3):
        prompt = train.build_prompt(ex.query, ex.tools_json)
        out = subprocess.run([str(vorpel_cli), "tokenize", str(MODEL), "--text-file", "/dev/stdin"],
                             input=prompt.encode(), capture_output=True, check=True)
        ids = [bos] + json.loads(out.stdout)
        enc_ids.append(ids[:200])
    for ids in enc_ids:
        out = subprocess.run([str(vorpel_cli), "logits", str(MODEL), "--tokens", ",".join(map(str, ids)),
                              "--mode", "prefill"], capture_output=True, check=True)
        got = np.asarray(json.loads(out.stdout), dtype=np.float64)
        with torch.no_grad():
            want = model(torch.tensor([ids]))[0, -1].double().numpy()
        bound = 2e-4 * max(1.0, np.abs(want).max())
        assert np.abs(got - want).max() <= bound
