"""Export a training checkpoint as a second-generation container, or as a compact checkpoint.

    python training/export.py training/runs/demo/checkpoint.pt models/demo-v2.trov --bits 4
    python training/export.py training/runs/demo/best.pt training/checkpoints/demo-v2.pt --compact

Projections, the embedding and the engram tables are CQ-quantised (bits 2, 3, 4 or ternary);
norms, gates, diagonals, mHC coefficients and heads stay float. The tokenizer is imported from
the SentencePiece model the checkpoint was trained with.
"""
from __future__ import annotations

import argparse
import dataclasses
import pathlib
import sys

import numpy as np
import torch

HERE = pathlib.Path(__file__).resolve().parent
sys.path.insert(0, str(HERE))
sys.path.insert(0, str(HERE.parent / "python"))
from model import Geometry, V2Torch  # noqa: E402
from vorpel_writer.tokenizer import build_tokenizer_blob, from_sentencepiece  # noqa: E402
from vorpel_writer import trov_read  # noqa: E402
from vorpel_writer.v2 import ENGRAM_TENSORS, LAYER_TENSORS, MHC_TENSORS, V2Geometry, V2Weights, write_v2  # noqa: E402


def load_checkpoint(path) -> tuple[V2Torch, dict]:
    """A training checkpoint or a compact one (f16 weights, tokenizer embedded: its model file
    is written beside the checkpoint on first use)."""
    ck = torch.load(path, map_location="cpu", weights_only=False)
    g = dict(ck["geometry"])
    g["orders"] = tuple(g["orders"])
    g["engram_sites"] = tuple(g["engram_sites"])
    model = V2Torch(Geometry(**g), [tuple(h) for h in ck["heads"]])
    model.load_state_dict({k: v.float() for k, v in ck["state"].items()})
    model.eval()
    if "tokenizer_model" in ck:
        tok = pathlib.Path(path).with_suffix(".tok.model")
        if not tok.exists() or tok.read_bytes() != ck["tokenizer_model"]:
            tok.write_bytes(ck["tokenizer_model"])
        ck["tokenizer"] = str(tok)
    return model, ck


def compact_checkpoint(checkpoint, out) -> int:
    """Weights in f16 with the tokenizer model inside and no optimiser state: small enough to
    keep in the repository, and `train.py --resume` continues from it (with a fresh optimiser)."""
    model, ck = load_checkpoint(checkpoint)
    return write_compact(model, ck, out)


def write_compact(model: V2Torch, ck: dict, out) -> int:
    """`model`'s weights in f16 with `ck`'s tokenizer, steps and arguments."""
    small = {"geometry": dataclasses.asdict(model.geom), "heads": ck["heads"],
             "state": {k: v.half() for k, v in model.state_dict().items()},
             "tokenizer_model": pathlib.Path(ck["tokenizer"]).read_bytes(),
             "tokenizer": "", "steps": ck["steps"], "seconds": ck["seconds"], "args": ck.get("args", {})}
    pathlib.Path(out).parent.mkdir(parents=True, exist_ok=True)
    torch.save(small, out)
    return pathlib.Path(out).stat().st_size


def container_geometry(g: Geometry) -> V2Geometry:
    return V2Geometry(vocab=g.vocab, d_model=g.d_model, num_heads=g.num_heads, num_kv_heads=g.num_kv_heads,
                      num_layers=g.num_layers, head_dim=g.head_dim, max_seq_len=g.max_seq_len, hada_n=g.hada_n,
                      mhc_lanes=g.mhc_lanes, kv_window=g.kv_window, rope_theta=g.rope_theta,
                      table_rows=g.table_rows, sub_dim=g.sub_dim, num_tables=g.num_tables,
                      conv_taps=g.conv_taps, tap_stride=g.tap_stride, orders=list(g.orders),
                      engram_sites=list(g.engram_sites))


def weights_of(model: V2Torch) -> V2Weights:
    def a(t):
        return t.detach().cpu().numpy().astype(np.float32)

    layers = [{name: a(p[name]) for name, _ in LAYER_TENSORS} for p in model.layers]
    mhc = {name: a(getattr(model, name)) for name in
           ("mhc_a_pre", "mhc_a_post", "mhc_a_res", "mhc_b_pre", "mhc_b_post", "mhc_b_res",
            "mhc_phi_pre", "mhc_phi_post", "mhc_phi_res")}
    engrams = [{name: a(e[name]) for name in ("tables", "key_proj", "value_proj", "taps")} for e in model.engrams]
    heads = [(kind, a(h["probes"]), a(h["proj"]), a(h["bias"]))
             for (kind, _, _), h in zip(model.head_specs, model.heads)]
    return V2Weights(a(model.embedding), layers, mhc, engrams, a(model.final_norm), heads)


