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
import math
import os
import subprocess
import tempfile

import numpy as np
import pytest

from helpers import assert_rows_close, require_commands, run_logits
from reference.v2 import V2Reference
from vorpel_writer.v2 import BOS_ID, random_v2_container

REL_TOL = 1e-4


@pytest.fixture(scope="module")
def logits_cli(vorpel_cli):
    require_commands(vorpel_cli, "logits")
    return vorpel_cli


def assert_close(got, want, what):
    assert_rows_close(got, want, REL_TOL, what)


def _write(tmp, name, data):
    path = os.path.join(tmp, name)
    with open(path, "wb") as f:
        f.write(data)
    return path


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
    # Degenerate engram rings: no taps at all, or every tap on the current slot.
    (11, dict(engram=True, overrides=dict(conv_taps=0)), 50),
    (12, dict(engram=True, overrides=dict(tap_stride=0, table_rows=1)), 60),
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
        path = _write(tmp, "model.trov", model.data)
        step = run_logits(logits_cli, path, tokens, "step", True)
        assert_close(step, ref, "step " + what)
        prefill = run_logits(logits_cli, path, tokens, "prefill", False)
        assert_close(prefill, ref[-1], "prefill " + what)
        assert_close(prefill, step[-1], "prefill vs step " + what)
        # A prefix ending inside the first chunk, read the same two ways.
        cut = max(1, length // 3)
        assert_close(run_logits(logits_cli, path, tokens[:cut], "prefill", False), ref[cut - 1],
                     f"prefill of {cut} " + what)


# ---------------------------------------------------------------- heads and generation
# These go through the engine's own tokenizer (`vorpel tokenize`) to turn text
# into ids; the reference then works on those ids only.

def _cli_json(cli, *args):
    out = subprocess.run([str(cli), *map(str, args)], capture_output=True, text=True, timeout=120)
    assert out.returncode == 0, f"vorpel {args[0]} failed ({out.returncode}): {out.stderr}"
    return json.loads(out.stdout)


def _encode(cli, path, text, tmp):
    tf = _write(tmp, "text.txt", text.encode("utf-8"))
    return [int(t) for t in _cli_json(cli, "tokenize", path, "--text-file", tf)]


def _prompt(cli, query, tools_file):
    return subprocess.run([str(cli), "prompt", "--query", query, "--tools-file", tools_file],
                          capture_output=True, text=True, check=True).stdout


HEAD_TEXTS = ["", "get the weather in Paris", "hello world " * 12,
              'call {"name": "send_email"} now \u00e9\u4e2d']


@pytest.mark.parametrize("seed,features", [(31, {}), (32, dict(engram=True, lanes=4)),
                                           (33, dict(max_seq_len=40))])  # texts cut at 40
def test_head_scores_match_reference(vorpel_cli, seed, features):
    require_commands(vorpel_cli, "score", "tokenize")
    model = random_v2_container(seed, heads=[(2, 2, 1), (1, 3, 7)], tokenizer=True, **features)
    ref = V2Reference.from_bytes(model.data)
    with tempfile.TemporaryDirectory() as tmp:
        path = _write(tmp, "model.trov", model.data)
        for text in HEAD_TEXTS:
            what = f"seed {seed} text {text!r}"
            ids = [BOS_ID] + _encode(vorpel_cli, path, text, tmp)
            got = _cli_json(vorpel_cli, "score", path, "--text", text)
            conf = ref.pool_head(ids, 2)
            emb = ref.pool_head(ids, 1)
            assert got["contrastive_dim"] == 7, what
            assert_close(np.array([got["confidence"]]), conf[:1], "confidence " + what)
            assert_close(np.array(got["contrastive"]), emb, "contrastive " + what)


TOOLS = ('[{"name": "get_weather", "description": "Weather for a city", '
         '"parameters": {"city": {"type": "string"}}}]')
GEN_CASES = [
    # seed, container features, max_new_tokens, temperature, sampling seed
    (41, dict(), 24, 0.0, 0),
    (42, dict(engram=True, kv_window=6), 24, 2.5, 7),
    (43, dict(lanes=3), 20, 4.0, 0),
    (44, dict(max_seq_len=48, kv_window=0), 128, 0.0, 0),   # context fills up
]


@pytest.mark.parametrize("seed,features,max_new,temperature,sample_seed", GEN_CASES,
                         ids=[f"seed{c[0]}" for c in GEN_CASES])
def test_generation_matches_reference(vorpel_cli, seed, features, max_new, temperature,
                                      sample_seed):
    require_commands(vorpel_cli, "run", "prompt", "tokenize")
    from reference.v2 import generate
    from vorpel_writer.v2 import EOS_ID, demo_tokenizer_pieces

    model = random_v2_container(seed, tokenizer=True, **features)
    ref = V2Reference.from_bytes(model.data)
    with tempfile.TemporaryDirectory() as tmp:
        path = _write(tmp, "model.trov", model.data)
        tools = _write(tmp, "tools.json", TOOLS.encode())
        query = "What is the weather in Paris?"
        prompt = _prompt(vorpel_cli, query, tools)
        ids = [BOS_ID] + _encode(vorpel_cli, path, prompt, tmp)
        im_end = [t for t, _, _ in demo_tokenizer_pieces(model.geom.vocab)].index("<|im_end|>")
        want, reason, n_prompt = generate(ref, ids, max_new, temperature, sample_seed,
                                          eos_id=EOS_ID, im_end_id=im_end)
        got = _cli_json(vorpel_cli, "run", path, "--query", query, "--tools-file", tools,
                        "--max-new-tokens", max_new, "--temperature", temperature,
                        "--seed", sample_seed)
        what = f"seed {seed} {features} T={temperature} sample seed {sample_seed}"
        assert got["prompt_tokens"] == n_prompt, what
        assert got["token_ids"] == want, what
        assert got["stop_reason"] == reason, what


def test_module_ranking_and_confidence_for_match_reference(vorpel_cli):
    """retrieve_tools (cosine ranking, stable on ties) and confidence_for through the module."""
    require_commands(vorpel_cli, "tokenize", "prompt")
    vorpel_rs = pytest.importorskip("vorpel_rs")
    model = random_v2_container(51, heads=[(1, 2, 9), (2, 1, 1)], tokenizer=True, engram=True)
    ref = V2Reference.from_bytes(model.data)
    engine = vorpel_rs.V2Engine.from_bytes(model.data)
    query = "send an email to Paris"
    descriptions = ["Weather for a city", "Send an email message", "", "Weather for a city",
                    "List the files in a folder", "Read the date today"]
    with tempfile.TemporaryDirectory() as tmp:
        path = _write(tmp, "model.trov", model.data)

        def unit(text):
            return ref.pool_head([BOS_ID] + _encode(vorpel_cli, path, text, tmp), 1)

        q = unit(query)
        sims = np.array([float(unit(d) @ q) for d in descriptions])
        ranked = engine.retrieve_tools(query, descriptions, 10)
        assert sorted(i for i, _ in ranked) == list(range(len(descriptions)))
        got_sims = np.array([s for _, s in ranked])
        assert np.all(np.diff(got_sims) <= 0), ranked
        want_sorted = np.sort(sims)[::-1]
        assert_close(got_sims, want_sorted, "ranked similarities")
        for i, s in ranked:
            assert abs(s - sims[i]) <= REL_TOL, (i, s, sims[i])
        # Identical descriptions tie exactly and keep list order.
        order = [i for i, _ in ranked]
        assert order.index(0) < order.index(3)
        assert [i for i, _ in engine.retrieve_tools(query, descriptions, 2)] == order[:2]

        completion = '<tool_call>{"name": "get_weather", "arguments": {"city": "Paris"}}</tool_call>'
        prompt = _prompt(vorpel_cli, query, _write(tmp, "tools.json", TOOLS.encode()))
        logit = ref.pool_head([BOS_ID] + _encode(vorpel_cli, path, prompt + completion, tmp), 2)[0]
        got = engine.confidence_for(query, TOOLS, completion)
        assert abs(got - 1 / (1 + math.exp(-logit))) <= REL_TOL, (got, logit)
