"""Tiny pure-Python parser of .trov headers and directories (no validation
beyond what it needs not to crash); meant for tests and quick looks."""
from __future__ import annotations

import struct

import numpy as np

from .cq import dequantize_cq
from .trov import ENTRY_BYTES, HEADER_BYTES, HEADER_FIELDS, TAG_V2, TAG_V3

__all__ = ["parse", "tensor_values"]


def parse(buf: bytes) -> dict:
    """{"version", "header": {name: value}, "codebook": [...], "tensors": [...]}"""
    buf = bytes(buf)
    if len(buf) < 4:
        raise ValueError("too short for a tag")
    tag = struct.unpack_from("<I", buf, 0)[0]
    version = {TAG_V2: 2, TAG_V3: 3}.get(tag)
    if version is None:
        raise ValueError(f"unknown tag {tag:#010x}")
    hsize = HEADER_BYTES[version]
    if len(buf) < hsize + 112:
        raise ValueError("truncated header")
    header = {}
    for name, (off, kind, slots) in HEADER_FIELDS[version].items():
        if kind == "u32":
            header[name] = struct.unpack_from("<I", buf, off)[0]
        elif kind == "u64":
            header[name] = struct.unpack_from("<Q", buf, off)[0]
        elif kind == "f32":
            header[name] = struct.unpack_from("<f", buf, off)[0]
        elif kind == "bytes4":
            header[name] = buf[off:off + 4]
    for lst, cnt, slots in (("orders", "order_count", 4),
                            ("engram_sites", "site_count", 4 if version == 2 else 16)):
        off = HEADER_FIELDS[version][lst][0]
        n = min(header[cnt], slots)
        header[lst] = list(struct.unpack_from(f"<{n}I", buf, off))
    codebook = list(struct.unpack_from("<28f", buf, hsize))
    count = header["tensor_count"]
    start = hsize + 112
    if len(buf) < start + ENTRY_BYTES * count:
        raise ValueError("truncated directory")
    tensors = []
    for i in range(count):
        dt, nd, d0, d1, d2, d3, off, nb, blk, bits = struct.unpack_from(
            "<BBxx4IQQIB3x", buf, start + ENTRY_BYTES * i)
        tensors.append({"index": i, "dtype": dt, "ndim": nd, "dims": [d0, d1, d2, d3][: min(nd, 4)],
                        "offset": off, "nbytes": nb, "cq_block": blk, "cq_bits": bits})
    return {"version": version, "header": header, "codebook": codebook, "tensors": tensors}


def tensor_values(buf: bytes, parsed: dict, index: int):
    """Float entries as float32 arrays of their dims, CQ entries dequantised,
    raw byte entries as bytes."""
    t = parsed["tensors"][index]
    raw = bytes(buf)[t["offset"]:t["offset"] + t["nbytes"]]
    shape = tuple(t["dims"])
    if t["dtype"] == 1:
        return np.frombuffer(raw, dtype="<f2").astype(np.float32).reshape(shape)
    if t["dtype"] == 2:
        return np.frombuffer(raw, dtype="<f4").astype(np.float32).reshape(shape)
    if t["dtype"] == 3:
        return dequantize_cq(raw, shape[0], shape[1], t["cq_block"], t["cq_bits"],
                             np.asarray(parsed["codebook"], dtype=np.float32))
    return raw
