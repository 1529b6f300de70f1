"""Second-generation generation driver and heads, end to end through the CLI
(`vorpel run`, `vorpel score`), against the numpy reference model and a
sampler written here from the driver's rules.

Tolerances. The engine's logits agree with the reference to about 1e-4 of
their scale (see test_v2_numerics.py). A token choice is only compared while
the reference's decision is robust to such an error: for greedy steps the
top-2 gap must exceed GAP_TOL times the logit scale; for sampled steps the
draw must sit farther from the nearest cumulative boundary than the terms can
move (relative change about 2 * tau * delta). Past the first fragile step the
two runs may legitimately differ, so only the prefix before it is checked.
Head outputs are projections of pooled hidden vectors and carry the same
relative error; 2e-3 of their scale still catches a wrong pooling rule (a
skipped layer, the padding token pooled, the wrong head), which moves them
by O(0.1).
"""
import json
import math
import os
import subprocess

import numpy as np
import pytest

from helpers import require_commands
from reference.v2 import V2Reference
from vorpel_writer.v2 import (V2Geometry, demo_tokenizer_blob, demo_tokenizer_pieces,
                              random_v2_container, random_v2_weights, write_v2)

GAP_TOL = 2e-3
HEAD_TOL = 2e-3
PAD, BOS, EOS = 0, 1, 2
IM_END, TOOL_CALL_OPEN = 5, 8  # ids of the demo vocabulary's chat markers
NO_TOKENIZER = "container has no embedded tokenizer; use the lower-level V2Bundle API"

TOOLS = '[{"name":"get_weather","parameters":{"properties":{"city":{}}}}]'
QUERIES = ["weather in Paris", "hi", "what time is it in Tokyo tomorrow?"]


# ---------------------------------------------------------------- CLI helpers

@pytest.fixture(scope="module")
def cli(vorpel_cli):
    require_commands(vorpel_cli, "run", "score", "tokenize")
    return vorpel_cli


def write(tmp_path, name, data):
    p = tmp_path / name
    p.write_bytes(data)
    return str(p)


def call(cli, *args, expect=0):
    out = subprocess.run([str(cli), *map(str, args)], capture_output=True, timeout=300)
    assert out.returncode == expect, \
        f"vorpel {args[0]} exited {out.returncode}: {out.stderr.decode(errors='replace')}"
    return out


def run(cli, path, query, tools=TOOLS, **opts):
    args = ["run", path, "--query", query, "--tools", tools]
    for k, v in opts.items():
        flag = "--" + k.replace("_", "-")
        if v is True:
            args.append(flag)
        elif v is not None and v is not False:
            args += [flag, v]
    out = call(cli, *args)
    res = json.loads(out.stdout)
    return res, out.stderr


def score(cli, path, *args):
    return json.loads(call(cli, "score", path, *args).stdout)


def tokenize(cli, path, text):
    return json.loads(call(cli, "tokenize", path, text).stdout)


def detokenize(cli, path, ids):
    out = call(cli, "detokenize", path, *ids).stdout
    assert out.endswith(b"\n")
    return out[:-1].decode()


def chat_prompt(query, tools, system=None):
    # tools are passed already compact, so compaction is the identity here.
    head = f"<|im_start|>system\n{system}<|im_end|>\n" if system is not None else ""
    return (head + f"<|im_start|>user\n<tools>{tools}</tools>\n{query}<|im_end|>\n"
            "<|im_start|>assistant\n")


def prompt_ids(cli, path, query, tools, reserve, max_seq_len, system=None):
    ids = [BOS] + tokenize(cli, path, chat_prompt(query, tools, system))
    return ids[:max(max_seq_len - reserve, 1)]


# ---------------------------------------------------------------- reference driver

MASK64 = (1 << 64) - 1
GAMMA = 0x9E3779B97F4A7C15


