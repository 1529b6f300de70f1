"""Differentiable second-generation model in PyTorch (float32).

The same function as the engine's forward pass, computed for whole sequences at once with a
causal mask: lanes mixed by mHC with log-domain Sinkhorn, hashed n-gram engram memory with its
value convolution, attention with per-head norms, half-split RoPE, window and sigmoid output
gate, the Hadamard MLP, tied embedding read-out; plus the two pooled heads. Parameter names and
shapes follow the container canon, so `export.py` can write them out directly.
"""
from __future__ import annotations

import dataclasses
import math

import numpy as np
import torch
import torch.nn as nn
import torch.nn.functional as F

EPS = 1e-6
HASH_SEED = 0x9E3779B9
HASH_PRIME = 16777619
MASK32 = 0xFFFFFFFF


@dataclasses.dataclass
class Geometry:
    vocab: int
    d_model: int = 192
    num_heads: int = 6
    num_kv_heads: int = 2
    num_layers: int = 4
    head_dim: int = 32
    max_seq_len: int = 1024
    hada_n: int = 256
    mhc_lanes: int = 2
    kv_window: int = 0
    rope_theta: float = 10000.0
    table_rows: int = 1024
    num_tables: int = 4
    orders: tuple[int, ...] = (2, 3)
    engram_sites: tuple[int, ...] = (1,)
    conv_taps: int = 2
    tap_stride: int = 1

    @property
    def sub_dim(self) -> int:
        return self.d_model // self.num_tables


def hadamard_matrix(n: int) -> torch.Tensor:
    h = torch.ones(1, 1)
    while h.shape[0] < n:
        h = torch.cat([torch.cat([h, h], 1), torch.cat([h, -h], 1)], 0)
    return h


def rms_normalise(x: torch.Tensor) -> torch.Tensor:
    return x / torch.sqrt(x.pow(2).mean(-1, keepdim=True) + EPS)


def rms_norm(x: torch.Tensor, w: torch.Tensor) -> torch.Tensor:
    return rms_normalise(x) * (1.0 + w)


