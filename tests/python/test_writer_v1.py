"""The first-generation writer: safetensors images read back by a plain reader, the
load-time 4-bit quantiser, configuration metadata, vocabulary files and random models."""
import json
import math
import struct

import numpy as np
import pytest

from vorpel_writer.v1 import (RawJson, V1Config, assemble_safetensors, demo_v1_vocab,
                              dequantize_v1_linear, loaded_v1_weights, quantize_v1_linear,
                              random_v1_container, random_v1_weights, st_tensor, write_safetensors,
                              write_v1, write_vocab)

F32_EPS = float(np.finfo(np.float32).eps)


# ---------------------------------------------------------------- a minimal independent reader

def _decode(dtype, raw):
    if dtype == "F32":
        return np.frombuffer(raw, "<f4")
    if dtype == "F16":
        return np.frombuffer(raw, "<f2").astype(np.float32)
    if dtype == "BF16":
        return (np.frombuffer(raw, "<u2").astype(np.uint32) << 16).view(np.float32)
    if dtype == "I8":
        return np.frombuffer(raw, np.int8).astype(np.float32)
    if dtype == "I4":
        b = np.frombuffer(raw, np.int8)
        lo = np.left_shift(b, 4).astype(np.int8) >> 4      # sign-extend the low nibble
        return np.stack([lo, b >> 4], axis=1).reshape(-1).astype(np.float32)
    raise AssertionError(dtype)


def read_st(data: bytes):
    """(metadata, {name: (dtype, shape, values)})."""
    n = struct.unpack_from("<Q", data)[0]
    header = json.loads(data[8:8 + n].decode("utf-8"))
    body = data[8 + n:]
    md = header.pop("__metadata__", None)
    out = {}
    for name, e in header.items():
        a, b = e["data_offsets"]
        assert 0 <= a <= b <= len(body), (name, a, b, len(body))
        vals = _decode(e["dtype"], body[a:b])
        out[name] = (e["dtype"], e["shape"], vals.reshape(e["shape"]))
    return md, out


def bf16_reference(x):
    """Nearest bfloat16 pattern by comparing the two neighbours; ties to even."""
    out = []
    for v in np.asarray(x, np.float32).reshape(-1):
        bits = int(v.view(np.uint32))
        sign, mag = bits & 0x80000000, bits & 0x7FFFFFFF
        lo = mag >> 16
        if mag > 0x7F800000:
            out.append(None)                        # NaN: only NaN-ness and sign are checked
            continue
        if mag & 0xFFFF:
            # Past the largest bfloat16 the next step up is 2^128, i.e. infinity.
            val = lambda p: 2.0 ** 128 if p == 0x7F80 else \
                float(np.uint32(p << 16).view(np.float32))
            exact = float(np.uint32(mag).view(np.float32))
            d_lo, d_hi = exact - val(lo), val(lo + 1) - exact
            lo = lo if d_lo < d_hi or (d_lo == d_hi and lo % 2 == 0) else lo + 1
        out.append((sign >> 16) | lo)
    return out


SPECIALS = np.array([0.0, -0.0, 1.0, 1 + 2 ** -8, 1 + 3 * 2 ** -8, -(1 + 2 ** -8), 3.4028235e38,
                     -3.4028235e38, np.inf, -np.inf, np.nan, -np.nan, 1e-45, -1e-45, 2 ** -126,
                     65504.0, 65520.0, 1e5, 6e-8, 3e-8], dtype=np.float32)


