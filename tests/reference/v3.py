"""Plain numpy model of the third-generation (laddered) network, used to check the engine.

Own parser for the third-generation header, directory and tensor canon; the CQ decoder and the
small maths helpers come from the second-generation reference. One position at a time, float64
accumulation over the float32 weights the container represents.
"""
from __future__ import annotations

import math
import struct
from dataclasses import dataclass, field
from types import SimpleNamespace

import numpy as np

from .v2 import (DT_BYTES, DT_CQ, DT_F16, DT_F32, GAMMA, MASK32, MASK64, _f16_to_f32,
                 cq_dequantize, rms_norm, rms_normalise, sigmoid, sinkhorn)

TAG_V3 = 0x05E12A84
FIXED_BYTES = 196
DIR_START = 308
ENTRY_BYTES = 44
EPS = 1e-6
GOLDEN32 = 0x9E3779B9
FNV_PRIME = 16777619
BOS_ID, EOS_ID = 2, 1
DEFAULT_NEW_TOKENS = 256

HEADER_WORDS = {
    "vocab_size": 20, "logit_rows": 24, "d_model": 28, "num_heads": 32, "num_kv_heads": 36,
    "num_layers": 40, "head_dim": 44, "value_dim": 48, "max_seq_len": 52, "hada_n": 56,
    "mhc_lanes": 60, "kv_window": 64, "qkv_conv_taps": 76, "table_rows": 80, "sub_dim": 84,
    "num_tables": 88, "conv_taps": 92, "tap_stride": 96, "engram_seed_stride": 100,
}
CQ_SHAPES = {  # projection name -> (rows, cols) as functions of the header
    "q_proj": lambda g: (g["num_heads"] * g["head_dim"], g["d_model"]),
    "k_proj": lambda g: (g["num_kv_heads"] * g["head_dim"], g["d_model"]),
    "v_proj": lambda g: (g["num_kv_heads"] * g["value_dim"], g["d_model"]),
    "gate_proj": lambda g: (g["num_heads"] * g["value_dim"], g["d_model"]),
    "out_proj": lambda g: (g["d_model"], g["num_heads"] * g["value_dim"]),
}
FFN_NAMES = ["d1", "act_scale", "act_bias", "d2", "d3", "k1_a", "k1_b", "k2_a", "k2_b",
             "k3_a", "k3_b", "router", "components"]


# ---------------------------------------------------------------- ladder

def ladder_order(n: int) -> list[int]:
    """Blocks in the order the ladder adds them: the ends, then midpoints of the widest gaps."""
    if n <= 0:
        return []
    order = [0] if n == 1 else [0, n - 1]
    working = list(order)
    while len(order) < n:
        working.sort()
        best = None
        for a, b in zip(working, working[1:]):
            if b - a >= 2 and (best is None or b - a > best[1] - best[0]):
                best = (a, b)
        if best is None:
            break
        mid = (best[0] + best[1]) // 2
        order.append(mid)
        working.append(mid)
    return order


def ladder_blocks(n: int, depth: int) -> list[int] | None:
    if depth < 2 or depth > n:
        return None
    return sorted(ladder_order(n)[:depth])


# ---------------------------------------------------------------- small pieces

def int8_round(x: np.ndarray) -> tuple[np.ndarray, float]:
    """(codes, scale) of one stored head vector; the stored value reads back as codes * scale."""
    xs = np.asarray(x, dtype=np.float32)
    mags = np.abs(xs[~np.isnan(xs)])
    m = np.float32(mags.max()) if mags.size else np.float32(0.0)
    scale = np.float32(m / np.float32(127.0)) if m > 0 else np.float32(1.0)
    with np.errstate(all="ignore"):
        r = (xs / scale).astype(np.float64)
    q = np.sign(r) * np.floor(np.abs(r) + 0.5)          # halves away from zero
    q = np.clip(np.where(np.isnan(q), 0.0, q), -128, 127)
    return q.astype(np.int8), float(scale)


def int8_stored(x: np.ndarray) -> np.ndarray:
    q, scale = int8_round(x)
    return q.astype(np.float64) * scale


def kron_mix(z: np.ndarray, a: np.ndarray, b: np.ndarray) -> np.ndarray:
    """Y = A^T Z B with z viewed [P, Q] row-major; exactly-zero multipliers are skipped."""
    p, q = a.shape[0], b.shape[0]
    zz = np.asarray(z, dtype=np.float64).reshape(p, q)
    with np.errstate(all="ignore"):
        t = np.where((a != 0)[:, :, None], a[:, :, None] * zz[:, None, :], 0.0).sum(axis=0)
        y = np.where((t != 0)[:, :, None], t[:, :, None] * b[None, :, :], 0.0).sum(axis=1)
    return y.reshape(-1)