def engram_rows(tokens: np.ndarray, geom: Geometry) -> np.ndarray:
    """Row index of every table at every position, -1 where the n-gram does not exist yet.

    tokens: (B, T) int. Returns (B, T, num_tables) int64. Unsigned 32-bit wrapping arithmetic.
    """
    B, T = tokens.shape
    tok = tokens.astype(np.uint64)
    per_order = geom.num_tables // len(geom.orders)
    out = np.full((B, T, geom.num_tables), -1, dtype=np.int64)
    pos = np.arange(T)
    for k in range(geom.num_tables):
        n = geom.orders[k // per_order]
        h = np.full((B, T), ((k + 1) * HASH_SEED) & MASK32, dtype=np.uint64)
        for i in range(n):
            shifted = np.zeros((B, T), dtype=np.uint64)
            if i < T:
                shifted[:, i:] = tok[:, : T - i]
            h = np.where(pos[None, :] >= i, h ^ shifted, h)
            h = (h * HASH_PRIME) & MASK32
        row = k * geom.table_rows + ((h ^ (h >> 15)) % geom.table_rows).astype(np.int64)
        valid = (pos >= n - 1) if n > 0 else np.ones(T, dtype=bool)
        out[:, :, k] = np.where(valid[None, :], row, -1)
    return out


def sinkhorn_log(m: torch.Tensor, rounds: int = 20) -> torch.Tensor:
    """m: (..., L, L) log-domain matrix -> doubly stochastic exp(m) after `rounds` rounds.

    Computed in the linear domain (one exponential, then row and column divisions), which is
    the same iteration as the log-domain one: subtracting a row's log-sum-exp is dividing the
    row by its sum. Starting from exp(m - row max) keeps every row's sum at least 1; the floor
    on the column sums only matters where a whole column underflows. A third of the training
    step was spent in the log-domain form's logarithms and exponentials."""
    p = torch.exp(m - m.amax(dim=-1, keepdim=True))
    for _ in range(rounds):
        p = p / p.sum(dim=-1, keepdim=True)
        p = p / p.sum(dim=-2, keepdim=True).clamp_min(1e-30)
    return p


class V2Torch(nn.Module):
    def __init__(self, geom: Geometry, heads: list[tuple[int, int, int]] = ()):  # (kind, probes, out_dim)
        super().__init__()
        self.geom = g = geom
        d, L, N = g.d_model, g.mhc_lanes, g.num_layers
        hd, H, KV = g.head_dim, g.num_heads, g.num_kv_heads
        assert g.hada_n >= d and g.hada_n & (g.hada_n - 1) == 0
        assert H % KV == 0 and hd % 2 == 0
        assert g.num_tables % len(g.orders) == 0 and g.sub_dim * g.num_tables == d

        def lin(rows, cols, scale=1.0):
            return nn.Parameter(torch.randn(rows, cols) * (scale / math.sqrt(cols)))

        self.embedding = nn.Parameter(torch.randn(g.vocab, d) * (1.0 / math.sqrt(d)))
        self.layers = nn.ModuleList()
        for _ in range(N):
            layer = nn.ParameterDict({
                "norm_in": nn.Parameter(torch.zeros(d)),
                "q_proj": lin(H * hd, d), "k_proj": lin(KV * hd, d), "v_proj": lin(KV * hd, d),
                "q_norm": nn.Parameter(torch.zeros(hd)), "k_norm": nn.Parameter(torch.zeros(hd)),
                "gate_proj": lin(H * hd, d), "out_proj": lin(d, H * hd, 0.5),
                "post_norm": nn.Parameter(torch.zeros(d)), "attn_gate": nn.Parameter(torch.zeros(1)),
                "pre_hada": nn.Parameter(torch.zeros(d)),
                "d1": nn.Parameter(torch.ones(g.hada_n)), "d2": nn.Parameter(torch.ones(g.hada_n) * 2.0),
                "d3": nn.Parameter(torch.ones(g.hada_n) * 0.5),
            })
            self.layers.append(layer)
        self.mhc_a_pre = nn.Parameter(torch.ones(N) * 0.1)
        self.mhc_a_post = nn.Parameter(torch.ones(N) * 0.1)
        self.mhc_a_res = nn.Parameter(torch.ones(N) * 0.1)
        self.mhc_b_pre = nn.Parameter(torch.zeros(N, L))
        self.mhc_b_post = nn.Parameter(torch.zeros(N, L))
        self.mhc_b_res = nn.Parameter((torch.eye(L) * 2.0).repeat(N, 1, 1))
        self.mhc_phi_pre = lin(N * L, L * d, 0.1)
        self.mhc_phi_post = lin(N * L, L * d, 0.1)
        self.mhc_phi_res = lin(N * L * L, L * d, 0.1)
        self.engrams = nn.ModuleList()
        for _ in g.engram_sites:
            self.engrams.append(nn.ParameterDict({
                "tables": nn.Parameter(torch.randn(g.num_tables * g.table_rows, g.sub_dim) * 0.5),
                "key_proj": lin(d, g.sub_dim * g.num_tables),
                "value_proj": lin(d, g.sub_dim * g.num_tables, 0.5),
                "taps": nn.Parameter(torch.cat([torch.ones(1, d), torch.zeros(g.conv_taps - 1, d)]) * 0.5),
            }))
        self.final_norm = nn.Parameter(torch.zeros(d))
        self.head_specs = list(heads)
        self.heads = nn.ModuleList()
        for kind, probes, out_dim in heads:
            self.heads.append(nn.ParameterDict({
                "probes": nn.Parameter(torch.randn(probes, d) * 0.1),
                "proj": lin(out_dim, probes * d),
                "bias": nn.Parameter(torch.zeros(out_dim)),
            }))
        self.register_buffer("hadamard", hadamard_matrix(g.hada_n) / math.sqrt(g.hada_n), persistent=False)
        half = hd // 2
        inv = 1.0 / (g.rope_theta ** (torch.arange(half, dtype=torch.float64) * 2.0 / hd))
        ang = torch.arange(g.max_seq_len, dtype=torch.float64)[:, None] * inv[None, :]
        self.register_buffer("rope_cos", torch.cos(ang).float(), persistent=False)
        self.register_buffer("rope_sin", torch.sin(ang).float(), persistent=False)

    # ------------------------------------------------------------------ pieces
    def rope(self, x: torch.Tensor, T: int) -> torch.Tensor:
        """x: (B, heads, T, hd), positions 0..T-1, half-split pairs."""
        half = x.shape[-1] // 2
        c, s = self.rope_cos[:T], self.rope_sin[:T]
        a, b = x[..., :half], x[..., half:]
        return torch.cat([a * c - b * s, b * c + a * s], dim=-1)

    def engram(self, site: int, rows: torch.Tensor) -> tuple[torch.Tensor, torch.Tensor]:
        """rows: (B, T, num_tables) with -1 for missing. Returns key, conv (B, T, d)."""
        g, e = self.geom, self.engrams[site]
        valid = (rows >= 0).unsqueeze(-1).float()
        fetched = e["tables"][rows.clamp(min=0)] * valid             # (B, T, tables, sub_dim)
        f = fetched.reshape(rows.shape[0], rows.shape[1], -1)        # (B, T, d)
        key = f @ e["key_proj"].T
        value = f @ e["value_proj"].T
        conv = torch.zeros_like(value)
        T = value.shape[1]
        for q in range(g.conv_taps):
            shift = q * g.tap_stride
            if shift >= T:
                break
            conv[:, shift:] = conv[:, shift:] + e["taps"][q] * value[:, : T - shift]
        return key, conv

    def forward(self, tokens: torch.Tensor, observe: bool = False, window: int | None = None,
                select: torch.Tensor | None = None):
        """tokens: (B, T) int64. Returns logits (B, T, vocab) and, when `observe`, the hidden
        vectors the heads pool: (B, T, num_layers + 1, d) (scaled embedding, then lane means).
        With `select`, a (B, T) bool mask, only the selected positions' logits are computed,
        as (selected, vocab): training scores the completion only, and the read-out over the
        whole prompt would cost as much as the rest of the model.

        `window` is the attention window (0 = unlimited). By default it is the geometry's
        kv_window for plain calls but unlimited when `observe` is set: the engine scores a
        text for its heads with an unwindowed state, so hidden vectors for the heads must be
        computed the same way."""
        g = self.geom
        B, T = tokens.shape
        d, L, N = g.d_model, g.mhc_lanes, g.num_layers
        H, KV, hd = g.num_heads, g.num_kv_heads, g.head_dim
        emb = self.embedding[tokens] * math.sqrt(d)                   # (B, T, d)
        lanes = emb.unsqueeze(2).repeat(1, 1, L, 1)                   # (B, T, L, d)
        hidden = [emb] if observe else None
        site_data = {}
        if g.engram_sites:
            rows = torch.from_numpy(engram_rows(tokens.cpu().numpy(), g)).to(tokens.device)
            for s, layer_index in enumerate(g.engram_sites):
                if layer_index not in site_data:
                    site_data[layer_index] = self.engram(s, rows)
        pos = torch.arange(T, device=tokens.device)
        causal = pos[None, :] <= pos[:, None]
        if window is None:
            window = 0 if observe else g.kv_window
        if window:
            causal = causal & (pos[None, :] > pos[:, None] - window)
        home = torch.arange(L, device=tokens.device)
        for l, p in enumerate(self.layers):
            u = rms_normalise(lanes.reshape(B, T, L * d))
            z = u @ self.mhc_phi_pre[l * L:(l + 1) * L].T              # (B, T, L)
            c = torch.where(home == l % L, 4.0, -4.0)
            a = torch.sigmoid(z * self.mhc_a_pre[l] + self.mhc_b_pre[l] + c)
            x_pre = (a.unsqueeze(-1) * lanes).sum(2)                  # (B, T, d)
            x = x_pre
            if l in site_data:
                key, conv = site_data[l]
                gate = torch.sigmoid((rms_normalise(x_pre) * rms_normalise(key)).sum(-1, keepdim=True) / math.sqrt(d))
                x = x_pre + gate * conv
            h = rms_norm(x, p["norm_in"])
            q = (h @ p["q_proj"].T).view(B, T, H, hd).transpose(1, 2)
            k = (h @ p["k_proj"].T).view(B, T, KV, hd).transpose(1, 2)
            v = (h @ p["v_proj"].T).view(B, T, KV, hd).transpose(1, 2)
            gt = h @ p["gate_proj"].T
            q = self.rope(rms_norm(q, p["q_norm"]), T)
            k = self.rope(rms_norm(k, p["k_norm"]), T)
            # Fused attention (flash kernel on CPU when the mask is plain causal): the same
            # softmax(q k^T / sqrt(hd)) v, several times faster to train than the explicit form.
            if window:
                o = F.scaled_dot_product_attention(q, k, v, attn_mask=causal, enable_gqa=True)
            else:
                o = F.scaled_dot_product_attention(q, k, v, is_causal=True, enable_gqa=True)
            o = o.transpose(1, 2).reshape(B, T, H * hd)
            o = torch.sigmoid(gt) * o
            att = rms_norm(o @ p["out_proj"].T, p["post_norm"])
            h1 = x + torch.sigmoid(p["attn_gate"][0]) * att
            m = rms_norm(h1, p["pre_hada"])
            w = F.pad(m * p["d1"][:d], (0, g.hada_n - d))
            w = w @ self.hadamard
            w = F.silu(w * p["d2"])
            w = w @ self.hadamard
            mlp = w[..., :d] * p["d3"][:d]
            delta = h1 + mlp - x_pre
            y = u @ self.mhc_phi_post[l * L:(l + 1) * L].T
            cp = torch.where(home == l % L, 0.0, -4.0)
            post = 2.0 * torch.sigmoid(y * self.mhc_a_post[l] + self.mhc_b_post[l] + cp)
            r = u @ self.mhc_phi_res[l * L * L:(l + 1) * L * L].T
            r = (r * self.mhc_a_res[l] + self.mhc_b_res[l].reshape(L * L)).view(B, T, L, L)
            R = sinkhorn_log(r)
            lanes = torch.einsum("btik,btkd->btid", R, lanes) + post.unsqueeze(-1) * delta.unsqueeze(2)
            if observe:
                hidden.append(lanes.mean(2))
        final = lanes.mean(2)
        if select is not None:
            final = final[select]
        y = rms_norm(final, self.final_norm)
        logits = y @ self.embedding.T
        if observe:
            return logits, torch.stack(hidden, dim=2)
        return logits

    # ------------------------------------------------------------------ heads
    def head_output(self, head: int, hidden: torch.Tensor, mask: torch.Tensor) -> torch.Tensor:
        """Pooled head output. hidden: (B, T, N+1, d); mask: (B, T) bool of pooled tokens.
        Softmax over every pooled vector (all tokens and cells) per probe, as the engine's
        online softmax computes it."""
        hp = self.heads[head]
        B, T, C, d = hidden.shape
        vecs = hidden.reshape(B, T * C, d)
        m = mask.unsqueeze(-1).expand(B, T, C).reshape(B, T * C)
        scores = vecs @ hp["probes"].T / math.sqrt(d)                  # (B, T*C, P)
        scores = scores.masked_fill(~m.unsqueeze(-1), float("-inf"))
        w = torch.softmax(scores, dim=1)
        pooled = torch.einsum("bnp,bnd->bpd", w, vecs).reshape(B, -1)
        out = pooled @ hp["proj"].T + hp["bias"]
        kind = self.head_specs[head][0]
        if kind == 1:
            out = out / torch.sqrt(out.pow(2).sum(-1, keepdim=True) + 1e-12)
        return out