class Rng:
    def __init__(self, seed):
        self.s = (seed + GAMMA) & MASK64

    def unit(self):
        self.s = (self.s + GAMMA) & MASK64
        z = self.s
        z = ((z ^ (z >> 30)) * 0xBF58476D1CE4E5B9) & MASK64
        z = ((z ^ (z >> 27)) * 0x94D049BB133111EB) & MASK64
        z ^= z >> 31
        return (z >> 11) / float(1 << 53)


def greedy_choice(logits):
    """(token, robust): arg-max, lowest index on ties; robust when the gap to
    the runner-up exceeds what the engine/reference difference can bridge."""
    order = np.argsort(-logits, kind="stable")
    scale = max(1.0, float(np.abs(logits).max()))
    gap = float(logits[order[0]] - logits[order[1]])
    return int(order[0]), gap > GAP_TOL * scale


def sampled_choice(logits, temperature, rng):
    """(token, robust): single-precision terms, double sum and walk."""
    lg = logits.astype(np.float32)
    tau = np.float32(1.0) / np.float32(max(np.float32(temperature), np.float32(1e-6)))
    m = np.float32(np.nanmax(lg))
    terms = [float(np.float32(math.exp(float(np.float32((v - m) * tau))))) for v in lg]
    z = 0.0
    for t in terms:
        z += t
    x = rng.unit() * z
    x0 = x
    chosen = len(lg) - 1
    for j, t in enumerate(terms):
        x -= t
        if x <= 0:
            chosen = j
            break
    # A logit error delta scales every term by at most exp(+-tau * delta), so
    # the cumulative sums and the threshold u * Z each move by at most about
    # 2 * tau * delta * Z: the choice is robust while the threshold stays
    # farther than both movements together inside the chosen token's interval
    # (delta itself is the numerics bound, about 100x the observed error).
    cum = np.concatenate([[0.0], np.cumsum(terms)])
    margin = min(x0 - cum[chosen], cum[chosen + 1] - x0)
    delta = 1e-4 * max(1.0, float(np.abs(lg).max()))
    return chosen, margin > (4.0 * float(tau) * delta + 1e-12) * z


def reference_generate(ref, prompt, max_new, temperature=0.0, seed=0):
    """Returns (ids, stop, robust_prefix): the reference run, its stop reason,
    and how many leading choices are robust (len(ids) + 1 when all are,
    counting the stop decision)."""
    ref.reset()
    logits = None
    for t in prompt:
        logits = ref.step(int(t))
    rng = Rng(seed)
    ids, robust = [], None
    if max_new == 0:
        return ids, "MaxTokens", 1
    while True:
        if temperature > 0:
            t, ok = sampled_choice(np.asarray(logits), temperature, rng)
        else:
            t, ok = greedy_choice(np.asarray(logits))
        if not ok and robust is None:
            robust = len(ids)
        if t == EOS:
            stop = "Eos"
            break
        if t == IM_END:
            stop = "ImEnd"
            break
        ids.append(t)
        if ref.position >= ref.max_seq_len:
            stop = "ContextFull"
            break
        logits = ref.step(t)
        if len(ids) == max_new:
            stop = "MaxTokens"
            break
    return ids, stop, (len(ids) + 1 if robust is None else robust)


def check_against_reference(got, ids, stop, robust, what):
    n = min(robust, len(ids))
    assert got["token_ids"][:n] == ids[:n], f"{what}: first {n} ids differ"
    if robust > len(ids):
        assert got["token_ids"] == ids, what
        assert got["stop_reason"] == stop, what
        assert got["stopped_naturally"] == (stop in ("Eos", "ImEnd")), what


# ---------------------------------------------------------------- generation

GEN_CASES = [
    (11, dict(lanes=1, engram=False, kv_window=0)),
    (12, dict(lanes=3, engram=True, kv_window=5)),
    (13, dict(lanes=2, engram=True, kv_window=0, bits="ternary")),
    (14, dict(lanes=4, engram=True, kv_window=9, float_dtype="f16")),
]


