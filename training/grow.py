"""Deepen or widen a trained model so that it starts as the same function.

    python training/grow.py training/checkpoints/demo-v2.pt training/runs/grown.pt --layers 6
    python training/grow.py training/checkpoints/demo-v2.pt training/runs/wide.pt --heads 12
    python training/grow.py training/checkpoints/demo-v2.pt training/runs/wider.pt --d-model 256

An appended layer changes nothing at first: its attention is silenced by `post_norm = -1`
(the norm's scale is 1 + w), its MLP by `d3 = 0`, so the layer's delta is zero, and its lane
mixing is doubly stochastic, which keeps the lanes' mean, the only thing the read-out after the
last layer sees. The new layers are otherwise freshly initialised, so training moves them off
the identity. The pooled heads see one more hidden vector per added layer (a copy of the last
one at first) and adapt in the first steps.

Added attention heads (`--heads`, key/value heads grown in proportion so that every old query
head keeps its key/value head) start with fresh projections and a zero block in the output
projection, so they add nothing until training grows that block.

A wider residual stream (`--d-model`, up to the Hadamard width) starts with its new dimensions
at zero everywhere: every RMS over the stream then shrinks by sqrt(d_old / d_new), which the
norm scales, the tied embedding, the mHC projections and the head probes take back, and the
rows that write into the stream (attention output, engram values, the MLP's read-out diagonal)
are zero there. The projections that only read the stream get fresh
columns for the new dimensions, so gradients reach them. One piece cannot be kept exactly: the
engram gate divides a dot of two normalised vectors by sqrt(d); the key's new rows repeat old
ones so that its RMS stays about the same, and the grown model's logits move a little (on the
demo model by up to 0.3 on random tokens, the argmax kept at 99.8 % of positions) until
training takes it back.

The result is a compact checkpoint (f16, tokenizer inside) that `train.py --resume` continues
from.
"""
from __future__ import annotations

import argparse
import dataclasses
import math
import pathlib
import sys

import torch

HERE = pathlib.Path(__file__).resolve().parent
sys.path.insert(0, str(HERE))
import export  # noqa: E402
from model import V2Torch  # noqa: E402

# mHC parameters stacked over layers: one entry (or L x L block) per layer, and the
# projections with lanes ** power rows per layer. The new layers keep their fresh values.
PER_LAYER = ("mhc_a_pre", "mhc_a_post", "mhc_a_res", "mhc_b_pre", "mhc_b_post", "mhc_b_res")
PHI = {"mhc_phi_pre": 1, "mhc_phi_post": 1, "mhc_phi_res": 2}


def grow(model: V2Torch, layers: int, seed: int = 0) -> V2Torch:
    old = model.geom
    if layers <= old.num_layers:
        raise ValueError(f"the model already has {old.num_layers} layers")
    torch.manual_seed(seed)
    geom = dataclasses.replace(old, num_layers=layers)
    grown = V2Torch(geom, model.head_specs)
    src, dst = model.state_dict(), grown.state_dict()
    lanes, n = old.mhc_lanes, old.num_layers
    for name, value in src.items():
        if name.startswith("layers.") or name in dst and dst[name].shape == value.shape:
            dst[name] = value.clone()
        elif name in PER_LAYER:
            dst[name][:n] = value
        elif name in PHI:
            dst[name][: n * lanes ** PHI[name]] = value
        else:
            raise ValueError(f"no rule to grow {name} {tuple(value.shape)}")
    for layer in range(n, layers):
        dst[f"layers.{layer}.post_norm"].fill_(-1.0)
        dst[f"layers.{layer}.d3"].zero_()
    grown.load_state_dict(dst)
    return grown


