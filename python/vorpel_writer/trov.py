"""Writer of .trov containers (second and third generation).

A container is a fixed header (120 bytes for the second generation, 196 for
the third), a 28-float codebook, a directory of 44-byte records and the
tensor data they point at. Little-endian throughout, nothing aligned.
"""
from __future__ import annotations

import os
import struct

import numpy as np

from .cq import DEFAULT_CODEBOOK, CqBlob, quantize_cq

__all__ = ["TrovWriter", "HEADER_FIELDS", "TAG_V2", "TAG_V3", "DTYPE_F16", "DTYPE_F32",
           "DTYPE_CQ", "DTYPE_BYTES"]

TAG_V2 = 0x05E12A83
TAG_V3 = 0x05E12A84
DTYPE_F16, DTYPE_F32, DTYPE_CQ, DTYPE_BYTES = 1, 2, 3, 4
ENTRY_BYTES = 44
CODEBOOK_FLOATS = 28

# name -> (offset, kind, slots); kind is one of "u32", "u64", "f32", "u32list",
# "bytes4"; slots is the list capacity (lists only).
HEADER_FIELDS = {
    2: {
        "tag": (0, "u32", 0),
        "tensor_count": (4, "u32", 0),
        "codebook_floats": (8, "u32", 0),
        "rope_theta": (12, "f32", 0),
        "kv_window": (16, "u32", 0),
        "vocab": (20, "u32", 0),
        "d_model": (24, "u32", 0),
        "num_heads": (28, "u32", 0),
        "num_kv_heads": (32, "u32", 0),
        "num_layers": (36, "u32", 0),
        "head_dim": (40, "u32", 0),
        "max_seq_len": (44, "u32", 0),
        "hada_n": (48, "u32", 0),
        "mhc_lanes": (52, "u32", 0),
        "table_rows": (56, "u32", 0),
        "sub_dim": (60, "u32", 0),
        "num_tables": (64, "u32", 0),
        "conv_taps": (68, "u32", 0),
        "tap_stride": (72, "u32", 0),
        "order_count": (76, "u32", 0),
        "orders": (80, "u32list", 4),
        "site_count": (96, "u32", 0),
        "engram_sites": (100, "u32list", 4),
        "flags": (116, "bytes4", 0),
    },
    3: {
        "magic": (0, "u32", 0),
        "tensor_count": (4, "u32", 0),
        "codebook_len": (8, "u32", 0),
        "kept_12": (12, "u32", 0),
        "kept_16": (16, "u32", 0),
        "vocab_size": (20, "u32", 0),
        "logit_rows": (24, "u32", 0),
        "d_model": (28, "u32", 0),
        "num_heads": (32, "u32", 0),
        "num_kv_heads": (36, "u32", 0),
        "num_layers": (40, "u32", 0),
        "head_dim": (44, "u32", 0),
        "value_dim": (48, "u32", 0),
        "max_seq_len": (52, "u32", 0),
        "hada_n": (56, "u32", 0),
        "mhc_lanes": (60, "u32", 0),
        "kv_window": (64, "u32", 0),
        "global_layer_mask": (68, "u64", 0),
        "qkv_conv_taps": (76, "u32", 0),
        "table_rows": (80, "u32", 0),
        "sub_dim": (84, "u32", 0),
        "num_tables": (88, "u32", 0),
        "conv_taps": (92, "u32", 0),
        "tap_stride": (96, "u32", 0),
        "engram_seed_stride": (100, "u32", 0),
        "order_count": (104, "u32", 0),
        "orders": (108, "u32list", 4),
        "site_count": (124, "u32", 0),
        "engram_sites": (128, "u32list", 16),
        "rope_theta": (192, "f32", 0),
    },
}
HEADER_BYTES = {2: 120, 3: 196}
# List fields and the count word that states their length.
_LIST_COUNTS = {"orders": "order_count", "engram_sites": "site_count"}
# Words the writer fills in itself unless overridden.
_AUTO = {2: ("tag", "tensor_count", "codebook_floats"), 3: ("magic", "tensor_count", "codebook_len")}


def _u8(name, v):
    if isinstance(v, (bool, np.bool_)) or int(v) != v or not 0 <= int(v) < 256:
        raise ValueError(f"{name} must be an integer in 0..255, got {v!r}")
    return int(v)


def _u32(name, v):
    if isinstance(v, (bool, np.bool_)) or int(v) != v or not 0 <= int(v) < 2**32:
        raise ValueError(f"{name} must be an integer in 0..2**32-1, got {v!r}")
    return int(v)