def gather(z: np.ndarray, perm: np.ndarray) -> np.ndarray:
    out = np.array(z, copy=True)
    out[:len(perm)] = z[perm]
    return out


def engram_index(tokens, t: int, order: int, o: int, j: int, seed_stride: int,
                 tables_per_order: int, table_rows: int) -> int:
    """Row of table (order index o, table j) for the n-gram of `order` tokens ending at t."""
    stride = seed_stride if seed_stride != 0 else tables_per_order
    h = (GOLDEN32 * (o * stride + j + 1)) & MASK32
    for m in range(order):
        if t >= m:
            h ^= int(tokens[t - m]) & MASK32
        h = (h * FNV_PRIME) & MASK32
    return (h ^ (h >> 15)) % table_rows


def perm_indices(values: np.ndarray, hada_n: int) -> np.ndarray:
    out = []
    for v in np.asarray(values, dtype=np.float64):
        u = 0 if (math.isnan(v) or v < 0) else (4294967295 if v > 4294967295 else int(v))
        if u >= hada_n:
            raise ValueError("permutation index beyond hada_n")
        out.append(u)
    if len(out) > hada_n:
        raise ValueError("permutation longer than hada_n")
    return np.array(out, dtype=np.int64)


def head_code(v: float) -> int:
    return 0 if math.isnan(v) else int(min(max(float(v), 0.0), 255.0))


def softmax(v: np.ndarray) -> np.ndarray:
    e = np.exp(v - np.max(v))
    return e / e.sum()


def compact_tools(text: str) -> str:
    """Drops whitespace between JSON tokens; string literals (with escapes) are copied whole."""
    out, in_string, escaped = [], False, False
    for ch in text:
        if not in_string:
            if ch in "\t\n\r ":
                continue
            out.append(ch)
            in_string = ch == '"'
        else:
            out.append(ch)
            if escaped:
                escaped = False
            elif ch == "\\":
                escaped = True
            elif ch == '"':
                in_string = False
    return "".join(out)


def build_prompt(query: str, tools_json: str, system: str | None = None) -> str:
    head = "" if system is None else f"<|im_start|>system\n{system}<|im_end|>\n"
    return (head + "<|im_start|>user\n<tools>" + compact_tools(tools_json) + "</tools>\n"
            + query + "<|im_end|>\n<|im_start|>assistant\n")


# ---------------------------------------------------------------- container

@dataclass
class Entry:
    dtype: int
    ndim: int
    dims: tuple
    offset: int
    nbytes: int
    cq_block: int
    cq_bits: int