def widen_heads(model: V2Torch, heads: int, seed: int = 0) -> V2Torch:
    old = model.geom
    group = old.num_heads // old.num_kv_heads
    if heads <= old.num_heads or heads % group:
        raise ValueError(f"heads must exceed {old.num_heads} and be a multiple of {group}")
    torch.manual_seed(seed)
    geom = dataclasses.replace(old, num_heads=heads, num_kv_heads=heads // group)
    wide = V2Torch(geom, model.head_specs)
    src, dst = model.state_dict(), wide.state_dict()
    q_rows, kv_rows = old.num_heads * old.head_dim, old.num_kv_heads * old.head_dim
    for name, value in src.items():
        part = name.rsplit(".", 1)[-1]
        if part in ("q_proj", "gate_proj"):
            dst[name][:q_rows] = value
        elif part in ("k_proj", "v_proj"):
            dst[name][:kv_rows] = value
        elif part == "out_proj":
            dst[name].zero_()
            dst[name][:, :q_rows] = value
        elif dst[name].shape == value.shape:
            dst[name] = value.clone()
        else:
            raise ValueError(f"no rule to widen {name} {tuple(value.shape)}")
    wide.load_state_dict(dst)
    return wide


def widen_d_model(model: V2Torch, d_model: int, seed: int = 0) -> V2Torch:
    old = model.geom
    d, L, T = old.d_model, old.mhc_lanes, old.num_tables
    if d_model <= d or d_model > old.hada_n or d_model % T:
        raise ValueError(f"d_model must exceed {d}, stay within hada_n {old.hada_n} and divide into {T} tables")
    torch.manual_seed(seed)
    geom = dataclasses.replace(old, d_model=d_model)
    wide = V2Torch(geom, model.head_specs)
    src, dst = model.state_dict(), wide.state_dict()
    c = math.sqrt(d / d_model)          # an RMS over the wider stream is c times the old one
    sub, new_sub = old.sub_dim, geom.sub_dim

    def stream_cols(value, new, groups, width, new_width, scale=1.0):
        # columns in `groups` blocks of `width` (lanes or tables), each block widened in place
        for g in range(groups):
            new[:, g * new_width:g * new_width + width] = value[:, g * width:(g + 1) * width] * scale

    for name, value in src.items():
        part = name.rsplit(".", 1)[-1]
        out = dst[name]
        if name == "embedding":
            out.zero_()
            out[:, :d] = value * c
        elif part in ("norm_in", "post_norm", "pre_hada"):
            out.fill_(c - 1.0)
            out[:d] = (1.0 + value) * c - 1.0
        elif part in ("q_proj", "k_proj", "v_proj", "gate_proj"):
            out[:, :d] = value                       # fresh columns read the (zero) new dims
        elif part == "out_proj":
            out.zero_()
            out[:d] = value
        elif part == "d3":
            out.copy_(value)
            out[d:d_model] = 0.0
        elif name.startswith("mhc_phi"):
            stream_cols(value, out.zero_(), L, d, d_model, c)
        elif part in ("key_proj", "value_proj"):
            # Fresh columns for the tables' new entries. The values' new rows write nothing; the
            # key's new rows repeat its first ones, which keeps the key's RMS, and with it the
            # gate, about where it was (zero rows would scale the gate's logit as above).
            stream_cols(value, out[:d], T, sub, new_sub)
            if part == "value_proj":
                out[d:] = 0.0
            else:
                stream_cols(value[torch.arange(d_model - d) % d], out[d:], T, sub, new_sub)
        elif part == "tables":
            out.zero_()
            out[:, :sub] = value
        elif name == "final_norm":
            out.zero_()
            out[:d] = value
        elif part == "taps":
            out[:, :d] = value
        elif part == "probes":
            out.zero_()
            out[:, :d] = value / c
        elif part == "proj":
            stream_cols(value, out.zero_(), value.shape[1] // d, d, d_model)
        elif out.shape == value.shape:
            out.copy_(value)
        else:
            raise ValueError(f"no rule to widen {name} {tuple(value.shape)}")
    wide.load_state_dict(dst)
    return wide


def main():
    ap = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    ap.add_argument("checkpoint")
    ap.add_argument("out")
    ap.add_argument("--layers", type=int, help="number of layers after growing")
    ap.add_argument("--heads", type=int, help="number of query heads after growing")
    ap.add_argument("--d-model", type=int, help="width of the residual stream after growing")
    a = ap.parse_args()
    if a.layers is None and a.heads is None and a.d_model is None:
        ap.error("give --layers, --heads or --d-model")
    model, ck = export.load_checkpoint(a.checkpoint)
    grown = model
    if a.layers is not None:
        grown = grow(grown, a.layers)
    if a.heads is not None:
        grown = widen_heads(grown, a.heads)
    if a.d_model is not None:
        grown = widen_d_model(grown, a.d_model)
    grown.eval()
    tokens = torch.randint(0, model.geom.vocab, (2, 40))
    with torch.no_grad():
        diff = (grown(tokens) - model(tokens)).abs().max().item()
    g = grown.geom
    print(f"{model.geom.num_layers} -> {g.num_layers} layers, {model.geom.num_heads} -> {g.num_heads} heads "
          f"({g.num_kv_heads} key/value), d_model {model.geom.d_model} -> {g.d_model}, "
          f"largest logit change {diff:.2e}")
    export.write_compact(grown, ck, a.out)


if __name__ == "__main__":
    main()