@pytest.mark.parametrize("seed,features", GEN_CASES, ids=[f"seed{c[0]}" for c in GEN_CASES])
def test_greedy_and_sampled_ids_match_reference(cli, tmp_path, seed, features):
    model = random_v2_container(seed, tokenizer=True, heads=False, **features)
    g = model.geom
    path = write(tmp_path, "m.trov", model.data)
    ref = V2Reference.from_bytes(model.data)
    compared = 0
    settings = [(0.0, 0), (0.7, 0), (1.3, 12345), (0.9, 2**64 - 1)]
    for k, (temperature, rseed) in enumerate(settings):
        query = QUERIES[(seed + k) % len(QUERIES)]
        max_new = 10
        what = f"container seed {seed} {features} query {query!r} T={temperature} seed={rseed}"
        got, _ = run(cli, path, query, max_new_tokens=max_new, temperature=temperature,
                     seed=rseed)
        prompt = prompt_ids(cli, path, query, TOOLS, max_new, g.max_seq_len)
        assert got["prompt_tokens"] == len(prompt), what
        ids, stop, robust = reference_generate(ref, prompt, max_new, temperature, rseed)
        check_against_reference(got, ids, stop, robust, what)
        compared += min(robust, len(ids))
        # A fixed seed reproduces itself.
        again, _ = run(cli, path, query, max_new_tokens=max_new, temperature=temperature,
                       seed=rseed)
        assert again == got, what
    assert compared > 0, f"container seed {seed}: every run was a near tie"


def test_generate_record_and_greedy_equivalences(cli, tmp_path):
    model = random_v2_container(21, tokenizer=True, heads=False, lanes=2, engram=True)
    path = write(tmp_path, "m.trov", model.data)
    got, _ = run(cli, path, "weather in Paris", max_new_tokens=6)
    assert list(got) == ["text", "tool_call", "thinking", "token_ids", "prompt_tokens",
                         "stop_reason", "stopped_naturally"]
    # Temperature 0 is greedy whatever the seed; the text is the decode of the ids.
    other, _ = run(cli, path, "weather in Paris", max_new_tokens=6, seed=99)
    assert other == got
    assert got["text"] == detokenize(cli, path, got["token_ids"])
    # Zero new tokens: nothing generated, prompt still counted.
    zero, _ = run(cli, path, "weather in Paris", max_new_tokens=0)
    assert zero["token_ids"] == [] and zero["text"] == ""
    assert zero["stop_reason"] == "MaxTokens" and zero["stopped_naturally"] is False
    assert zero["prompt_tokens"] == got["prompt_tokens"] > 0
    # The system text goes in its own turn in front.
    sys_res, _ = run(cli, path, "weather in Paris", max_new_tokens=0, system="be brief")
    want = prompt_ids(cli, path, "weather in Paris", TOOLS, 0, model.geom.max_seq_len,
                      system="be brief")
    assert sys_res["prompt_tokens"] == len(want) > got["prompt_tokens"]


def test_stream_deltas_rebuild_the_text(cli, tmp_path):
    model = random_v2_container(22, tokenizer=True, heads=False)
    path = write(tmp_path, "m.trov", model.data)
    for temperature in (0.0, 1.5):
        plain, _ = run(cli, path, "hi", max_new_tokens=20, temperature=temperature, seed=3)
        streamed, err = run(cli, path, "hi", max_new_tokens=20, temperature=temperature,
                            seed=3, stream=True)
        assert streamed == plain
        lines = [json.loads(ln) for ln in err.decode().splitlines() if ln.startswith("{")]
        assert [ln["token_id"] for ln in lines] == plain["token_ids"]
        # Replaying the rule: each delta extends the previous decode or replaces it.
        text = ""
        for n, ln in enumerate(lines, 1):
            full = detokenize(cli, path, plain["token_ids"][:n])
            want = full[len(text):] if full.encode().startswith(text.encode()) else full
            assert ln["piece"] == want, f"token {n}"
            text = full
        assert text == plain["text"]


# ---------------------------------------------------------------- stop reasons