@pytest.mark.parametrize("dtype", ["F32", "BF16", "F16", "I8", "I4"])
@pytest.mark.parametrize("seed", range(3))
def test_safetensors_read_back_by_plain_reader(dtype, seed):
    rng = np.random.default_rng(seed)
    shape = [int(d) for d in rng.integers(0, 6, size=int(rng.integers(0, 4)))]
    if dtype == "I4" and int(np.prod(shape)) % 2:
        shape.append(2)                              # two values per byte
    n = int(np.prod(shape))
    if dtype in ("I8", "I4"):
        lo, hi = (-128, 127) if dtype == "I8" else (-8, 7)
        vals = rng.integers(lo, hi + 1, size=n).astype(np.float32)
        vals[:2] = [lo, hi][:n]
    else:
        vals = (rng.standard_normal(n) * 10.0 ** rng.uniform(-6, 6, n)).astype(np.float32)
        vals[:min(n, len(SPECIALS))] = SPECIALS[:n]
    vals = vals.reshape(shape)
    other = rng.standard_normal(3).astype(np.float32)
    md = {"name": "caf\u00e9 \u2581x", "d_model": "64"}
    data = write_safetensors({"before": other, "t": st_tensor(dtype, vals), "after": other}, md)
    got_md, t = read_st(data)
    assert got_md == md, f"seed {seed}"
    assert md["name"].encode() in data                # unescaped: the engine decodes no escapes
    assert t["before"][0] == t["after"][0] == "F32" and np.array_equal(t["after"][2], other)
    got_dtype, got_shape, got = t["t"]
    assert (got_dtype, got_shape) == (dtype, shape), f"seed {seed}"
    if dtype in ("F32", "I8", "I4"):
        np.testing.assert_array_equal(got, vals, err_msg=f"seed {seed}")
    elif dtype == "F16":
        with np.errstate(over="ignore"):
            np.testing.assert_array_equal(got, vals.astype(np.float16).astype(np.float32),
                                          err_msg=f"seed {seed}")
    else:
        pat = got.reshape(-1).view(np.uint32) >> 16
        for i, want in enumerate(bf16_reference(vals)):
            if want is None:
                assert np.isnan(got.reshape(-1)[i])
                assert (pat[i] >> 15) == (vals.reshape(-1)[i].view(np.uint32) >> 31)
            else:
                assert pat[i] == want, f"seed {seed} value {vals.reshape(-1)[i]!r}: " \
                                       f"{pat[i]:#06x} != {want:#06x}"


def test_i4_nibble_order_and_bf16_ties():
    # Low nibble first: 1, -2 -> 0xE1; 7, -8 -> 0x87.
    assert st_tensor("I4", np.array([1, -2, 7, -8]))[2] == bytes([0xE1, 0x87])
    assert st_tensor("I4", np.array([-1, 3, 5]))[2] == bytes([0x3F, 0x05])   # odd: high nibble 0
    halfway = np.array([1 + 2 ** -8, 1 + 3 * 2 ** -8, 3.4028235e38], np.float32)
    assert np.frombuffer(st_tensor("BF16", halfway)[2], "<u2").tolist() == [0x3F80, 0x3F82, 0x7F80]
    with pytest.raises(ValueError):
        st_tensor("I4", np.array([8]))


def test_raw_forms_for_crafted_files():
    tensors = [
        ("a", ("F64", [RawJson("+3")], b"\1" * 4)),
        ("b", ("F32", [2], bytes(8), [0, 4, RawJson("+8")])),
        ("a", RawJson('{"dtype":"I4","shape":[],"data_offsets":[1,2]}')),
    ]
    md = {"d_model": 512, "flag": True, "obj": {"k": "v"}, "bare": RawJson("word")}
    data = write_safetensors(tensors, md, header_padding="  ")
    header = ('{"__metadata__":{"d_model":512,"flag":true,"obj":{"k": "v"},"bare":word},'
              '"a":{"dtype":"F64","shape":[+3],"data_offsets":[0,4]},'
              '"b":{"dtype":"F32","shape":[2],"data_offsets":[0,4,+8]},'
              '"a":{"dtype":"I4","shape":[],"data_offsets":[1,2]}}  ')
    assert data == struct.pack("<Q", len(header)) + header.encode() + b"\1" * 4 + bytes(8)
    assert write_safetensors({}, RawJson('"x"')) == assemble_safetensors('{"__metadata__":"x"}')
    assert assemble_safetensors(b"\xff{}", b"d", header_len=99) == \
        struct.pack("<Q", 99) + b"\xff{}d"


# ---------------------------------------------------------------- 4-bit linear quantiser