def _u64(name, v):
    if isinstance(v, (bool, np.bool_)) or int(v) != v or not 0 <= int(v) < 2**64:
        raise ValueError(f"{name} must be an integer in 0..2**64-1, got {v!r}")
    return int(v)


class TrovWriter:
    """Builds a .trov container in memory.

    >>> w = TrovWriter(version=2)
    >>> w.header(vocab=64, d_model=32, num_heads=4, num_kv_heads=2, orders=[2, 3])
    >>> i = w.add_cq(np.random.randn(64, 32), bits=4, block=32)
    >>> blob = w.to_bytes()

    Header fields are set by name (see HEADER_FIELDS); fields never set are 0
    except rope_theta (10000.0). tag/magic, tensor_count and the codebook
    length are filled in by to_bytes unless set explicitly. The list fields
    write their length into their count word unless order_count / site_count
    is given. set_u32 and friends patch raw words of the output (applied last,
    so they win), for crafting malformed files.
    """

    def __init__(self, version: int = 2):
        if version not in (2, 3):
            raise ValueError(f"version must be 2 or 3, got {version!r}")
        self.version = version
        self._fields = {"rope_theta": 10000.0}
        self._patches = []
        self._tensors = []
        self.codebook = DEFAULT_CODEBOOK

    # ---- header -------------------------------------------------------
    @property
    def header_fields(self):
        return HEADER_FIELDS[self.version]

    def header(self, **fields):
        table = self.header_fields
        for name, value in fields.items():
            if name not in table:
                raise ValueError(
                    f"unknown header field {name!r} for version {self.version}; "
                    f"known: {', '.join(table)}")
            _, kind, slots = table[name]
            if kind == "u32":
                value = _u32(name, value)
            elif kind == "u64":
                value = _u64(name, value)
            elif kind == "f32":
                value = float(value)
            elif kind == "u32list":
                value = [_u32(f"{name}[{i}]", v) for i, v in enumerate(value)]
                if len(value) > slots:
                    raise ValueError(f"{name} holds at most {slots} entries, got {len(value)}")
            elif kind == "bytes4":
                value = bytes(value)
                if len(value) != 4:
                    raise ValueError(f"{name} must be exactly 4 bytes, got {len(value)}")
            self._fields[name] = value
        return self

    def get(self, name):
        """The value a header field will be written with (None when automatic)."""
        if name not in self.header_fields:
            raise ValueError(f"unknown header field {name!r} for version {self.version}")
        return self._fields.get(name)

    def _patch(self, offset, fmt, value):
        offset = int(offset)
        if offset < 0:
            raise ValueError(f"offset must be non-negative, got {offset}")
        self._patches.append((offset, struct.pack(fmt, value)))

    def set_u32(self, offset, value):
        self._patch(offset, "<I", _u32("value", value))

    def set_u64(self, offset, value):
        self._patch(offset, "<Q", _u64("value", value))

    def set_f32(self, offset, value):
        self._patch(offset, "<f", float(value))

    def set_u8(self, offset, value):
        self._patch(offset, "<B", _u8("value", value))

    # ---- codebook -----------------------------------------------------
    @property
    def codebook(self):
        return self._codebook

    @codebook.setter
    def codebook(self, values):
        cb = np.asarray(values, dtype=np.float32).reshape(-1).copy()
        self._codebook = cb

    # ---- tensors ------------------------------------------------------
    def __len__(self):
        return len(self._tensors)

    @property
    def tensor_count(self):
        return len(self._tensors)

    def add_raw(self, dtype, dims, data: bytes = b"", ndim=None, cq_block=0, cq_bits=0,
                offset=None, nbytes=None) -> int:
        """Append a directory record as given (no checks against the data);
        offset/nbytes default to where the data lands and its length."""
        dims = [_u32("dim", d) for d in dims]
        if len(dims) > 4:
            raise ValueError(f"a directory record holds at most 4 dims, got {len(dims)}")
        if ndim is None:
            ndim = len(dims)
        rec = {
            "dtype": _u8("dtype", dtype),
            "ndim": _u8("ndim", ndim),
            "dims": dims + [0] * (4 - len(dims)),
            "data": bytes(data),
            "cq_block": _u32("cq_block", cq_block),
            "cq_bits": _u8("cq_bits", cq_bits),
            "offset": None if offset is None else _u64("offset", offset),
            "nbytes": None if nbytes is None else _u64("nbytes", nbytes),
        }
        self._tensors.append(rec)
        return len(self._tensors) - 1

    def _add_float(self, array, np_dtype, code):
        a = np.asarray(array)
        if a.dtype.kind not in "fiub":
            raise ValueError(f"float tensor must be numeric, got dtype {a.dtype}")
        if a.ndim > 4:
            raise ValueError(f"tensors have at most 4 dims, got shape {a.shape}")
        with np.errstate(over="ignore"):
            conv = np.ascontiguousarray(a, dtype=np_dtype)
        if np.any(np.isfinite(a) & ~np.isfinite(conv)):
            raise ValueError(f"values beyond the {np.dtype(np_dtype).name} range "
                             f"(largest magnitude {np.max(np.abs(a[np.isfinite(a)]))})")
        return self.add_raw(code, list(a.shape), conv.tobytes())

    def add_f32(self, array) -> int:
        return self._add_float(array, "<f4", DTYPE_F32)

    def add_f16(self, array) -> int:
        return self._add_float(array, "<f2", DTYPE_F16)

    def add_cq(self, matrix, bits=4, block=64) -> int:
        return self.add_cq_blob(quantize_cq(matrix, bits=bits, block=block, codebook=self._codebook))

    def add_cq_blob(self, blob: CqBlob) -> int:
        if not isinstance(blob, CqBlob):
            raise ValueError(f"add_cq_blob wants a CqBlob, got {type(blob).__name__}")
        return self.add_raw(DTYPE_CQ, [blob.rows, blob.cols], blob.data,
                            cq_block=blob.block, cq_bits=blob.bits_code)

    def add_bytes(self, data) -> int:
        data = bytes(data)
        return self.add_raw(DTYPE_BYTES, [len(data)], data)

    # ---- output -------------------------------------------------------
    def _header_bytes(self) -> bytes:
        v = self.version
        hb = bytearray(HEADER_BYTES[v])
        table = self.header_fields
        tag_name, count_name, cb_name = _AUTO[v]
        values = dict(self._fields)
        values.setdefault(tag_name, TAG_V2 if v == 2 else TAG_V3)
        values.setdefault(count_name, len(self._tensors))
        values.setdefault(cb_name, int(self._codebook.shape[0]))
        for lst, cnt in _LIST_COUNTS.items():
            if lst in values and cnt not in values:
                values[cnt] = len(values[lst])
        for name, value in values.items():
            off, kind, _ = table[name]
            if kind == "u32":
                struct.pack_into("<I", hb, off, value)
            elif kind == "u64":
                struct.pack_into("<Q", hb, off, value)
            elif kind == "f32":
                struct.pack_into("<f", hb, off, value)
            elif kind == "u32list":
                struct.pack_into(f"<{len(value)}I", hb, off, *value)
            elif kind == "bytes4":
                hb[off:off + 4] = value
        return bytes(hb)

    def to_bytes(self) -> bytes:
        """The container image. The codebook area is always 28 floats: a
        shorter codebook is zero-padded, a longer one cut (its true length
        still goes into the codebook-length word)."""
        head = self._header_bytes()
        cb = np.zeros(CODEBOOK_FLOATS, dtype="<f4")
        n = min(CODEBOOK_FLOATS, self._codebook.shape[0])
        cb[:n] = self._codebook[:n]
        data_start = len(head) + cb.nbytes + ENTRY_BYTES * len(self._tensors)
        directory = bytearray()
        chunks = []
        pos = data_start
        for t in self._tensors:
            offset = pos if t["offset"] is None else t["offset"]
            nbytes = len(t["data"]) if t["nbytes"] is None else t["nbytes"]
            directory += struct.pack("<BBxx4IQQIB3x", t["dtype"], t["ndim"], *t["dims"],
                                     offset, nbytes, t["cq_block"], t["cq_bits"])
            chunks.append(t["data"])
            pos += len(t["data"])
        out = bytearray(head + cb.tobytes() + bytes(directory) + b"".join(chunks))
        for off, raw in self._patches:
            if off + len(raw) > len(out):
                raise ValueError(f"patch at {off} reaches past the {len(out)}-byte image")
            out[off:off + len(raw)] = raw
        return bytes(out)

    def write(self, path) -> None:
        data = self.to_bytes()
        with open(os.fspath(path), "wb") as f:
            f.write(data)