def crafted_container(winner, vocab=300, max_seq_len=512, tokenizer_vocab=None, blob=None):
    """A model whose next token is always `winner`: attention and MLP are
    switched off (sigmoid(-40) gate, zero MLP output), one lane and no engram
    keep the input embedding as the read-out, and every embedding row points
    along dimension 0 with the winner's row three times longer."""
    g = V2Geometry(vocab=vocab, d_model=16, num_heads=2, num_kv_heads=1, num_layers=1,
                   head_dim=8, max_seq_len=max_seq_len, mhc_lanes=1, kv_window=0,
                   engram_sites=[], orders=[])
    w = random_v2_weights(g, seed=5)
    emb = np.zeros((vocab, g.d_model), dtype=np.float32)
    emb[:, 0] = 1.0
    emb[winner, 0] = 3.0
    w.embedding = emb
    for layer in w.layers:
        layer["attn_gate"] = np.array([-40.0], dtype=np.float32)
        layer["d3"] = np.zeros_like(layer["d3"])
    w.final_norm = np.zeros_like(w.final_norm)
    if blob is None:
        blob = demo_tokenizer_blob(tokenizer_vocab or vocab)
    return write_v2(g, w, bits=4, block=16, tokenizer_blob=blob)


def test_every_stop_reason(cli, tmp_path):
    eos = write(tmp_path, "eos.trov", crafted_container(EOS))
    r, _ = run(cli, eos, "hi")
    assert (r["text"], r["token_ids"], r["stop_reason"], r["stopped_naturally"]) == \
        ("", [], "Eos", True)

    im_end = write(tmp_path, "imend.trov", crafted_container(IM_END))
    r, _ = run(cli, im_end, "hi")
    assert (r["token_ids"], r["stop_reason"], r["stopped_naturally"]) == ([], "ImEnd", True)

    word = 300 - 1  # an ordinary piece of the demo vocabulary
    many = write(tmp_path, "many.trov", crafted_container(word))
    r, _ = run(cli, many, "hi", max_new_tokens=7)
    assert r["token_ids"] == [word] * 7
    assert (r["stop_reason"], r["stopped_naturally"]) == ("MaxTokens", False)

    # A budget beyond the context cuts the prompt to the bos id alone; the
    # cache fills after max_seq_len - 1 steps and the last token is kept unstepped.
    small = write(tmp_path, "small.trov", crafted_container(word, max_seq_len=24))
    r, _ = run(cli, small, "hi", max_new_tokens=100)
    assert r["prompt_tokens"] == 1
    assert r["token_ids"] == [word] * 24
    assert r["stop_reason"] == "ContextFull" and r["stopped_naturally"] is False

    # A vocabulary whose id 5 is not the end-of-turn marker never stops there.
    from vorpel_writer.tokenizer import build_tokenizer_blob
    pieces = demo_tokenizer_pieces(300)
    pieces[IM_END] = ("<|im_end|x", 0.0, 3)
    blob = build_tokenizer_blob(pieces, pad_id=PAD, eos_id=EOS, bos_id=BOS, unk_id=3)
    no_marker = write(tmp_path, "nomarker.trov", crafted_container(IM_END, blob=blob))
    r, _ = run(cli, no_marker, "hi", max_new_tokens=4)
    assert (r["token_ids"], r["stop_reason"]) == ([IM_END] * 4, "MaxTokens")

    # A tokenizer larger than the model makes the prompt pass fail, which ends
    # generation with the error as the stop reason.
    wide = write(tmp_path, "wide.trov", crafted_container(word, vocab=300, tokenizer_vocab=400))
    r, _ = run(cli, wide, "zzzz qqqq", max_new_tokens=5)
    if any(t >= 300 for t in tokenize(cli, wide, chat_prompt("zzzz qqqq", TOOLS))):
        assert r["stop_reason"] == 'Error("token id outside vocabulary")'
        assert r["token_ids"] == [] and r["text"] == "" and r["stopped_naturally"] is False


