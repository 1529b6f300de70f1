"""Checks of the numpy first-generation reference itself (no engine needed)."""
import json
import struct

import numpy as np
import pytest

from reference import v1 as ref

M = "\u2581"
SPECIALS = "<unk>\n<s>\n</s>\n<fb>\n"


def st_bytes(tensors: dict, meta: dict | None = None) -> bytes:
    """A safetensors image: name -> (dtype, shape, raw bytes)."""
    header, blobs, off = {}, [], 0
    if meta is not None:
        header["__metadata__"] = meta
    for name, (dtype, shape, raw) in tensors.items():
        header[name] = {"dtype": dtype, "shape": list(shape), "data_offsets": [off, off + len(raw)]}
        blobs.append(raw)
        off += len(raw)
    h = json.dumps(header).encode()
    return struct.pack("<Q", len(h)) + h + b"".join(blobs)


def f32(a) -> tuple:
    a = np.asarray(a, dtype=np.float32)
    return ("F32", a.shape, a.astype("<f4").tobytes())


# ---------------------------------------------------------------- tokenizer

GREEDY = SPECIALS + f"{M}\na\nb\nc\nbc\n{M}ab\n"          # ids 4..9, no scores
SCORED = GREEDY.replace("\nc\n", "\nc\t1\n")              # one tab line switches to merging
WORDSCORE = GREEDY.replace("\nc\n", "\nc\tword\n")        # non-number score still switches
TIES = SPECIALS + f"{M}\t0\na\t0\naa\t1\n"


@pytest.mark.parametrize("vocab,text,ids", [
    (GREEDY, "ab", [9]),
    (GREEDY, "abc", [9, 7]),
    (SCORED, "ab", [4, 5, 6]),                 # no merge path reaches the longest piece
    (SCORED, "abc", [4, 5, 8]),
    (WORDSCORE, "ab", [4, 5, 6]),
    (GREEDY, " \t\u3000\n\u2028", []),
    (GREEDY, "\u00e9", [4, 3, 3]),             # absent byte pieces: one id 3 per byte
    (SCORED, "\u00e9", [4, 3, 3]),
    (GREEDY + "<0xC3>\n", "\u00e9", [4, 10, 3]),
    (TIES, "aaa", [4, 6, 5]),                  # equal scores: leftmost pair merges first
])
def test_encode(vocab, text, ids):
    assert ref.Vocab(vocab).encode(text) == ids


@pytest.mark.parametrize("vocab", [GREEDY + f"{M}a\n", SCORED + f"{M}a\t2\n"])
@pytest.mark.parametrize("text", ["a  b", " a b ", "a\u3000\t b\n", "\u00a0a\u2003b"])
def test_white_space_runs_collapse(vocab, text):
    v = ref.Vocab(vocab)
    assert v.encode(text) == v.encode("a b")


def test_vocab_lines_and_decode():
    lf, crlf = ref.Vocab("a\nb\t1.5\n\nc"), ref.Vocab("a\r\nb\t1.5\r\n\r\nc")
    assert lf.pieces == crlf.pieces == ["a", "b", "", "c"]
    assert list(lf.scores) == list(crlf.scores) == [0.0, 1.5, 0.0, 0.0]
    assert ref.Vocab("a\nb\n").scores.size == 0 and len(ref.Vocab("a\nb\n")) == 2
    v = ref.Vocab(SPECIALS + f"{M}hello\n{M}world\n")
    assert v.decode([4, 6, 5]) == "hello world"                      # id 6 == size: skipped
    v = ref.Vocab(SPECIALS + f"{M}hello\n<0x0A>\n")
    assert v.decode([5, 4]) == "<0x0A> hello" and v.piece_text(4) == " hello" and v.piece_text(6) == ""


# ---------------------------------------------------------------- safetensors