def model_from_container(data: bytes) -> V2Torch:
    """A torch model holding the values a container represents (CQ tensors dequantised),
    read back in canon order: what the engine computes with, for comparisons."""
    parsed = trov_read.parse(data)
    h = parsed["header"]
    tensors = parsed["tensors"]
    fixed = 11 + 14 * h["num_layers"] + 4 * len(h["engram_sites"])
    has_tokenizer = tensors[-1]["dtype"] == 4
    surplus = len(tensors) - fixed - has_tokenizer
    heads = []
    if surplus:
        kinds = trov_read.tensor_values(data, parsed, fixed)
        for j, kind in enumerate(kinds):
            probes = tensors[fixed + 1 + 3 * j]["dims"]
            proj = tensors[fixed + 2 + 3 * j]["dims"]
            heads.append((int(kind), probes[0], proj[0]))
    geom = Geometry(vocab=h["vocab"], d_model=h["d_model"], num_heads=h["num_heads"],
                    num_kv_heads=h["num_kv_heads"], num_layers=h["num_layers"], head_dim=h["head_dim"],
                    max_seq_len=h["max_seq_len"], hada_n=h["hada_n"], mhc_lanes=h["mhc_lanes"],
                    kv_window=h["kv_window"], rope_theta=h["rope_theta"], table_rows=h["table_rows"],
                    num_tables=h["num_tables"], orders=tuple(h["orders"]),
                    engram_sites=tuple(h["engram_sites"]), conv_taps=h["conv_taps"], tap_stride=h["tap_stride"])
    model = V2Torch(geom, heads)
    index = 0

    def take(param):
        nonlocal index
        v = np.asarray(trov_read.tensor_values(data, parsed, index), dtype=np.float32)
        index += 1
        with torch.no_grad():
            param.copy_(torch.from_numpy(v.reshape(param.shape)))

    take(model.embedding)
    for layer in model.layers:
        for name, _ in LAYER_TENSORS:
            take(layer[name])
    for name, _ in MHC_TENSORS:
        take(getattr(model, name))
    for e in model.engrams:
        for name, _ in ENGRAM_TENSORS:
            take(e[name])
    take(model.final_norm)
    if heads:
        index += 1  # head kinds
        for hp in model.heads:
            for name in ("probes", "proj", "bias"):
                take(hp[name])
    model.eval()
    return model


def tokenizer_ids(data: bytes) -> dict:
    """pad/eos/bos/unk ids from a container's tokenizer blob (the last entry)."""
    import struct

    parsed = trov_read.parse(data)
    blob = trov_read.tensor_values(data, parsed, len(parsed["tensors"]) - 1)
    pad, eos, bos, unk = struct.unpack_from("<4I", blob, 4)
    return {"pad_id": pad, "eos_id": eos, "bos_id": bos, "unk_id": unk}


def tokenizer_blob(sp_model_file: str) -> bytes:
    pieces, meta = from_sentencepiece(sp_model_file)
    return build_tokenizer_blob(pieces, **meta)


def export(checkpoint, out, bits=4, block=64, tokenizer_model=None) -> bytes:
    model, ck = load_checkpoint(checkpoint)
    blob = tokenizer_blob(tokenizer_model or ck["tokenizer"])
    data = write_v2(container_geometry(model.geom), weights_of(model), bits=bits, block=block,
                    tokenizer_blob=blob, per_tensor_bits={"tables": (bits, 32)})
    if out:
        pathlib.Path(out).write_bytes(data)
    return data


if __name__ == "__main__":
    ap = argparse.ArgumentParser()
    ap.add_argument("checkpoint")
    ap.add_argument("out")
    ap.add_argument("--bits", default="4")
    ap.add_argument("--block", type=int, default=64)
    ap.add_argument("--tokenizer")
    ap.add_argument("--compact", action="store_true", help="write a compact checkpoint instead of a container")
    a = ap.parse_args()
    if a.compact:
        print(f"wrote {a.out}: {compact_checkpoint(a.checkpoint, a.out)} bytes")
        sys.exit(0)
    bits = a.bits if a.bits == "ternary" else int(a.bits)
    data = export(a.checkpoint, a.out, bits, a.block, a.tokenizer)
    print(f"wrote {a.out}: {len(data)} bytes")
