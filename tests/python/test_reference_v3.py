"""Checks of the numpy third-generation reference itself (no engine, no writer): ladder, kernels,
hash, cache sizes and model-level invariants on small containers packed by hand below."""
import itertools
import math
import struct

import numpy as np
import pytest

from reference import v3 as ref

M32 = 0xFFFFFFFF
G32, FNV = 0x9E3779B9, 16777619


# ---------------------------------------------------------------- pieces

@pytest.mark.parametrize("n,depth,blocks", [
    (12, 2, [0, 11]), (12, 4, [0, 5, 8, 11]), (12, 6, [0, 2, 3, 5, 8, 11]),
    (12, 12, list(range(12))), (12, 1, None), (12, 0, None), (12, 13, None), (1, 1, None)])
def test_ladder_rungs(n, depth, blocks):
    assert ref.ladder_blocks(n, depth) == blocks


def test_ladder_orders():
    assert ref.ladder_order(12) == [0, 11, 5, 8, 2, 3, 6, 9, 1, 4, 7, 10]
    assert ref.ladder_order(6) == [0, 5, 2, 3, 1, 4]
    assert all(sorted(ref.ladder_order(k)) == list(range(k)) for k in range(1, 70))


@pytest.mark.parametrize("seed,p,q", [(1, 1, 4), (2, 2, 2), (3, 4, 8), (4, 16, 32)])
def test_kron_mix_matches_np_kron(seed, p, q):
    rng = np.random.default_rng(seed)
    a, b, z = rng.standard_normal((p, p)), rng.standard_normal((q, q)), rng.standard_normal(p * q)
    np.testing.assert_allclose(ref.kron_mix(z, a, b), np.kron(a.T, b.T) @ z,
                               rtol=0, atol=1e-12 * p * q, err_msg=f"seed {seed}")
    poisoned = np.array([np.inf, np.nan, 2.0, 3.0])   # an exactly zero multiplier skips row 0, NaN does not
    np.testing.assert_array_equal(ref.kron_mix(poisoned, np.diag([0.0, 1.0]), np.eye(2)), [0, 0, 2, 3])
    assert np.isnan(ref.kron_mix(poisoned, np.diag([np.nan, 1.0]), np.eye(2))[0])


def test_int8_rounding():
    q, s = ref.int8_round(np.array([127.0, 0.5, -0.5, 1.5, -2.5, 0.49, 126.5]))
    assert s == 1.0 and q.tolist() == [127, 1, -1, 2, -3, 0, 127]
    q, s = ref.int8_round(np.zeros(6))
    assert s == 1.0 and not q.any()
    q, s = ref.int8_round(np.array([np.nan, -4.0, 1.0]))
    assert q.tolist() == [0, -127, 32] and s == np.float32(np.float32(4) / np.float32(127))
    rng = np.random.default_rng(5)
    for seed in range(30):
        x = rng.standard_normal(int(rng.integers(1, 70))) * 10.0 ** rng.uniform(-4, 4)
        q, s = ref.int8_round(x)
        i = int(np.argmax(np.abs(x)))
        assert q[i] == (127 if x[i] > 0 else -127), f"seed {seed}"
        assert np.all(np.abs(q * s - x) <= 0.5 * s * (1 + 1e-5)), f"seed {seed}"


def test_engram_hash_examples():
    rows = 1009
    mix = lambda h: (h ^ (h >> 15)) % rows
    # stride 0 means tables_per_order (3 here); a non-zero stride replaces it
    assert ref.engram_index([5], 0, 0, 2, 1, 0, 3, rows) == mix(G32 * (2 * 3 + 1 + 1) & M32)
    assert ref.engram_index([5], 0, 0, 2, 1, 7, 3, rows) == mix(G32 * (2 * 7 + 1 + 1) & M32)
    toks = np.random.default_rng(9).integers(0, 1 << 32, 12).tolist()
    assert len({ref.engram_index(toks, t, 0, 0, 0, 0, 2, rows) for t in range(12)}) == 1
    for t in range(12):   # order 1: the current token only, taken as a whole 32-bit value
        assert ref.engram_index(toks, t, 1, 0, 0, 0, 2, rows) == mix((G32 ^ toks[t]) * FNV & M32)
        assert ref.engram_index([7] * t + [toks[t]], t, 1, 0, 0, 0, 2, rows) \
            == ref.engram_index(toks, t, 1, 0, 0, 0, 2, rows)
    # order 3 at position 0: the missing positions only multiply
    assert ref.engram_index([9], 0, 3, 0, 0, 0, 1, rows) == mix((G32 ^ 9) * FNV ** 3 & M32)


