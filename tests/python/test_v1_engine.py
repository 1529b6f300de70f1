"""VorpelEngine (first generation) end to end: encoder outputs, decoder logits,
greedy tool calls, contrastive embeddings and retrieval against the numpy
reference over a table of configurations; loading warnings on standard error
in order; the class surface."""
import inspect
import json
import subprocess
import sys

import numpy as np
import pytest

from helpers import assert_rows_close
from reference import v1 as ref
from vorpel_writer.v1 import random_v1_container, write_v1

vorpel_rs = pytest.importorskip("vorpel_rs")

WEATHER = ('[{"name": "get_weather", "description": "weather for a city", "parameters": '
           '{"type": "object", "properties": {"city": {"type": "string"}, "unit": {"type": "string"}}}}]')
ALIASED = ('[{"name":"sendEmail","parameters":{"properties":{"to":{},"message":{}}}},'
           ' {"name":"Get-Time","parameters":{"date":{},"strict":true}}]')
QUERIES = [("what is the weather in Paris today", WEATHER),
           ("send an email to me please and find the file", ALIASED),
           ("", ""),
           ("how many", "not json at all")]
DESCRIPTIONS = ["weather for a city", "send an email message", "   ", "find a file", "weather for a city"]

CONFIGS = {
    "relu_f32_no_ffn_kv1": dict(activation=0, linear_format="f32", feedforward=False, kv_group=1),
    "relu_prequant_ffn_kv2": dict(activation=0, prequant=True, feedforward=True, kv_group=2),
    "swiglu_prequant_kv4": dict(activation=1, prequant=True, feedforward=True, kv_group=4),
    "geglu_bf16_kv2": dict(activation=2, linear_format="bf16", feedforward=True, kv_group=2),
    "swiglu_i8": dict(activation=1, linear_format="i8", feedforward=True, kv_group=1),
    "short_encoder_limit_3": dict(activation=0, prequant=True, max_enc_len=3, feedforward=True),
    "contrastive_geglu": dict(activation=2, prequant=True, contrastive=(16, 8)),
    "contrastive_greedy_vocab": dict(activation=0, linear_format="f32", contrastive=(8, 5), scores=False),
}


def _files(tmp_path, name, weights, vocab_text):
    wp, vp = tmp_path / f"{name}.safetensors", tmp_path / f"{name}.txt"
    wp.write_bytes(weights)
    vp.write_bytes(vocab_text.encode("utf-8"))
    return wp, vp


def _endless(r):
    """The same model with the end token's embedding row zeroed: its logit stays
    0, so greedy generation usually runs to max_dec_len."""
    w = dict(r.info["weights"])
    w["embedding"] = w["embedding"].copy()
    w["embedding"][ref.START_ID] = 0
    return write_v1(r.cfg, w, linear_format=r.info["linear_format"], float_format=r.info["float_format"])


def _cli_json(cli, *args):
    out = subprocess.run([str(cli), *map(str, args)], capture_output=True, text=True, timeout=120)
    assert out.returncode == 0, out.stderr
    return np.asarray(json.loads(out.stdout), dtype=np.float64)


@pytest.mark.parametrize("name", list(CONFIGS))
def test_matches_reference(vorpel_cli, tmp_path, name):
    r = random_v1_container(1, **CONFIGS[name])
    for label, weights in (("plain", r.weights_bytes), ("endless", _endless(r))):
        model = ref.V1Reference(weights, r.vocab_text)
        wp, vp = _files(tmp_path, label, weights, r.vocab_text)
        engine = vorpel_rs.VorpelEngine.load(str(wp), str(vp))
        for query, tools in QUERIES:
            want_ids, want_text = model.run(query, tools)
            got_ids = []
            got_text = engine.run_stream(query, tools, lambda i, piece: got_ids.append(i))
            what = f"{name} {label} {query!r}"
            assert got_ids == want_ids, what
            assert got_text == want_text == engine.run(query, tools), what
            parsed = ref.parse_tools(tools)
            aliases = [(t.name, t.norm) for t in parsed if t.name != t.norm]
            tool_text = ref.compact_outside_strings(ref.rewrite_tool_names(tools, aliases) if aliases else tools)
            enc_ids = model.encoder_input(query, tool_text)
            if not enc_ids:
                continue
            ids = ",".join(map(str, enc_ids))
            enc = _cli_json(vorpel_cli, "logits", wp, "--vocab", vp, "--tokens", ids, "--encoder")
            assert_rows_close(enc, model.encoder(enc_ids), 2e-5, f"{what} encoder")
            dec = [ref.START_ID] + want_ids[:6]
            logits = _cli_json(vorpel_cli, "logits", wp, "--vocab", vp, "--tokens", ids, "--all",
                               *(["--decoder-tokens", ",".join(map(str, dec[1:]))] if len(dec) > 1 else []))
            assert_rows_close(logits, model.decoder_logits(enc_ids, dec), 2e-5, f"{what} decoder logits")
        assert engine.run_batch([(q, t) for q, t in QUERIES]) == [model.run(q, t)[1] for q, t in QUERIES]
        if model.contrastive_dim():
            assert engine.contrastive_dim() == model.contrastive_dim()
            for text in ("weather for a city", "  ", "send email to the user " * 30):
                np.testing.assert_allclose(engine.encode_contrastive(text), model.encode_contrastive(text),
                                           atol=2e-6, err_msg=f"{name} {text!r}")
            got = engine.retrieve_tools("weather in Paris", DESCRIPTIONS, 4)
            want = model.retrieve_tools("weather in Paris", DESCRIPTIONS, 4)
            assert [i for i, _ in got] == [i for i, _ in want]
            np.testing.assert_allclose([s for _, s in got], [s for _, s in want], atol=2e-6)
        else:
            assert engine.encode_contrastive("x") is None and engine.contrastive_dim() == 0
            assert engine.retrieve_tools("x", DESCRIPTIONS, 3) == []


