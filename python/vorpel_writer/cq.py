"""CQ weight codec on the writing side: quantise a float matrix into codes
plus per-block half-precision scales, and the matching dequantiser.

Layout of an encoded tensor (rows x cols, block size b, k bits per code):
padded_cols = b * ceil(cols / b); every row is one little-endian bit stream
of padded_cols k-bit codes (k * padded_cols / 8 bytes), rows back to back;
then rows * (padded_cols / b) binary16 scales, row-major. The codes live in
the rotated domain: block k of row r is

    W[r, block k] = fwht(s[r, k] * codebook[codes]) / sqrt(b)

so the quantiser rotates each zero-padded block of true weights with the
same normalised transform (it is its own inverse) and rounds there.
"""
from __future__ import annotations

from dataclasses import dataclass

import numpy as np

__all__ = [
    "CqBlob",
    "DEFAULT_CODEBOOK",
    "TERNARY_CODE",
    "bits_code_of",
    "codebook_for",
    "cq_sizes",
    "dequantize_cq",
    "fwht_normalised",
    "quantize_cq",
]

TERNARY_CODE = 5

# Lloyd-Max reconstruction levels of a unit normal for 4, 8 and 16 levels.
# Rotated blocks of trained weights are close to Gaussian, and the per-block
# scale takes care of the spread, so unit-normal levels suit all blocks.
_LM2 = [0.4528, 1.5104]
_LM3 = [0.2451, 0.7560, 1.3440, 2.1520]
_LM4 = [0.1284, 0.3881, 0.6568, 0.9424, 1.2562, 1.6180, 2.0690, 2.7326]


def _symmetric(levels):
    return [-v for v in reversed(levels)] + list(levels)


DEFAULT_CODEBOOK = np.asarray(
    _symmetric(_LM2) + _symmetric(_LM3) + _symmetric(_LM4), dtype=np.float32
)
DEFAULT_CODEBOOK.setflags(write=False)
assert DEFAULT_CODEBOOK.shape == (28,)

_BITS = {2: 2, 3: 3, 4: 4, TERNARY_CODE: 2}
_SLICES = {2: (0, 4), 3: (4, 12), 4: (12, 28)}


@dataclass(frozen=True)
class CqBlob:
    """One encoded CQ tensor: codes then f16 scales, ready for a container."""

    rows: int
    cols: int
    block: int
    bits_code: int
    data: bytes

    @property
    def shape(self):
        return (self.rows, self.cols)

    def __len__(self):
        return len(self.data)


def bits_code_of(bits) -> int:
    """Map 2, 3, 4, 5 or "ternary" to the stored bits code."""
    if isinstance(bits, str):
        if bits.lower() == "ternary":
            return TERNARY_CODE
        raise ValueError(f"unknown CQ bits {bits!r}: want 2, 3, 4 or 'ternary'")
    if isinstance(bits, (bool, np.bool_)) or int(bits) != bits or int(bits) not in _BITS:
        raise ValueError(f"unknown CQ bits {bits!r}: want 2, 3, 4 or 'ternary'")
    return int(bits)


def _check_block(block) -> int:
    if isinstance(block, (bool, np.bool_)) or int(block) != block:
        raise ValueError(f"CQ block must be an integer, got {block!r}")
    b = int(block)
    if b < 8 or b % 8 != 0 or (b & (b - 1)) != 0:
        raise ValueError(f"CQ block must be a power of two and a multiple of 8, got {b}")
    return b


def codebook_for(bits_code: int, block: int, codebook=DEFAULT_CODEBOOK) -> np.ndarray:
    """The values codes index for this bits code (a view of the 28-float
    codebook, or the built ternary table [0, +c, 0, -c] indexed by code)."""
    if bits_code == TERNARY_CODE:
        c = np.float32(1.2240064) / np.sqrt(np.float32(block))
        return np.asarray([0.0, c, 0.0, -c], dtype=np.float32)
    cb = np.asarray(codebook, dtype=np.float32).reshape(-1)
    if cb.shape[0] != 28:
        raise ValueError(f"codebook must hold 28 floats (cb2|cb3|cb4), got {cb.shape[0]}")
    lo, hi = _SLICES[bits_code]
    return cb[lo:hi]


