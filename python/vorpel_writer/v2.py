"""Second-generation containers from numpy: geometry, random weights with sane
scales, the canonical tensor order, and a command line for the benchmark model.

    geom = V2Geometry(vocab=300, d_model=32)
    weights = random_v2_weights(geom, seed=1, heads=[(1, 2, 16)])
    data = write_v2(geom, weights, bits=4, block=32)
    data, info = random_v2_container(seed=7)

    python -m vorpel_writer.v2 --realistic OUT.trov
"""
from __future__ import annotations

import dataclasses
import itertools
import string
import sys
from dataclasses import dataclass, field

import numpy as np

from .cq import DEFAULT_CODEBOOK, TERNARY_CODE, CqBlob, bits_code_of, codebook_for, cq_sizes, \
    fwht_normalised
from .trov import TrovWriter
from ._main import container_random_writer, writer_main

__all__ = [
    "V2Geometry", "V2Weights", "LAYER_TENSORS", "random_v2_weights", "write_v2",
    "random_v2_geometry", "random_v2_container", "RandomV2", "demo_tokenizer_pieces",
    "demo_tokenizer_blob", "realistic_geometry", "write_realistic", "fast_quantize_cq",
    "PAD_ID", "BOS_ID", "EOS_ID", "UNK_ID", "CHAT_MARKERS",
]

# Per-layer tensors in directory order, with whether each is a CQ matrix.
LAYER_TENSORS = [
    ("norm_in", False), ("q_proj", True), ("k_proj", True), ("v_proj", True),
    ("q_norm", False), ("k_norm", False), ("gate_proj", True), ("out_proj", True),
    ("post_norm", False), ("attn_gate", False), ("pre_hada", False),
    ("d1", False), ("d2", False), ("d3", False),
]
MHC_TENSORS = [
    ("mhc_a_pre", False), ("mhc_a_post", False), ("mhc_a_res", False),
    ("mhc_b_pre", False), ("mhc_b_post", False), ("mhc_b_res", False),
    ("mhc_phi_pre", True), ("mhc_phi_post", True), ("mhc_phi_res", True),
]
ENGRAM_TENSORS = [("tables", True), ("key_proj", True), ("value_proj", True), ("taps", False)]


def _pow2_at_least(n: int) -> int:
    p = 1
    while p < n:
        p *= 2
    return p


@dataclass
class V2Geometry:
    vocab: int = 300
    d_model: int = 32
    num_heads: int = 4
    num_kv_heads: int = 2
    num_layers: int = 2
    head_dim: int = 8
    max_seq_len: int = 512
    hada_n: int | None = None          # None: d_model rounded up to a power of two
    mhc_lanes: int = 2
    kv_window: int = 0
    rope_theta: float = 10000.0
    table_rows: int = 64
    sub_dim: int = 8
    num_tables: int = 4
    conv_taps: int = 3
    tap_stride: int = 2
    orders: list = field(default_factory=lambda: [1, 2])
    engram_sites: list = field(default_factory=lambda: [1])
    flags: bytes = b"\0\0\0\0"

    def __post_init__(self):
        if self.hada_n is None:
            self.hada_n = _pow2_at_least(self.d_model)

    def header_fields(self) -> dict:
        d = dataclasses.asdict(self)
        d["orders"] = list(self.orders)
        d["engram_sites"] = list(self.engram_sites)
        d["flags"] = bytes(self.flags)
        return d


@dataclass
class V2Weights:
    """Float32 weights by canon name. layers: one dict per block (LAYER_TENSORS
    names); engrams: one dict per site (tables, key_proj, value_proj, taps);
    heads: (kind, probes (P, d), proj (out, P*d), bias (out,)) in manifest order."""
    embedding: np.ndarray
    layers: list
    mhc: dict
    engrams: list
    final_norm: np.ndarray
    heads: list = field(default_factory=list)