class Container:
    def __init__(self, data: bytes):
        data = bytes(data)
        if len(data) < FIXED_BYTES:
            raise ValueError("trov truncated")
        u32 = lambda off: struct.unpack_from("<I", data, off)[0]
        if u32(0) != TAG_V3:
            raise ValueError(f"not a v3 trov blob: tag {u32(0):#010x}")
        g = {name: u32(off) for name, off in HEADER_WORDS.items()}
        g["global_layer_mask"] = struct.unpack_from("<Q", data, 68)[0]
        g["orders"] = [u32(108 + 4 * k) for k in range(min(u32(104), 4))]
        g["engram_sites"] = [u32(128 + 4 * k) for k in range(min(u32(124), 16))]
        g["rope_theta"] = float(struct.unpack_from("<f", data, 192)[0])
        if u32(8) != 28:
            raise ValueError("header codebook must be 28 floats")
        count = u32(4)
        if len(data) < DIR_START + ENTRY_BYTES * count:
            raise ValueError("trov truncated: directory")
        self.header = g
        self.codebook = np.frombuffer(data, dtype="<f4", count=28, offset=FIXED_BYTES).astype(np.float32)
        self.entries = []
        for i in range(count):
            base = DIR_START + ENTRY_BYTES * i
            dims = struct.unpack_from("<4I", data, base + 4)
            offset, nbytes = struct.unpack_from("<QQ", data, base + 20)
            if data[base + 1] > 4:
                raise ValueError(f"tensor {i} has a bad ndim")
            if offset + nbytes > len(data):
                raise ValueError(f"tensor {i} lies outside the file")
            self.entries.append(Entry(data[base], data[base + 1], dims, offset, nbytes,
                                      u32(base + 36), data[base + 40]))
        self.data = data

    def raw(self, i: int) -> bytes:
        e = self.entries[i]
        return self.data[e.offset:e.offset + e.nbytes]

    def floats(self, i: int, name: str = "") -> np.ndarray:
        e = self.entries[i]
        if e.dtype == DT_F32 and e.nbytes % 4 == 0:
            return np.frombuffer(self.raw(i), dtype="<f4").astype(np.float64)
        if e.dtype == DT_F16 and e.nbytes % 2 == 0:
            return _f16_to_f32(self.raw(i)).astype(np.float64)
        raise ValueError(f"tensor {i} ({name}) is not a whole float vector")

    def cq_entry(self, i: int, name: str = "", shape: tuple | None = None) -> Entry:
        e = self.entries[i]
        if e.dtype != DT_CQ:
            raise ValueError(f"tensor {i} ({name}) is not CQ")
        if shape is not None and (e.ndim != 2 or tuple(e.dims[:2]) != tuple(shape)):
            raise ValueError(f"tensor {i} ({name}): shape does not match geometry")
        return e

    def dense(self, i: int, name: str = "", shape: tuple | None = None) -> np.ndarray:
        e = self.cq_entry(i, name, shape)
        return cq_dequantize(self.raw(i), e.dims[0], e.dims[1], e.cq_block, e.cq_bits,
                             self.codebook).astype(np.float64)

    def cq_row(self, i: int, r: int) -> np.ndarray:
        """One row of a CQ tensor, decoded alone (engram tables are too big to expand)."""
        e = self.entries[i]
        bits = 2 if e.cq_bits == 5 else e.cq_bits
        nblocks = -(-e.dims[1] // e.cq_block)
        row_bytes = bits * nblocks * e.cq_block // 8
        raw = self.raw(i)
        scales_at = e.dims[0] * row_bytes + 2 * r * nblocks
        blob = raw[r * row_bytes:(r + 1) * row_bytes] + raw[scales_at:scales_at + 2 * nblocks]
        return cq_dequantize(blob, 1, e.dims[1], e.cq_block, e.cq_bits,
                             self.codebook)[0].astype(np.float64)


def _byte_piece_ok(enc: bytes) -> bool:
    """<0xNN>: character boundaries at bytes 3 and 5, two hex digits (or '+' and one) between."""
    if len(enc) < 5:
        return False
    try:
        enc[:3].decode("utf-8")
        digits = enc[3:5].decode("utf-8")
    except UnicodeDecodeError:
        return False
    hexd = "0123456789abcdefABCDEF"
    return len(digits) == 2 and digits[1] in hexd and (digits[0] in hexd or digits[0] == "+")


def check_tokenizer_blob(blob: bytes) -> None:
    """Framing of the embedded piece tokenizer; the reference never tokenizes."""
    bad = ValueError("embedded tokenizer did not decode")
    if len(blob) < 24:
        raise bad
    count, pad, eos, bos, unk = struct.unpack_from("<5I", blob, 0)
    if count == 0:
        raise bad
    c = 24
    for _ in range(count):
        if len(blob) < c + 7:
            raise bad
        kind, length = blob[c + 4], struct.unpack_from("<H", blob, c + 5)[0]
        if len(blob) < c + 7 + length:
            raise bad
        try:
            text = blob[c + 7:c + 7 + length].decode("utf-8")
        except UnicodeDecodeError:
            raise bad from None
        if kind == 4 and not _byte_piece_ok(text.encode("utf-8")):
            raise bad
        c += 7 + length
    if max(pad, eos, bos, unk) >= count:
        raise bad


# ---------------------------------------------------------------- model

@dataclass
class Session:
    kv_int8: bool
    positions: int = 0
    tokens: list = field(default_factory=list)
    keys: list = field(default_factory=list)       # per block: list of (KV, hd) stored keys
    values: list = field(default_factory=list)     # per block: list of (KV, vd) stored values
    qkv_inputs: list = field(default_factory=list)  # per block: [q, k, v] lists of raw conv inputs
    engram_values: list = field(default_factory=list)  # per site: list of pre-convolution values


class _Pool:
    """Online softmax pooling per (cell, probe) over the positions of one text."""

    def __init__(self, head, d: int):
        self.head, self.d = head, d
        cells, pc = head.cells, head.per_cell
        self.m = np.full((cells, pc), -np.inf)
        self.s = np.zeros((cells, pc))
        self.a = np.zeros((cells, pc, d))

    def add(self, cell: int, h: np.ndarray) -> None:
        pc = self.head.per_cell
        for i in range(pc):
            w = self.head.probes[cell * pc + i]
            t = float(w @ h) / math.sqrt(self.d)
            m_old = self.m[cell, i]
            m_new = max(m_old, t)
            keep = math.exp(m_old - m_new) if math.isfinite(m_old) else 0.0
            wt = math.exp(t - m_new)
            self.a[cell, i] = self.a[cell, i] * keep + wt * h
            self.s[cell, i] = self.s[cell, i] * keep + wt
            self.m[cell, i] = m_new

    def logit(self) -> float:
        hd, d = self.head, self.d
        p = (self.a / self.s[..., None]).reshape(-1, d)
        p = p / np.sqrt(np.mean(p * p, axis=1) + EPS)[:, None] * hd.item_scales[:, None]
        reads = []
        for q in range(hd.queries.shape[0]):
            w = softmax(p @ hd.queries[q] / math.sqrt(d) + hd.bias[q])
            reads.append(w @ p)
        out = hd.proj @ np.concatenate(reads) + hd.head_bias
        return float(out[0])


class V3Reference:
    def __init__(self, data: bytes, depth: int | None = None):
        c = Container(data)
        g = c.header
        self.g = g
        for name in ("vocab_size", "d_model", "num_heads", "num_layers", "head_dim", "value_dim",
                     "max_seq_len", "mhc_lanes"):
            if g[name] == 0:
                raise ValueError(f"header field {name} must be non-zero")
        orders = g["orders"]
        if not orders:
            raise ValueError("container declares no engram orders")
        if g["num_tables"] % len(orders):
            raise ValueError("engram tables not a multiple of the orders")
        if g["num_tables"] == 0 or g["d_model"] // g["num_tables"] != g["sub_dim"]:
            raise ValueError("engram sub_dim disagrees with d_model / tables")
        if g["num_kv_heads"] == 0 or g["num_heads"] % g["num_kv_heads"]:
            raise ValueError("query heads do not divide into kv heads")
        hn, d = g["hada_n"], g["d_model"]
        if hn < d or hn & (hn - 1):
            raise ValueError("hada_n must be a power of two at least d_model")
        if g["head_dim"] % 2:
            raise ValueError("head_dim must be even")
        if g["logit_rows"] > g["vocab_size"]:
            raise ValueError("logit_rows beyond vocab_size")

        n_full = g["num_layers"]
        if depth is None or depth == n_full:
            blocks = list(range(n_full))
        else:
            blocks = ladder_blocks(n_full, depth)
            if blocks is None:
                raise ValueError("depth is outside the ladder")
        pos = {k: i for i, k in enumerate(blocks)}
        full_sites = g["engram_sites"]
        if any(s >= n_full for s in full_sites):
            raise ValueError("engram site beyond num_layers")

        self.full_layers = n_full
        self.blocks = blocks
        self.num_layers = len(blocks)
        self.vocab_size = g["vocab_size"]
        self.logit_rows = g["logit_rows"] or g["vocab_size"]
        self.max_seq_len = g["max_seq_len"]
        self.d_model = d
        mask_bits = [j for j in range(min(n_full, 64)) if (g["global_layer_mask"] >> j) & 1]
        self.global_layers = [pos[j] for j in mask_bits if j in pos]
        self.engram_sites = [pos[s] for s in full_sites if s in pos]
        self.lanes = g["mhc_lanes"]
        self.nh, self.nkv = g["num_heads"], g["num_kv_heads"]
        self.hd, self.vd = g["head_dim"], g["value_dim"]
        self.taps = g["qkv_conv_taps"]
        self.tables_per_order = g["num_tables"] // len(orders)
        w = g["kv_window"]
        self.window = w if 0 < w <= g["max_seq_len"] else 0

        per_block = 27 if self.taps else 24
        model_wide = 1 + n_full * per_block
        site_base = model_wide + 11
        final_at = site_base + 4 * len(full_sites)
        if len(c.entries) < final_at + 1:
            raise ValueError(f"canon needs at least {final_at + 1} tensors, "
                             f"directory has {len(c.entries)}")

        self.embedding = c.dense(0, "embedding", (g["vocab_size"], d))
        self.block_params = [self._load_block(c, 1 + k * per_block) for k in blocks]
        self._load_mhc(c, model_wide, blocks)
        self.perm1 = perm_indices(c.floats(model_wide + 9, "perm1"), hn)
        self.perm2 = perm_indices(c.floats(model_wide + 10, "perm2"), hn)
        self.sites = [self._load_site(c, site_base + 4 * s)
                      for s, blk in enumerate(full_sites) if blk in pos]
        self.final_norm = self._vec(c, final_at, "final_norm", d)

        first_bytes = next((i for i, e in enumerate(c.entries) if e.dtype == DT_BYTES), None)
        if first_bytes is None:
            raise ValueError("container carries no tokenizer")
        self.tokenizer_blob = c.raw(first_bytes)
        check_tokenizer_blob(self.tokenizer_blob)
        self.heads = self._load_heads(c, final_at + 1, first_bytes, blocks)
        self.confidence_head = next((h for h in self.heads if h.code in (2, 3)
                                     and h.proj.shape[0] > 0), None)
        self.has_confidence = self.confidence_head is not None

    # ------------------------------------------------------------ loading

    @staticmethod
    def _vec(c: Container, i: int, name: str, length: int) -> np.ndarray:
        v = c.floats(i, name)
        if len(v) != length:
            raise ValueError(f"tensor {i} ({name}) has {len(v)} values, want {length}")
        return v

    def _load_block(self, c: Container, i: int) -> SimpleNamespace:
        g, d, hn = self.g, self.d_model, self.g["hada_n"]
        names = ["norm_in", "q_proj", "k_proj", "v_proj"]
        if self.taps:
            names += ["q_conv", "k_conv", "v_conv"]
        names += ["q_norm", "k_norm", "gate_proj", "out_proj", "post_norm", "attn_gate",
                  "ffn_norm"] + FFN_NAMES
        raw = {}
        for k, name in enumerate(names):
            if name in CQ_SHAPES:
                raw[name] = c.dense(i + k, name, CQ_SHAPES[name](g))
            else:
                raw[name] = c.floats(i + k, name)
        p = 1 << (int(math.log2(hn)) // 2)
        q = hn // p
        t, nh, nkv, hd, vd = self.taps, self.nh, self.nkv, self.hd, self.vd
        want = {"norm_in": d, "q_norm": hd, "k_norm": hd, "post_norm": d, "ffn_norm": d,
                "d1": hn, "act_scale": hn, "act_bias": hn, "d2": hn,
                "k1_a": p * p, "k2_a": p * p, "k3_a": p * p, "k1_b": q * q, "k2_b": q * q,
                "k3_b": q * q, "q_conv": t * nh * hd, "k_conv": t * nkv * hd, "v_conv": t * nkv * vd}
        for name, n in want.items():
            if name in raw and len(raw[name]) != n:
                raise ValueError(f"block tensor {name} has {len(raw[name])} values, want {n}")
        if len(raw["attn_gate"]) < 1 or len(raw["router"]) % d:
            raise ValueError("block gate or router has the wrong size")
        e = len(raw["router"]) // d
        if len(raw["components"]) != e * hn:
            raise ValueError("component table disagrees with the router")
        b = SimpleNamespace(**raw)
        for name in ("k1", "k2", "k3"):
            setattr(b, name + "_a", raw[name + "_a"].reshape(p, p))
            setattr(b, name + "_b", raw[name + "_b"].reshape(q, q))
        b.router = raw["router"].reshape(d, e)
        b.components = raw["components"].reshape(e, hn)
        b.attn_gate = float(raw["attn_gate"][0])
        if self.taps:
            b.q_conv = raw["q_conv"].reshape(t, nh * hd)
            b.k_conv = raw["k_conv"].reshape(t, nkv * hd)
            b.v_conv = raw["v_conv"].reshape(t, nkv * vd)
        return b

    def _load_mhc(self, c: Container, i: int, blocks: list) -> None:
        lanes, d = self.lanes, self.d_model
        vecs = [c.floats(i + k, name) for k, name in
                enumerate(["mhc_a_pre", "mhc_a_post", "mhc_a_res", "mhc_b_pre", "mhc_b_post", "mhc_b_res"])]
        phis = [c.dense(i + 6 + k, name) for k, name in
                enumerate(["mhc_phi_pre", "mhc_phi_post", "mhc_phi_res"])]
        for phi in phis:
            if phi.shape[1] != lanes * d:
                raise ValueError("mHC projection width is not lanes * d_model")

        def take(v, start, count, what):
            if start + count > len(v):
                raise ValueError(f"{what} out of range")
            return v[start:start + count]

        for b, k in zip(self.block_params, blocks):
            b.a_pre = float(take(vecs[0], k, 1, "mhc_a_pre")[0])
            b.a_post = float(take(vecs[1], k, 1, "mhc_a_post")[0])
            b.a_res = float(take(vecs[2], k, 1, "mhc_a_res")[0])
            b.b_pre = take(vecs[3], k * lanes, lanes, "mhc_b_pre")
            b.b_post = take(vecs[4], k * lanes, lanes, "mhc_b_post")
            b.b_res = take(vecs[5], k * lanes * lanes, lanes * lanes, "mhc_b_res")
            b.phi_pre = take(phis[0], k * lanes, lanes, "mHC lane row")
            b.phi_post = take(phis[1], k * lanes, lanes, "mHC lane row")
            b.phi_res = take(phis[2], k * lanes * lanes, lanes * lanes, "mHC lane row")

    def _load_site(self, c: Container, i: int) -> SimpleNamespace:
        g, d = self.g, self.d_model
        width = g["num_tables"] * g["sub_dim"]
        tables = c.cq_entry(i, "engram tables")
        if g["table_rows"] == 0 or tables.dims[0] < g["num_tables"] * g["table_rows"] \
                or tables.dims[1] != g["sub_dim"]:
            raise ValueError("engram tables do not match geometry")
        bits = 2 if tables.cq_bits == 5 else tables.cq_bits
        nblocks = -(-tables.dims[1] // max(tables.cq_block, 1))
        if tables.nbytes < tables.dims[0] * nblocks * (bits * tables.cq_block // 8 + 2):
            raise ValueError("engram tables blob is short")
        c.cq_row(i, 0)   # rows are decoded lazily; this validates block size and bits now
        rows = {}

        def row(r: int) -> np.ndarray:
            if r not in rows:
                rows[r] = c.cq_row(i, r)
            return rows[r]

        return SimpleNamespace(
            row=row,
            key_proj=c.dense(i + 1, "engram key_proj", (d, width)),
            value_proj=c.dense(i + 2, "engram value_proj", (d, width)),
            taps=self._vec(c, i + 3, "engram taps", g["conv_taps"] * d).reshape(g["conv_taps"], d))

    def _load_heads(self, c: Container, start: int, end: int, blocks: list) -> list:
        if end <= start:
            return []
        d = self.d_model
        cells_full = self.full_layers + 1
        cells = [0] + [k + 1 for k in blocks]
        heads, at = [], start + 1
        for v in c.floats(start, "head manifest"):
            code = head_code(v)
            if code not in (1, 2, 3):
                raise ValueError(f"unknown probe-head code {code}")
            width = 7 if code == 3 else 6
            if at + width > end:
                raise ValueError("head tensors ran out")
            probes = c.dense(at, "probes")
            scales = c.floats(at + 1, "item scales")
            m = probes.shape[0]
            if probes.shape[1] != d or m % cells_full or len(scales) != m:
                raise ValueError("probe head shapes disagree with num_layers + 1 cells")
            per_cell = m // cells_full
            queries = c.dense(at + 2, "read-out queries")
            r = queries.shape[0]
            bias = c.floats(at + 3, "read-out biases")
            proj = c.dense(at + 4, "head proj")
            if queries.shape[1] != d or len(bias) != r * m or proj.shape[1] != r * d:
                raise ValueError("probe head read-out shapes disagree")
            head_bias = np.zeros(proj.shape[0])
            hb = c.floats(at + 5, "head bias")[:proj.shape[0]]
            head_bias[:len(hb)] = hb
            items = [cell * per_cell + i for cell in cells for i in range(per_cell)]
            heads.append(SimpleNamespace(
                code=code, cells=len(cells), per_cell=per_cell, probes=probes[items],
                item_scales=scales[items], queries=queries, bias=bias.reshape(r, m)[:, items],
                proj=proj, head_bias=head_bias))
            at += width
        return heads

    # ------------------------------------------------------------ sessions

    def new_session(self, kv_int8: bool = False) -> Session:
        n = self.num_layers
        return Session(kv_int8=bool(kv_int8),
                       keys=[[] for _ in range(n)], values=[[] for _ in range(n)],
                       qkv_inputs=[[[], [], []] for _ in range(n)],
                       engram_values=[[] for _ in self.sites])

    def kv_bytes(self, seq_len: int, kv_int8: bool = False) -> int:
        width = self.hd + self.vd
        per = self.nkv * (width + 8) if kv_int8 else 4 * self.nkv * width
        total = 0
        for b in range(self.num_layers):
            local = b not in self.global_layers and self.window != 0
            total += (min(self.window, seq_len) if local else seq_len) * per
        return total

    def visible_start(self, b: int, t: int) -> int:
        if b in self.global_layers or self.window == 0:
            return 0
        return max(0, t + 1 - self.window)

    # ------------------------------------------------------------ forward

    def rope(self, x: np.ndarray, t: int) -> np.ndarray:
        half = self.hd // 2
        inv_freq = 1.0 / float(self.g["rope_theta"]) ** (2.0 * np.arange(half) / self.hd)
        cos, sin = np.cos(t * inv_freq), np.sin(t * inv_freq)
        lo, hi = x[:, :half], x[:, half:]
        return np.concatenate([lo * cos - hi * sin, lo * sin + hi * cos], axis=1)

    @staticmethod
    def _conv(history: list, x: np.ndarray, taps: np.ndarray) -> np.ndarray:
        history.append(x)
        t = len(history) - 1
        out = np.zeros_like(x)
        for c in range(taps.shape[0]):
            if t - c >= 0:
                out += taps[c] * history[t - c]
        return out

    def _engram(self, st: Session, s: int, x: np.ndarray, t: int) -> np.ndarray:
        g, site = self.g, self.sites[s]
        sub, rows, tpo = g["sub_dim"], g["table_rows"], self.tables_per_order
        fetched = np.zeros(g["num_tables"] * sub)
        for k in range(g["num_tables"]):
            o, j = divmod(k, tpo)
            n = g["orders"][o]
            if t + 1 < n:
                continue
            r = engram_index(st.tokens, t, n, o, j, g["engram_seed_stride"], tpo, rows)
            fetched[k * sub:(k + 1) * sub] = site.row(k * rows + r)
        key = site.key_proj @ fetched
        value = site.value_proj @ fetched
        history = st.engram_values[s]
        history.append(value)
        longest = max(g["orders"])
        conv = np.zeros(self.d_model)
        for c in range(g["conv_taps"]):
            back = c * g["tap_stride"]
            if c >= 1 and (t < back or t < c * longest):
                break
            conv += site.taps[c] * history[t - back]
        d = self.d_model
        rms = lambda v: math.sqrt(float(v @ v) / d + EPS)
        z = float(x @ key) / (rms(x) * rms(key)) / math.sqrt(d)
        return sigmoid(z) * conv

    def _attend(self, st: Session, b: int, q: np.ndarray, t: int) -> np.ndarray:
        start = self.visible_start(b, t)
        keys = np.stack(st.keys[b][start:t + 1])
        values = np.stack(st.values[b][start:t + 1])
        group = self.nh // self.nkv
        out = np.zeros((self.nh, self.vd))
        for h in range(self.nh):
            kv = h // group
            scores = keys[:, kv, :] @ q[h] / math.sqrt(self.hd)
            m = np.max(scores)
            n = len(scores)
            with np.errstate(all="ignore"):
                e = np.exp(scores - m)
                total = e.sum()
            w = np.full(n, 1.0 / n) if (m == -np.inf or total == 0) else e / total
            out[h] = w @ values[:, kv, :]
        return out

    def _ffn(self, b: SimpleNamespace, u: np.ndarray) -> np.ndarray:
        d, hn = self.d_model, self.g["hada_n"]
        mult = np.ones(hn)
        if b.router.shape[1]:
            r = softmax(u @ b.router)
            for e, re in enumerate(r):
                if re != 0:
                    mult = mult + re * b.components[e]
        z = np.zeros(hn)
        z[:d] = u
        z = z * b.d1
        z = gather(kron_mix(z, b.k1_a, b.k1_b), self.perm1)
        t = b.act_scale * mult * z + b.act_bias
        z = t * sigmoid(t)
        z = gather(kron_mix(z, b.k2_a, b.k2_b), self.perm2) * b.d2
        z = kron_mix(z, b.k3_a, b.k3_b)
        out = np.zeros(d)
        n = min(len(b.d3), hn, d)
        out[:n] = z[:n] * b.d3[:n]
        return out

    def _advance(self, st: Session, token: int, pool: _Pool | None = None) -> np.ndarray:
        """One position through the rung; returns the lane mean after the last block."""
        t = st.positions
        if t >= self.max_seq_len:
            raise ValueError("session is at max_seq_len")
        st.tokens.append(int(token))
        lanes_n, d = self.lanes, self.d_model
        emb = self.embedding[min(int(token), self.vocab_size - 1)]
        if pool is not None:
            pool.add(0, emb)
        lanes = np.tile(emb, (lanes_n, 1))
        ar = np.arange(lanes_n)
        for bi, b in enumerate(self.block_params):
            flat = rms_normalise(lanes.reshape(-1))
            home = bi % lanes_n
            pre = sigmoid(b.a_pre * (b.phi_pre @ flat) + b.b_pre + np.where(ar == home, 4.0, -4.0))
            post = 2.0 * sigmoid(b.a_post * (b.phi_post @ flat) + b.b_post
                                 + np.where(ar == home, 0.0, -4.0))
            res = sinkhorn((b.a_res * (b.phi_res @ flat) + b.b_res).reshape(lanes_n, lanes_n))
            x_pre = pre @ lanes
            x = x_pre.copy()
            for s, site_block in enumerate(self.engram_sites):
                if site_block == bi:
                    x = x + self._engram(st, s, x, t)

            xn = rms_norm(x, b.norm_in)
            q, k, v = b.q_proj @ xn, b.k_proj @ xn, b.v_proj @ xn
            if self.taps:
                hist = st.qkv_inputs[bi]
                q = self._conv(hist[0], q, b.q_conv)
                k = self._conv(hist[1], k, b.k_conv)
                v = self._conv(hist[2], v, b.v_conv)
            q = self.rope(np.stack([rms_norm(r, b.q_norm) for r in q.reshape(self.nh, self.hd)]), t)
            k = self.rope(np.stack([rms_norm(r, b.k_norm) for r in k.reshape(self.nkv, self.hd)]), t)
            v = v.reshape(self.nkv, self.vd)
            if st.kv_int8:
                k = np.stack([int8_stored(r) for r in k])
                v = np.stack([int8_stored(r) for r in v])
            st.keys[bi].append(k)
            st.values[bi].append(v)
            a = self._attend(st, bi, q, t).reshape(-1) * sigmoid(b.gate_proj @ xn)
            o = rms_norm(b.out_proj @ a, b.post_norm)
            x = x + sigmoid(b.attn_gate) * o
            x = x + self._ffn(b, rms_norm(x, b.ffn_norm))

            y = x - x_pre
            lanes = res @ lanes + post[:, None] * y[None, :]
            if pool is not None:
                pool.add(bi + 1, lanes.mean(axis=0))
        st.positions = t + 1
        return lanes.mean(axis=0)

    def _logits(self, hidden: np.ndarray) -> np.ndarray:
        return self.embedding[:self.logit_rows] @ rms_norm(hidden, self.final_norm)

    def step(self, session: Session, token: int) -> np.ndarray:
        return self._logits(self._advance(session, token))

    def prefill(self, session: Session, ids) -> np.ndarray:
        rows = [self.step(session, int(t)) for t in ids]
        return np.stack(rows) if rows else np.zeros((0, self.logit_rows))

    def logits(self, ids, kv_int8: bool = False) -> np.ndarray:
        return self.prefill(self.new_session(kv_int8), ids)

    # ------------------------------------------------------------ confidence

    def confidence_logit(self, ids) -> float | None:
        """Head logit over a fresh pass of ids (cut to max_seq_len), or None without a head."""
        if self.confidence_head is None:
            return None
        ids = [int(t) for t in ids][:self.max_seq_len]
        if not ids:
            raise ValueError("nothing to score")
        pool = _Pool(self.confidence_head, self.d_model)
        st = self.new_session()
        for t in ids:
            self._advance(st, t, pool)
        return pool.logit()

    def confidence(self, ids) -> float | None:
        z = self.confidence_logit(ids)
        return None if z is None else 1.0 / (1.0 + math.exp(-z))


# ---------------------------------------------------------------- generation

class SplitMix64:
    """The sampler's random source; the state starts at the seed itself."""

    def __init__(self, seed: int):
        self.state = int(seed) & MASK64

    def next_u64(self) -> int:
        self.state = (self.state + GAMMA) & MASK64
        z = self.state
        z = ((z ^ (z >> 30)) * 0xBF58476D1CE4E5B9) & MASK64
        z = ((z ^ (z >> 27)) * 0x94D049BB133111EB) & MASK64
        return z ^ (z >> 31)

    def next_f64(self) -> float:
        return (self.next_u64() >> 11) * 2.0 ** -53


def pick(logits, temperature: float, rng: SplitMix64) -> int:
    lg = np.asarray(logits, dtype=np.float32)
    temp = np.float32(temperature)
    if not temp > 0:
        return int(np.argmax(lg))  # first maximum: lowest id on ties
    m = np.float32(np.max(lg))
    with np.errstate(all="ignore"):
        scaled = ((lg - m) / temp).astype(np.float32)
        terms = np.exp(scaled.astype(np.float64)).astype(np.float32)
    total = 0.0
    for term in terms:
        total += float(term)
    j = rng.next_f64() * total
    for i, term in enumerate(terms):
        j -= float(term)
        if j <= 0:
            return i
    return len(terms) - 1


def generate(model: V3Reference, prompt_ids, max_new_tokens: int = 0, temperature: float = 0.0,
             seed: int = 0, kv_int8: bool = False, im_end_id: int | None = None) -> dict:
    """The engine's generation loop over already-encoded prompt ids (bos included)."""
    limit = model.max_seq_len
    prompt = [int(t) for t in prompt_ids]
    if not prompt:
        raise ValueError("empty prompt")
    cut = len(prompt) > limit
    prompt = prompt[:limit]
    wanted = DEFAULT_NEW_TOKENS if max_new_tokens == 0 else int(max_new_tokens)
    budget = min(wanted, limit - len(prompt))
    st = model.new_session(kv_int8)
    logits = model.prefill(st, prompt)[-1]
    rng = SplitMix64(seed)
    out = []
    if budget == 0:
        stop = "MaxSeqLen" if (cut or len(prompt) == limit) else "MaxTokens"
    else:
        while True:
            tok = pick(logits, temperature, rng)
            if tok == EOS_ID:
                stop = "Eos"
                break
            if im_end_id is not None and tok == im_end_id:
                stop = "ImEnd"
                break
            out.append(tok)
            if st.positions < limit:
                logits = model.step(st, tok)
                if len(out) == budget:
                    stop = "MaxTokens"
                    break
            else:
                stop = "MaxSeqLen"
                break
    if cut:
        stop = "MaxSeqLen"
    return {"token_ids": out, "stop_reason": stop, "positions": st.positions}