def test_prompt_and_sampler():
    tools = '[ {"name" : "a b",\n "d": "q\\" x" } ]'
    assert ref.build_prompt("Q", tools, "") == (
        '<|im_start|>system\n<|im_end|>\n<|im_start|>user\n<tools>[{"name":"a b","d":"q\\" x"}]'
        '</tools>\nQ<|im_end|>\n<|im_start|>assistant\n')
    rng = ref.SplitMix64(0)
    assert [rng.next_u64() for _ in range(2)] == [0xE220A8397B1DCDAF, 0x6E789E6AA1B965F4]
    logits = np.random.default_rng(8).standard_normal(50).astype(np.float32) * 3
    assert ref.pick(np.r_[logits, logits.max()], 0.0, rng) == int(np.argmax(logits))  # lowest id on ties
    for seed in range(40):   # the walk lands on the first id whose running sum reaches u * F
        terms = np.exp((logits - logits.max()) / np.float32(0.7)).astype(np.float64)
        u = ref.SplitMix64(seed).next_f64()
        want = int(np.searchsorted(np.cumsum(terms), u * terms.sum()))
        assert ref.pick(logits, 0.7, ref.SplitMix64(seed)) == want, f"seed {seed}"


# ---------------------------------------------------------------- hand-packed containers

CODEBOOK = np.concatenate([np.linspace(-1.5, 1.5, n) for n in (4, 8, 16)]).astype("<f4")
WORDS_A = ("vocab_size logit_rows d_model num_heads num_kv_heads num_layers head_dim value_dim "
           "max_seq_len hada_n mhc_lanes kv_window").split()           # u32 from offset 20
WORDS_B = "qkv_conv_taps table_rows sub_dim num_tables conv_taps tap_stride engram_seed_stride".split()