def random_v2_weights(geom: V2Geometry, seed: int = 0, heads=()) -> V2Weights:
    """Random weights whose activations stay O(1) and logits O(1..10).

    heads: iterable of (kind, num_probes, out_dim)."""
    rng = np.random.default_rng(seed)
    g = geom
    d, L, nl = g.d_model, g.mhc_lanes, g.num_layers
    f32 = np.float32

    def normal(shape, std):
        return (rng.standard_normal(shape) * std).astype(f32)

    def proj(rows, cols):
        return normal((rows, cols), 1.0 / np.sqrt(cols))

    def offsets(n):  # norm weights are offsets from one
        return normal((n,), 0.1)

    qd, kvd = g.num_heads * g.head_dim, g.num_kv_heads * g.head_dim
    # Logits are embedding rows dotted with a unit-RMS vector (norm sqrt(d)), so row norms
    # of 1 give logits of std ~1 and at most sqrt(d) when the read-out meets its own token.
    embedding = normal((g.vocab, d), 1.0 / np.sqrt(d))
    layers = []
    for _ in range(nl):
        layers.append({
            "norm_in": offsets(d), "q_proj": proj(qd, d), "k_proj": proj(kvd, d),
            "v_proj": proj(kvd, d), "q_norm": offsets(g.head_dim), "k_norm": offsets(g.head_dim),
            "gate_proj": proj(qd, d), "out_proj": proj(d, qd), "post_norm": offsets(d),
            "attn_gate": normal((1,), 1.0), "pre_hada": offsets(d),
            "d1": (1.0 + normal((g.hada_n,), 0.2)).astype(f32),
            "d2": (1.0 + normal((g.hada_n,), 0.3)).astype(f32),
            "d3": normal((g.hada_n,), 0.5),
        })
    mhc = {
        "mhc_a_pre": (0.5 + normal((nl,), 0.2)).astype(f32),
        "mhc_a_post": (0.5 + normal((nl,), 0.2)).astype(f32),
        "mhc_a_res": (0.5 + normal((nl,), 0.2)).astype(f32),
        "mhc_b_pre": normal((nl, L), 0.5),
        "mhc_b_post": normal((nl, L), 0.5),
        # A diagonal lean keeps each lane mostly itself, as a trained model would.
        "mhc_b_res": (normal((nl, L, L), 0.5) + 2.0 * np.eye(L, dtype=f32)).astype(f32),
        "mhc_phi_pre": proj(nl * L, L * d),
        "mhc_phi_post": proj(nl * L, L * d),
        "mhc_phi_res": proj(nl * L * L, L * d),
    }
    fetched = g.num_tables * g.sub_dim
    engrams = []
    for _ in g.engram_sites:
        engrams.append({
            "tables": normal((g.num_tables * g.table_rows, g.sub_dim), 1.0),
            "key_proj": proj(d, fetched),
            "value_proj": proj(d, fetched),
            "taps": normal((g.conv_taps, d), 0.5),
        })
    head_list = []
    for kind, num_probes, out_dim in heads:
        head_list.append((int(kind), normal((num_probes, d), 1.0),
                          proj(out_dim, num_probes * d), normal((out_dim,), 0.1)))
    return V2Weights(embedding, layers, mhc, engrams, offsets(d), head_list)


def _bits_for(name: str, qualified: str, bits, block, per_tensor_bits):
    """(bits, block) for one CQ tensor: a qualified key ("layer0.q_proj",
    "engram1.tables") beats a plain canon name, which beats the defaults."""
    if per_tensor_bits:
        for key in (qualified, name):
            if key in per_tensor_bits:
                v = per_tensor_bits[key]
                return (v[0], v[1]) if isinstance(v, tuple) else (v, block)
    return bits, block


