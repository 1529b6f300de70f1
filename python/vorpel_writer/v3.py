"""Third-generation (laddered) containers from numpy: geometry, random weights
with sane scales, the canonical tensor order, the demo tokenizer with the fixed
bos/eos ids, random feature mixes and the benchmark model.

    geom = V3Geometry(vocab_size=300, d_model=32, global_layers=[1], qkv_conv_taps=2)
    weights = random_v3_weights(geom, seed=1, heads=[(2, 2, 2, 1)])
    data = write_v3(geom, weights, bits=4, block=32)
    r = random_v3_container(seed=7, lanes=3)        # r.data, r.geom, r.info

    python -m vorpel_writer.v3 --realistic OUT.trov
    python -m vorpel_writer.v3 --random OUT.trov --seed 5
"""
from __future__ import annotations

import dataclasses
import sys
from dataclasses import dataclass, field

import numpy as np

from .trov import HEADER_FIELDS, TrovWriter
from .tokenizer import build_tokenizer_blob
from .v2 import demo_tokenizer_pieces, fast_quantize_cq
from ._main import container_random_writer, writer_main

__all__ = [
    "V3Geometry", "V3Weights", "V3Head", "V3_BLOCK_TENSORS", "V3_CONV_TENSORS",
    "V3_MODEL_TENSORS", "V3_ENGRAM_TENSORS", "V3_HEAD_TENSORS", "block_tensor_names",
    "kron_sizes", "random_v3_weights", "write_v3", "v3_tokenizer_pieces", "v3_tokenizer_blob",
    "V3_PAD_ID", "V3_EOS_ID", "V3_BOS_ID", "V3_UNK_ID", "V3_MIN_PIECES", "DEMO_TOKENIZER",
    "random_v3_geometry", "random_v3_container", "RandomV3", "realistic_v3_geometry",
    "write_realistic_v3",
]

# Canon, as (name, is_cq) in directory order. The convolution taps sit between
# v_proj and q_norm, and only when qkv_conv_taps != 0.
V3_BLOCK_TENSORS = [
    ("norm_in", False), ("q_proj", True), ("k_proj", True), ("v_proj", True),
    ("q_norm", False), ("k_norm", False), ("gate_proj", True), ("out_proj", True),
    ("post_norm", False), ("attn_gate", False), ("ffn_norm", False),
    ("d1", False), ("act_scale", False), ("act_bias", False), ("d2", False), ("d3", False),
    ("k1_a", False), ("k1_b", False), ("k2_a", False), ("k2_b", False),
    ("k3_a", False), ("k3_b", False), ("router", False), ("components", False),
]
V3_CONV_TENSORS = [("q_conv", False), ("k_conv", False), ("v_conv", False)]
V3_MODEL_TENSORS = [
    ("mhc_a_pre", False), ("mhc_a_post", False), ("mhc_a_res", False),
    ("mhc_b_pre", False), ("mhc_b_post", False), ("mhc_b_res", False),
    ("mhc_phi_pre", True), ("mhc_phi_post", True), ("mhc_phi_res", True),
    ("perm1", False), ("perm2", False),
]
V3_ENGRAM_TENSORS = [("tables", True), ("key_proj", True), ("value_proj", True), ("taps", False)]
# The seventh (code 3 only) is "extra": a 2-D array goes in as CQ, anything else as floats.
V3_HEAD_TENSORS = [("probes", True), ("item_scales", False), ("queries", True),
                   ("biases", False), ("proj", True), ("bias", False)]


def block_tensor_names(qkv_conv_taps: int) -> list:
    """(name, is_cq) of one block group in directory order."""
    if not qkv_conv_taps:
        return list(V3_BLOCK_TENSORS)
    return V3_BLOCK_TENSORS[:4] + V3_CONV_TENSORS + V3_BLOCK_TENSORS[4:]


def _pow2_at_least(n: int) -> int:
    p = 1
    while p < n:
        p *= 2
    return p


