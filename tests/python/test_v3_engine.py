"""V3Engine end to end: generation (greedy and sampled ids, stop reasons,
positions) and confidence against the numpy reference for full models and
rungs with both cache storages; streaming invariants; the class surface."""
import inspect
import json
import subprocess

import numpy as np
import pytest

from reference import v3 as ref
from vorpel_writer.v3 import random_v3_container

vorpel_rs = pytest.importorskip("vorpel_rs")

TOOLS = '[{"name":"get_weather","parameters":{"type":"object","properties":{"city":{},"unit":{}}}}]'


def _write(tmp_path, seed, **pins):
    r = random_v3_container(seed, **pins)
    path = tmp_path / f"m{seed}.trov"
    path.write_bytes(r.data)
    return r, path


def _prompt_ids(cli, path, query, tools, system=None):
    text = ref.build_prompt(query, tools, system)
    out = subprocess.run([str(cli), "tokenize", str(path), text], capture_output=True, text=True, check=True)
    return [2] + json.loads(out.stdout)


def _im_end(cli, path):
    out = subprocess.run([str(cli), "tokenize", str(path), "<|im_end|>"], capture_output=True, text=True, check=True)
    ids = json.loads(out.stdout)
    return ids[0] if len(ids) == 1 else None


def _engine(path, depth):
    return vorpel_rs.V3Engine.load(str(path)) if depth is None else vorpel_rs.V3Engine.load_with_depth(str(path), depth)


CASES = [  # seed, depth, int8, temperature, max_new_tokens, pins
    (1, None, False, 0.0, 24, dict(num_layers=3, kv_window=4, global_layers=[2])),
    (2, 2, False, 0.0, 24, dict(num_layers=4, qkv_conv_taps=2)),
    (3, None, True, 0.0, 24, dict(num_layers=2, orders=[1, 3], engram_sites=[0, 1])),
    (4, 3, True, 0.0, 0, dict(num_layers=4, lanes=3)),
    (5, None, False, 0.9, 24, dict(num_layers=2)),
    (6, 2, True, 1.3, 24, dict(num_layers=3, kv_window=3)),
    (7, None, False, 0.7, 30, dict(num_layers=2, max_seq_len=170)),   # the budget meets the context
    (8, None, False, 0.0, 10, dict(num_layers=2, max_seq_len=40)),    # the prompt is cut: MaxSeqLen
    # Only the first six ids are scored: end of sequence (1) and "<|im_end|>" (5) come early.
    (9, None, False, 1.0, 24, dict(num_layers=2, logit_rows=6)),
    (10, 2, True, 1.0, 24, dict(num_layers=3, logit_rows=6)),
]


@pytest.mark.parametrize("seed,depth,int8,temperature,max_new,pins", CASES)
def test_generation_matches_reference(vorpel_cli, tmp_path, seed, depth, int8, temperature, max_new, pins):
    r, path = _write(tmp_path, seed, **pins)
    model = ref.V3Reference(r.data, depth)
    engine = _engine(path, depth)
    assert engine.num_layers == model.num_layers and engine.max_seq_len == model.max_seq_len
    query = "what is the weather in Paris and in Rome tomorrow?" * (3 if seed == 8 else 1)
    for gen_seed in (0, 11):
        got = engine.generate(query, TOOLS, max_new_tokens=max_new, temperature=temperature, seed=gen_seed,
                              kv_int8=int8)
        want = ref.generate(model, _prompt_ids(vorpel_cli, path, query, TOOLS), max_new_tokens=max_new,
                            temperature=temperature, seed=gen_seed, kv_int8=int8,
                            im_end_id=_im_end(vorpel_cli, path))
        what = f"seed {seed} depth {depth} int8 {int8} t {temperature} gen_seed {gen_seed}"
        assert got["token_ids"] == want["token_ids"], what
        assert got["stop_reason"] == want["stop_reason"], what
        assert got["positions"] == want["positions"], what
        assert list(got) == ["text", "tool_call", "reasoning", "token_ids", "stop_reason", "positions"]
        if temperature == 0.0:
            break


@pytest.mark.parametrize("depth", [None, 2, 3])
def test_confidence_matches_reference(vorpel_cli, tmp_path, depth):
    r, path = _write(tmp_path, 21, num_layers=4, heads=[(1, 1, 1, 2), (3, 2, 2, 2)])
    model = ref.V3Reference(r.data, depth)
    engine = _engine(path, depth)
    assert engine.has_confidence()
    for completion in ("<tool_call>[]</tool_call>", "<think>x</think><tool_call>{}</tool_call>", ""):
        ids = _prompt_ids(vorpel_cli, path, "weather?", TOOLS) 
        text = ref.build_prompt("weather?", TOOLS) + completion
        out = subprocess.run([str(vorpel_cli), "tokenize", str(path), text], capture_output=True, text=True, check=True)
        ids = [2] + json.loads(out.stdout)
        want = model.confidence(ids)
        got = engine.confidence_for("weather?", TOOLS, completion)
        assert abs(got - want) <= 1e-4, (depth, completion, got, want)
    result, conf = engine.run_scored("weather?", TOOLS)
    assert list(result) == ["text", "tool_call", "reasoning", "stop_reason"]
    assert conf == pytest.approx(engine.confidence_for("weather?", TOOLS, result["text"]), abs=1e-6)