def write_v2(geom: V2Geometry, weights: V2Weights, bits=4, block: int = 64,
             float_dtype: str = "f32", tokenizer_blob: bytes | None = None,
             per_tensor_bits: dict | None = None, quantizer=None) -> bytes:
    """Container bytes with every tensor in canonical directory order.

    quantizer(matrix, bits, block, codebook) -> CqBlob replaces the writer's
    default search-based quantiser (e.g. fast_quantize_cq for big models)."""
    if float_dtype not in ("f32", "f16"):
        raise ValueError(f"float_dtype must be 'f32' or 'f16', got {float_dtype!r}")
    w = TrovWriter(version=2)
    w.header(**geom.header_fields())

    def put_float(a):
        return w.add_f32(a) if float_dtype == "f32" else w.add_f16(a)

    def put_cq(a, name, qualified):
        b, blk = _bits_for(name, qualified, bits, block, per_tensor_bits)
        if quantizer is None:
            return w.add_cq(a, bits=b, block=blk)
        return w.add_cq_blob(quantizer(a, b, blk, w.codebook))

    put_cq(weights.embedding, "embedding", "embedding")
    for l, layer in enumerate(weights.layers):
        for name, is_cq in LAYER_TENSORS:
            if is_cq:
                put_cq(layer[name], name, f"layer{l}.{name}")
            else:
                put_float(layer[name])
    for name, is_cq in MHC_TENSORS:
        (put_cq(weights.mhc[name], name, name) if is_cq else put_float(weights.mhc[name]))
    for s, eng in enumerate(weights.engrams):
        for name, is_cq in ENGRAM_TENSORS:
            if is_cq:
                put_cq(eng[name], name, f"engram{s}.{name}")
            else:
                put_float(eng[name])
    put_float(weights.final_norm)
    if weights.heads:
        put_float(np.asarray([h[0] for h in weights.heads], dtype=np.float32))
        for _, probes, proj, bias in weights.heads:
            put_float(probes)
            put_float(proj)
            put_float(bias)
    if tokenizer_blob is not None:
        w.add_bytes(tokenizer_blob)
    return w.to_bytes()


# ---------------------------------------------------------------- fast quantiser

def fast_quantize_cq(matrix, bits=4, block: int = 64, codebook=DEFAULT_CODEBOOK) -> CqBlob:
    """One-pass CQ encoding: per block the scale is the RMS of the rotated
    values (the levels are unit-normal quantiles; ternary levels carry an
    extra 1/sqrt(b)), codes are the nearest level. Much faster than the
    searching quantiser and good enough for benchmark weights."""
    code = bits_code_of(bits)
    m = np.asarray(matrix, dtype=np.float32)
    rows, cols = m.shape
    sz = cq_sizes(rows, cols, block, code)
    padded, nblk = sz["padded_cols"], sz["blocks_per_row"]
    x = np.zeros((rows, padded), dtype=np.float32)
    x[:, :cols] = m
    r = fwht_normalised(x.reshape(rows, nblk, block))
    rms = np.sqrt(np.mean(r * r, axis=2, dtype=np.float32))
    scale = rms * (np.float32(np.sqrt(block)) if code == TERNARY_CODE else np.float32(1.0))
    scale16 = np.clip(scale, 0, 65504).astype(np.float16)
    sf = scale16.astype(np.float32)
    table = codebook_for(code, block, codebook)
    order = np.argsort(table, kind="stable")
    sorted_levels = table[order]
    mids = (sorted_levels[1:] + sorted_levels[:-1]) * np.float32(0.5)
    t = r / np.where(sf > 0, sf, np.float32(1.0))[:, :, None]
    codes = order[np.searchsorted(mids, t)].astype(np.uint8).reshape(rows, padded)
    nbits = 2 if code == TERNARY_CODE else code
    packed = _pack(codes, nbits)
    data = packed + scale16.astype("<f2").tobytes()
    assert len(data) == sz["need"]
    return CqBlob(rows, cols, block, code, data)


