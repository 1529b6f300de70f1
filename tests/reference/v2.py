"""Plain numpy model of the second-generation network, used to check the engine.

Reads a .trov image with its own parser and CQ decoder (nothing shared with the
writer or the C++ code), expands every CQ matrix to dense floats and runs the
forward pass one token at a time, the slow and obvious way.  Accumulations are
float64; weights are the float32 values the container represents.
"""
from __future__ import annotations

import math
import struct
from dataclasses import dataclass, field

import numpy as np

TAG_V2 = 0x05E12A83
HEADER_BYTES = 120
DIR_START = 232
ENTRY_BYTES = 44

DT_F16, DT_F32, DT_CQ, DT_BYTES = 1, 2, 3, 4

EPS = 1e-6
SINKHORN_ROUNDS = 20
MASK32 = 0xFFFFFFFF


# ---------------------------------------------------------------- transforms

def fwht_unnormalised(a: np.ndarray) -> np.ndarray:
    """Sylvester-order Walsh-Hadamard butterfly over the last axis (no scaling)."""
    a = np.array(a, dtype=np.float64, copy=True)
    n = a.shape[-1]
    if n & (n - 1):
        raise ValueError("length must be a power of two")
    h = 1
    while h < n:
        shaped = a.reshape(a.shape[:-1] + (n // (2 * h), 2, h))
        x = shaped[..., 0, :].copy()
        y = shaped[..., 1, :].copy()
        shaped[..., 0, :] = x + y
        shaped[..., 1, :] = x - y
        a = shaped.reshape(a.shape)
        h *= 2
    return a


def fwht(a: np.ndarray) -> np.ndarray:
    """Orthonormal transform: butterfly times 1/sqrt(n); its own inverse."""
    n = np.shape(a)[-1]
    return fwht_unnormalised(a) / math.sqrt(n)


def hadamard_matrix(n: int) -> np.ndarray:
    """Dense Sylvester matrix H_n with entries +-1, built by the Kronecker rule."""
    h = np.ones((1, 1))
    while h.shape[0] < n:
        h = np.block([[h, h], [h, -h]])
    return h


# ---------------------------------------------------------------- container

def _f16_to_f32(raw: bytes) -> np.ndarray:
    return np.frombuffer(raw, dtype="<f2").astype(np.float32)


@dataclass
class Entry:
    dtype: int
    ndim: int
    dims: tuple
    offset: int
    nbytes: int
    cq_block: int
    cq_bits: int


@dataclass
class Container:
    header: dict
    codebook: np.ndarray  # (28,) float32
    entries: list
    data: bytes

    def raw(self, i: int) -> bytes:
        e = self.entries[i]
        if e.offset + e.nbytes > len(self.data):
            raise ValueError(f"tensor {i} out of range")
        return self.data[e.offset:e.offset + e.nbytes]

    def shape(self, i: int) -> tuple:
        e = self.entries[i]
        return tuple(e.dims[:e.ndim])

    def floats(self, i: int) -> np.ndarray:
        e = self.entries[i]
        raw = self.raw(i)
        if e.dtype == DT_F32:
            return np.frombuffer(raw, dtype="<f4").astype(np.float32)
        if e.dtype == DT_F16:
            return _f16_to_f32(raw)
        raise ValueError(f"tensor {i} is dtype {e.dtype}, not float")

    def dense_cq(self, i: int) -> np.ndarray:
        e = self.entries[i]
        if e.dtype != DT_CQ:
            raise ValueError(f"tensor {i} is dtype {e.dtype}, not CQ")
        return cq_dequantize(self.raw(i), e.dims[0], e.dims[1], e.cq_block,
                             e.cq_bits, self.codebook)


def parse_container(data: bytes) -> Container:
    if len(data) < HEADER_BYTES:
        raise ValueError("too short")
    u32 = lambda off: struct.unpack_from("<I", data, off)[0]
    if u32(0) != TAG_V2:
        raise ValueError(f"bad tag {u32(0):#010x}")
    names = ["vocab", "d_model", "num_heads", "num_kv_heads", "num_layers",
             "head_dim", "max_seq_len", "hada_n", "mhc_lanes", "table_rows",
             "sub_dim", "num_tables", "conv_taps", "tap_stride"]
    hdr = {n: u32(20 + 4 * k) for k, n in enumerate(names)}
    hdr["tensor_count"] = u32(4)
    hdr["codebook_floats"] = u32(8)
    hdr["rope_theta"] = struct.unpack_from("<f", data, 12)[0]
    hdr["kv_window"] = u32(16)
    n_orders = min(u32(76), 4)
    hdr["orders"] = [u32(80 + 4 * k) for k in range(n_orders)]
    n_sites = min(u32(96), 4)
    hdr["engram_sites"] = [u32(100 + 4 * k) for k in range(n_sites)]
    hdr["flags"] = bytes(data[116:120])
    if hdr["codebook_floats"] != 28:
        raise ValueError("codebook must have 28 floats")
    count = hdr["tensor_count"]
    if len(data) < DIR_START + ENTRY_BYTES * count:
        raise ValueError("directory truncated")
    codebook = np.frombuffer(data, dtype="<f4", count=28, offset=HEADER_BYTES).astype(np.float32)
    entries = []
    for i in range(count):
        base = DIR_START + ENTRY_BYTES * i
        dtype, ndim = data[base], data[base + 1]
        dims = struct.unpack_from("<4I", data, base + 4)
        offset, nbytes = struct.unpack_from("<QQ", data, base + 20)
        block = u32(base + 36)
        bits = data[base + 40]
        if ndim > 4 or offset + nbytes > len(data):
            raise ValueError(f"bad directory entry {i}")
        entries.append(Entry(dtype, ndim, dims, offset, nbytes, block, bits))
    return Container(hdr, codebook, entries, bytes(data))


# ---------------------------------------------------------------- CQ codec

TERNARY_CONST = np.float32(1.2240064)


def cq_codebook(bits_code: int, block: int, codebook: np.ndarray) -> tuple[int, np.ndarray]:
    """(bits per code, value of each code) for a tensor's bits code."""
    cb = np.asarray(codebook, dtype=np.float32)
    if bits_code == 2:
        return 2, cb[0:4]
    if bits_code == 3:
        return 3, cb[4:12]
    if bits_code == 4:
        return 4, cb[12:28]
    if bits_code == 5:
        c = np.float32(TERNARY_CONST / np.sqrt(np.float32(block)))
        return 2, np.array([0.0, c, 0.0, -c], dtype=np.float32)
    raise ValueError(f"unsupported bits code {bits_code}")


def cq_codes(blob: bytes, rows: int, padded_cols: int, bits: int) -> np.ndarray:
    """Unpack the per-row little-endian bit streams into a (rows, padded_cols) code array."""
    row_bytes = bits * padded_cols // 8
    raw = np.frombuffer(blob, dtype=np.uint8, count=rows * row_bytes).reshape(rows, row_bytes)
    stream = np.unpackbits(raw, axis=1, bitorder="little")  # bit i of the row is element i
    stream = stream.reshape(rows, padded_cols, bits).astype(np.int64)
    weights = 1 << np.arange(bits, dtype=np.int64)
    return (stream * weights).sum(axis=2)


def cq_dequantize(blob: bytes, rows: int, cols: int, block: int, bits_code: int,
                  codebook: np.ndarray) -> np.ndarray:
    """Dense (rows, cols) float32 matrix represented by a CQ tensor."""
    if rows == 0 or cols == 0:
        raise ValueError("empty CQ shape")
    if block < 8 or block & (block - 1) or block % 8:
        raise ValueError(f"bad CQ block {block}")
    bits, values = cq_codebook(bits_code, block, codebook)
    nblocks = -(-cols // block)
    padded = nblocks * block
    index_bytes = rows * bits * padded // 8
    need = index_bytes + 2 * rows * nblocks
    if len(blob) < need:
        raise ValueError(f"CQ blob short: need {need}, got {len(blob)}")
    codes = cq_codes(blob, rows, padded, bits)
    scales = _f16_to_f32(blob[index_bytes:need]).reshape(rows, nblocks).astype(np.float64)
    rotated = values.astype(np.float64)[codes].reshape(rows, nblocks, block)
    rotated *= scales[:, :, None]
    dense = fwht(rotated).reshape(rows, padded)
    return dense[:, :cols].astype(np.float32)


# ---------------------------------------------------------------- model maths

def rms_normalise(v: np.ndarray) -> np.ndarray:
    return v / math.sqrt(float(np.mean(v * v)) + EPS)


def rms_norm(v: np.ndarray, w: np.ndarray) -> np.ndarray:
    return (1.0 + w) * rms_normalise(v)


def sigmoid(z):
    return 1.0 / (1.0 + np.exp(-np.asarray(z, dtype=np.float64)))


def silu(z):
    return z * sigmoid(z)


def logsumexp(v: np.ndarray, axis: int = -1) -> np.ndarray:
    """log(sum(exp(v))) along an axis, ignoring NaNs; the maximum itself when
    the maximum is not finite (all -inf, or +inf present)."""
    v = np.asarray(v, dtype=np.float64)
    with np.errstate(all="ignore"):
        m = np.nanmax(np.where(np.isnan(v), -np.inf, v), axis=axis, keepdims=True)
        shifted = np.where(np.isnan(v), -np.inf, v - np.where(np.isfinite(m), m, 0.0))
        out = m + np.log(np.sum(np.exp(shifted), axis=axis, keepdims=True))
    out = np.where(np.isfinite(m), out, m)
    return np.squeeze(out, axis=axis)


def sinkhorn(logits: np.ndarray, rounds: int = SINKHORN_ROUNDS) -> np.ndarray:
    """Doubly-stochastic matrix from a square matrix of log-weights: each
    round normalises every row, then every column, in the log domain."""
    r = np.array(logits, dtype=np.float64, copy=True)
    for _ in range(rounds):
        r = r - logsumexp(r, axis=1)[:, None]
        r = r - logsumexp(r, axis=0)[None, :]
    return np.exp(r)


def engram_row_hash(k: int, order: int, tokens: list, p: int, table_rows: int) -> int | None:
    """Row index inside table k for the n-gram ending at position p, or None while too short."""
    h = ((k + 1) * 0x9E3779B9) & MASK32
    for i in range(order):
        if p >= i:
            h ^= tokens[p - i]
        h = (h * 16777619) & MASK32
    if order != 0 and p < order - 1:
        return None
    return (h ^ (h >> 15)) % table_rows


@dataclass
class Layer:
    norm_in: np.ndarray
    q_proj: np.ndarray
    k_proj: np.ndarray
    v_proj: np.ndarray
    q_norm: np.ndarray
    k_norm: np.ndarray
    gate_proj: np.ndarray
    out_proj: np.ndarray
    post_norm: np.ndarray
    attn_gate: np.ndarray
    pre_hada: np.ndarray
    d1: np.ndarray
    d2: np.ndarray
    d3: np.ndarray


LAYER_FIELDS = ["norm_in", "q_proj", "k_proj", "v_proj", "q_norm", "k_norm",
                "gate_proj", "out_proj", "post_norm", "attn_gate", "pre_hada",
                "d1", "d2", "d3"]
LAYER_CQ = {"q_proj", "k_proj", "v_proj", "gate_proj", "out_proj"}


@dataclass
class Head:
    kind: int
    probes: np.ndarray  # (P, d_model)
    proj: np.ndarray    # (out_dim, P*d_model)
    bias: np.ndarray    # (out_dim,)


@dataclass
class _Cache:
    """Per-sequence state: ring key/value caches, token history, engram rings."""
    capacity: int
    window: int
    position: int = 0
    tokens: list = field(default_factory=list)
    keys: list = field(default_factory=list)    # per layer (capacity, kv_heads, head_dim)
    values: list = field(default_factory=list)
    rings: list = field(default_factory=list)   # per site (R, d_model)
    lanes: np.ndarray | None = None             # residual lanes after the last step


class V2Reference:
    def __init__(self, c: Container):
        self.c = c
        g = dict(c.header)
        self.g = g
        self.vocab = g["vocab"]
        self.d = g["d_model"]
        self.L = g["mhc_lanes"]
        self.n_layers = g["num_layers"]
        self.nh = g["num_heads"]
        self.nkv = g["num_kv_heads"]
        self.hd = g["head_dim"]
        self.hada_n = g["hada_n"]
        self.max_seq_len = g["max_seq_len"]
        self.kv_window = g["kv_window"]
        self.theta = g["rope_theta"]
        self.orders = g["orders"]
        self.sites = g["engram_sites"]
        f64 = lambda a: np.asarray(a, dtype=np.float64)

        idx = 0
        self.embedding = f64(c.dense_cq(idx)); idx += 1
        self.layers = []
        for _ in range(self.n_layers):
            parts = {}
            for name in LAYER_FIELDS:
                parts[name] = f64(c.dense_cq(idx) if name in LAYER_CQ else c.floats(idx))
                idx += 1
            self.layers.append(Layer(**parts))
        nl, L = self.n_layers, self.L
        self.a_pre = f64(c.floats(idx)); self.a_post = f64(c.floats(idx + 1))
        self.a_res = f64(c.floats(idx + 2))
        self.b_pre = f64(c.floats(idx + 3)).reshape(nl, L)
        self.b_post = f64(c.floats(idx + 4)).reshape(nl, L)
        self.b_res = f64(c.floats(idx + 5)).reshape(nl, L * L)
        self.phi_pre = f64(c.dense_cq(idx + 6))
        self.phi_post = f64(c.dense_cq(idx + 7))
        self.phi_res = f64(c.dense_cq(idx + 8))
        idx += 9
        self.engrams = []
        for _ in self.sites:
            tables = f64(c.dense_cq(idx))
            key_proj = f64(c.dense_cq(idx + 1))
            value_proj = f64(c.dense_cq(idx + 2))
            taps = f64(c.floats(idx + 3)).reshape(g["conv_taps"], self.d)
            self.engrams.append((tables, key_proj, value_proj, taps))
            idx += 4
        self.final_norm = f64(c.floats(idx)); idx += 1

        # What is left: optional head manifest, then an optional tokenizer blob.
        total = len(c.entries)
        self.tokenizer_blob = None
        if total and c.entries[-1].dtype == DT_BYTES:
            self.tokenizer_blob = c.raw(total - 1)
            total -= 1
        self.heads = []
        if total > idx:
            kinds = c.floats(idx)
            nheads = (total - idx - 1) // 3
            for h in range(nheads):
                base = idx + 1 + 3 * h
                probes = f64(c.floats(base)).reshape(c.shape(base))
                proj = f64(c.floats(base + 1)).reshape(c.shape(base + 1))
                bias = f64(c.floats(base + 2))
                kind = int(min(max(float(kinds[h]), 0.0), 255.0))
                self.heads.append(Head(kind, probes, proj, bias))
        self.pad_id = None
        if self.tokenizer_blob is not None and len(self.tokenizer_blob) >= 24:
            self.pad_id = struct.unpack_from("<I", self.tokenizer_blob, 4)[0]

        half = self.hd // 2
        self.inv_freq = 1.0 / (float(self.theta) ** (2.0 * np.arange(half) / self.hd))
        self.reset()

    @classmethod
    def from_bytes(cls, data: bytes) -> "V2Reference":
        return cls(parse_container(data))

    # ------------------------------------------------------------ state

    def new_cache(self, capacity: int | None = None, window: int | None = None) -> _Cache:
        if window is None:
            window = self.kv_window
        if capacity is None:
            w = self.kv_window
            capacity = w if 0 < w <= self.max_seq_len else self.max_seq_len
        st = _Cache(capacity=capacity, window=window)
        st.keys = [np.zeros((capacity, self.nkv, self.hd)) for _ in range(self.n_layers)]
        st.values = [np.zeros((capacity, self.nkv, self.hd)) for _ in range(self.n_layers)]
        ring_len = self.g["conv_taps"] * self.g["tap_stride"] + 1
        st.rings = [np.zeros((ring_len, self.d)) for _ in self.sites]
        return st

    def reset(self) -> None:
        self.state = self.new_cache()

    @property
    def position(self) -> int:
        return self.state.position

    # ------------------------------------------------------------ pieces

    def rope(self, x: np.ndarray, p: int) -> np.ndarray:
        """Half-split rotation of each head row of x (heads, head_dim) at position p."""
        half = self.hd // 2
        ang = p * self.inv_freq
        cos, sin = np.cos(ang), np.sin(ang)
        lo, hi = x[:, :half], x[:, half:]
        return np.concatenate([lo * cos - hi * sin, hi * cos + lo * sin], axis=1)

    def _engram_prepare(self, st: _Cache, p: int):
        """Per site (key, conv) for position p; writes the site's value ring."""
        out = []
        g = self.g
        n_tables, rows, sub = g["num_tables"], g["table_rows"], g["sub_dim"]
        per_order = n_tables // len(self.orders)
        ring_len = g["conv_taps"] * g["tap_stride"] + 1
        for s, (tables, key_proj, value_proj, taps) in enumerate(self.engrams):
            f = np.zeros(n_tables * sub)
            for k in range(n_tables):
                order = self.orders[k // per_order]
                r = engram_row_hash(k, order, st.tokens, p, rows)
                if r is not None:
                    f[k * sub:(k + 1) * sub] = tables[k * rows + r]
            st.rings[s][p % ring_len] = value_proj @ f
            key = key_proj @ f
            conv = np.zeros(self.d)
            for q in range(g["conv_taps"]):
                back = q * g["tap_stride"]
                if p >= back:
                    conv += taps[q] * st.rings[s][(p - back) % ring_len]
            out.append((key, conv))
        return out

    def _attend(self, st: _Cache, layer: int, q: np.ndarray, p: int) -> np.ndarray:
        w = st.window
        first = p - w + 1 if (w != 0 and p + 1 >= w) else 0
        n = p - first + 1
        group = self.nh // self.nkv
        slots = [(first + i) % st.capacity for i in range(n)]
        K = st.keys[layer][slots]    # (n, kv, hd)
        V = st.values[layer][slots]
        out = np.zeros((self.nh, self.hd))
        for j in range(self.nh):
            kv = j // group
            scores = K[:, kv, :] @ q[j] / math.sqrt(self.hd)
            m = np.max(scores)
            if m == -np.inf:
                wts = np.full(n, 1.0 / n)
            else:
                e = np.exp(scores - m)
                s = e.sum()
                wts = e / s if s != 0 else np.full(n, 1.0 / n)
            out[j] = wts @ V[:, kv, :]
        return out

    # ------------------------------------------------------------ forward

    def _forward(self, st: _Cache, token: int, pool=None) -> np.ndarray:
        """One token through the network; returns the final lane-mean hidden vector."""
        p = st.position
        if p >= self.max_seq_len:
            raise ValueError("sequence exceeds max_seq_len")
        if not 0 <= token < self.vocab:
            raise ValueError("token id outside vocabulary")
        st.tokens.append(int(token))
        d, L = self.d, self.L
        emb = self.embedding[token] * float(np.float32(math.sqrt(d)))
        if pool is not None:
            pool(emb)
        lanes = np.tile(emb, (L, 1))
        engram = self._engram_prepare(st, p) if self.sites else []

        for l, ly in enumerate(self.layers):
            u = rms_normalise(lanes.reshape(-1))
            home = l % L
            z = self.phi_pre[l * L:(l + 1) * L] @ u
            bias_pre = np.where(np.arange(L) == home, 4.0, -4.0)
            a = sigmoid(z * self.a_pre[l] + self.b_pre[l] + bias_pre)
            x_pre = a @ lanes

            x = x_pre
            if l in self.sites:
                key, conv = engram[self.sites.index(l)]
                gate = sigmoid(rms_normalise(x_pre) @ rms_normalise(key) / math.sqrt(d))
                x = x_pre + gate * conv

            h = rms_norm(x, ly.norm_in)
            q = (ly.q_proj @ h).reshape(self.nh, self.hd)
            k = (ly.k_proj @ h).reshape(self.nkv, self.hd)
            v = (ly.v_proj @ h).reshape(self.nkv, self.hd)
            gt = ly.gate_proj @ h
            q = np.stack([rms_norm(row, ly.q_norm) for row in q])
            k = np.stack([rms_norm(row, ly.k_norm) for row in k])
            q, k = self.rope(q, p), self.rope(k, p)
            slot = p % st.capacity
            st.keys[l][slot] = k
            st.values[l][slot] = v
            o = self._attend(st, l, q, p).reshape(-1) * sigmoid(gt)
            att = rms_norm(ly.out_proj @ o, ly.post_norm)
            h1 = x + sigmoid(ly.attn_gate[0]) * att

            m = rms_norm(h1, ly.pre_hada)
            w = np.zeros(self.hada_n)
            w[:d] = m * ly.d1[:d]
            w = fwht(w)
            w = silu(w * ly.d2)
            w = fwht(w)
            h2 = h1 + w[:d] * ly.d3[:d]
            delta = h2 - x_pre

            y = self.phi_post[l * L:(l + 1) * L] @ u
            bias_post = np.where(np.arange(L) == home, 0.0, -4.0)
            b = 2.0 * sigmoid(y * self.a_post[l] + self.b_post[l] + bias_post)
            res = self.phi_res[l * L * L:(l + 1) * L * L] @ u
            res = res * self.a_res[l] + self.b_res[l]
            mix = sinkhorn(res.reshape(L, L))
            lanes = mix @ lanes + b[:, None] * delta[None, :]
            if pool is not None:
                pool(lanes.mean(axis=0))

        st.lanes = lanes
        st.position = p + 1
        return lanes.mean(axis=0)

    def logits_from_hidden(self, y: np.ndarray) -> np.ndarray:
        return self.embedding @ rms_norm(y, self.final_norm)

    def step(self, token: int) -> np.ndarray:
        """Logits after feeding one more token to the running sequence."""
        return self.logits_from_hidden(self._forward(self.state, token))

    def logits_for(self, tokens) -> np.ndarray:
        """Per-position logits (len(tokens), vocab) of a fresh sequence."""
        self.reset()
        rows = [self.step(int(t)) for t in tokens]
        return np.stack(rows) if rows else np.zeros((0, self.vocab))

    # ------------------------------------------------------------ heads

    def pool_head(self, tokens, kind: int):
        """Head output for a token sequence (bos already in front), or None.

        Hidden vectors are pooled per probe with a running (online) softmax over
        probe scores; padding tokens contribute nothing.
        """
        head = next((h for h in self.heads if h.kind == kind), None)
        if head is None:
            return None
        P, W = head.probes.shape
        m = np.full(P, -np.inf)
        s = np.zeros(P)
        acc = np.zeros((P, W))
        pooled = [0]

        def pool(vec):
            nonlocal m, s, acc
            for i in range(P):
                score = float(head.probes[i] @ vec) / math.sqrt(W)
                if m[i] < score:
                    scale = 0.0 if m[i] == -np.inf else math.exp(m[i] - score)
                    s[i] *= scale
                    acc[i] *= scale
                    m[i] = score
                wt = math.exp(score - m[i])
                s[i] += wt
                acc[i] += wt * vec
            pooled[0] += 1

        st = self.new_cache(capacity=self.max_seq_len, window=0)
        for t in list(tokens)[:self.max_seq_len]:
            if t >= self.vocab:
                break
            use = self.pad_id is None or t != self.pad_id
            self._forward(st, int(t), pool if use else None)
        if pooled[0] == 0:
            return None
        z = (acc / s[:, None]).reshape(-1)
        out = head.proj @ z + head.bias
        if kind == 1:
            out = out / math.sqrt(float(out @ out) + 1e-12)
        return out


# ---------------------------------------------------------------- sampling

GAMMA = 0x9E3779B97F4A7C15
MASK64 = (1 << 64) - 1


class SplitMix:
    """The generation driver's random source: one uniform double per draw."""

    def __init__(self, seed: int):
        self.s = (seed + GAMMA) & MASK64

    def next_f64(self) -> float:
        self.s = (self.s + GAMMA) & MASK64
        z = self.s
        z = ((z ^ (z >> 30)) * 0xBF58476D1CE4E5B9) & MASK64
        z = ((z ^ (z >> 27)) * 0x94D049BB133111EB) & MASK64
        z ^= z >> 31
        return (z >> 11) * 2.0 ** -53


def _expf(x: np.ndarray) -> np.ndarray:
    # exp of float32 arguments, rounded once to float32 (what a correctly rounded expf gives).
    return np.exp(x.astype(np.float64)).astype(np.float32)


def sample(logits, temperature: float, rng: SplitMix | None) -> int:
    """Token choice: greedy for temperature <= 0, else temperature sampling."""
    lg = np.asarray(logits, dtype=np.float32)
    temperature = np.float32(temperature)
    if not temperature > 0:
        return int(np.argmax(lg))  # first maximum wins ties
    tau = np.float32(np.float32(1.0) / max(temperature, np.float32(1e-6)))
    m = np.float32(np.nanmax(lg))
    terms = _expf((lg - m) * tau)
    z = 0.0
    for t in terms:
        z += float(t)
    x = rng.next_f64() * z
    for j, t in enumerate(terms):
        x -= float(t)
        if x <= 0:
            return j
    return len(lg) - 1


def generate(model: V2Reference, prompt_ids, max_new_tokens: int = 128, temperature: float = 0.0,
             seed: int = 0, eos_id: int | None = None, im_end_id: int | None = None):
    """Unconstrained generation from already-encoded prompt ids (bos included).

    Returns (generated ids, stop reason, prompt length after the cut). The prompt
    is cut to leave room for the new tokens; the stop token is never kept.
    """
    keep = max(model.max_seq_len - max_new_tokens, 1)
    prompt = [int(t) for t in prompt_ids][:keep]
    model.reset()
    logits = None
    for t in prompt:
        logits = model.step(t)
    rng = SplitMix(seed)
    out = []
    if max_new_tokens == 0:
        return out, "MaxTokens", len(prompt)
    while True:
        t = sample(logits, temperature, rng)
        if eos_id is not None and t == eos_id:
            return out, "Eos", len(prompt)
        if im_end_id is not None and t == im_end_id:
            return out, "ImEnd", len(prompt)
        out.append(t)
        if model.position >= model.max_seq_len:
            return out, "ContextFull", len(prompt)
        logits = model.step(t)
        if len(out) == max_new_tokens:
            return out, "MaxTokens", len(prompt)