def test_without_heads_there_is_no_confidence(tmp_path):
    _, path = _write(tmp_path, 22, num_layers=2, heads=False)
    engine = vorpel_rs.V3Engine.load(str(path))
    assert engine.has_confidence() is False
    assert engine.confidence_for("q", TOOLS, "c") is None
    assert engine.run_scored("q", TOOLS)[1] is None


@pytest.mark.parametrize("seed", range(6))
def test_stream_pieces_concatenate_to_the_text(tmp_path, seed):
    _, path = _write(tmp_path, 30 + seed, num_layers=2, vocab_size=300, tokenizer_pieces=300)
    engine = vorpel_rs.V3Engine.load(str(path))
    pieces = []
    text = engine.run_stream("tell me about caf\u00e9s in M\u00fcnchen \u2603", TOOLS, pieces.append)
    assert "".join(pieces) == text == engine.run("tell me about caf\u00e9s in M\u00fcnchen \u2603", TOOLS)
    assert all(pieces), "no empty piece is delivered"


def test_a_stream_that_stops_at_once_delivers_nothing(tmp_path):
    # Only ids 0 (a control piece, no text) and 1 (end of sequence) are scored.
    for seed in range(40):
        r, path = _write(tmp_path, 100 + seed, num_layers=2, logit_rows=2)
        engine = vorpel_rs.V3Engine.load(str(path))
        g = engine.generate("x", TOOLS)
        if g["stop_reason"] == "Eos" and not g["token_ids"]:
            pieces = []
            assert engine.run_stream("x", TOOLS, pieces.append) == ""
            assert pieces == []
            return
    pytest.fail("no seed stopped at once")


def test_callback_errors_are_discarded_but_ctrl_c_ends_the_call(tmp_path):
    _, path = _write(tmp_path, 40, num_layers=2)
    engine = vorpel_rs.V3Engine.load(str(path))
    want = engine.run("q", TOOLS)

    def boom(piece):
        raise ValueError("ignored")

    assert engine.run_stream("q", TOOLS, boom) == want

    def interrupt(piece):
        raise KeyboardInterrupt

    if want:
        with pytest.raises(KeyboardInterrupt):
            engine.run_stream("q", TOOLS, interrupt)


def test_surface(tmp_path):
    assert vorpel_rs.__all__[-1] == "V3Engine"
    cls = vorpel_rs.V3Engine
    with pytest.raises(TypeError, match="cannot create 'vorpel_rs.V3Engine' instances"):
        cls()
    sig = inspect.signature(cls.generate)
    assert list(sig.parameters)[1:] == ["query", "tools_json", "max_new_tokens", "temperature", "seed", "system",
                                        "constrain", "kv_int8"]
    assert [sig.parameters[p].default for p in list(sig.parameters)[3:]] == [0, 0.0, 0, None, False, False]
    assert str(inspect.signature(cls.kv_bytes)) == "(self, /, seq_len, kv_int8=False)"
    assert str(inspect.signature(cls.load_with_depth)) == "(path, layers)"
    for absent in ("run_batch", "encode_contrastive", "contrastive_dim", "retrieve_tools", "confidence",
                   "confidence_probability", "config"):
        assert not hasattr(cls, absent), absent
    assert cls.num_layers.__doc__ == "How many blocks this engine is running."
    assert cls.max_seq_len.__doc__ == "Context limit in tokens."
    assert "\u2014" in cls.run_json.__doc__ and "\u2014" in cls.kv_bytes.__doc__
    assert cls.__doc__.startswith("Vorpel 3.\n")

    r, path = _write(tmp_path, 41, num_layers=3, heads=False)
    with pytest.raises(OSError, match="^No such file or directory \\(os error 2\\)$"):
        cls.load(str(tmp_path / "missing.trov"))
    with pytest.raises(ValueError, match="^depth is outside the ladder$"):
        cls.load_with_depth(str(path), 1)
    with pytest.raises(OSError, match="^container carries no tokenizer$"):
        cls.from_bytes(random_v3_container(41, num_layers=3, tokenizer=False).data)
    engine = cls.load(str(path))
    with pytest.raises(OverflowError) as info:
        engine.kv_bytes(-1)
    assert "while processing 'seq_len'" in "".join(getattr(info.value, "__notes__", []))
    # Exact for any seq_len: never wrapped to 64 bits.
    per = engine.kv_bytes(1)
    if engine.kv_bytes(10**6) == 10**6 * per:  # every block global
        assert engine.kv_bytes(2**64 - 1) == (2**64 - 1) * per
    assert cls.reasoning("<think> a </think> rest") == "a"
    assert cls.reasoning("no markers") is None
    assert cls.reasoning("<think>\n unterminated \n") == "unterminated"
    assert cls.extract_tool_call("<tool_call>[]</tool_call>") == "[]"
    assert cls.extract_tool_call("nothing") is None