def _pack(codes: np.ndarray, nbits: int) -> bytes:
    rows, padded = codes.shape
    if nbits == 4:
        return (codes[:, 0::2] | (codes[:, 1::2] << 4)).astype(np.uint8).tobytes()
    if nbits == 2:
        c = codes.reshape(rows, padded // 4, 4)
        return (c[..., 0] | (c[..., 1] << 2) | (c[..., 2] << 4) | (c[..., 3] << 6)) \
            .astype(np.uint8).tobytes()
    bitsarr = ((codes[..., None] >> np.arange(nbits, dtype=np.uint8)) & 1).astype(np.uint8)
    return np.packbits(bitsarr.reshape(rows, padded * nbits), axis=1, bitorder="little").tobytes()


# ---------------------------------------------------------------- tokenizer pieces

PAD_ID, BOS_ID, EOS_ID, UNK_ID = 0, 1, 2, 3
CHAT_MARKERS = ["<|im_start|>", "<|im_end|>", "<tools>", "</tools>", "<tool_call>",
                "</tool_call>", "<think>", "</think>"]
_WB = "\u2581"
_COMMON = [
    "the", "and", "to", "of", "a", "in", "is", "for", "that", "with", "on", "you", "it",
    "be", "as", "are", "this", "can", "what", "weather", "city", "call", "get", "set",
    "time", "name", "user", "tool", "tools", "query", "please", "find", "search", "send",
    "email", "message", "file", "open", "read", "write", "list", "date", "today",
    "tomorrow", "London", "Paris", "Tokyo", "Berlin", "system", "assistant", "function",
    "arguments", "description", "parameters", "type", "string", "number", "object",
    "properties", "required", "value", "result", "location", "unit", "celsius",
    "fahrenheit", "true", "false", "null", "think", "answer", "how", "many", "which",
    "when", "where", "who", "will", "would", "should", "me", "my", "your", "I", "we",
    "at", "from", "by", "an", "or", "not", "all", "any", "one", "two", "three",
]
_JSON = ['{"', '"}', '":', '": ', '", "', '{"name": "', '", "arguments": {', '"}}', "}}",
         '"name"', '"arguments"', '"type"', '"description"', '"parameters"', '"properties"',
         '"required"', "[]", "[{", "}]", "},", ", ", ": ", '\\"', "\\n", "\n", "\n\n"]


def demo_tokenizer_pieces(vocab: int) -> list:
    """A (text, score, kind) list of exactly `vocab` pieces: pad/bos/eos/unk at
    ids 0..3, the chat markers as user-defined pieces, one byte piece for each
    of the 256 bytes, then ordinary pieces (characters, "\u2581"-words, JSON
    fragments, then letter combinations) with scores favouring short pieces."""
    head = [("<pad>", 0.0, 1), ("<s>", 0.0, 1), ("</s>", 0.0, 1), ("<unk>", 0.0, 2)]
    head += [(m, 0.0, 3) for m in CHAT_MARKERS]
    head += [(f"<0x{b:02X}>", 0.0, 4) for b in range(256)]
    if vocab < len(head) + 1:
        raise ValueError(f"vocab must be at least {len(head) + 1} for the demo pieces")
    ordinary = []
    seen = set(t for t, _, _ in head)

    def add(text):
        if text not in seen and len(ordinary) + len(head) < vocab:
            seen.add(text)
            ordinary.append(text)

    for ch in _WB + string.ascii_lowercase + string.ascii_uppercase + string.digits \
            + string.punctuation + " ":
        add(ch)
    for word in _COMMON:
        for k in range(2, len(word) + 1):  # every prefix, so merges can reach the word
            add(word[:k])
            add(_WB + word[:k])
    for frag in _JSON:
        add(frag)
    n = 2
    while len(ordinary) + len(head) < vocab:
        for combo in itertools.product(string.ascii_lowercase, repeat=n):
            add("".join(combo))
            add(_WB + "".join(combo))
            if len(ordinary) + len(head) >= vocab:
                break
        n += 1
    # Longer pieces merge later: score falls with length, ties broken by id.
    pieces = list(head)
    for i, text in enumerate(ordinary):
        pieces.append((text, float(-len(text)) - i * 1e-6, 0))
    assert len(pieces) == vocab
    return pieces


def demo_tokenizer_blob(vocab: int) -> bytes:
    from .tokenizer import build_tokenizer_blob
    return build_tokenizer_blob(pieces=demo_tokenizer_pieces(vocab), pad_id=PAD_ID,
                                eos_id=EOS_ID, bos_id=BOS_ID, unk_id=UNK_ID,
                                add_dummy_prefix=True, byte_fallback=True)


def _tokenizer_available() -> bool:
    try:
        from . import tokenizer  # noqa: F401
        return hasattr(tokenizer, "build_tokenizer_blob")
    except ImportError:
        return False


# ---------------------------------------------------------------- random containers

@dataclass
class RandomV2:
    data: bytes
    geom: V2Geometry
    info: dict  # seed, bits/block per CQ tensor, float dtype, heads, tokenizer


def random_v2_geometry(rng: np.random.Generator, lanes=None, engram=None, kv_window=None,
                       vocab=None, max_seq_len=None) -> V2Geometry:
    """A small random geometry; each argument pins one feature (None: random)."""
    d = int(rng.choice([16, 24, 32, 40, 48, 64]))
    head_dim = int(rng.choice([4, 8, 16]))
    while True:
        nkv, group = int(rng.integers(1, 4)), int(rng.integers(1, 4))
        if nkv * group * head_dim <= 96:
            break
    num_layers = int(rng.integers(1, 4))
    L = int(rng.integers(1, 5)) if lanes is None else int(lanes)
    if max_seq_len is None:
        max_seq_len = int(rng.choice([300, 384, 512]))
    if kv_window is None:
        kv_window = 0 if rng.random() < 0.4 else int(rng.integers(2, 48))
        if rng.random() < 0.1:
            kv_window = max_seq_len + 5  # wider than the context: acts as unlimited
    g = V2Geometry(vocab=300 if vocab is None else vocab, d_model=d, num_heads=nkv * group,
                   num_kv_heads=nkv, num_layers=num_layers, head_dim=head_dim,
                   max_seq_len=max_seq_len, mhc_lanes=L, kv_window=kv_window,
                   rope_theta=float(rng.choice([10000.0, 500.0, 1e6])),
                   flags=bytes(rng.integers(0, 256, 4, dtype=np.uint8)))
    n_sites = int(rng.integers(0, 5)) if engram is None else (int(rng.integers(1, 5)) if engram else 0)
    if n_sites:
        n_orders = int(rng.integers(1, 4))
        while True:
            cand = [t for t in range(1, d + 1) if d % t == 0 and t % n_orders == 0 and t <= 12]
            if cand:
                break
            n_orders -= 1
        g.num_tables = int(rng.choice(cand))
        g.sub_dim = d // g.num_tables
        g.orders = [int(o) for o in rng.choice([0, 1, 2, 3], size=n_orders)]
        if n_orders >= 2 and 3 not in g.orders:
            g.orders[-1] = 3
        g.engram_sites = [int(s) for s in rng.integers(0, num_layers, size=n_sites)]
        g.table_rows = int(rng.choice([5, 16, 61]))
        g.conv_taps = int(rng.integers(1, 5))
        g.tap_stride = int(rng.integers(1, 4))
    else:
        # Unused without sites; random values check that nothing reads them.
        g.orders = [int(o) for o in rng.integers(0, 4, size=int(rng.integers(0, 3)))]
        g.engram_sites = []
        g.table_rows, g.sub_dim, g.num_tables = (int(v) for v in rng.integers(0, 9, 3))
        g.conv_taps, g.tap_stride = (int(v) for v in rng.integers(0, 4, 2))
    return g


def random_v2_container(seed: int, lanes=None, engram=None, kv_window=None, bits=None,
                        heads=None, tokenizer=None, float_dtype=None, vocab=None,
                        max_seq_len=None, overrides=None) -> RandomV2:
    """A random small model in a container. Each keyword pins one feature:
    lanes (1..4), engram (bool), kv_window (int), bits (2/3/4/"ternary" for all
    CQ tensors), heads (bool or a list of (kind, probes, out_dim)), tokenizer
    (bool), float_dtype ("f32"/"f16"), vocab, max_seq_len. overrides: geometry
    fields set after the random choice (for fields nothing else derives from,
    such as conv_taps, tap_stride, table_rows, rope_theta)."""
    rng = np.random.default_rng(seed)
    if tokenizer is None:
        tokenizer = _tokenizer_available() and rng.random() < 0.5
    if vocab is None:
        vocab = int(rng.integers(300, 360)) if tokenizer else int(rng.integers(20, 300))
    g = random_v2_geometry(rng, lanes=lanes, engram=engram, kv_window=kv_window, vocab=vocab,
                           max_seq_len=max_seq_len)
    for k, v in (overrides or {}).items():
        if not hasattr(g, k):
            raise ValueError(f"unknown geometry field {k!r}")
        setattr(g, k, v)
    if heads is None:
        heads = rng.random() < 0.5
    if heads is True:
        heads = [(int(rng.integers(1, 3)), int(rng.integers(1, 4)), int(rng.integers(1, 9)))
                 for _ in range(int(rng.integers(1, 3)))]
    elif heads is False:
        heads = []
    weights = random_v2_weights(g, seed=int(rng.integers(0, 2**31)), heads=heads)
    choices = [2, 3, 4, "ternary"]
    default_block = int(rng.choice([8, 16, 32, 64]))
    per = {}
    names = ["embedding", "mhc_phi_pre", "mhc_phi_post", "mhc_phi_res"]
    names += [f"layer{l}.{n}" for l in range(g.num_layers) for n, cq in LAYER_TENSORS if cq]
    names += [f"engram{s}.{n}" for s in range(len(g.engram_sites)) for n, cq in ENGRAM_TENSORS if cq]
    for n in names:
        b = bits if bits is not None else choices[int(rng.integers(0, 4))]
        per[n] = (b, int(rng.choice([8, 16, 32, 64])))
    if float_dtype is None:
        float_dtype = "f16" if rng.random() < 0.3 else "f32"
    blob = demo_tokenizer_blob(vocab) if tokenizer else None
    data = write_v2(g, weights, bits=4, block=default_block, float_dtype=float_dtype,
                    tokenizer_blob=blob, per_tensor_bits=per)
    info = {"seed": seed, "cq": per, "float_dtype": float_dtype, "heads": heads,
            "tokenizer": bool(tokenizer)}
    return RandomV2(data, g, info)


# ---------------------------------------------------------------- benchmark model

def realistic_geometry() -> V2Geometry:
    return V2Geometry(vocab=49152, d_model=576, num_heads=9, num_kv_heads=3, num_layers=30,
                      head_dim=64, max_seq_len=2048, hada_n=1024, mhc_lanes=4, kv_window=0,
                      rope_theta=10000.0, table_rows=4096, sub_dim=64, num_tables=9,
                      conv_taps=4, tap_stride=1, orders=[1, 2, 3], engram_sites=[3, 15])


def write_realistic(path, seed: int = 0) -> int:
    """Benchmark-sized model, 4-bit block 64, with the demo tokenizer. Returns bytes written."""
    g = realistic_geometry()
    weights = random_v2_weights(g, seed=seed, heads=[(1, 2, 256), (2, 2, 1)])
    blob = demo_tokenizer_blob(g.vocab) if _tokenizer_available() else None
    data = write_v2(g, weights, bits=4, block=64, tokenizer_blob=blob,
                    quantizer=fast_quantize_cq)
    with open(path, "wb") as f:
        f.write(data)
    return len(data)


def main(argv=None) -> int:
    return writer_main(argv, "python -m vorpel_writer.v2", "write second-generation test containers", "OUT",
                       write_realistic, container_random_writer(random_v2_container))

if __name__ == "__main__":
    sys.exit(main())
