"""Checks of the numpy second-generation reference itself (no engine needed)."""
import math
import struct

import numpy as np
import pytest

from reference import v2 as ref
from vorpel_writer import DEFAULT_CODEBOOK, TrovWriter, dequantize_cq, quantize_cq
from vorpel_writer.v2 import (PAD_ID, V2Geometry, V2Weights, demo_tokenizer_pieces,
                              random_v2_container, random_v2_weights, write_v2)


# ---------------------------------------------------------------- transform

def test_fwht_matches_dense_hadamard_and_is_an_involution():
    rng = np.random.default_rng(11)
    for n in [1, 2, 4, 8, 32, 256]:
        x = rng.standard_normal((3, n))
        expect = x @ ref.hadamard_matrix(n).T / math.sqrt(n)
        np.testing.assert_allclose(ref.fwht(x), expect, rtol=0, atol=1e-12 * n)
        np.testing.assert_allclose(ref.fwht(ref.fwht(x)), x, rtol=0, atol=1e-12 * n)
    np.testing.assert_allclose(ref.fwht(np.array([3.0, 1.0])), [4 / math.sqrt(2), 2 / math.sqrt(2)])
    np.testing.assert_allclose(ref.fwht(np.array([1.0, 0, 0, 0])), [0.5] * 4)
    with pytest.raises(ValueError):
        ref.fwht(np.zeros(12))


# ---------------------------------------------------------------- CQ codec