def test_loading_warnings_reach_stderr_in_reading_order(tmp_path):
    r = random_v1_container(2, feedforward=True, prequant=False, contrastive=(4, 3))
    weights = write_v1(r.cfg, r.info["weights"], linear_format="f32",
                       omit=("encoder.0.ffn.up_proj", "encoder.0.self_attn.wk", "decoder.0.cross_attn.wo",
                             "contrastive_hidden_bias"),
                       extra={"contrastive_hidden_bias": np.zeros(0, np.float32)})
    wp, vp = _files(tmp_path, "w", weights, r.vocab_text)
    code = ("import sys, vorpel_rs; vorpel_rs.VorpelEngine.load(sys.argv[1], sys.argv[2]); "
            "sys.stderr.write('loaded\\n')")
    out = subprocess.run([sys.executable, "-c", code, str(wp), str(vp)], capture_output=True, text=True,
                         timeout=60, env={**__import__("os").environ})
    assert out.returncode == 0, out.stderr
    assert out.stderr.splitlines() == [
        "Warning: missing tensor encoder.0.ffn.up_proj, using zeros",
        "Warning: missing tensor encoder.0.self_attn.wk, using zeros",
        "Warning: missing tensor decoder.0.cross_attn.wo, using zeros",
        "[vorpel] contrastive head shape mismatch \u2014 skipping",
        "loaded",
    ]


def test_surface(tmp_path):
    cls = vorpel_rs.VorpelEngine
    assert vorpel_rs.__all__[0] == "VorpelEngine" and cls.__doc__ == ""
    assert [m for m in cls.__dict__ if not m.startswith("__")] == [
        "load", "from_bytes", "run", "run_stream", "run_batch", "encode_contrastive", "contrastive_dim",
        "retrieve_tools"]
    assert str(inspect.signature(cls.from_bytes)) == "(weights_bytes, vocab_text)"
    assert str(inspect.signature(cls.load)) == "(weights_path, vocab_path)"
    assert cls.run.__doc__.splitlines()[-1] == "Run inference and return the final JSON tool-call string."
    with pytest.raises(TypeError, match="cannot create 'vorpel_rs.VorpelEngine' instances"):
        cls()
    r = random_v1_container(3)
    wp, vp = _files(tmp_path, "m", r.weights_bytes, r.vocab_text)
    with pytest.raises(TypeError):
        cls.from_bytes(bytearray(r.weights_bytes), r.vocab_text)
    with pytest.raises(OSError, match=r"^No such file or directory \(os error 2\)$"):
        cls.load(str(tmp_path / "missing.safetensors"), str(vp))
    bad_vocab = tmp_path / "bad.txt"
    bad_vocab.write_bytes(b"ok\n\xff\xfe\n")
    with pytest.raises(OSError, match="^stream did not contain valid UTF-8$"):
        cls.load(str(wp), str(bad_vocab))
    with pytest.raises(OSError, match="^buffer too short$"):
        cls.from_bytes(b"1234567", r.vocab_text)
    # The end token never reaches the callback; a raising callback changes nothing.
    engine = cls.from_bytes(r.weights_bytes, r.vocab_text)
    seen = []
    text = engine.run_stream("q", WEATHER, lambda i, p: seen.append(i) or 1 / 0)
    assert 1 not in seen and text == engine.run("q", WEATHER)