class CQ:
    """Random CQ matrix kept as per-row codes and scales, so a rung can gather rows."""

    def __init__(self, rng, rows, cols, bits, block=8, codes=None, scales=None):
        self.rows, self.cols, self.bits, self.block = rows, cols, bits, block
        nb = -(-cols // block)
        if codes is None:
            codes = rng.integers(0, 256, (rows, (2 if bits == 5 else bits) * nb * block // 8), dtype=np.uint8)
            scales = (rng.uniform(0.5, 1.5, (rows, nb)) / math.sqrt(cols)).astype("<f2")
        self.codes, self.scales = codes, scales

    def take(self, rows):
        return CQ(None, len(rows), self.cols, self.bits, self.block, self.codes[rows], self.scales[rows])


def pack(g, tensors):
    head = bytearray(196)
    struct.pack_into("<III", head, 0, 0x05E12A84, len(tensors), 28)
    for k, name in enumerate(WORDS_A):
        struct.pack_into("<I", head, 20 + 4 * k, g[name])
    struct.pack_into("<Q", head, 68, sum(1 << j for j in g["global_layers"]))
    for k, name in enumerate(WORDS_B):
        struct.pack_into("<I", head, 76 + 4 * k, g[name])
    struct.pack_into("<I4I", head, 104, len(g["orders"]), *(g["orders"] + [0] * 4)[:4])
    struct.pack_into("<I16I", head, 124, len(g["engram_sites"]), *(g["engram_sites"] + [0] * 16)[:16])
    struct.pack_into("<f", head, 192, g["rope_theta"])
    directory, blobs, start = b"", b"", 308 + 44 * len(tensors)
    for t in tensors:
        if isinstance(t, CQ):
            dt, dims, raw, blk, bits = 3, (t.rows, t.cols), t.codes.tobytes() + t.scales.tobytes(), t.block, t.bits
        else:   # raw bytes (the tokenizer), f16 or f32
            dt = 4 if isinstance(t, bytes) else 1 if t.dtype == np.float16 else 2
            dims, raw, blk, bits = (len(t),) if dt == 4 else t.shape, t if dt == 4 else t.tobytes(), 0, 0
        directory += struct.pack("<BBxx4IQQIB3x", dt, len(dims), *(list(dims) + [0] * 4)[:4],
                                 start + len(blobs), len(raw), blk, bits)
        blobs += raw
    return bytes(head) + CODEBOOK.tobytes() + directory + blobs


def tokenizer_blob():
    out = struct.pack("<5IBB2x", 4, 0, 1, 2, 0, 1, 1)
    for text, kind in [(b"<unk>", 2), (b"</s>", 1), (b"<s>", 1), (b"<0x41>", 4)]:
        out += struct.pack("<fBH", 0.0, kind, len(text)) + text
    return out


def make_model(seed, **over):
    g = dict(vocab_size=11, logit_rows=9, d_model=16, num_heads=4, num_kv_heads=2, num_layers=5,
             head_dim=8, value_dim=4, max_seq_len=24, hada_n=32, mhc_lanes=3, kv_window=4,
             global_layers=[2, 3, 40], qkv_conv_taps=3, table_rows=13, num_tables=6, conv_taps=3,
             tap_stride=2, engram_seed_stride=0, orders=[1, 3, 0], engram_sites=[4, 1, 4],
             rope_theta=100.0, per_cell=2, readouts=2, out_dim=2)
    g.update(over)
    g["sub_dim"] = g["d_model"] // g["num_tables"]
    rng = np.random.default_rng(seed)
    d, n, lanes, hn, taps = g["d_model"], g["num_layers"], g["mhc_lanes"], g["hada_n"], g["qkv_conv_taps"]
    nh, nkv, hd, vd = g["num_heads"], g["num_kv_heads"], g["head_dim"], g["value_dim"]
    p = 1 << (int(math.log2(hn)) // 2)
    q = hn // p
    f = lambda *shape, s=0.3: (rng.standard_normal(shape) * s).astype(np.float32)
    bits = itertools.cycle([4, 2, 3, 5])
    cq = lambda r, c: CQ(rng, r, c, next(bits), block=16 if c % 16 == 0 else 8)

    def block():
        t = [f(d).astype(np.float16), cq(nh * hd, d), cq(nkv * hd, d), cq(nkv * vd, d)]
        if taps:
            t += [f(taps, nh * hd, s=0.6), f(taps, nkv * hd, s=0.6), f(taps, nkv * vd, s=0.6)]
        t += [f(hd), f(hd), cq(nh * vd, d), cq(d, nh * vd), f(d), f(1, s=1.0), f(d),
              1 + f(hn), f(hn), f(hn, s=0.1), f(hn), f(d - 3)]
        t += [x for _ in range(3) for x in (f(p, p, s=p ** -0.5), f(q, q, s=q ** -0.5))]
        return t + [f(d, 3), f(3, hn)]

    perm2 = rng.integers(0, hn, hn - 5) + 0.7
    width, cells = g["num_tables"] * g["sub_dim"], (n + 1) * g["per_cell"]
    r, o = g["readouts"], g["out_dim"]

    def head(code):
        t = [cq(cells, d), 1 + f(cells), cq(r, d), f(r, cells), cq(o, r * d), f(o - 1)]
        return code, t + ([f(2)] if code == 3 else [])

    return dict(g=g, embedding=cq(g["vocab_size"], d), blocks=[block() for _ in range(n)],
                mhc=[f(n, s=0.5) for _ in range(3)] + [f(n, lanes), f(n, lanes), f(n, lanes * lanes)],
                phi=[cq(n * lanes, lanes * d), cq(n * lanes, lanes * d), cq(n * lanes * lanes, lanes * d)],
                perms=[rng.permutation(hn).astype(np.float32), perm2.astype(np.float32)],
                sites=[[cq(g["num_tables"] * g["table_rows"], g["sub_dim"]), cq(d, width), cq(d, width),
                        f(g["conv_taps"], d, s=0.6)] for _ in g["engram_sites"]],
                final=f(d), heads=[head(1), head(3), head(2)])


def pack_model(m, keep=None, heads=True, tokenizer=True):
    """The full container, or (keep = kept blocks) a container holding only those blocks."""
    g = dict(m["g"])
    full = keep is None
    keep = list(range(g["num_layers"])) if full else keep
    at = {k: i for i, k in enumerate(keep)}
    lanes, pc = g["mhc_lanes"], g["per_cell"]
    sites = [(at[s], grp) for s, grp in zip(g["engram_sites"], m["sites"]) if s in at]
    g.update(num_layers=len(keep), engram_sites=[s for s, _ in sites],
             global_layers=g["global_layers"] if full else [at[j] for j in g["global_layers"] if j in at])
    lane_rows = [k * lanes + i for k in keep for i in range(lanes)]
    res_rows = [k * lanes * lanes + i for k in keep for i in range(lanes * lanes)]
    items = [c * pc + i for c in [0] + [k + 1 for k in keep] for i in range(pc)]
    t = [m["embedding"]] + [x for k in keep for x in m["blocks"][k]] + [v[keep] for v in m["mhc"]]
    t += [m["phi"][0].take(lane_rows), m["phi"][1].take(lane_rows), m["phi"][2].take(res_rows)]
    t += m["perms"] + [x for _, grp in sites for x in grp] + [m["final"]]
    if heads:
        t.append(np.array([code + 0.7 for code, _ in m["heads"]], dtype=np.float32))
        for code, h in m["heads"]:
            t += [h[0].take(items), h[1][items], h[2], h[3][:, items]] + h[4:]
    return pack(g, t + ([tokenizer_blob()] if tokenizer else []))


IDS = [2, 7, 3, 10, 11, 0xFFFFFFFF, 4, 4, 9, 1, 5, 6]   # ids >= vocab read the last row


@pytest.mark.parametrize("depth,blocks,sites", [(3, [0, 2, 4], [2, 2]), (4, [0, 1, 2, 4], [3, 1, 3]),
                                                (5, [0, 1, 2, 3, 4], [4, 1, 4])])
def test_rung_equals_a_container_of_its_blocks(depth, blocks, sites):
    m = make_model(21)
    rung = ref.V3Reference(pack_model(m), depth)
    alone = ref.V3Reference(pack_model(m, blocks))
    assert (rung.blocks, rung.num_layers, rung.full_layers) == (blocks, depth, 5)
    assert rung.engram_sites == alone.engram_sites == sites
    assert rung.global_layers == alone.global_layers == {3: [1], 4: [2], 5: [2, 3]}[depth]
    assert rung.has_confidence and rung.logit_rows == 9
    for kv_int8 in (False, True):
        np.testing.assert_allclose(rung.logits(IDS, kv_int8), alone.logits(IDS, kv_int8), rtol=1e-12, atol=1e-12)
    assert rung.confidence_logit(IDS) == pytest.approx(alone.confidence_logit(IDS), rel=1e-12)
    if depth == 5:
        full = ref.V3Reference(pack_model(m))
        np.testing.assert_array_equal(full.logits(IDS), rung.logits(IDS))
    assert ref.V3Reference(pack_model(m, heads=False)).confidence(IDS) is None


@pytest.mark.parametrize("kv_int8", [False, True])
def test_prefill_then_steps_match_one_prefill(kv_int8):
    model = ref.V3Reference(pack_model(make_model(22)))
    whole = model.logits(IDS, kv_int8)
    assert whole.shape == (len(IDS), 9) and np.all(np.isfinite(whole))
    st = model.new_session(kv_int8)
    parts = [model.prefill(st, IDS[:5]), model.prefill(st, IDS[5:9])]
    parts += [model.step(st, t)[None] for t in IDS[9:]]
    np.testing.assert_allclose(np.concatenate(parts), whole, rtol=1e-12, atol=1e-12)
    assert st.positions == len(IDS) and all(len(k) == len(IDS) for k in st.keys)
    if kv_int8:   # stored keys/values are the rounded values q * scale
        for row in (r for blk in st.keys + st.values for vecs in blk for r in vecs):
            scale = np.float32(np.float32(np.max(np.abs(row))) / np.float32(127))
            np.testing.assert_allclose(row / scale, np.round(row / scale), atol=1e-9)
            assert round(float(np.max(np.abs(row / scale)))) == 127


@pytest.mark.parametrize("global_layers,taps,first_equal", [([], 0, 3), ([], 3, 5), ([0], 0, 9)])
def test_local_window_and_conv_reach(global_layers, taps, first_equal):
    """One block, no engram: position 0 reaches later rows only through the window and the taps."""
    m = make_model(23, num_layers=1, qkv_conv_taps=taps, engram_sites=[], kv_window=3,
                   global_layers=global_layers)
    model = ref.V3Reference(pack_model(m))
    a, b = model.logits([2, 3, 4, 5, 6, 7, 8, 9]), model.logits([10, 3, 4, 5, 6, 7, 8, 9])
    assert [bool(np.array_equal(a[i], b[i])) for i in range(8)] == [i >= first_equal for i in range(8)]
    np.testing.assert_array_equal(b[0], model.logits([0xFFFFFFFF])[0])   # clamped to the last row


def test_engram_fetches_nothing_until_the_order_is_reached():
    m = make_model(27, num_layers=1, engram_sites=[0], orders=[3], num_tables=4, conv_taps=1)
    plain = ref.V3Reference(pack_model(dict(m, g=dict(m["g"], engram_sites=[])))).logits(IDS[:4])
    with_site = ref.V3Reference(pack_model(m)).logits(IDS[:4])
    assert [bool(np.array_equal(plain[i], with_site[i])) for i in range(4)] == [True, True, False, False]


@pytest.mark.parametrize("over,depth,seq_len,int8,positions", [
    ({}, None, 1000, False, 2 * 1000 + 3 * 128), ({}, None, 1000, True, 2 * 1000 + 3 * 128),
    ({}, None, 100, False, 500), ({}, None, 0, True, 0), ({}, 3, 1000, False, 1000 + 2 * 128),
    ({"kv_window": 4096}, None, 1000, True, 5000), ({"kv_window": 0}, None, 7, False, 35)])
def test_kv_bytes(over, depth, seq_len, int8, positions):
    geom = {**dict(head_dim=64, value_dim=64, max_seq_len=2048, kv_window=128, global_layers=[0, 3]), **over}
    model = ref.V3Reference(pack_model(make_model(24, **geom), heads=False), depth)
    per = 2 * (64 + 64 + 8) if int8 else 4 * 2 * (64 + 64)
    assert model.kv_bytes(seq_len, int8) == positions * per
    assert model.kv_bytes(512, True) * 512 == model.kv_bytes(512, False) * 136


def test_generate_loop_and_stop_rules():
    model = ref.V3Reference(pack_model(make_model(25)))
    prompt = [2, 5, 6, 7]
    for im_end in (None, 7):
        res = ref.generate(model, prompt, max_new_tokens=6, im_end_id=im_end)
        toks, stop = [], "MaxTokens"
        while len(toks) < 6:
            t = int(np.argmax(model.logits(prompt + toks)[-1]))
            if t == 1 or t == im_end:
                stop = "Eos" if t == 1 else "ImEnd"
                break
            toks.append(t)
        assert (res["token_ids"], res["stop_reason"], res["positions"]) == (toks, stop, 4 + len(toks))
    for ids, stop in [([2] * 30, "MaxSeqLen"), ([2] * 24, "MaxSeqLen")]:
        assert ref.generate(model, ids) == {"token_ids": [], "stop_reason": stop, "positions": 24}
    for seed in range(4):    # 0 new tokens means 256, cut to the 4 positions left
        res = ref.generate(model, [2] * 20, temperature=0.8, seed=seed)
        first = ref.pick(model.logits([2] * 20)[-1], 0.8, ref.SplitMix64(seed))
        assert res["token_ids"][:1] == ([] if first == 1 else [first]), f"seed {seed}"
        assert res["stop_reason"] == ("MaxTokens" if len(res["token_ids"]) == 4 else "Eos")
        assert res["positions"] == 20 + len(res["token_ids"])


def test_malformed_containers_are_refused():
    m = make_model(26)
    with pytest.raises(ValueError, match="ladder"):
        ref.V3Reference(pack_model(m), 1)
    with pytest.raises(ValueError, match="tokenizer"):
        ref.V3Reference(pack_model(m, tokenizer=False))
    with pytest.raises(ValueError, match="canon needs"):
        ref.V3Reference(pack(m["g"], [m["embedding"], tokenizer_blob()]))
    m["heads"][2] = (4, m["heads"][2][1])
    with pytest.raises(ValueError, match="unknown probe-head code"):
        ref.V3Reference(pack_model(m))