def test_text_operations_need_a_tokenizer(cli, tmp_path):
    model = random_v2_container(31, tokenizer=False, heads=[(1, 2, 4), (2, 1, 1)])
    path = write(tmp_path, "m.trov", model.data)
    out = call(cli, "run", path, "--query", "hi", "--tools", TOOLS, expect=3)
    assert NO_TOKENIZER in out.stderr.decode()
    # Heads never raise: without a tokenizer every score is absent.
    s = score(cli, path, "--text", "hello")
    assert s == {"confidence": None, "confidence_probability": None, "contrastive": None,
                 "contrastive_dim": 4}


# ---------------------------------------------------------------- heads

def assert_close(got, want, what):
    got, want = np.asarray(got, dtype=np.float64), np.asarray(want, dtype=np.float64)
    assert got.shape == want.shape, what
    bound = HEAD_TOL * max(1.0, float(np.abs(want).max()))
    err = float(np.abs(got - want).max()) if got.size else 0.0
    assert err <= bound, f"{what}: |diff| {err:.3g} > {bound:.3g}: {got} vs {want}"


HEAD_CASES = [
    (41, dict(lanes=2, engram=True, kv_window=3), [(1, 2, 6), (2, 3, 1)]),
    (42, dict(lanes=1, engram=False), [(2, 1, 2), (1, 3, 5), (1, 1, 3)]),
    (43, dict(lanes=4, engram=True, bits=3), [(1, 1, 8)]),
]


@pytest.mark.parametrize("seed,features,heads", HEAD_CASES, ids=[f"seed{c[0]}" for c in HEAD_CASES])
def test_heads_match_reference(cli, tmp_path, seed, features, heads):
    model = random_v2_container(seed, tokenizer=True, heads=heads, **features)
    path = write(tmp_path, "m.trov", model.data)
    ref = V2Reference.from_bytes(model.data)
    kinds = [k for k, _, _ in heads]
    first = {k: next(h for h in heads if h[0] == k) for k in set(kinds)}
    what = f"container seed {seed} {features} heads {heads}"
    for text in ["weather in Paris", "", "call get_weather for London please"]:
        ids = [BOS] + tokenize(cli, path, text)
        s = score(cli, path, "--text", text)
        assert s["contrastive_dim"] == (first[1][2] if 1 in first else 0), what
        if 1 in first:
            want = ref.pool_head(ids, 1)
            assert_close(s["contrastive"], want, f"{what} contrastive {text!r}")
            assert abs(float(np.linalg.norm(s["contrastive"])) - 1.0) < 1e-5
        else:
            assert s["contrastive"] is None
        if 2 in first:
            logit = float(ref.pool_head(ids, 2)[0])
            assert_close([s["confidence"]], [logit], f"{what} confidence {text!r}")
            p = 1.0 / (1.0 + math.exp(-s["confidence"]))
            assert abs(s["confidence_probability"] - p) < 1e-6, what
        else:
            assert s["confidence"] is None and s["confidence_probability"] is None

    if 2 in first:
        completion = '<tool_call>{"name":"get_weather"}</tool_call>'
        got = score(cli, path, "--completion", completion, "--query", "weather?", "--tools", TOOLS)
        ids = [BOS] + tokenize(cli, path, chat_prompt("weather?", TOOLS) + completion)
        ids = ids[:model.geom.max_seq_len]
        want = 1.0 / (1.0 + math.exp(-float(ref.pool_head(ids, 2)[0])))
        assert abs(got["confidence_for"] - want) <= HEAD_TOL, what