def _pack_slow(codes, nbits):
    """Bit-by-bit little-endian stream of one row, written as plainly as possible."""
    out = bytearray(len(codes) * nbits // 8)
    for j, c in enumerate(codes):
        for bit in range(nbits):
            if (int(c) >> bit) & 1:
                pos = j * nbits + bit
                out[pos // 8] |= 1 << (pos % 8)
    return bytes(out)


@pytest.mark.parametrize("bits_code,nbits", [(2, 2), (3, 3), (4, 4), (5, 2)])
def test_cq_dequantise_hand_built_rows(bits_code, nbits):
    """Codes and scales chosen directly; expected weights from the dense Hadamard matrix."""
    seed = 100 + bits_code
    rng = np.random.default_rng(seed)
    rows, cols, b = 3, 20, 8            # two blocks per row, the second one padded
    padded = 24
    codes = rng.integers(0, 1 << nbits, size=(rows, padded))
    scales = rng.uniform(0.5, 2.0, size=(rows, 3)).astype(np.float16)
    blob = b"".join(_pack_slow(codes[r], nbits) for r in range(rows)) + scales.tobytes()
    if bits_code == 5:
        c = float(np.float32(1.2240064) / np.sqrt(np.float32(b)))
        table = np.array([0.0, c, 0.0, -c])
    else:
        lo, hi = {2: (0, 4), 3: (4, 12), 4: (12, 28)}[bits_code]
        table = np.asarray(DEFAULT_CODEBOOK[lo:hi], dtype=np.float64)
    h = ref.hadamard_matrix(b) / math.sqrt(b)
    expect = np.zeros((rows, padded))
    for r in range(rows):
        for k in range(3):
            vals = table[codes[r, k * b:(k + 1) * b]] * float(scales[r, k])
            expect[r, k * b:(k + 1) * b] = h @ vals
    got = ref.cq_dequantize(blob + b"\x99", rows, cols, b, bits_code, DEFAULT_CODEBOOK)
    np.testing.assert_allclose(got, expect[:, :cols], rtol=1e-6, atol=1e-6,
                               err_msg=f"seed {seed}")


def test_cq_ternary_byte_and_three_bit_straddle():
    b = 8
    c = float(np.float32(1.2240064) / np.sqrt(np.float32(b)))
    # One row of 8 ternary codes: byte 0b11_10_01_00 then zeros; scale 1.
    blob = bytes([0b11100100, 0]) + np.float16(1).tobytes()
    w = ref.cq_dequantize(blob, 1, 8, b, 5, DEFAULT_CODEBOOK)
    rot = ref.fwht(w.astype(np.float64))  # back to the code domain
    np.testing.assert_allclose(rot[0], [0, c, 0, -c, 0, 0, 0, 0], atol=1e-6)
    # 3-bit: code 2 occupies bits 6..8 (two bits of byte 0, one of byte 1).
    codes = np.array([0, 0, 5, 0, 0, 0, 0, 0])
    raw = _pack_slow(codes, 3)
    assert raw[0] >> 6 == 5 & 3 and raw[1] & 1 == 1
    w = ref.cq_dequantize(raw + np.float16(1).tobytes(), 1, 8, b, 3, DEFAULT_CODEBOOK)
    rot = ref.fwht(w.astype(np.float64))
    expect = np.full(8, DEFAULT_CODEBOOK[4 + 0])
    expect[2] = DEFAULT_CODEBOOK[4 + 5]
    np.testing.assert_allclose(rot[0], expect, atol=1e-6)


@pytest.mark.parametrize("bits", [2, 3, 4, "ternary"])
def test_cq_dequantise_agrees_with_writer(bits):
    for seed in range(3):
        rng = np.random.default_rng(seed)
        rows, cols = int(rng.integers(1, 9)), int(rng.integers(1, 150))
        block = int(rng.choice([8, 16, 64]))
        blob = quantize_cq(rng.standard_normal((rows, cols)), bits=bits, block=block)
        mine = ref.cq_dequantize(blob.data, rows, cols, block, blob.bits_code, DEFAULT_CODEBOOK)
        theirs = dequantize_cq(blob)
        np.testing.assert_allclose(mine, theirs, rtol=1e-5, atol=1e-5,
                                   err_msg=f"seed {seed} shape {rows}x{cols} block {block}")


# ---------------------------------------------------------------- model pieces

def test_sinkhorn_doubly_stochastic_and_one_lane_is_one():
    assert ref.sinkhorn(np.array([[7.3]])) == np.array([[1.0]])
    rng = np.random.default_rng(5)
    for n in [2, 3, 4]:
        m = ref.sinkhorn(rng.standard_normal((n, n)) * 3)
        np.testing.assert_allclose(m.sum(axis=0), 1, atol=1e-12)
        np.testing.assert_allclose(m.sum(axis=1), 1, atol=1e-3)
    # Non-finite rows collapse to their maximum rather than producing NaN.
    assert ref.logsumexp(np.array([-np.inf, -np.inf])) == -np.inf
    assert ref.logsumexp(np.array([np.nan, 1.0])) == pytest.approx(1.0)


def test_engram_hash_orders():
    rows = 61
    toks = [5, 9, 200, 7, 7, 3]
    # Order 0 ignores the tokens entirely: one constant row per table.
    assert len({ref.engram_row_hash(2, 0, toks, p, rows) for p in range(6)}) == 1
    # Order 3 is absent until three tokens exist, then depends only on the last three.
    assert ref.engram_row_hash(0, 3, toks, 1, rows) is None
    assert ref.engram_row_hash(0, 3, toks, 2, rows) is not None
    other = [1, 1, 1] + toks[3:]
    assert ref.engram_row_hash(0, 3, toks, 5, rows) == ref.engram_row_hash(0, 3, other, 5, rows)
    # Hand evaluation of one case in wrapping 32-bit arithmetic.
    h = (0x9E3779B9 * 2) % 2**32
    h = ((h ^ 9) * 16777619) % 2**32
    h = ((h ^ 5) * 16777619) % 2**32
    assert ref.engram_row_hash(1, 2, toks, 1, rows) == (h ^ (h >> 15)) % rows


def _zero_model(geom, seed):
    """Random embedding and final norm, every other weight zero."""
    w = random_v2_weights(geom, seed=seed)
    for layer in w.layers:
        for k, v in layer.items():
            layer[k] = np.zeros_like(v)
    for k, v in w.mhc.items():
        w.mhc[k] = np.zeros_like(v)
    return w


def test_blank_blocks_reduce_to_embedding_readout():
    """With zero projections and a zero MLP every block adds nothing, and the
    doubly stochastic mix keeps equal lanes equal: logits are the tied read-out
    of the normalised scaled embedding."""
    geom = V2Geometry(vocab=40, d_model=24, num_layers=2, mhc_lanes=3, engram_sites=[],
                      kv_window=3)
    w = _zero_model(geom, seed=3)
    data = write_v2(geom, w, bits=4, block=8)
    model = ref.V2Reference.from_bytes(data)
    emb = dequantize_cq(quantize_cq(w.embedding, bits=4, block=8)).astype(np.float64)
    toks = [4, 39, 0, 4, 17]
    got = model.logits_for(toks)
    for i, t in enumerate(toks):
        e = emb[t] * math.sqrt(24)
        y = (1 + w.final_norm) * e / math.sqrt(np.mean(e * e) + 1e-6)
        np.testing.assert_allclose(got[i], emb @ y, rtol=1e-5, atol=1e-5)


def test_container_round_trip_of_float_tensors_and_header():
    r = random_v2_container(21, heads=True, tokenizer=True, float_dtype="f32", engram=True)
    model = ref.V2Reference.from_bytes(r.data)
    g = r.geom
    assert model.vocab == g.vocab and model.L == g.mhc_lanes and model.sites == g.engram_sites
    assert model.orders == g.orders and model.kv_window == g.kv_window
    assert len(model.heads) == len(r.info["heads"])
    assert [h.kind for h in model.heads] == [k for k, _, _ in r.info["heads"]]
    assert model.pad_id == PAD_ID
    assert model.c.header["flags"] == g.flags


def test_ring_cache_equals_full_history():
    """A window-sized ring must attend exactly what a full-length cache with the same window does."""
    r = random_v2_container(4, kv_window=5, engram=True, tokenizer=False)
    model = ref.V2Reference.from_bytes(r.data)
    toks = np.random.default_rng(4).integers(0, r.geom.vocab, 40)
    ring = model.logits_for(toks)
    assert model.state.capacity == 5
    model.state = model.new_cache(capacity=model.max_seq_len, window=5)
    full = np.stack([model.step(int(t)) for t in toks])
    np.testing.assert_allclose(ring, full, rtol=1e-12, atol=1e-12)
    # Without the window the later positions differ.
    model.state = model.new_cache(capacity=model.max_seq_len, window=0)
    unlimited = np.stack([model.step(int(t)) for t in toks])
    np.testing.assert_allclose(unlimited[:5], ring[:5], rtol=1e-12, atol=1e-12)
    assert np.abs(unlimited[10:] - ring[10:]).max() > 1e-6


def test_step_preconditions():
    r = random_v2_container(2, tokenizer=False, max_seq_len=300)
    model = ref.V2Reference.from_bytes(r.data)
    with pytest.raises(ValueError, match="token id outside vocabulary"):
        model.step(r.geom.vocab)
    assert model.position == 0


# ---------------------------------------------------------------- heads

def test_pooling_is_a_softmax_over_all_pooled_vectors_and_skips_padding():
    r = random_v2_container(8, heads=[(1, 3, 5), (2, 2, 1)], tokenizer=True, engram=True)
    model = ref.V2Reference.from_bytes(r.data)
    toks = [1, 40, PAD_ID, 77, 12, PAD_ID, 99]
    # Collect what should be pooled by running the same forward with a recording hook.
    seen = []
    st = model.new_cache(capacity=model.max_seq_len, window=0)
    for t in toks:
        model._forward(st, t, None if t == PAD_ID else seen.append)
    assert len(seen) == 5 * (model.n_layers + 1)
    vecs = np.stack(seen)
    for kind, head in [(1, model.heads[0]), (2, model.heads[1])]:
        scores = vecs @ head.probes.T / math.sqrt(model.d)      # (n, P)
        wts = np.exp(scores - scores.max(axis=0))
        wts /= wts.sum(axis=0)
        z = (wts.T @ vecs).reshape(-1)
        out = head.proj @ z + head.bias
        if kind == 1:
            out /= np.linalg.norm(out)
        np.testing.assert_allclose(model.pool_head(toks, kind), out, rtol=1e-9, atol=1e-12)
    assert model.pool_head([PAD_ID, PAD_ID], 1) is None
    assert model.pool_head(toks, 3) is None
    # A token past the vocabulary ends the text there.
    np.testing.assert_allclose(model.pool_head(toks[:3] + [model.vocab] + toks[3:], 2),
                               model.pool_head(toks[:3], 2))


# ---------------------------------------------------------------- sampling

def test_splitmix_matches_known_sequence():
    # Seed 0 starts at gamma, so its draws are the splitmix64 outputs 2, 3, ... for state 0.
    g = ref.SplitMix(0)
    for z in [0x6E789E6AA1B965F4, 0x06C45D188009454F]:
        assert g.next_f64() == (z >> 11) * 2.0 ** -53


def test_sampling_frequencies_and_greedy_ties():
    assert ref.sample([1.0, 3.0, 3.0, -1.0], 0.0, None) == 1
    logits = np.array([0.5, 2.0, -1.0, 1.0], dtype=np.float32)
    temp = 0.7
    p = np.exp(logits / temp) / np.exp(logits / temp).sum()
    rng = ref.SplitMix(1234)
    n = 10000
    counts = np.bincount([ref.sample(logits, temp, rng) for _ in range(n)], minlength=4)
    np.testing.assert_allclose(counts / n, p, atol=0.02)


def test_demo_pieces_have_the_requested_count():
    for vocab in [300, 1000]:
        pieces = demo_tokenizer_pieces(vocab)
        assert len(pieces) == vocab and len({t for t, _, _ in pieces}) == vocab
        assert sum(1 for _, _, k in pieces if k == 4) == 256
        assert {t for t, _, k in pieces if k == 3} >= {"<tool_call>", "<|im_end|>"}


def test_generation_loop_stop_rules():
    r = random_v2_container(12, tokenizer=False, max_seq_len=48, kv_window=0)
    model = ref.V2Reference.from_bytes(r.data)
    assert ref.generate(model, [1, 2, 3], max_new_tokens=0) == ([], "MaxTokens", 3)
    # The prompt is cut to leave room for the new tokens, but never below one token.
    ids, reason, n = ref.generate(model, list(range(10)), max_new_tokens=128)
    assert (n, reason, len(ids)) == (1, "ContextFull", 48)
    ids, reason, n = ref.generate(model, list(range(10)), max_new_tokens=5, temperature=0.8,
                                  seed=3)
    assert (n, reason, len(ids)) == (10, "MaxTokens", 5)
    # Whatever greedy picks first, declaring it the end-of-sequence id stops at once.
    first = ref.generate(model, [4, 5], max_new_tokens=1)[0][0]
    assert ref.generate(model, [4, 5], max_new_tokens=9, eos_id=first) == ([], "Eos", 2)
    assert ref.generate(model, [4, 5], max_new_tokens=9, im_end_id=first) == ([], "ImEnd", 2)
