"""The piece-tokenizer blob carried as a raw-bytes entry in .trov containers,
and an importer for SentencePiece models.

Blob layout (little-endian, nothing aligned): u32 piece_count, u32 pad, eos,
bos and unk ids, u8 add_dummy_prefix, u8 byte_fallback, 2 reserved bytes, then
per piece: f32 score, u8 kind, u16 text length, UTF-8 text.
"""
from __future__ import annotations

import os
import struct
from typing import NamedTuple

__all__ = ["Piece", "KIND_NORMAL", "KIND_CONTROL", "KIND_UNKNOWN", "KIND_USER_DEFINED",
           "KIND_BYTE", "build_tokenizer_blob", "byte_pieces", "from_sentencepiece",
           "read_model_proto"]

KIND_NORMAL, KIND_CONTROL, KIND_UNKNOWN, KIND_USER_DEFINED, KIND_BYTE = 0, 1, 2, 3, 4


class Piece(NamedTuple):
    text: str | bytes  # bytes are written as they are (for crafting invalid blobs)
    score: float = 0.0
    kind: int = KIND_NORMAL


def byte_pieces(score: float = 0.0) -> list[Piece]:
    """The 256 byte pieces "<0x00>".."<0xFF>" in byte order."""
    return [Piece(f"<0x{b:02X}>", score, KIND_BYTE) for b in range(256)]


def _check_u32(name, v):
    if isinstance(v, bool) or int(v) != v or not 0 <= int(v) < 2**32:
        raise ValueError(f"{name} must be an integer in 0..2**32-1, got {v!r}")
    return int(v)


def build_tokenizer_blob(pieces, pad_id=0, eos_id=1, bos_id=2, unk_id=3,
                         add_dummy_prefix=True, byte_fallback=True) -> bytes:
    """Serialise (text, score, kind) triples, ids 0, 1, 2, ... in order.

    Ids are only range-checked as u32 so that blobs the reader must reject can
    be written too."""
    pieces = list(pieces)
    out = bytearray(struct.pack("<5I", len(pieces), _check_u32("pad_id", pad_id),
                                _check_u32("eos_id", eos_id), _check_u32("bos_id", bos_id),
                                _check_u32("unk_id", unk_id)))
    out += bytes([1 if add_dummy_prefix else 0, 1 if byte_fallback else 0, 0, 0])
    for i, p in enumerate(pieces):
        text, score, kind = (tuple(p) + (0.0, KIND_NORMAL))[:3]
        raw = text if isinstance(text, (bytes, bytearray)) else str(text).encode("utf-8")
        if len(raw) > 0xFFFF:
            raise ValueError(f"piece {i} text is {len(raw)} bytes, at most 65535 fit")
        if isinstance(kind, bool) or int(kind) != kind or not 0 <= int(kind) <= 255:
            raise ValueError(f"piece {i} kind must be in 0..255, got {kind!r}")
        out += struct.pack("<fBH", float(score), int(kind), len(raw)) + bytes(raw)
    return bytes(out)


# ---- SentencePiece import ---------------------------------------------------
# The model file is a protobuf ModelProto. The fields needed here are read
# with a small wire-format reader, so no protobuf runtime is required:
#   ModelProto:      1 pieces (repeated), 2 trainer_spec, 3 normalizer_spec
#   SentencePiece:   1 piece (string), 2 score (float), 3 type (enum)
#   TrainerSpec:     35 byte_fallback, 40 unk_id, 41 bos_id, 42 eos_id, 43 pad_id
#   NormalizerSpec:  1 name, 3 add_dummy_prefix, 4 remove_extra_whitespaces
# Defaults are protobuf's declared defaults for the fields left out.
_SP_NORMAL, _SP_UNKNOWN, _SP_CONTROL, _SP_USER_DEFINED, _SP_UNUSED, _SP_BYTE = 1, 2, 3, 4, 5, 6
_KIND_OF_SP_TYPE = {_SP_NORMAL: KIND_NORMAL, _SP_UNKNOWN: KIND_UNKNOWN, _SP_CONTROL: KIND_CONTROL,
                    _SP_USER_DEFINED: KIND_USER_DEFINED, _SP_UNUSED: KIND_NORMAL,
                    _SP_BYTE: KIND_BYTE}


def varint(buf, pos):
    value = shift = 0
    while True:
        if pos >= len(buf):
            raise ValueError("truncated varint in SentencePiece model")
        b = buf[pos]
        pos += 1
        value |= (b & 0x7F) << shift
        if b < 0x80:
            return value, pos
        shift += 7