def test_retrieve_tools_ranks_by_cosine(cli, tmp_path):
    model = random_v2_container(44, tokenizer=True, heads=[(2, 1, 1), (1, 2, 6)], lanes=2)
    path = write(tmp_path, "m.trov", model.data)
    ref = V2Reference.from_bytes(model.data)
    descriptions = ["get the weather for a city", "send an email", "", "get the weather for a city",
                    "read a file from disk"]
    (tmp_path / "d.txt").write_text("\n".join(descriptions))
    d_file = str(tmp_path / "d.txt")
    q = "what is the weather in Paris"
    qv = ref.pool_head([BOS] + tokenize(cli, path, q), 1)
    sims = []
    for d in descriptions:
        dv = ref.pool_head([BOS] + tokenize(cli, path, d), 1)
        sims.append(float(qv @ dv))
    got = score(cli, path, "--retrieve", q, "--descriptions-file", d_file, "--top-k", 10)["retrieve"]
    assert sorted(i for i, _ in got) == list(range(len(descriptions)))
    for i, s in got:
        assert abs(s - sims[i]) <= HEAD_TOL, f"description {i}"
    # Descending; identical descriptions tie exactly and keep list order.
    assert all(a[1] >= b[1] for a, b in zip(got, got[1:]))
    pos = {i: k for k, (i, _) in enumerate(got)}
    assert pos[0] < pos[3] and got[pos[0]][1] == got[pos[3]][1]
    order = sorted(range(len(sims)), key=lambda i: -sims[i])
    for a, b in zip(order, order[1:]):
        if sims[a] - sims[b] > 2 * HEAD_TOL:
            assert pos[a] < pos[b]
    top2 = score(cli, path, "--retrieve", q, "--descriptions-file", d_file, "--top-k", 2)["retrieve"]
    assert top2 == got[:2]
    assert score(cli, path, "--retrieve", q, "--descriptions-file", d_file, "--top-k", 0) == \
        {"retrieve": []}


def test_missing_heads_give_absent_results(cli, tmp_path):
    model = random_v2_container(45, tokenizer=True, heads=False)
    path = write(tmp_path, "m.trov", model.data)
    assert score(cli, path, "--text", "hi") == {"confidence": None, "confidence_probability": None,
                                                "contrastive": None, "contrastive_dim": 0}
    (tmp_path / "d.txt").write_text("a\nb")
    assert score(cli, path, "--retrieve", "q", "--descriptions-file", str(tmp_path / "d.txt"))[
        "retrieve"] == []
    only_conf = random_v2_container(46, tokenizer=True, heads=[(2, 1, 1)])
    p2 = write(tmp_path, "c.trov", only_conf.data)
    s = score(cli, p2, "--text", "hi")
    assert s["contrastive"] is None and s["contrastive_dim"] == 0 and s["confidence"] is not None
    assert score(cli, p2, "--retrieve", "q", "--descriptions-file", str(tmp_path / "d.txt"))[
        "retrieve"] == []


# ---------------------------------------------------------------- constrained decoding

def markov_container(successors, vocab=1000):
    """A model whose next token depends only on the current one: with a
    window of one position each token attends to itself, so the attention
    path applies v_proj (a map between one-hot embedding codes) and nothing
    else carries state (MLP off, one lane, no engram). successors maps a
    token to {next token: weight}; the heaviest weight wins."""
    tokens = sorted(set(successors) | {t for nxt in successors.values() for t in nxt})
    d = 16
    assert len(tokens) <= d
    code = {t: i for i, t in enumerate(tokens)}
    g = V2Geometry(vocab=vocab, d_model=d, num_heads=2, num_kv_heads=2, num_layers=1,
                   head_dim=8, max_seq_len=512, mhc_lanes=1, kv_window=1,
                   engram_sites=[], orders=[])
    w = random_v2_weights(g, seed=9)
    emb = np.zeros((vocab, d), dtype=np.float32)
    for t, i in code.items():
        emb[t, i] = 1.0
    w.embedding = emb
    m = np.zeros((d, d), dtype=np.float32)
    for t, nxt in successors.items():
        for u, weight in nxt.items():
            m[code[u], code[t]] = weight
    layer = w.layers[0]
    layer["v_proj"] = m
    layer["gate_proj"] = np.zeros((d, d), dtype=np.float32)  # sigmoid(0): a uniform 0.5
    layer["out_proj"] = np.eye(d, dtype=np.float32)
    layer["post_norm"] = np.full(d, 9.0, dtype=np.float32)  # the mapped code dominates
    layer["attn_gate"] = np.array([10.0], dtype=np.float32)
    layer["d3"] = np.zeros_like(layer["d3"])
    w.mhc["mhc_a_post"] = np.zeros_like(w.mhc["mhc_a_post"])
    w.mhc["mhc_b_post"] = np.full_like(w.mhc["mhc_b_post"], 10.0)
    w.final_norm = np.zeros_like(w.final_norm)
    return write_v2(g, w, bits=4, block=16, tokenizer_blob=demo_tokenizer_blob(vocab))