def kron_sizes(hada_n: int) -> tuple:
    """(P, Q) of the Kronecker factors: P = 2^floor(log2(H)/2), Q = H / P."""
    p = 1 << ((int(hada_n).bit_length() - 1) // 2)
    return p, int(hada_n) // p


@dataclass
class V3Geometry:
    """Every header word of the third-generation container, plus the router
    width E (router_components), which only fixes tensor shapes.

    global_layers becomes global_layer_mask (extra_mask_bits is OR'd in, for
    bits at or above num_layers that the loader must ignore). value_dim,
    hada_n and sub_dim default to head_dim, d_model rounded up to a power of
    two and d_model // num_tables."""
    vocab_size: int = 300
    logit_rows: int = 0                # 0: all vocab_size rows
    d_model: int = 32
    num_heads: int = 4
    num_kv_heads: int = 2
    num_layers: int = 2
    head_dim: int = 8
    value_dim: int | None = None
    max_seq_len: int = 512
    hada_n: int | None = None
    mhc_lanes: int = 2
    kv_window: int = 0
    global_layers: list = field(default_factory=list)
    qkv_conv_taps: int = 0
    table_rows: int = 64
    sub_dim: int | None = None
    num_tables: int = 4
    conv_taps: int = 3
    tap_stride: int = 1
    engram_seed_stride: int = 0
    orders: list = field(default_factory=lambda: [1, 2])
    engram_sites: list = field(default_factory=lambda: [1])
    rope_theta: float = 10000.0
    router_components: int = 4
    extra_mask_bits: int = 0
    kept_12: int = 0
    kept_16: int = 0

    def __post_init__(self):
        if self.value_dim is None:
            self.value_dim = self.head_dim
        if self.hada_n is None:
            self.hada_n = _pow2_at_least(self.d_model)
        if self.sub_dim is None:
            self.sub_dim = self.d_model // self.num_tables if self.num_tables else 0
        self.global_layers = [int(b) for b in self.global_layers]
        self.orders = [int(o) for o in self.orders]
        self.engram_sites = [int(s) for s in self.engram_sites]

    @property
    def global_layer_mask(self) -> int:
        mask = int(self.extra_mask_bits)
        for b in self.global_layers:
            if not 0 <= b < 64:
                raise ValueError(f"global layer {b} does not fit the 64-bit mask")
            mask |= 1 << b
        return mask

    @property
    def kron(self) -> tuple:
        return kron_sizes(self.hada_n)

    @property
    def fetched_width(self) -> int:
        return self.num_tables * self.sub_dim

    @property
    def cells(self) -> int:
        return self.num_layers + 1

    def header_fields(self) -> dict:
        names = HEADER_FIELDS[3]
        d = {k: v for k, v in dataclasses.asdict(self).items() if k in names}
        d["orders"] = list(self.orders)
        d["engram_sites"] = list(self.engram_sites)
        d["global_layer_mask"] = self.global_layer_mask
        return d


@dataclass
class V3Head:
    """One probe-head entry; M = cells * probes per cell, R read-out queries."""
    code: int
    probes: np.ndarray        # [M, D], cell-major
    item_scales: np.ndarray   # [M]
    queries: np.ndarray       # [R, D]
    biases: np.ndarray        # [R, M], query-major
    proj: np.ndarray          # [out_dim, R*D]
    bias: np.ndarray          # [out_dim] (a shorter one reads as zero-padded)
    extra: np.ndarray | None = None   # code 3 only


@dataclass
class V3Weights:
    """Float32 weights by canon name: layers holds one dict per block
    (block_tensor_names), model the 11 model-wide tensors, engrams one dict
    per site, heads the probe-head entries in manifest order."""
    embedding: np.ndarray
    layers: list
    model: dict
    engrams: list
    final_norm: np.ndarray
    heads: list = field(default_factory=list)


def _orthogonal(rng, n: int, noise: float) -> np.ndarray:
    # QR of a Gaussian matrix with the sign fix is Haar-distributed; a little
    # noise keeps the factors from being exactly orthogonal, as trained ones are not.
    g = rng.standard_normal((n, n))
    q, r = np.linalg.qr(g)
    q = q * np.where(np.diag(r) < 0, -1.0, 1.0)
    return (q + rng.standard_normal((n, n)) * noise / np.sqrt(n)).astype(np.float32)


def _per_block(value, n: int, default) -> list:
    if value is None:
        return [default] * n
    if isinstance(value, (list, tuple)):
        if len(value) != n:
            raise ValueError(f"want one value per block ({n}), got {len(value)}")
        return [int(v) for v in value]
    return [int(value)] * n


def random_v3_weights(geom: V3Geometry, seed: int = 0, heads=(), d3_len=None,
                      perm_lens=(None, None), kron_zeros: float = 0.0) -> V3Weights:
    """Random weights whose activations stay O(1) and logits O(1..10).

    heads: (code, probes_per_cell, num_readout_queries, out_dim) per entry;
    code 3 adds the seventh tensor. d3_len: d3 length (an int or one per
    block; default hada_n). perm_lens: lengths of perm1 and perm2 (default
    hada_n); a shorter one is the head of a random permutation. kron_zeros:
    fraction of Kronecker-factor entries set to exactly zero."""
    rng = np.random.default_rng(seed)
    g = geom
    D, L, N, H, E = g.d_model, g.mhc_lanes, g.num_layers, g.hada_n, g.router_components
    P, Q = g.kron
    f32 = np.float32

    def normal(shape, std):
        return (rng.standard_normal(shape) * std).astype(f32)

    def proj(rows, cols):
        return normal((rows, cols), 1.0 / np.sqrt(max(cols, 1)))

    def offsets(n):  # norm weights are offsets from one
        return normal((n,), 0.1)

    def factor(n):
        m = _orthogonal(rng, n, 0.1)
        if kron_zeros > 0:
            m[rng.random((n, n)) < kron_zeros] = 0.0
        return m

    qd, kd = g.num_heads * g.head_dim, g.num_kv_heads * g.head_dim
    vd, gd = g.num_kv_heads * g.value_dim, g.num_heads * g.value_dim
    T = g.qkv_conv_taps
    # Logits are embedding rows dotted with a unit-RMS vector, so unit row norms
    # give logits of std ~1, up to sqrt(d_model) when the read-out meets its own row.
    embedding = normal((g.vocab_size, D), 1.0 / np.sqrt(D))
    d3_lens = _per_block(d3_len, N, H)
    layers = []
    for b in range(N):
        layer = {
            "norm_in": offsets(D), "q_proj": proj(qd, D), "k_proj": proj(kd, D),
            "v_proj": proj(vd, D), "q_norm": offsets(g.head_dim), "k_norm": offsets(g.head_dim),
            "gate_proj": proj(gd, D), "out_proj": proj(D, gd), "post_norm": offsets(D),
            "attn_gate": normal((1,), 1.0), "ffn_norm": offsets(D),
            "d1": (1.0 + normal((H,), 0.2)).astype(f32),
            "act_scale": (1.0 + normal((H,), 0.2)).astype(f32),
            "act_bias": normal((H,), 0.1),
            "d2": (1.0 + normal((H,), 0.3)).astype(f32),
            "d3": normal((d3_lens[b],), 0.5),
            "k1_a": factor(P), "k1_b": factor(Q), "k2_a": factor(P), "k2_b": factor(Q),
            "k3_a": factor(P), "k3_b": factor(Q),
            # D-major, so logit_e = sum_i router[i, e] * u_i: unit-RMS u gives O(1) logits.
            "router": normal((D, E), 1.0 / np.sqrt(D)),
            "components": normal((E, H), 0.2),
        }
        if T:
            # Tap 0 (the current input) near one, older taps small: a mild smoothing.
            for name, width in (("q_conv", qd), ("k_conv", kd), ("v_conv", vd)):
                taps = normal((T, width), 0.3)
                taps[0] += 1.0
                layer[name] = taps
        layers.append(layer)

    def perm(n):
        p = rng.permutation(H)[: H if n is None else int(n)]
        return p.astype(f32)

    model = {
        "mhc_a_pre": (0.5 + normal((N,), 0.2)).astype(f32),
        "mhc_a_post": (0.5 + normal((N,), 0.2)).astype(f32),
        "mhc_a_res": (0.5 + normal((N,), 0.2)).astype(f32),
        "mhc_b_pre": normal((N, L), 0.5),
        "mhc_b_post": normal((N, L), 0.5),
        # A diagonal lean keeps each lane mostly itself, as a trained model would.
        "mhc_b_res": (normal((N, L, L), 0.5) + 2.0 * np.eye(L, dtype=f32)).astype(f32),
        "mhc_phi_pre": proj(N * L, L * D),
        "mhc_phi_post": proj(N * L, L * D),
        "mhc_phi_res": proj(N * L * L, L * D),
        "perm1": perm(perm_lens[0]),
        "perm2": perm(perm_lens[1]),
    }
    F = g.fetched_width
    engrams = []
    for _ in g.engram_sites:
        engrams.append({
            "tables": normal((g.num_tables * g.table_rows, g.sub_dim), 1.0),
            "key_proj": proj(D, F),
            "value_proj": proj(D, F),
            "taps": normal((g.conv_taps, D), 0.5),
        })
    head_list = []
    for code, per_cell, nq, out_dim in heads:
        M = g.cells * int(per_cell)
        R = int(nq)
        head_list.append(V3Head(
            code=int(code),
            probes=normal((M, D), 1.0),
            item_scales=(1.0 + normal((M,), 0.1)).astype(f32),
            queries=normal((R, D), 1.0),
            biases=normal((R, M), 0.5),
            proj=proj(int(out_dim), R * D),
            bias=normal((int(out_dim),), 0.1),
            extra=normal((2, 8), 1.0) if int(code) == 3 else None,
        ))
    return V3Weights(embedding, layers, model, engrams, offsets(D), head_list)


# ---------------------------------------------------------------- writing

def _bits_for(name: str, qualified: str, bits, block, per_tensor_bits):
    """(bits, block) for one CQ tensor: a qualified key ("layer0.q_proj",
    "engram1.tables", "head0.probes") beats a plain canon name, which beats
    the defaults. A value is bits or (bits, block)."""
    if per_tensor_bits:
        for key in (qualified, name):
            if key in per_tensor_bits:
                v = per_tensor_bits[key]
                return (v[0], v[1]) if isinstance(v, tuple) else (v, block)
    return bits, block


class _Demo:
    def __repr__(self):
        return "DEMO_TOKENIZER"


DEMO_TOKENIZER = _Demo()   # write_v3's default: the demo tokenizer sized to the vocabulary


def write_v3(geom: V3Geometry, weights: V3Weights, bits=4, block: int = 64,
             float_dtype: str = "f32", tokenizer_blob=DEMO_TOKENIZER,
             per_tensor_bits: dict | None = None, quantizer=None) -> bytes:
    """Container bytes with every tensor in canonical directory order, the
    head manifest and its entries after the final norm, the tokenizer last.

    tokenizer_blob: bytes, None (no tokenizer entry) or DEMO_TOKENIZER (the
    demo pieces, max(vocab_size, V3_MIN_PIECES) of them). quantizer(matrix,
    bits, block, codebook) -> CqBlob replaces the searching quantiser."""
    if float_dtype not in ("f32", "f16"):
        raise ValueError(f"float_dtype must be 'f32' or 'f16', got {float_dtype!r}")
    w = TrovWriter(version=3)
    w.header(**geom.header_fields())

    def put_float(a):
        return w.add_f32(a) if float_dtype == "f32" else w.add_f16(a)

    def put_cq(a, name, qualified):
        b, blk = _bits_for(name, qualified, bits, block, per_tensor_bits)
        if quantizer is None:
            return w.add_cq(a, bits=b, block=blk)
        return w.add_cq_blob(quantizer(a, b, blk, w.codebook))

    def put(a, is_cq, name, qualified):
        return put_cq(a, name, qualified) if is_cq else put_float(a)

    put_cq(weights.embedding, "embedding", "embedding")
    for l, layer in enumerate(weights.layers):
        for name, is_cq in block_tensor_names(geom.qkv_conv_taps):
            put(layer[name], is_cq, name, f"layer{l}.{name}")
    for name, is_cq in V3_MODEL_TENSORS:
        a = weights.model[name]
        if name.startswith("perm") and float_dtype == "f16" and np.any(np.abs(a) > 2048):
            raise ValueError(f"{name} holds indices above 2048, which f16 cannot keep exact")
        put(a, is_cq, name, name)
    for s, eng in enumerate(weights.engrams):
        for name, is_cq in V3_ENGRAM_TENSORS:
            put(eng[name], is_cq, name, f"engram{s}.{name}")
    put_float(weights.final_norm)
    if weights.heads:
        put_float(np.asarray([h.code for h in weights.heads], dtype=np.float32))
        for h, head in enumerate(weights.heads):
            for name, is_cq in V3_HEAD_TENSORS:
                put(getattr(head, name), is_cq, name, f"head{h}.{name}")
            if head.code == 3:
                # The seventh tensor is never read; it must only not be raw bytes,
                # which would end the head section.
                extra = np.zeros(1, np.float32) if head.extra is None else np.asarray(head.extra)
                put(extra, extra.ndim == 2, "extra", f"head{h}.extra")
    if tokenizer_blob is DEMO_TOKENIZER:
        tokenizer_blob = v3_tokenizer_blob(max(geom.vocab_size, V3_MIN_PIECES))
    if tokenizer_blob is not None:
        w.add_bytes(tokenizer_blob)
    return w.to_bytes()


# ---------------------------------------------------------------- tokenizer

V3_PAD_ID, V3_EOS_ID, V3_BOS_ID, V3_UNK_ID = 0, 1, 2, 3
V3_MIN_PIECES = 4 + 8 + 256 + 1   # specials, chat markers, bytes, one ordinary piece


def v3_tokenizer_pieces(vocab_pieces: int) -> list:
    """(text, score, kind) for exactly vocab_pieces pieces: "<pad>", "</s>",
    "<s>", "<unk>" at ids 0..3 (end and beginning of sequence at the engine's
    fixed ids 1 and 2), the chat markers as user-defined pieces, the 256 byte
    pieces, then ordinary pieces."""
    pieces = demo_tokenizer_pieces(int(vocab_pieces))
    pieces[1], pieces[2] = pieces[2], pieces[1]
    assert pieces[1][0] == "</s>" and pieces[2][0] == "<s>"
    return pieces


def v3_tokenizer_blob(vocab_pieces: int) -> bytes:
    return build_tokenizer_blob(pieces=v3_tokenizer_pieces(vocab_pieces), pad_id=V3_PAD_ID,
                                eos_id=V3_EOS_ID, bos_id=V3_BOS_ID, unk_id=V3_UNK_ID,
                                add_dummy_prefix=True, byte_fallback=True)


# ---------------------------------------------------------------- random containers

@dataclass
class RandomV3:
    data: bytes
    geom: V3Geometry
    info: dict  # seed, cq (bits, block) per tensor, float_dtype, heads, weights, ...


def random_v3_geometry(rng: np.random.Generator, num_layers=None, lanes=None, kv_window=None,
                       global_layers=None, qkv_conv_taps=None, orders=None, engram_sites=None,
                       engram_seed_stride=None, logit_rows=None, value_dim=None, d_model=None,
                       hada_n=None, vocab_size=None, max_seq_len=None,
                       router_components=None) -> V3Geometry:
    """A small random geometry that passes every loader check; each argument
    pins one feature (None: random)."""
    D = int(rng.choice([16, 20, 24, 32, 36, 48, 64])) if d_model is None else int(d_model)
    if hada_n is None:
        hada_n = _pow2_at_least(D) * (2 if rng.random() < 0.2 else 1)
    head_dim = int(rng.choice([4, 6, 8, 12, 16]))
    while True:
        nkv, group = int(rng.integers(1, 4)), int(rng.integers(1, 4))
        if nkv * group * head_dim <= 96:
            break
    if value_dim is None:
        value_dim = head_dim if rng.random() < 0.6 else int(rng.choice([2, 4, 5, 8, 10, 16]))
    if num_layers is None:
        floor = 1 + max(list(engram_sites or []) + list(global_layers or []) + [0])
        num_layers = max(int(rng.integers(1, 7)), floor)
    N = int(num_layers)
    if max_seq_len is None:
        max_seq_len = int(rng.choice([300, 384, 512]))
    if kv_window is None:
        u = rng.random()
        kv_window = 0 if u < 0.35 else (max_seq_len + 5 if u < 0.4 else int(rng.integers(2, 13)))
    extra_bits = 0
    if global_layers is None:
        u = rng.random()
        if u < 0.25:
            global_layers = []
        elif u < 0.5:
            global_layers = list(range(N))
        else:
            global_layers = [b for b in range(N) if rng.random() < 0.4]
        if rng.random() < 0.15:  # a stray bit above the blocks, which must change nothing
            extra_bits = 1 << int(rng.integers(N, 64))
    if qkv_conv_taps is None:
        qkv_conv_taps = 0 if rng.random() < 0.4 else int(rng.integers(1, 5))
    if orders is None:
        orders = [int(o) for o in rng.integers(0, 4, size=int(rng.integers(1, 4)))]
    orders = [int(o) for o in orders]
    if not orders:
        raise ValueError("a third-generation container needs at least one engram order")
    if engram_sites is None:
        n_sites = int(rng.integers(0, 5))
        engram_sites = [int(s) for s in rng.integers(0, N, size=n_sites)]
        if n_sites >= 2 and rng.random() < 0.5:
            engram_sites[-1] = engram_sites[0]  # one block carries two engrams
    oc = len(orders)
    # num_tables need not divide d_model: the fetched width is then below it.
    num_tables = oc * int(rng.integers(1, max(2, min(12 // oc, D // oc) + 1)))
    if engram_seed_stride is None:
        u = rng.random()
        engram_seed_stride = 0 if u < 0.5 else (int(rng.integers(1, 10)) if u < 0.9 else 0x01000193)
    if vocab_size is None:
        vocab_size = int(rng.integers(200, 421))
    if logit_rows is None:
        u = rng.random()
        logit_rows = 0 if u < 0.3 else (vocab_size if u < 0.6
                                         else int(rng.integers(vocab_size // 2, vocab_size)))
    if router_components is None:
        router_components = int(rng.integers(1, 5))
    g = V3Geometry(
        vocab_size=int(vocab_size), logit_rows=int(logit_rows), d_model=D,
        num_heads=nkv * group, num_kv_heads=nkv, num_layers=N, head_dim=head_dim,
        value_dim=int(value_dim), max_seq_len=int(max_seq_len), hada_n=int(hada_n),
        mhc_lanes=int(rng.integers(1, 5)) if lanes is None else int(lanes),
        kv_window=int(kv_window), global_layers=list(global_layers),
        qkv_conv_taps=int(qkv_conv_taps), num_tables=num_tables, orders=orders,
        engram_sites=list(engram_sites), engram_seed_stride=int(engram_seed_stride),
        rope_theta=float(rng.choice([10000.0, 500.0, 1e6])),
        router_components=int(router_components), extra_mask_bits=extra_bits)
    if g.engram_sites:
        g.table_rows = int(rng.choice([5, 16, 61]))
        g.conv_taps = int(rng.integers(1, 5))
        g.tap_stride = int(rng.integers(1, 4))
    else:
        # Unused without sites; random values (zero included) check that nothing reads them.
        g.table_rows, g.conv_taps, g.tap_stride = (int(v) for v in rng.integers(0, 9, 3))
    return g


def random_v3_container(seed: int, num_layers=None, lanes=None, kv_window=None,
                        global_layers=None, qkv_conv_taps=None, orders=None, engram_sites=None,
                        engram_seed_stride=None, logit_rows=None, value_dim=None, d_model=None,
                        hada_n=None, vocab_size=None, max_seq_len=None, router_components=None,
                        heads=None, bits=None, block=None, float_dtype=None,
                        tokenizer_pieces=None, tokenizer=True, d3_len=None, perm_lens=None,
                        kron_zeros=None, overrides=None) -> RandomV3:
    """A random small model in a container. The geometry keywords pin one
    feature each (see random_v3_geometry); besides them: heads (bool or a list
    of (code, probes_per_cell, readout_queries, out_dim)), bits (2/3/4/
    "ternary" for every CQ tensor), block (8/16/32/64 for every CQ tensor),
    float_dtype ("f32"/"f16"), tokenizer_pieces (piece count, default
    vocab_size or the demo minimum, may differ either way), tokenizer (False: no tokenizer entry),
    d3_len (int or one per block), perm_lens ((len1, len2)), kron_zeros (a
    fraction). overrides: geometry fields set after the random choice (for
    fields nothing else derives from, such as rope_theta or tap_stride).
    info["weights"] holds the float weights that went in."""
    rng = np.random.default_rng(seed)
    g = random_v3_geometry(rng, num_layers=num_layers, lanes=lanes, kv_window=kv_window,
                           global_layers=global_layers, qkv_conv_taps=qkv_conv_taps,
                           orders=orders, engram_sites=engram_sites,
                           engram_seed_stride=engram_seed_stride, logit_rows=logit_rows,
                           value_dim=value_dim, d_model=d_model, hada_n=hada_n,
                           vocab_size=vocab_size, max_seq_len=max_seq_len,
                           router_components=router_components)
    for k, v in (overrides or {}).items():
        if not hasattr(g, k):
            raise ValueError(f"unknown geometry field {k!r}")
        setattr(g, k, v)
    H, N = g.hada_n, g.num_layers
    if heads is None:
        heads = rng.random() < 0.5
    if heads is True:
        heads = []
        if rng.random() < 0.25:  # a code-1 entry first: loaded, validated, not the confidence
            heads.append((1, int(rng.integers(1, 3)), int(rng.integers(1, 3)), int(rng.integers(1, 5))))
        heads.append((int(rng.choice([2, 3])), int(rng.integers(1, 4)), int(rng.integers(1, 4)),
                      int(rng.integers(1, 4))))
        if rng.random() < 0.3:
            heads.append((int(rng.choice([2, 3])), 1, 1, 1))
    elif heads is False:
        heads = []
    heads = [tuple(int(v) for v in h) for h in heads]
    if d3_len is None:
        d3_len = [H if rng.random() < 0.6 else int(rng.integers(1, H + 1)) for _ in range(N)]
    if perm_lens is None:
        perm_lens = tuple(H if u < 0.7 else (0 if u < 0.75 else int(rng.integers(1, H + 1)))
                          for u in rng.random(2))
    if kron_zeros is None:
        kron_zeros = 0.0 if rng.random() < 0.5 else float(rng.uniform(0.05, 0.3))
    weights = random_v3_weights(g, seed=int(rng.integers(0, 2**31)), heads=heads, d3_len=d3_len,
                                perm_lens=perm_lens, kron_zeros=kron_zeros)
    choices = [2, 3, 4, "ternary"]
    names = ["embedding", "mhc_phi_pre", "mhc_phi_post", "mhc_phi_res"]
    names += [f"layer{l}.{n}" for l in range(N) for n, cq in V3_BLOCK_TENSORS if cq]
    names += [f"engram{s}.{n}" for s in range(len(g.engram_sites))
              for n, cq in V3_ENGRAM_TENSORS if cq]
    names += [f"head{h}.{n}" for h in range(len(heads)) for n, cq in V3_HEAD_TENSORS if cq]
    names += [f"head{h}.extra" for h, entry in enumerate(heads) if entry[0] == 3]
    per = {}
    for n in names:
        b = bits if bits is not None else choices[int(rng.integers(0, 4))]
        blk = block if block is not None else int(rng.choice([8, 16, 32, 64]))
        per[n] = (b, int(blk))
    if float_dtype is None:
        float_dtype = "f16" if rng.random() < 0.3 else "f32"
    if tokenizer_pieces is None:
        tokenizer_pieces = max(g.vocab_size, V3_MIN_PIECES) if rng.random() < 0.7 \
            else int(rng.integers(V3_MIN_PIECES, 461))
    tokenizer_pieces = int(tokenizer_pieces)
    blob = v3_tokenizer_blob(tokenizer_pieces) if tokenizer else None
    data = write_v3(g, weights, bits=4, block=64, float_dtype=float_dtype,
                    tokenizer_blob=blob, per_tensor_bits=per)
    info = {"seed": seed, "cq": per, "float_dtype": float_dtype, "heads": heads,
            "tokenizer": bool(tokenizer), "tokenizer_pieces": tokenizer_pieces if tokenizer else 0,
            "d3_len": list(d3_len) if isinstance(d3_len, (list, tuple)) else d3_len,
            "perm_lens": tuple(perm_lens), "kron_zeros": kron_zeros, "weights": weights}
    return RandomV3(data, g, info)


# ---------------------------------------------------------------- benchmark model

def realistic_v3_geometry() -> V3Geometry:
    return V3Geometry(vocab_size=49152, logit_rows=0, d_model=576, num_heads=9, num_kv_heads=3,
                      num_layers=30, head_dim=64, value_dim=64, max_seq_len=2048, hada_n=1024,
                      mhc_lanes=4, kv_window=256, global_layers=list(range(3, 30, 4)),
                      qkv_conv_taps=4, table_rows=4096, sub_dim=64, num_tables=9, conv_taps=4,
                      tap_stride=1, engram_seed_stride=0, orders=[1, 2, 3], engram_sites=[3, 15],
                      rope_theta=10000.0, router_components=8)


def write_realistic_v3(path, seed: int = 0) -> int:
    """Benchmark-sized model, 4-bit block 64, one confidence head, the v3 demo
    tokenizer. Returns the bytes written."""
    g = realistic_v3_geometry()
    weights = random_v3_weights(g, seed=seed, heads=[(2, 2, 2, 1)])
    data = write_v3(g, weights, bits=4, block=64, tokenizer_blob=v3_tokenizer_blob(g.vocab_size),
                    quantizer=fast_quantize_cq)
    with open(path, "wb") as f:
        f.write(data)
    return len(data)


def main(argv=None) -> int:
    return writer_main(argv, "python -m vorpel_writer.v3", "write third-generation test containers", "OUT",
                       write_realistic_v3, container_random_writer(random_v3_container))

if __name__ == "__main__":
    sys.exit(main())