def test_half_widening_matches_ieee_for_every_pattern():
    u = np.arange(1 << 16, dtype=np.uint16)
    got, want = ref.f16_to_f32(u), u.view("<f2").astype(np.float32)
    nan = np.isnan(want)
    assert (np.isnan(got) == nan).all()
    assert (got[~nan].view(np.uint32) == want[~nan].view(np.uint32)).all()
    assert ref.f16_to_f32([0x0001])[0] == 2.0 ** -24


def test_bf16_i4_and_reader():
    assert list(ref.bf16_to_f32([0x3F80, 0xC000, 0x7F80])) == [1.0, -2.0, np.inf]
    assert list(ref.unpack_i4(bytes([0x21, 0x8F, 0x7E]))) == [1, 2, -1, -8, -2, 7]
    image = st_bytes({"q": ("I4", [4], bytes([0x21, 0x8F])), "bad": ("I4", [3], bytes([0, 0])),
                      "h": ("BF16", [1], bytes([0x80, 0x3F])), "b": ("I8", [2], bytes([0xFF, 5]))},
                     {"k": "v", "n": 12})
    st = ref.SafeTensors(image)
    assert st.metadata == {"k": "v", "n": "12"}
    assert list(st.get_f32("q")) == [1, 2, -1, -8] and list(st.get_f32("b")) == [-1, 5]
    assert list(st.get_f32("h")) == [1.0] and st.get_f32("bad") is None and st.get_f32("zz") is None
    assert st.log == ["[vorpel] I4 tensor shape mismatch: bytes*2=4 but shape=[3] (vol=3); returning empty"]


@pytest.mark.parametrize("image,message", [
    (b"\0" * 7, "buffer too short"),
    (struct.pack("<Q", 1), "truncated header"),
    (st_bytes({"x": ("F64", [1], b"\0" * 8)}), "unknown dtype F64"),
    (struct.pack("<Q", 2) + b"[]", "expected JSON object"),
])
def test_reader_errors(image, message):
    with pytest.raises(ValueError, match=f"^{message}$"):
        ref.SafeTensors(image)


# ---------------------------------------------------------------- names, JSON text, choice

@pytest.mark.parametrize("raw,norm", [("getWeather", "get_weather"), ("JSONParser", "json_parser"),
                                      ("Get-Weather", "get_weather"), ("get2Day", "get2_day"),
                                      ("__x__", "x"), ("get_weather", "get_weather")])
def test_tool_name_normaliser(raw, norm):
    assert ref.normalise_tool_name(raw) == norm


def test_tool_text_rewrites():
    pairs = [("getWeather", "get_weather")]
    text = '[ {"name": "getWeather", "d":"a b\\" c", "x":"getWeather"} ]'
    assert ref.compact_outside_strings(ref.rewrite_tool_names(text, pairs)) == \
        '[{"name":"get_weather","d":"a b\\" c","x":"getWeather"}]'


@pytest.mark.parametrize("logits,best", [([1, 3, 3], 2), ([np.inf, np.nan], 1),
                                         ([-np.inf, -np.nan], 0), ([0.0, -0.0], 0), ([5], 0)])
def test_greedy_total_order(logits, best):
    assert ref.greedy_choice(np.array(logits, dtype=np.float32)) == best


def test_tool_constraint_tracks_names_and_keys():
    tools = ref.parse_tools('[{"name":"get_weather","parameters":{"type":"object","properties":'
                            '{"city":{"type":"string"},"unit":{}}}},{"name":"getTime",'
                            '"parameters":{"city":{},"strict":true}}, {"name": "spaced"}]')
    assert [(t.name, t.norm, t.keys) for t in tools] == [
        ("get_weather", "get_weather", ["city", "unit"]), ("getTime", "get_time", ["city"])]
    toks = [b'{"name":"get_', b"weather", b"time", b"x", b"", b'weather",', b'"', b"w",
            b'","arguments":{"', b"ci", b"unit", b'ty":"Paris"}}']
    c = ref.ToolConstraint(tools, toks)
    assert not c.bias(len(toks)).any()
    c.feed(0)
    assert [i for i, b in enumerate(c.bias(len(toks))) if b == 0] == [1, 2, 4, 5, 7]
    c.feed(1)
    assert c.bias(len(toks))[6] == 0 and c.bias(len(toks))[3] < 0
    c.feed(8)
    assert [i for i, b in enumerate(c.bias(len(toks))) if b == 0] == [4, 9, 10]
    c.feed(9)
    c.feed(11)
    assert c.mode == 0 and not c.in_args and not c.bias(len(toks)).any()


