"""The third-generation container builder: header words, canon order and shapes,
demo tokenizer ids, random feature mixes and their pins, weight scales."""
import struct

import numpy as np
import pytest

from vorpel_writer import dequantize_cq, trov_read
from vorpel_writer.v3 import (V3Geometry, random_v3_container, random_v3_geometry,
                              random_v3_weights, realistic_v3_geometry, v3_tokenizer_blob,
                              write_v3)

MARKERS = ["<|im_start|>", "<|im_end|>", "<tools>", "</tools>", "<tool_call>", "</tool_call>",
           "<think>", "</think>"]


def _pq(h):
    p = 2 ** (int(np.log2(h)) // 2)
    return p, h // p


def _canon_count(g, heads, tokenizer=True):
    per_block = 27 if g.qkv_conv_taps else 24
    n = 1 + per_block * g.num_layers + 11 + 4 * len(g.engram_sites) + 1
    if heads:
        n += 1 + sum(7 if code == 3 else 6 for code, *_ in heads)
    return n + (1 if tokenizer else 0)


def _blob_pieces(blob):
    count, pad, eos, bos, unk = struct.unpack_from("<5I", blob, 0)
    pos, pieces = 24, []
    for _ in range(count):
        score, kind, n = struct.unpack_from("<fBH", blob, pos)
        pieces.append((blob[pos + 7:pos + 7 + n].decode(), kind))
        pos += 7 + n
    assert pos == len(blob)
    return (pad, eos, bos, unk), pieces


def test_header_words_read_back():
    g = V3Geometry(vocab_size=333, logit_rows=301, d_model=40, num_heads=6, num_kv_heads=3,
                   num_layers=6, head_dim=6, value_dim=10, max_seq_len=384, mhc_lanes=3,
                   kv_window=7, global_layers=[5, 0, 2], extra_mask_bits=1 << 40,
                   qkv_conv_taps=3, table_rows=61, num_tables=9, conv_taps=2, tap_stride=3,
                   engram_seed_stride=77, orders=[3, 0, 1], engram_sites=[5, 1, 1, 0, 4],
                   rope_theta=500.0, router_components=3, kept_12=11, kept_16=12)
    w = random_v3_weights(g, seed=3)
    data = write_v3(g, w, bits=4, block=32)
    u32 = lambda off: struct.unpack_from("<I", data, off)[0]  # noqa: E731
    want = {0: 0x05E12A84, 8: 28, 12: 11, 16: 12, 20: 333, 24: 301, 28: 40, 32: 6, 36: 3, 40: 6,
            44: 6, 48: 10, 52: 384, 56: 64, 60: 3, 64: 7, 76: 3, 80: 61, 84: 4, 88: 9, 92: 2,
            96: 3, 100: 77, 104: 3, 124: 5}
    assert {off: u32(off) for off in want} == want
    assert u32(4) == _canon_count(g, [])
    assert struct.unpack_from("<Q", data, 68)[0] == 0b100101 | 1 << 40
    assert list(struct.unpack_from("<3I", data, 108)) == [3, 0, 1]
    assert list(struct.unpack_from("<5I", data, 128)) == [5, 1, 1, 0, 4]
    assert struct.unpack_from("<f", data, 192)[0] == 500.0
    # The directory follows the 28-float codebook at 308; data follows the directory.
    first = struct.unpack_from("<BBxx4IQQ", data, 308)
    assert first[:4] == (3, 2, 333, 40) and first[6] == 308 + 44 * u32(4)


@pytest.mark.parametrize("taps", [0, 2])
@pytest.mark.parametrize("sites", [[], [1], [0, 2, 2]])
@pytest.mark.parametrize("heads", [[], [(2, 1, 1, 1)], [(1, 2, 1, 3), (3, 1, 2, 1)]])
def test_tensor_count_and_section_order(taps, sites, heads):
    g = V3Geometry(num_layers=3, qkv_conv_taps=taps, engram_sites=sites, orders=[2])
    data = write_v3(g, random_v3_weights(g, seed=1, heads=heads), bits=2, block=16)
    t = trov_read.parse(data)["tensors"]
    assert len(t) == _canon_count(g, heads)
    assert [e["dtype"] for e in t].index(4) == len(t) - 1      # the tokenizer, once, last
    after_final = 1 + (27 if taps else 24) * 3 + 11 + 4 * len(sites) + 1
    if heads:
        manifest = trov_read.tensor_values(data, trov_read.parse(data), after_final)
        assert manifest.tolist() == [float(h[0]) for h in heads]


def _expected_canon(g, w, heads):
    """(label, is_cq, dims, value) per directory slot, from the geometry alone
    (dims None: a vector of at most hada_n values)."""
    D, Hq, KV, hd, vd = g.d_model, g.num_heads, g.num_kv_heads, g.head_dim, g.value_dim
    H, L, N, T, E = g.hada_n, g.mhc_lanes, g.num_layers, g.qkv_conv_taps, g.router_components
    P, Q = _pq(H)
    out = [("embedding", True, (g.vocab_size, D), w.embedding)]
    for b, lay in enumerate(w.layers):
        def put(name, cq, dims):
            out.append((f"layer{b}.{name}", cq, dims, lay[name]))
        put("norm_in", False, (D,))
        put("q_proj", True, (Hq * hd, D))
        put("k_proj", True, (KV * hd, D))
        put("v_proj", True, (KV * vd, D))
        if T:
            put("q_conv", False, (T, Hq * hd))
            put("k_conv", False, (T, KV * hd))
            put("v_conv", False, (T, KV * vd))
        for name, cq, dims in [("q_norm", False, (hd,)), ("k_norm", False, (hd,)),
                               ("gate_proj", True, (Hq * vd, D)), ("out_proj", True, (D, Hq * vd)),
                               ("post_norm", False, (D,)), ("attn_gate", False, (1,)),
                               ("ffn_norm", False, (D,)), ("d1", False, (H,)),
                               ("act_scale", False, (H,)), ("act_bias", False, (H,)),
                               ("d2", False, (H,)), ("d3", False, None),
                               ("k1_a", False, (P, P)), ("k1_b", False, (Q, Q)),
                               ("k2_a", False, (P, P)), ("k2_b", False, (Q, Q)),
                               ("k3_a", False, (P, P)), ("k3_b", False, (Q, Q)),
                               ("router", False, (D, E)), ("components", False, (E, H))]:
            put(name, cq, dims)
    m = w.model
    for name, cq, dims in [("mhc_a_pre", False, (N,)), ("mhc_a_post", False, (N,)),
                           ("mhc_a_res", False, (N,)), ("mhc_b_pre", False, (N, L)),
                           ("mhc_b_post", False, (N, L)), ("mhc_b_res", False, (N, L, L)),
                           ("mhc_phi_pre", True, (N * L, L * D)),
                           ("mhc_phi_post", True, (N * L, L * D)),
                           ("mhc_phi_res", True, (N * L * L, L * D)),
                           ("perm1", False, None), ("perm2", False, None)]:
        out.append((name, cq, dims, m[name]))
    F = g.num_tables * (D // g.num_tables)
    for s, e in enumerate(w.engrams):
        out += [(f"engram{s}.tables", True, (g.num_tables * g.table_rows, D // g.num_tables),
                 e["tables"]),
                (f"engram{s}.key_proj", True, (D, F), e["key_proj"]),
                (f"engram{s}.value_proj", True, (D, F), e["value_proj"]),
                (f"engram{s}.taps", False, (g.conv_taps, D), e["taps"])]
    out.append(("final_norm", False, (D,), w.final_norm))
    if heads:
        out.append(("manifest", False, (len(heads),), np.asarray([h[0] for h in heads])))
    for i, ((code, per_cell, R, out_dim), h) in enumerate(zip(heads, w.heads)):
        M = (N + 1) * per_cell
        out += [(f"head{i}.probes", True, (M, D), h.probes),
                (f"head{i}.item_scales", False, (M,), h.item_scales),
                (f"head{i}.queries", True, (R, D), h.queries),
                (f"head{i}.biases", False, (R, M), h.biases),
                (f"head{i}.proj", True, (out_dim, R * D), h.proj),
                (f"head{i}.bias", False, (out_dim,), h.bias)]
        if code == 3:
            out.append((f"head{i}.extra", h.extra.ndim == 2, h.extra.shape, h.extra))
    return out


CANON_CASES = [dict(seed=s) for s in range(8)] + [
    dict(seed=20, qkv_conv_taps=3, heads=[(1, 1, 1, 2), (3, 2, 2, 1)], float_dtype="f16"),
    dict(seed=21, qkv_conv_taps=0, engram_sites=[], heads=False, d_model=20, value_dim=5),
    dict(seed=22, engram_sites=[2, 0, 2], num_layers=4, perm_lens=(3, 0), d3_len=5),
]


@pytest.mark.parametrize("case", CANON_CASES, ids=lambda c: f"seed{c['seed']}")
def test_directory_follows_the_canon(case):
    r = random_v3_container(**case)
    g, w = r.geom, r.info["weights"]
    parsed = trov_read.parse(r.data)
    t = parsed["tensors"]
    want = _expected_canon(g, w, r.info["heads"])
    assert len(t) == len(want) + 1 and t[-1]["dtype"] == 4, f"seed {case['seed']}"
    fcode = 2 if r.info["float_dtype"] == "f32" else 1
    for e, (label, cq, dims, value) in zip(t, want):
        got_dims = tuple(e["dims"][:e["ndim"]])
        where = f"seed {case['seed']}, slot {e['index']} ({label})"
        assert e["dtype"] == (3 if cq else fcode), where
        if dims is None:
            assert len(got_dims) == 1 and got_dims[0] <= g.hada_n, where
        else:
            assert got_dims == dims, where
        got = trov_read.tensor_values(r.data, parsed, e["index"])
        value = np.asarray(value, dtype=np.float32)
        if cq:
            bits, block = r.info["cq"][label] if label in r.info["cq"] else (None, None)
            assert (e["cq_bits"], e["cq_block"]) == ({"ternary": 5}.get(bits, bits), block), where
            # Any swap of two same-shaped tensors gives a relative error near sqrt(2).
            rel = np.sqrt(np.mean((got - value) ** 2) / max(np.mean(value ** 2), 1e-30))
            assert rel < 0.6, f"{where}: relative error {rel:.3f}"
        else:
            if fcode == 1:
                value = value.astype(np.float16).astype(np.float32)
            np.testing.assert_array_equal(got.reshape(-1), value.reshape(-1), err_msg=where)
    H = g.hada_n
    for name in ("perm1", "perm2"):
        p = w.model[name]
        assert np.all(p == np.round(p)) and len(set(p.tolist())) == len(p) and np.all(p < H)


def test_demo_tokenizer_ids_and_kinds():
    for n in (269, 300, 1000):
        ids, pieces = _blob_pieces(v3_tokenizer_blob(n))
        assert ids == (0, 1, 2, 3) and len(pieces) == n
        assert [p for p, _ in pieces[:4]] == ["<pad>", "</s>", "<s>", "<unk>"]
        assert {p: k for p, k in pieces if p in MARKERS} == {m: 3 for m in MARKERS}
        byte_texts = [p for p, k in pieces if k == 4]
        assert byte_texts == [f"<0x{b:02X}>" for b in range(256)]
        assert len({p for p, _ in pieces}) == n
    with pytest.raises(ValueError):
        v3_tokenizer_blob(268)


PINS = [
    (dict(num_layers=5, lanes=3, kv_window=7),
     lambda h, g, i: (h["num_layers"], h["mhc_lanes"], h["kv_window"]) == (5, 3, 7)),
    (dict(num_layers=4, global_layers=[]), lambda h, g, i: h["global_layer_mask"] == 0),
    (dict(num_layers=3, global_layers=[0, 1, 2]), lambda h, g, i: h["global_layer_mask"] == 7),
    (dict(qkv_conv_taps=3), lambda h, g, i: h["qkv_conv_taps"] == 3),
    (dict(orders=[0, 3], engram_sites=[1, 1], engram_seed_stride=5),
     lambda h, g, i: (h["orders"], h["engram_sites"], h["engram_seed_stride"]) ==
     ([0, 3], [1, 1], 5) and h["num_tables"] % 2 == 0 and h["num_layers"] >= 2),
    (dict(vocab_size=250, logit_rows=100), lambda h, g, i: (h["vocab_size"], h["logit_rows"]) == (250, 100)),
    (dict(logit_rows=0), lambda h, g, i: h["logit_rows"] == 0),
    (dict(value_dim=5, d_model=20), lambda h, g, i: (h["value_dim"], h["d_model"]) == (5, 20) and h["hada_n"] in (32, 64)),
    (dict(d_model=32, hada_n=128), lambda h, g, i: h["hada_n"] == 128),
    (dict(heads=False), lambda h, g, i: i["heads"] == []),
    (dict(heads=True), lambda h, g, i: any(c in (2, 3) for c, *_ in i["heads"])),
    (dict(tokenizer_pieces=400, vocab_size=300), lambda h, g, i: i["tokenizer_pieces"] == 400),
    (dict(max_seq_len=64, router_components=1), lambda h, g, i: h["max_seq_len"] == 64),
]


@pytest.mark.parametrize("pins,check", PINS, ids=lambda v: str(v) if isinstance(v, dict) else "")
def test_random_container_is_deterministic_and_honours_pins(pins, check):
    made = {seed: random_v3_container(seed, **pins) for seed in (3, 4)}
    assert random_v3_container(3, **pins).data == made[3].data
    assert made[3].data != made[4].data
    for seed, r in made.items():
        h = trov_read.parse(r.data)["header"]
        assert check(h, r.geom, r.info), f"seed {seed}: {h}"
        assert h["tensor_count"] == _canon_count(r.geom, r.info["heads"]), f"seed {seed}"


@pytest.mark.parametrize("pins,check", [
    (dict(bits="ternary"), lambda t: t["dtype"] != 3 or t["cq_bits"] == 5),
    (dict(block=16), lambda t: t["dtype"] != 3 or t["cq_block"] == 16),
    (dict(float_dtype="f16"), lambda t: t["dtype"] in (1, 3, 4)),
])
def test_random_container_pins_every_tensor(pins, check):
    t = trov_read.parse(random_v3_container(5, **pins).data)["tensors"]
    assert all(check(e) for e in t)


def test_random_container_without_tokenizer_or_with_short_parts():
    r = random_v3_container(6, tokenizer=False, d3_len=3, perm_lens=(5, 0), heads=False)
    p = trov_read.parse(r.data)
    assert all(e["dtype"] != 4 for e in p["tensors"])
    w = r.info["weights"]
    assert all(len(layer["d3"]) == 3 for layer in w.layers)
    assert (len(w.model["perm1"]), len(w.model["perm2"])) == (5, 0)


def _loader_rules(g):
    """The geometry checks the loader applies, and the shapes the canon needs."""
    oc = len(g.orders)
    assert 1 <= oc <= 4 and g.num_tables > 0 and g.num_tables % oc == 0
    assert g.sub_dim == g.d_model // g.num_tables >= 1
    assert g.num_heads % g.num_kv_heads == 0 and g.head_dim % 2 == 0 and g.value_dim > 0
    assert g.hada_n >= g.d_model and g.hada_n & (g.hada_n - 1) == 0
    assert all(0 <= s < g.num_layers for s in g.engram_sites) and len(g.engram_sites) <= 16
    if g.engram_sites:
        assert g.table_rows > 0 and g.conv_taps > 0
    assert 0 <= g.logit_rows <= g.vocab_size and g.router_components >= 1


def test_random_geometries_are_loadable_and_cover_the_mixes():
    rng = np.random.default_rng(0)
    seen = set()
    for _ in range(400):
        g = random_v3_geometry(rng)
        _loader_rules(g)
        assert 1 <= g.num_layers <= 6 and 1 <= g.mhc_lanes <= 4 and g.qkv_conv_taps <= 4
        assert g.kv_window == 0 or 2 <= g.kv_window <= 12 or g.kv_window > g.max_seq_len
        assert all(o in (0, 1, 2, 3) for o in g.orders) and len(g.orders) <= 3
        gl = set(g.global_layers)
        seen |= {("all-global" if gl == set(range(g.num_layers)) else
                  "all-local" if not gl else "mixed"),
                 ("window", 0 < g.kv_window <= 12), ("conv", g.qkv_conv_taps > 0),
                 ("dup site", len(set(g.engram_sites)) < len(g.engram_sites)),
                 ("sites", min(len(g.engram_sites), 2)), ("stride", g.engram_seed_stride > 0),
                 ("vd != hd", g.value_dim != g.head_dim),
                 ("d not pow2", g.d_model & (g.d_model - 1) != 0),
                 ("F < D", g.num_tables * g.sub_dim < g.d_model),
                 ("rows < vocab", 0 < g.logit_rows < g.vocab_size), ("rows 0", g.logit_rows == 0),
                 ("stray mask bit", g.extra_mask_bits != 0), ("orders", len(g.orders))}
    want = {"all-global", "all-local", "mixed", ("sites", 0), ("sites", 1), ("sites", 2),
            ("orders", 1), ("orders", 2), ("orders", 3)}
    want |= {(k, v) for k in ("window", "conv", "dup site", "stride", "vd != hd", "d not pow2",
                              "F < D", "rows < vocab", "rows 0", "stray mask bit")
             for v in (True, False)}
    assert want <= seen, want - seen


def test_realistic_geometry_is_the_benchmark_shape():
    g = realistic_v3_geometry()
    _loader_rules(g)
    assert (g.vocab_size, g.d_model, g.num_heads, g.num_kv_heads, g.num_layers, g.head_dim,
            g.value_dim, g.max_seq_len, g.hada_n, g.mhc_lanes) == \
        (49152, 576, 9, 3, 30, 64, 64, 2048, 1024, 4)
    assert (g.num_tables, g.table_rows, g.sub_dim, g.orders, g.engram_sites, g.conv_taps) == \
        (9, 4096, 64, [1, 2, 3], [3, 15], 4)
    assert (g.kv_window, g.qkv_conv_taps, g.router_components) == (256, 4, 8)
    assert g.global_layer_mask == sum(1 << b for b in range(3, 30, 4))


def _ffn(lay, perm1, perm2, u, H, D):
    """The structured feed-forward, written from its definition with dense algebra."""
    logits = u @ lay["router"]
    r = np.exp(logits - logits.max())
    r /= r.sum()
    m = 1.0 + r @ lay["components"]

    def kron(z, a, b):
        return (a.T @ z.reshape(a.shape[0], b.shape[0]) @ b).reshape(-1)

    def gather(z, p):
        z = z.copy()
        z[:len(p)] = z[p.astype(np.int64)]
        return z

    z = np.zeros(H)
    z[:D] = u
    z = gather(kron(z * lay["d1"], lay["k1_a"], lay["k1_b"]), perm1)
    t = lay["act_scale"] * m * z + lay["act_bias"]
    z = t / (1.0 + np.exp(-t))
    z = gather(kron(z, lay["k2_a"], lay["k2_b"]), perm2) * lay["d2"]
    z = kron(z, lay["k3_a"], lay["k3_b"])
    n = min(len(lay["d3"]), H, D)
    return z[:n] * lay["d3"][:n]


@pytest.mark.parametrize("seed", range(6))
def test_random_weights_keep_the_feed_forward_order_one(seed):
    rng = np.random.default_rng(seed)
    g = random_v3_geometry(rng)
    w = random_v3_weights(g, seed=seed, kron_zeros=0.1 * (seed % 3))
    for lay in w.layers:
        x = rng.standard_normal(g.d_model)
        u = x / np.sqrt(np.mean(x * x) + 1e-6)
        out = _ffn(lay, w.model["perm1"], w.model["perm2"], u, g.hada_n, g.d_model)
        rms = np.sqrt(np.mean(out * out))
        assert np.all(np.isfinite(out)) and 0.02 < rms < 5, f"seed {seed}: rms {rms}"