def _fields(buf):
    """Yields (field number, wire type, value) of one message; value is an int
    for varints and fixed-width numbers, a memoryview for length-delimited."""
    pos = 0
    while pos < len(buf):
        key, pos = varint(buf, pos)
        num, wt = key >> 3, key & 7
        if wt == 0:
            v, pos = varint(buf, pos)
        elif wt == 1:
            v, pos = struct.unpack_from("<Q", buf, pos)[0], pos + 8
        elif wt == 5:
            v, pos = struct.unpack_from("<I", buf, pos)[0], pos + 4
        elif wt == 2:
            n, pos = varint(buf, pos)
            if pos + n > len(buf):
                raise ValueError("truncated field in SentencePiece model")
            v, pos = buf[pos:pos + n], pos + n
        else:
            raise ValueError(f"unsupported protobuf wire type {wt} in SentencePiece model")
        yield num, wt, v


def _signed32(v):
    v &= 0xFFFFFFFFFFFFFFFF
    return v - (1 << 64) if v >= 1 << 63 else v


def read_model_proto(data: bytes) -> dict:
    """The pieces and the settings of a serialised SentencePiece ModelProto:
    dict(pieces=[(text, score, sp_type)], unk_id, bos_id, eos_id, pad_id,
    byte_fallback, add_dummy_prefix, remove_extra_whitespaces, normalization)."""
    buf = memoryview(bytes(data))
    pieces = []
    trainer = dict(unk_id=0, bos_id=1, eos_id=2, pad_id=-1, byte_fallback=False)
    norm = dict(add_dummy_prefix=True, remove_extra_whitespaces=True, normalization="nmt_nfkc")
    for num, wt, v in _fields(buf):
        if num == 1 and wt == 2:
            text, score, typ = "", 0.0, _SP_NORMAL
            for n2, w2, v2 in _fields(v):
                if n2 == 1 and w2 == 2:
                    text = bytes(v2).decode("utf-8")
                elif n2 == 2 and w2 == 5:
                    score = struct.unpack("<f", struct.pack("<I", v2))[0]
                elif n2 == 3 and w2 == 0:
                    typ = v2
            pieces.append((text, score, typ))
        elif num == 2 and wt == 2:
            for n2, w2, v2 in _fields(v):
                if w2 != 0:
                    continue
                if n2 == 35:
                    trainer["byte_fallback"] = bool(v2)
                elif n2 in (40, 41, 42, 43):
                    trainer[("unk_id", "bos_id", "eos_id", "pad_id")[n2 - 40]] = _signed32(v2)
        elif num == 3 and wt == 2:
            for n2, w2, v2 in _fields(v):
                if n2 == 1 and w2 == 2:
                    norm["normalization"] = bytes(v2).decode("utf-8")
                elif n2 == 3 and w2 == 0:
                    norm["add_dummy_prefix"] = bool(v2)
                elif n2 == 4 and w2 == 0:
                    norm["remove_extra_whitespaces"] = bool(v2)
    return dict(pieces=pieces, **trainer, **norm)


def _model_bytes(model):
    if isinstance(model, (bytes, bytearray, memoryview)):
        return bytes(model)
    with open(os.fspath(model), "rb") as f:
        return f.read()


def from_sentencepiece(model) -> tuple[list[Piece], dict]:
    """Pieces and header settings of a SentencePiece model (a path or the
    serialised model bytes), ready for build_tokenizer_blob(pieces, **meta).

    Kinds: normal 0, control 1, unknown 2, user-defined 3, byte 4; unused
    pieces become normal pieces. A special id SentencePiece disables (-1, as
    pad usually is) maps to the unknown id, since the blob needs every special
    id inside the piece table."""
    import sentencepiece as spm

    data = _model_bytes(model)
    sp = spm.SentencePieceProcessor(model_proto=data)
    proto = read_model_proto(data)
    if len(proto["pieces"]) != sp.get_piece_size():
        raise ValueError("SentencePiece model: piece table does not match the processor's")
    pieces = []
    for i, (text, score, typ) in enumerate(proto["pieces"]):
        if text != sp.id_to_piece(i):
            raise ValueError(f"SentencePiece model: piece {i} text does not match the processor's")
        pieces.append(Piece(text, float(score), _KIND_OF_SP_TYPE.get(typ, KIND_NORMAL)))
    unk = sp.unk_id()

    def special(v):
        return v if 0 <= v < len(pieces) else unk

    meta = dict(pad_id=special(sp.pad_id()), eos_id=special(sp.eos_id()),
                bos_id=special(sp.bos_id()), unk_id=unk,
                add_dummy_prefix=proto["add_dummy_prefix"],
                byte_fallback=proto["byte_fallback"])
    return pieces, meta