# ---------------------------------------------------------------- configuration and quantisation

@pytest.mark.parametrize("value,flag", [("1", True), ("True", True), ("true", True), (None, True),
                                        ("0", False), ("false", False), ("TRUE", False), ("", False)])
def test_no_feedforward_flag(value, flag):
    meta = {} if value is None else {"no_feedforward": value}
    assert ref.V1Config.from_metadata(meta).no_feedforward is flag


def test_config_defaults_and_errors():
    c = ref.V1Config.from_metadata({"max_seq_len": "256", "d_model": "-1", "rope_theta": "x"})
    assert (c.max_enc_len, c.d_model, c.rope_theta, c.activation) == (256, 512, 10000.0, 0)
    assert ref.V1Config.from_metadata({"max_seq_len": "9", "max_enc_len": "+7"}).max_enc_len == 7
    with pytest.raises(ValueError, match="num_heads must be divisible by num_kv_heads"):
        ref.V1Config.from_metadata({"num_kv_heads": "3"})


@pytest.mark.parametrize("seed", range(4))
def test_quantisation_round_trip_and_prequantised_layout(seed):
    rng = np.random.default_rng(seed)
    rows, cols = int(rng.choice([1, 31, 32, 33, 70])), int(rng.integers(1, 5))
    w = (rng.standard_normal((rows, cols)) * rng.uniform(0.01, 10)).astype(np.float32)
    w[rng.integers(rows), 0] = 0.0
    q, s = ref.quantize_q4(w)
    rep = np.repeat(s, 32, axis=0)[:rows]
    assert q.min() >= -7 and q.max() <= 7, seed
    assert (np.abs(q * rep.astype(np.float64) - w) <= rep * (0.5 + 1e-6)).all(), seed
    assert np.allclose(np.abs(w).max(axis=0), 7 * s.max(axis=0), rtol=1e-6), seed
    packed = bytearray(-(-rows // 2) * cols)
    for r in range(rows):
        for c in range(cols):
            packed[(r // 2) * cols + c] |= (int(q[r, c]) & 15) << (4 * (r % 2))
    tensors = {"embedding": f32(np.ones((6, 8))), "w": ("I8", [len(packed)], bytes(packed)),
               "w.scale": f32(s), "r": f32(w)}
    if cols > 1:
        tensors["r.scale"] = f32(np.ones(cols + 1))
    meta = {"d_model": "8", "num_heads": "2", "num_kv_heads": "1", "vocab_size": "6",
            "num_encoder_layers": "0", "num_decoder_layers": "0"}
    model = ref.V1Reference(st_bytes(tensors, meta), SPECIALS)
    pre, requant = model.linear("w", rows, cols), model.linear("r", rows, cols)
    assert (pre.q == q).all() and (requant.q == q).all() and np.array_equal(pre.w, requant.w), seed
    assert any("r.scale length" in line for line in model.log) == (cols > 1), seed


# ---------------------------------------------------------------- tiny models

TINY = {"d_model": "8", "num_heads": "2", "num_kv_heads": "1", "num_encoder_layers": "2",
        "num_decoder_layers": "2", "vocab_size": "10", "max_enc_len": "12", "max_dec_len": "5",
        "ffn_dim": "6", "no_feedforward": "0", "activation": "swiglu", "rope_theta": "100"}
TINY_VOCAB = SPECIALS + f"x\n{M}q\n<t>\nxy\n{M}a\n{M}b\n"


def tiny_model(seed: int, zero: bool = False) -> ref.V1Reference:
    rng = np.random.default_rng(seed)
    t = {"embedding": f32(rng.standard_normal((10, 8)) * (0 if zero else 1))}
    if not zero:
        for p in ["encoder.0", "encoder.1", "decoder.0", "decoder.1"]:
            for a in ["self_attn"] + (["cross_attn"] if p[0] == "d" else []):
                for m, cols in [("wq", 8), ("wk", 4), ("wv", 4), ("wo", 8)]:
                    t[f"{p}.{a}.{m}"] = f32(rng.standard_normal((8, cols)) * 0.5)
                t[f"{p}.{a}.q_norm"] = f32(rng.standard_normal(4) * 0.2)
                t[f"{p}.{a}_gate"] = f32(rng.standard_normal(1))
            for m, shape in [("gate_proj", (8, 6)), ("up_proj", (8, 6)), ("down_proj", (6, 8))]:
                t[f"{p}.ffn.{m}"] = f32(rng.standard_normal(shape) * 0.5)
            t[f"{p}.ffn_norm"] = f32(rng.standard_normal(8) * 0.2)
    return ref.V1Reference(st_bytes(t, TINY), TINY_VOCAB)


@pytest.mark.parametrize("seed", range(3))
def test_decoder_steps_are_causal_and_first_step_ignores_self_query(seed):
    model, rng = tiny_model(seed), np.random.default_rng(100 + seed)
    enc = [int(x) for x in rng.integers(0, 10, int(rng.integers(1, 12)))]
    dec = [1] + [int(x) for x in rng.integers(0, 10, 4)]
    assert np.array_equal(model.encoder(enc), model.encoder(enc)), seed
    full = model.decoder_logits(enc, dec)
    for n in range(1, len(dec)):
        np.testing.assert_allclose(model.decoder_logits(enc, dec[:n]), full[:n], rtol=1e-12, atol=1e-12)
    # One cached position: self-attention returns its value whatever the queries and keys are.
    for blk in model.decoder_blocks:
        blk.self_attn.wq.w = rng.standard_normal((8, 8))
        blk.self_attn.k_norm = rng.standard_normal(4)
    np.testing.assert_allclose(model.decoder_logits(enc, [1])[0], full[0], rtol=1e-12, atol=1e-12)
    assert np.isfinite(model.decoder_logits(enc, dec + [2, 3])).all()
    assert sum("KV cache full at 5 steps" in line for line in model.log) == 2 * 2


def test_zero_model_norms_ties_and_run():
    model = tiny_model(7, zero=True)
    assert "Warning: missing tensor encoder.0.self_attn.wq, using zeros" in model.log
    emb = np.random.default_rng(3).standard_normal((10, 8))
    model.embedding = emb
    e = model.encoder([0, 5, 9])
    np.testing.assert_allclose(np.sqrt((e * e).mean(axis=1)), 1.0, rtol=0, atol=1e-6)
    np.testing.assert_allclose(e, emb[[0, 5, 9]] / np.sqrt((emb[[0, 5, 9]] ** 2).mean(1, keepdims=True)),
                               rtol=1e-6)
    model.embedding = np.zeros((10, 8))
    model.vocab = ref.Vocab(TINY_VOCAB.replace(f"{M}b\n", "xy\n"))   # id 9 == "xy", piece 4 "x"
    assert model.run("", "") == ([], "")
    model.cfg.max_enc_len = 8
    assert model.encoder_input("a " * 10, "[ ]") == [8] * 6 + [5] + [3]
    assert model.run("q", "[]") == ([9, 9, 9, 9, 9], "yxyxyxyxy")    # all tied: highest id, 5 steps
