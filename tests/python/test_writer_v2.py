"""The second-generation container builder: canon layout, random geometries, fast quantiser."""
import struct

import numpy as np
import pytest

from vorpel_writer import dequantize_cq, trov_read
from vorpel_writer.v2 import (V2Geometry, fast_quantize_cq, random_v2_container,
                              random_v2_geometry, random_v2_weights, realistic_geometry, write_v2)


@pytest.mark.parametrize("bits,max_rel", [(4, 0.12), (3, 0.22), (2, 0.38), ("ternary", 0.48)])
def test_fast_quantiser_error_band(bits, max_rel):
    for seed in range(3):
        rng = np.random.default_rng(seed)
        rows, cols = int(rng.integers(1, 40)), int(rng.integers(1, 300))
        block = int(rng.choice([8, 32, 64]))
        m = rng.standard_normal((rows, cols)).astype(np.float32) * rng.uniform(0.01, 10)
        back = dequantize_cq(fast_quantize_cq(m, bits, block))
        rel = np.sqrt(np.mean((back - m) ** 2) / np.mean(m * m))
        assert rel < max_rel, f"seed {seed} {rows}x{cols} block {block}: relative error {rel:.3f}"
        # The code for a zero weight block must stay exactly zero.
        z = dequantize_cq(fast_quantize_cq(np.zeros((2, cols), np.float32), bits, block))
        assert not np.any(z)


def _canon_count(g, n_heads, tokenizer):
    n = 11 + 14 * g.num_layers + 4 * len(g.engram_sites)
    return n + (1 + 3 * n_heads if n_heads else 0) + (1 if tokenizer else 0)


def test_write_v2_canon_layout():
    g = V2Geometry(vocab=50, d_model=24, num_layers=3, mhc_lanes=3, engram_sites=[2, 0],
                   num_tables=3, sub_dim=8, orders=[0, 3, 1], kv_window=9)
    w = random_v2_weights(g, seed=1, heads=[(2, 2, 1), (1, 1, 6)])
    data = write_v2(g, w, bits=3, block=16, float_dtype="f16", tokenizer_blob=b"tok",
                    per_tensor_bits={"embedding": (4, 8), "layer1.q_proj": "ternary"})
    p = trov_read.parse(data)
    t = p["tensors"]
    assert len(t) == _canon_count(g, 2, True)
    assert p["header"]["hada_n"] == 32 and p["header"]["kv_window"] == 9
    kinds = [(e["dtype"], tuple(e["dims"][:e["ndim"]])) for e in t]
    assert kinds[0] == (3, (50, 24)) and t[0]["cq_bits"] == 4 and t[0]["cq_block"] == 8
    assert kinds[1] == (1, (24,))                          # layer 0 norm_in
    assert t[1 + 14 + 1]["cq_bits"] == 5                   # layer 1 q_proj
    assert t[1 + 1]["cq_bits"] == 3 and t[1 + 1]["cq_block"] == 16
    assert kinds[1 + 9] == (1, (1,))                       # attn_gate
    b = 1 + 14 * 3
    assert kinds[b + 5] == (1, (3, 3, 3)) and kinds[b + 8] == (3, (27, 72))
    assert kinds[b + 9] == (3, (3 * g.table_rows, 8)) and kinds[b + 12] == (1, (g.conv_taps, 24))
    f = b + 9 + 8
    assert kinds[f] == (1, (24,))
    assert kinds[f + 1] == (1, (2,)) and kinds[f + 3] == (1, (1, 2 * 24))
    assert kinds[-1] == (4, (3,))


def test_random_geometries_are_valid():
    rng = np.random.default_rng(0)
    for _ in range(300):
        g = random_v2_geometry(rng)
        assert g.hada_n >= g.d_model and g.hada_n & (g.hada_n - 1) == 0
        assert g.hada_n < 2 * g.d_model
        assert g.num_heads % g.num_kv_heads == 0 and g.head_dim % 2 == 0
        if g.engram_sites:
            assert g.num_tables * g.sub_dim == g.d_model and g.num_tables % len(g.orders) == 0
            assert all(s < g.num_layers for s in g.engram_sites) and len(g.engram_sites) <= 4
        assert 1 <= g.mhc_lanes <= 4
    for seed in range(4):
        r = random_v2_container(seed, tokenizer=False)
        n_heads = len(r.info["heads"])
        assert struct.unpack_from("<I", r.data, 4)[0] == _canon_count(r.geom, n_heads, False)


def test_realistic_geometry_is_the_benchmark_shape():
    g = realistic_geometry()
    assert (g.vocab, g.d_model, g.num_layers, g.num_heads, g.num_kv_heads, g.head_dim) == \
        (49152, 576, 30, 9, 3, 64)
    assert (g.max_seq_len, g.hada_n, g.mhc_lanes, len(g.engram_sites), g.table_rows,
            len(g.orders)) == (2048, 1024, 4, 2, 4096, 3)
    assert g.num_tables * g.sub_dim == g.d_model and g.num_tables % len(g.orders) == 0