def _nibble(packed, out_features, r, c):
    v = (packed[(r // 2) * out_features + c] >> (4 * (r % 2))) & 0xF
    return v - 16 if v >= 8 else v


@pytest.mark.parametrize("seed", range(6))
def test_quantize_v1_linear_against_loop(seed):
    rng = np.random.default_rng(seed)
    n_in, n_out = int(rng.integers(1, 100)), int(rng.integers(1, 9))
    w = (rng.standard_normal((n_in, n_out)) * rng.uniform(1e-3, 1e3)).astype(np.float32)
    w[:, 0] = 0.0                                            # an all-zero column
    if n_in > 40:
        w[int(rng.integers(n_in)), -1] *= 1e4                # one outlier in a group
    packed, scales = quantize_v1_linear(w)
    groups = -(-n_in // 32)
    assert len(packed) == -(-n_in // 2) * n_out and scales.shape == (groups, n_out)
    deq = dequantize_v1_linear(packed, scales, n_in, n_out)
    for c in range(n_out):
        for g in range(groups):
            col = w[g * 32:(g + 1) * 32, c]
            s = max(np.float32(np.abs(col).max()) / np.float32(7.0), np.float32(1e-8))
            assert scales[g, c] == s, f"seed {seed} group {g} column {c}"
            for k, x in enumerate(col):
                r = g * 32 + k
                t = float(np.float32(x) / s)
                q = max(-8, min(7, int(math.copysign(math.floor(abs(t) + 0.5), t))))
                assert _nibble(packed, n_out, r, c) == q, f"seed {seed} row {r} column {c}"
                bound = s / 2 + 4 * F32_EPS * (abs(float(x)) + s)
                assert abs(float(deq[r, c]) - float(x)) <= bound, f"seed {seed} row {r} col {c}"
    if n_in % 2:
        assert all(_nibble(packed, n_out, n_in, c) == 0 for c in range(n_out))


def test_quantize_ties_round_away_from_zero():
    col = np.array([7.0, 2.5, -2.5, 0.5, -0.5, 1.5, 3.5, -3.5, -7.0], np.float32)
    packed, scales = quantize_v1_linear(col[:, None])
    assert scales.tolist() == [[1.0]]
    assert [_nibble(packed, 1, r, 0) for r in range(len(col))] == [7, 3, -3, 1, -1, 2, 4, -4, -7]


# ---------------------------------------------------------------- configuration metadata

@pytest.mark.parametrize("raw,want", [
    ({}, dict(d_model=512, max_enc_len=1024, feedforward=False, activation_code=0,
              rope_theta=10000.0, num_kv_heads=4)),
    ({"d_model": "+64", "num_heads": "-8", "num_kv_heads": "", "vocab_size": "+",
      "ffn_dim": "18446744073709551616", "max_dec_len": " 9"},
     dict(d_model=64, num_heads=8, num_kv_heads=4, vocab_size=8192, ffn_dim=2048, max_dec_len=512)),
    ({"max_seq_len": "256"}, dict(max_enc_len=256)),
    ({"max_seq_len": "256", "max_enc_len": "x"}, dict(max_enc_len=256)),
    ({"no_feedforward": "1", "activation": "swiglu"}, dict(feedforward=False, activation_code=1)),
    ({"no_feedforward": "True", "activation": "geglu"}, dict(feedforward=False, activation_code=2)),
    ({"no_feedforward": "TRUE", "activation": "GeGLU"}, dict(feedforward=True, activation_code=0)),
    ({"no_feedforward": "", "rope_theta": "abc"}, dict(feedforward=True, rope_theta=10000.0)),
    ({"no_feedforward": "0", "rope_theta": "5e2"}, dict(feedforward=True, rope_theta=500.0)),
])
def test_config_reads_metadata_like_the_engine(raw, want):
    cfg = V1Config.from_metadata(raw)
    assert {k: getattr(cfg, k) for k in want} == want
    assert cfg.to_metadata() == raw


def test_config_writes_only_given_keys():
    cfg = V1Config(d_model=64, no_feedforward=False, activation=2)
    assert cfg.to_metadata() == {"activation": "geglu", "d_model": "64", "no_feedforward": "false"}
    cfg.num_heads = 4
    assert cfg.to_metadata()["num_heads"] == "4" and cfg.head_dim == 16
    c2 = cfg.copy(rope_theta=500.0)
    assert set(c2.to_metadata()) == {"activation", "d_model", "no_feedforward", "num_heads",
                                     "rope_theta"}


# ---------------------------------------------------------------- vocabulary files

def _parse_vocab(text):
    lines = text.split("\n")
    assert lines[-1] == ""
    return [tuple(line.rstrip("\r").split("\t", 1)) for line in lines[:-1]]


def test_write_vocab_line_forms():
    pieces, scores = ["a", "\u2581b", ""], [1.5, -2.0, 0.0]
    assert write_vocab(pieces, scores, crlf=True) == "a\t1.5\r\n\u2581b\t-2.0\r\n\t0.0\r\n"
    assert write_vocab(pieces) == "a\n\u2581b\n\n"
    want = [("a", "1.5"), ("\u2581b", "-2.0"), ("", "0.0")]
    assert _parse_vocab(write_vocab(pieces, scores, crlf=True)) == want
    assert _parse_vocab(write_vocab(pieces, scores)) == want
    for bad in ("x\ny", "x\ty", "x\r"):
        with pytest.raises(ValueError):
            write_vocab([bad])


@pytest.mark.parametrize("size", [263, 300, 357, 8192])
def test_demo_vocab(size):
    pieces, scores = demo_v1_vocab(size)
    assert len(pieces) == len(scores) == size and len(set(pieces)) == size
    assert pieces[:6] == ["<pad>", "</s>", "<s>", "<unk>", "<out>", "<sep>"]
    assert pieces[6:262] == [f"<0x{b:02X}>" for b in range(256)]
    ordinary = pieces[262:]
    assert all(s < 0 for s in scores[262:]) and len(set(scores[262:])) == len(ordinary)
    assert _parse_vocab(write_vocab(pieces, scores))[1] == ("</s>", "0.0")
    if size >= 300:
        assert '{"name":"' in ordinary and '","arguments":{' in ordinary
    if size == 8192:
        assert {"\u2581get", "weather", "\u2581weather", "get"} <= set(ordinary)
    # Word pieces are reachable by pairwise merges: each one's prefix is a piece too.
    have = set(pieces)
    for p in ordinary:
        if len(p) > 1 and p.replace("\u2581", "").isalnum():
            assert p[:-1] in have, p


# ---------------------------------------------------------------- whole models

def _expected_names(cfg, contrastive):
    attn = ["wq", "wk", "wv", "wo", "q_norm", "k_norm"]
    ffn = ["ffn.gate_proj", "ffn.up_proj", "ffn.down_proj", "ffn_gate", "ffn_norm"]
    names = {"embedding", "encoder_final_norm", "decoder_final_norm"}
    for side, n in (("encoder", cfg.num_encoder_layers), ("decoder", cfg.num_decoder_layers)):
        for i in range(n):
            p = f"{side}.{i}."
            kinds = ["self_attn"] + (["cross_attn"] if side == "decoder" else [])
            names |= {p + f"{k}.{a}" for k in kinds for a in attn}
            names |= {p + f"{k}_gate" for k in kinds}
            names |= {p + "norm"} if side == "encoder" else {p + "self_attn_norm",
                                                            p + "cross_attn_norm"}
            if cfg.feedforward:
                names |= {p + f for f in ffn}
    if contrastive:
        names |= {"contrastive_hidden_kernel", "contrastive_hidden_bias", "contrastive_proj_kernel"}
    return names


def _linear_in_out(cfg, name):
    d, q, kv, f = cfg.d_model, cfg.q_dim, cfg.kv_dim, cfg.ffn_dim
    return {"wq": (d, q), "wk": (d, kv), "wv": (d, kv), "wo": (q, d), "gate_proj": (d, f),
            "up_proj": (d, f), "down_proj": (f, d)}.get(name.rsplit(".", 1)[-1])


@pytest.mark.parametrize("seed", range(8))
def test_random_container_reads_back(seed):
    r = random_v1_container(seed)
    again = random_v1_container(seed)
    assert (r.weights_bytes, r.vocab_text, r.cfg) == (again.weights_bytes, again.vocab_text,
                                                      again.cfg), f"seed {seed}"
    assert r.weights_bytes != random_v1_container(seed + 100).weights_bytes
    cfg, info = r.cfg, r.info
    md, t = read_st(r.weights_bytes)
    assert md == info["metadata"]
    engine_cfg = V1Config.from_metadata(md)
    for k in ("max_enc_len", "activation_code", "d_model", "num_heads", "num_kv_heads",
              "num_encoder_layers", "num_decoder_layers", "vocab_size", "max_dec_len", "ffn_dim",
              "feedforward", "rope_theta"):
        assert getattr(engine_cfg, k) == getattr(cfg, k), f"seed {seed}: {k}"
    assert cfg.num_heads // cfg.num_kv_heads in (1, 2, 4) and cfg.head_dim % 2 == 0
    assert 16 <= cfg.d_model <= 64 and 6 <= cfg.max_enc_len <= 12 and 300 <= cfg.vocab_size <= 400
    prequant = info["linear_format"] == "prequant"
    names = _expected_names(cfg, info["contrastive"])
    scales = {n + ".scale" for n in names if prequant and _linear_in_out(cfg, n)}
    assert set(t) == names | scales, f"seed {seed}"
    assert t["embedding"][1] == [cfg.vocab_size, cfg.d_model]
    w = info["weights"]
    for name in names:
        io = _linear_in_out(cfg, name)
        dtype, shape, vals = t[name]
        if io and prequant:
            assert (dtype, shape) == ("I4", list(io))
            s = t[name + ".scale"][2]
            assert s.shape == (-(-io[0] // 32), io[1])
            # Byte [r/2][c] holds rows r and r+1 of column c: the value stream is [in/2][out][2].
            q = vals.reshape(io[0] // 2, io[1], 2).transpose(0, 2, 1).reshape(io)
            deq = q * np.repeat(s, 32, axis=0)[:io[0]]
            assert np.all(np.abs(deq - w[name]) <= s.max(axis=0) * (0.5 + 1e-5)), name
        elif io and info["linear_format"] == "i8":
            assert dtype == "I8" and shape == list(io) and np.all(vals == np.round(vals))
        else:
            fmt = info["float_format"] if not io else info["linear_format"]
            assert dtype == {"f32": "F32", "bf16": "BF16", "f16": "F16"}[fmt]
            tol = {"f32": 0, "bf16": 2 ** -8, "f16": 2 ** -11}[fmt]
            assert np.all(np.abs(vals - w[name]) <= tol * np.abs(w[name]) + 1e-7), name
    # The table reaches every feature.
    seen = [random_v1_container(s) for s in range(40)]
    assert {x.cfg.activation_code for x in seen} == {0, 1, 2}
    assert {x.cfg.num_heads // x.cfg.num_kv_heads for x in seen} == {1, 2, 4}
    assert {x.cfg.feedforward for x in seen} == {x.info["linear_format"] == "prequant"
                                                 for x in seen} == {True, False}
    assert {x.info["contrastive"] is None for x in seen} == {True, False}


def test_pins_omit_and_loaded_weights():
    r = random_v1_container(3, activation=2, kv_group=4, feedforward=True, prequant=True,
                            contrastive=(8, 3), max_enc_len=6, num_decoder_layers=2, crlf=True)
    cfg = r.cfg
    assert (cfg.activation_code, cfg.num_heads // cfg.num_kv_heads, cfg.feedforward,
            cfg.max_enc_len, cfg.num_decoder_layers) == (2, 4, True, 6, 2)
    assert r.info["contrastive"] == (8, 3) and "\r\n" in r.vocab_text
    w = random_v1_weights(cfg, seed=1)
    wq, wk = "encoder.0.self_attn.wq", "decoder.1.cross_attn.wk"
    omit = (wq, wk + ".scale", "decoder.0.ffn_gate")
    _, t = read_st(write_v1(cfg, w, linear_format="prequant", omit=omit))
    assert wq not in t and wq + ".scale" not in t and wk in t and wk + ".scale" not in t
    assert "decoder.0.ffn_gate" not in t and "decoder.1.ffn_gate" in t
    loaded = loaded_v1_weights(cfg, w, linear_format="prequant", omit=omit)
    assert not loaded[wq].any() and loaded["decoder.0.ffn_gate"].tolist() == [0.0]
    # Without its scale the I4 values are read as plain floats and quantised at load.
    nib = t[wk][2]
    np.testing.assert_array_equal(loaded[wk], dequantize_v1_linear(*quantize_v1_linear(nib),
                                                                   *nib.shape))
    np.testing.assert_array_equal(loaded["encoder.0.ffn_norm"], w["encoder.0.ffn_norm"])