def cq_sizes(rows: int, cols: int, block: int, bits_code: int) -> dict:
    """Derived sizes of an encoded tensor (bytes of codes, scales, total)."""
    padded = block * -(-cols // block)
    row_bytes = _BITS[bits_code] * padded // 8
    blocks = padded // block
    return {
        "padded_cols": padded,
        "blocks_per_row": blocks,
        "row_bytes": row_bytes,
        "index_bytes": rows * row_bytes,
        "scale_count": rows * blocks,
        "need": rows * row_bytes + 2 * rows * blocks,
    }


def fwht_normalised(x, axis: int = -1) -> np.ndarray:
    """Normalised Walsh-Hadamard transform (natural order) along one axis, in
    float32: unnormalised butterflies, then a multiply by 1/sqrt(n)."""
    a = np.array(x, dtype=np.float32, copy=True)
    a = np.moveaxis(a, axis, -1)
    n = a.shape[-1]
    if n < 1 or (n & (n - 1)) != 0:
        raise ValueError(f"FWHT length must be a power of two, got {n}")
    lead = a.shape[:-1]
    h = 1
    while h < n:
        v = a.reshape(*lead, n // (2 * h), 2, h)
        x0 = v[..., 0, :].copy()
        x1 = v[..., 1, :]
        v[..., 0, :] = x0 + x1
        v[..., 1, :] = x0 - x1
        a = v.reshape(*lead, n)
        h *= 2
    a *= np.float32(1.0) / np.sqrt(np.float32(n))
    return np.moveaxis(a, -1, axis)


def _nearest(values: np.ndarray, levels: np.ndarray) -> np.ndarray:
    """Index of the nearest level for every value (the lower level on ties)."""
    order = np.argsort(levels, kind="stable")
    srt = levels[order]
    pos = np.zeros(values.shape, dtype=np.intp)
    # Counting the midpoints below each value beats a binary search for 16 levels or fewer.
    for mid in (srt[1:] + srt[:-1]) / 2:
        pos += values > mid
    return order[pos]


def _pack_codes(codes: np.ndarray, nbits: int) -> bytes:
    """Pack (rows, padded_cols) codes into little-endian bit streams per row."""
    rows, padded = codes.shape
    shifts = np.arange(nbits, dtype=np.uint8)
    bits = ((codes[..., None].astype(np.uint8) >> shifts) & 1).astype(np.uint8)
    bits = bits.reshape(rows, padded * nbits)
    return np.packbits(bits, axis=1, bitorder="little").tobytes()


def _unpack_codes(raw: np.ndarray, rows: int, padded: int, nbits: int) -> np.ndarray:
    bits = np.unpackbits(raw.reshape(rows, -1), axis=1, bitorder="little")
    bits = bits[:, : padded * nbits].reshape(rows, padded, nbits).astype(np.uint8)
    return (bits << np.arange(nbits, dtype=np.uint8)).sum(axis=-1).astype(np.int64)


# Each candidate scale's codes are refitted by least squares, so a block
# that lies exactly on a scaled codebook grid comes back exactly.
_SCALE_FACTORS = np.linspace(0.3, 1.05, 16, dtype=np.float64)
_F16_MAX = 65504.0


def quantize_cq(w, bits=4, block: int = 64, codebook=DEFAULT_CODEBOOK) -> CqBlob:
    """Quantise a 2-D float matrix (rows, cols) into a CqBlob.

    bits: 2, 3, 4 or "ternary" (stored as bits code 5). block: a power of two
    and a multiple of 8; cols need not be a multiple of it (the last block is
    zero-padded). Per block, the scale is the f16 value that minimised the
    squared rotated-domain error over a small candidate search.
    """
    code = bits_code_of(bits)
    b = _check_block(block)
    m = np.asarray(w)
    if m.ndim != 2:
        raise ValueError(f"CQ weights must be a 2-D matrix, got shape {m.shape}")
    if m.dtype.kind not in "fiub":
        raise ValueError(f"CQ weights must be numeric, got dtype {m.dtype}")
    rows, cols = m.shape
    if rows == 0 or cols == 0:
        raise ValueError(f"CQ weights must have non-zero rows and cols, got shape {m.shape}")
    m = m.astype(np.float32)
    if not np.all(np.isfinite(m)):
        raise ValueError("CQ weights must be finite")
    table = codebook_for(code, b, codebook)
    if code == TERNARY_CODE:
        levels = np.asarray([table[3], 0.0, table[1]], dtype=np.float32)
        level_codes = np.asarray([3, 0, 1])
    else:
        levels = table
        level_codes = np.arange(table.shape[0])
    if not np.all(np.isfinite(levels)):
        raise ValueError("codebook must be finite")
    peak_level = float(np.max(np.abs(levels)))
    sz = cq_sizes(rows, cols, b, code)
    padded, nblk = sz["padded_cols"], sz["blocks_per_row"]

    x = np.zeros((rows, padded), dtype=np.float32)
    x[:, :cols] = m
    r = fwht_normalised(x.reshape(rows, nblk, b)).reshape(rows * nblk, b).astype(np.float64)
    lv = levels.astype(np.float64)

    peak = np.max(np.abs(r), axis=1)
    best_err = np.sum(r * r, axis=1)            # scale 0: every value rounds to 0
    best_scale = np.zeros(r.shape[0], dtype=np.float16)
    if peak_level > 0:
        # Candidates: the peak mapped onto each level magnitude (this finds
        # the exact scale of weights that sit on a scaled grid), plus a sweep
        # below and around the outermost level.
        mags = np.unique(np.abs(lv[lv != 0]))
        candidates = [peak / m for m in mags] + [peak / peak_level * f for f in _SCALE_FACTORS]
        for s in candidates:
            safe = np.where(s > 0, s, 1.0)
            idx = _nearest(r / safe[:, None], lv)
            q = lv[idx]
            qq = np.sum(q * q, axis=1)
            refit = np.where(qq > 0, np.sum(r * q, axis=1) / np.where(qq > 0, qq, 1.0), 0.0)
            for cand in (s, refit):
                s16 = np.clip(cand, -_F16_MAX, _F16_MAX).astype(np.float16)
                sf = s16.astype(np.float64)
                ok = sf != 0
                idx2 = _nearest(r / np.where(ok, sf, 1.0)[:, None], lv)
                err = np.where(ok, np.sum((r - sf[:, None] * lv[idx2]) ** 2, axis=1), np.sum(r * r, axis=1))
                better = err < best_err
                best_err = np.where(better, err, best_err)
                best_scale = np.where(better, s16, best_scale)
    sf = best_scale.astype(np.float64)
    ok = sf != 0
    idx = _nearest(r / np.where(ok, sf, 1.0)[:, None], lv)
    zero_idx = int(np.argmin(np.abs(lv)))
    idx = np.where(ok[:, None], idx, zero_idx)
    codes = level_codes[idx].reshape(rows, padded)
    data = _pack_codes(codes, _BITS[code]) + best_scale.astype("<f2").tobytes()
    assert len(data) == sz["need"]
    return CqBlob(rows, cols, b, code, data)


def dequantize_cq(blob_or_bytes, rows=None, cols=None, block=None, bits_code=None,
                  codebook=DEFAULT_CODEBOOK) -> np.ndarray:
    """Rebuild the float32 (rows, cols) matrix of an encoded CQ tensor.

    Accepts a CqBlob (shape parameters taken from it unless given) or raw
    bytes with explicit rows, cols, block and bits_code. Bytes beyond the
    encoded size are ignored, as the container reader does.
    """
    if isinstance(blob_or_bytes, CqBlob):
        bl = blob_or_bytes
        rows = bl.rows if rows is None else rows
        cols = bl.cols if cols is None else cols
        block = bl.block if block is None else block
        bits_code = bl.bits_code if bits_code is None else bits_code
        data = bl.data
    else:
        data = bytes(blob_or_bytes)
        if rows is None or cols is None or block is None or bits_code is None:
            raise ValueError("raw CQ bytes need rows, cols, block and bits_code")
    code = bits_code_of(bits_code)
    b = _check_block(block)
    rows, cols = int(rows), int(cols)
    if rows <= 0 or cols <= 0:
        raise ValueError(f"CQ shape must be non-zero, got ({rows}, {cols})")
    table = codebook_for(code, b, codebook)
    sz = cq_sizes(rows, cols, b, code)
    if len(data) < sz["need"]:
        raise ValueError(f"CQ data is {len(data)} bytes, need {sz['need']}")
    raw = np.frombuffer(data, dtype=np.uint8)
    codes = _unpack_codes(raw[: sz["index_bytes"]], rows, sz["padded_cols"], _BITS[code])
    scales = np.frombuffer(data, dtype="<f2", count=sz["scale_count"],
                           offset=sz["index_bytes"]).astype(np.float32)
    nblk = sz["blocks_per_row"]
    vals = table[codes].reshape(rows, nblk, b) * scales.reshape(rows, nblk, 1)
    out = fwht_normalised(vals.astype(np.float32)).reshape(rows, sz["padded_cols"])
    return np.ascontiguousarray(out[:, :cols])
