"""Deepen a trained model by appending layers that start as the identity.

    python training/grow.py training/checkpoints/demo-v2.pt training/runs/grown.pt --layers 6

An appended layer changes nothing at first: its attention is silenced by `post_norm = -1`
(the norm's scale is 1 + w), its MLP by `d3 = 0`, so the layer's delta is zero, and its lane
mixing is doubly stochastic, which keeps the lanes' mean, the only thing the read-out after the
last layer sees. The new layers are otherwise freshly initialised, so training moves them off
the identity. The pooled heads see one more hidden vector per added layer (a copy of the last
one at first) and adapt in the first steps. The result is a compact checkpoint (f16, tokenizer
inside) that `train.py --resume` continues from.
"""
from __future__ import annotations

import argparse
import dataclasses
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


def main():
    ap = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    ap.add_argument("checkpoint")
    ap.add_argument("out")
    ap.add_argument("--layers", type=int, required=True)
    a = ap.parse_args()
    model, ck = export.load_checkpoint(a.checkpoint)
    grown = grow(model, a.layers)
    grown.eval()
    tokens = torch.randint(0, model.geom.vocab, (2, 40))
    with torch.no_grad():
        diff = (grown(tokens) - model(tokens)).abs().max().item()
    print(f"{model.geom.num_layers} -> {a.layers} layers, largest logit change {diff:.2e}")
    export.write_compact(grown, ck, a.out)


if __name__ == "__main__":
    main()