def test_constraint_arms_at_the_tool_call_marker(cli, tmp_path):
    p = {t: i for i, (t, _, _) in enumerate(demo_tokenizer_pieces(1000))}
    brace, name, colon, quote, the, get = p['{"'], p["name"], p['":'], p['"'], p["the"], p["get"]
    tools = '[{"name":"get_weather"},{"name":"get_time"}]'
    probe = write(tmp_path, "probe.trov", markov_container({TOOL_CALL_OPEN: {brace: 1.0}}))
    last = tokenize(cli, probe, chat_prompt("hi", tools))[-1]
    chain = {last: {TOOL_CALL_OPEN: 1.0}, TOOL_CALL_OPEN: {brace: 1.0}, brace: {name: 1.0},
             name: {colon: 1.0}, colon: {quote: 1.0},
             # After `{"name":"` the model prefers "the", with "get" second.
             quote: {the: 1.0, get: 0.5}}
    path = write(tmp_path, "markov.trov", markov_container(chain))
    head = [TOOL_CALL_OPEN, brace, name, colon, quote]
    free, _ = run(cli, path, "hi", tools, max_new_tokens=7)
    assert free["token_ids"][:6] == head + [the]
    assert free["text"].startswith('<tool_call>{"name":"the')
    forced, _ = run(cli, path, "hi", tools, max_new_tokens=7, constrain=True)
    assert forced["token_ids"][:6] == head + [get]
    # With tools that yield no names the constraint is off altogether.
    loose, _ = run(cli, path, "hi", '[{"name": "get_weather"}]', max_new_tokens=7, constrain=True)
    assert loose["token_ids"][:6] == head + [the]
    # "</tool_call>" right after the opening marker disarms it again.
    closed = dict(chain)
    closed[TOOL_CALL_OPEN] = {TOOL_CALL_OPEN + 1: 1.0}
    closed[TOOL_CALL_OPEN + 1] = {brace: 1.0}
    path = write(tmp_path, "closed.trov", markov_container(closed))
    disarmed, _ = run(cli, path, "hi", tools, max_new_tokens=7, constrain=True)
    assert disarmed["token_ids"][:7] == [TOOL_CALL_OPEN, TOOL_CALL_OPEN + 1] + head[1:] + [the]
    # The same text without the marker token is never constrained.
    del chain[TOOL_CALL_OPEN]
    chain[last] = {brace: 1.0}
    bare = write(tmp_path, "bare.trov", markov_container(chain))
    unarmed, _ = run(cli, bare, "hi", tools, max_new_tokens=6, constrain=True)
    assert unarmed["token_ids"][:5] == head[1:] + [the]


def test_heads_without_outputs(cli, tmp_path):
    # out_dim 0: no confidence logit to report (None); an empty embedding,
    # against which every description scores 0 and keeps its list order.
    model = random_v2_container(47, tokenizer=True, heads=[(2, 1, 0), (1, 2, 0)])
    path = write(tmp_path, "m.trov", model.data)
    assert score(cli, path, "--text", "hi") == {"confidence": None, "confidence_probability": None,
                                                "contrastive": [], "contrastive_dim": 0}
    (tmp_path / "d.txt").write_text("a\nb")
    assert score(cli, path, "--retrieve", "hi", "--descriptions-file",
                 str(tmp_path / "d.txt"))["retrieve"] == [[0, 0], [1, 0]]
