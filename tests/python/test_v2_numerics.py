"""Second-generation engine logits against the numpy reference, on random models.

Tolerance. The reference evaluates the same dequantised weights in float64;
the engine works in float32 with its own summation order (rotated-domain CQ
products, SIMD partial sums). Each product or norm then carries a relative
error of a few float32 ulps times sqrt(fan-in), about 1e-6 here, and the
normalisations in every block keep it from growing across layers. So a bound
of 1e-4 * max(1, max |logit|) per position leaves a margin of ~100x, while a
wrong index (a neighbouring cache slot, the wrong RoPE pair, a swapped lane,
an off-by-one window or hash) moves logits by O(0.1..1) at that scale.
"""
import json
import os
import subprocess
import tempfile

import numpy as np
import pytest

from reference.v2 import V2Reference
from vorpel_writer.v2 import random_v2_container

REL_TOL = 1e-4


@pytest.fixture(scope="module")
def logits_cli(vorpel_cli):
    out = subprocess.run([str(vorpel_cli), "--help"], capture_output=True, text=True)
    listed = [ln.split()[0] for ln in (out.stdout + out.stderr).splitlines()
              if ln.startswith("  ") and ln.split()]
    if "logits" not in listed:
        pytest.skip("the CLI has no 'logits' command yet")
    return vorpel_cli


def run_logits(cli, path, tokens, mode, all_positions):
    cmd = [str(cli), "logits", str(path), "--tokens", ",".join(str(int(t)) for t in tokens),
           "--mode", mode]
    if all_positions:
        cmd.append("--all")
    out = subprocess.run(cmd, capture_output=True, text=True, timeout=120)
    assert out.returncode == 0, f"{' '.join(cmd[:3])} failed ({out.returncode}): {out.stderr}"
    return np.asarray(json.loads(out.stdout), dtype=np.float64)


def assert_close(got, want, what):
    got, want = np.atleast_2d(got), np.atleast_2d(want)
    assert got.shape == want.shape, f"{what}: shape {got.shape} vs {want.shape}"
    bound = REL_TOL * np.maximum(1.0, np.abs(want).max(axis=1))
    err = np.abs(got - want).max(axis=1)
    bad = np.nonzero(err > bound)[0]
    if bad.size:
        p = int(bad[0])
        j = int(np.argmax(np.abs(got[p] - want[p])))
        pytest.fail(f"{what}: position {p} logit {j}: engine {got[p, j]!r} reference "
                    f"{want[p, j]!r}, |diff| {err[p]:.3g} > bound {bound[p]:.3g} "
                    f"({bad.size} of {len(err)} positions off)")


# (seed, pinned features, sequence length). Lengths beyond 128 span two or
# three prefill chunks; small windows make the ring wrap many times.
CASES = [
    (1, dict(lanes=1, engram=False, kv_window=0), 40),
    (2, dict(lanes=4, engram=True, kv_window=3), 150),
    (3, dict(lanes=2, engram=True, kv_window=0, bits="ternary"), 129),
    (4, dict(lanes=3, engram=True, kv_window=17, bits=3, float_dtype="f16"), 200),
    (5, dict(lanes=4, engram=True, kv_window=0, bits=2, heads=True, tokenizer=True), 128),
    (6, dict(engram=True, kv_window=130), 260),
    (7, dict(lanes=2, engram=True, kv_window=1), 70),
    (8, dict(), 140),
    (9, dict(), 90),
    (10, dict(engram=True, kv_window=512, max_seq_len=300), 300),
]


@pytest.mark.parametrize("seed,features,length", CASES,
                         ids=[f"seed{c[0]}-len{c[2]}" for c in CASES])
def test_step_and_prefill_match_reference(logits_cli, seed, features, length):
    model = random_v2_container(seed, **features)
    g = model.geom
    length = min(length, g.max_seq_len)
    tokens = np.random.default_rng(1000 + seed).integers(0, g.vocab, length)
    what = f"seed {seed} {features} len {length} geometry {g}"
    ref = V2Reference.from_bytes(model.data).logits_for(tokens)
    with tempfile.TemporaryDirectory() as tmp:
        path = os.path.join(tmp, "model.trov")
        with open(path, "wb") as f:
            f.write(model.data)
        step = run_logits(logits_cli, path, tokens, "step", True)
        assert_close(step, ref, "step " + what)
        prefill = run_logits(logits_cli, path, tokens, "prefill", False)
        assert_close(prefill, ref[-1], "prefill " + what)
        assert_close(prefill, step[-1], "prefill vs step " + what)
        # A prefix ending inside the first chunk, read the same two ways.
        cut = max(1, length // 3)
        assert_close(run_logits(logits_cli, path, tokens[:cut], "prefill", False), ref[cut - 1],
                     f"prefill of {cut} " + what)
