"""First-generation model files from numpy: safetensors images (with the packed
4-bit I4 dtype), the loader's 4-bit linear quantiser, configurations, random
weights with sane scales, vocabulary text files and a command line.

    cfg = V1Config(d_model=32, num_heads=4, num_kv_heads=2, vocab_size=300, no_feedforward=False)
    weights = random_v1_weights(cfg, seed=1, contrastive=(8, 4))
    data = write_v1(cfg, weights, linear_format="prequant")
    vocab_text = write_vocab(*demo_v1_vocab(cfg.vocab_size))
    r = random_v1_container(seed=7, activation=2)   # .weights_bytes .vocab_text .cfg .info

    python -m vorpel_writer.v1 --realistic OUT_DIR      # OUT_DIR/model.safetensors + vocab.txt
    python -m vorpel_writer.v1 --random OUT_DIR --seed 3
"""
from __future__ import annotations

import dataclasses
import itertools
import json
import math
import os
import re
import string
import struct
import sys
from dataclasses import dataclass, field

import numpy as np
from ._main import writer_main

__all__ = [
    "ST_DTYPES", "RawJson", "write_safetensors", "assemble_safetensors", "st_tensor",
    "encode_f32", "encode_bf16", "encode_f16", "encode_i8", "encode_i4", "bf16_round",
    "V1_GROUP", "quantize_v1_linear", "dequantize_v1_linear",
    "V1Config", "V1_DEFAULTS", "CONTRASTIVE_NAMES", "v1_linear_shapes", "v1_tensor_names",
    "random_v1_weights",
    "write_v1", "loaded_v1_weights", "LINEAR_FORMATS", "FLOAT_FORMATS",
    "V1_SPECIAL_PIECES", "V1_DECODER_START_ID", "V1_END_ID", "V1_FALLBACK_ID", "V1_PREFIX_ID",
    "V1_SEP_ID", "write_vocab", "demo_v1_vocab", "RandomV1", "random_v1_config",
    "random_v1_container", "realistic_v1_config", "write_realistic_v1",
]

# ---------------------------------------------------------------- safetensors

ST_DTYPES = ("F32", "BF16", "F16", "I8", "I4")


class RawJson(str):
    """Text placed into a safetensors header exactly as given: a metadata value
    (a number, a bare word), a whole "__metadata__" value, a tensor entry, or a
    shape / offset element such as "+3" that JSON itself cannot express."""


def encode_f32(a) -> bytes:
    return np.ascontiguousarray(a, dtype="<f4").tobytes()


def bf16_round(a) -> np.ndarray:
    """bfloat16 bit patterns (uint16) of float32 values, rounded to nearest even;
    NaN stays a (quiet) NaN of the same sign."""
    bits = np.ascontiguousarray(a, dtype=np.float32).view(np.uint32).astype(np.uint64)
    rounded = (bits + 0x7FFF + ((bits >> 16) & 1)) >> 16
    nan = np.isnan(np.asarray(a, dtype=np.float32))
    rounded = np.where(nan, (bits >> 16) | 0x40, rounded)
    return rounded.astype(np.uint16)


def encode_bf16(a) -> bytes:
    return bf16_round(a).astype("<u2").tobytes()


def encode_f16(a) -> bytes:
    with np.errstate(over="ignore"):  # out-of-range values become infinities, as intended
        return np.ascontiguousarray(a, dtype=np.float32).astype("<f2").tobytes()


def _integers(a, lo, hi, what) -> np.ndarray:
    v = np.asarray(a)
    if v.size and (not np.all(np.isfinite(v)) or np.any(v != np.round(v))
                   or v.min() < lo or v.max() > hi):
        raise ValueError(f"{what} values must be integers in {lo}..{hi}")
    return v.astype(np.int64).reshape(-1)


def encode_i8(a) -> bytes:
    return _integers(a, -128, 127, "I8").astype(np.int8).tobytes()


def encode_i4(a) -> bytes:
    """Two signed 4-bit values per byte, the first in the low nibble. An odd
    count leaves the last high nibble 0 (and the shape then counts one value
    fewer than the bytes hold, which the reader reports)."""
    v = _integers(a, -8, 7, "I4") & 0xF
    if v.size % 2:
        v = np.append(v, 0)
    return (v[0::2] | (v[1::2] << 4)).astype(np.uint8).tobytes()


_ENCODERS = {"F32": encode_f32, "BF16": encode_bf16, "F16": encode_f16, "I8": encode_i8,
             "I4": encode_i4}


def st_tensor(dtype: str, values) -> tuple:
    """(dtype, shape, raw_bytes) for an array stored as one of ST_DTYPES
    (for I4 the shape counts values, two per byte)."""
    if dtype not in _ENCODERS:
        raise ValueError(f"dtype must be one of {ST_DTYPES}, got {dtype!r}")
    a = np.asarray(values)
    return (dtype, list(a.shape), _ENCODERS[dtype](a))


def _as_triple(name, value):
    if isinstance(value, np.ndarray):
        kinds = {np.dtype(np.float32): "F32", np.dtype(np.float64): "F32",
                 np.dtype(np.float16): "F16", np.dtype(np.int8): "I8"}
        if value.dtype not in kinds:
            raise ValueError(f"{name}: no safetensors dtype for numpy {value.dtype}; "
                             f"use st_tensor(dtype, values)")
        return st_tensor(kinds[value.dtype], value)
    return value


def _json_list(items) -> str:
    return "[" + ",".join(str(x) if isinstance(x, RawJson) else json.dumps(int(x))
                          for x in items) + "]"


def _json_value(v) -> str:
    if isinstance(v, RawJson):
        return str(v)
    return json.dumps(v, ensure_ascii=False)


def write_safetensors(tensors, metadata: dict | None = None, header_padding: str = "") -> bytes:
    """A safetensors image: 8-byte little-endian header length, the JSON header
    (header_padding appended after its closing brace), then the data.

    tensors: a mapping or a list of (name, value) pairs (a list may repeat a
    name). A value is one of
      - a numpy array: float32/float64 -> "F32", float16 -> "F16", int8 -> "I8";
      - (dtype, shape, raw_bytes): any dtype text, shape elements int or RawJson;
      - (dtype, shape, raw_bytes, data_offsets): the stated offsets replace the
        true ones (any length, elements int or RawJson); the bytes still go to
        the data section at the running position;
      - RawJson: the entry's whole value text, contributing no data.
    Data is laid out in the given order without alignment. metadata: None
    leaves "__metadata__" out; a RawJson is its verbatim value; otherwise a
    dict whose str values are written as JSON strings and other values as JSON
    (numbers, booleans, objects) or verbatim (RawJson). Text is written
    unescaped beyond JSON's needs, since the engine does not decode escapes."""
    items = list(tensors.items()) if hasattr(tensors, "items") else list(tensors)
    entries, chunks, offset = [], [], 0
    if metadata is not None:
        if isinstance(metadata, RawJson):
            entries.append(f'"__metadata__":{metadata}')
        else:
            body = ",".join(f"{json.dumps(str(k), ensure_ascii=False)}:{_json_value(v)}"
                            for k, v in metadata.items())
            entries.append('"__metadata__":{' + body + "}")
    for name, value in items:
        key = json.dumps(str(name), ensure_ascii=False)
        value = _as_triple(name, value)
        if isinstance(value, RawJson):
            entries.append(f"{key}:{value}")
            continue
        if len(value) not in (3, 4):
            raise ValueError(f"{name}: expected (dtype, shape, raw_bytes[, data_offsets])")
        dtype, shape, raw = value[0], value[1], bytes(value[2])
        offsets = value[3] if len(value) == 4 else [offset, offset + len(raw)]
        chunks.append(raw)
        offset += len(raw)
        entries.append(f'{key}:{{"dtype":{json.dumps(str(dtype))},"shape":{_json_list(shape)},'
                       f'"data_offsets":{_json_list(offsets)}}}')
    header = "{" + ",".join(entries) + "}" + header_padding
    return assemble_safetensors(header, b"".join(chunks))


def assemble_safetensors(header, data: bytes = b"", header_len: int | None = None) -> bytes:
    """Framing alone: the stated header length (default: the true one), the
    header text or bytes, the data. For truncated or non-UTF-8 headers."""
    hb = header.encode("utf-8") if isinstance(header, str) else bytes(header)
    n = len(hb) if header_len is None else int(header_len)
    return struct.pack("<Q", n) + hb + bytes(data)


# ---------------------------------------------------------------- 4-bit linear weights

V1_GROUP = 32  # rows sharing one scale within a column


def _round_half_away(t: np.ndarray) -> np.ndarray:
    # In float64 so that t + 0.5 is exact for every float32 t (0.49999997 stays below 1).
    t = t.astype(np.float64)
    return np.trunc(t + np.copysign(0.5, t))


def quantize_v1_linear(w) -> tuple[bytes, np.ndarray]:
    """The loader's quantiser for a weight stored [in_features, out_features].

    Per column and group of 32 rows (the last group zero-padded): scale =
    max|x| / 7, at least 1e-8; q = round-half-away(x / scale) clamped to
    -8..7, all in float32. Returns the packed bytes, ceil(in/2) rows of
    out_features bytes where byte [r/2][c] holds row r (even) in the low
    nibble and row r+1 in the high one, and the scales [ceil(in/32), out]."""
    w = np.asarray(w, dtype=np.float32)
    if w.ndim != 2:
        raise ValueError(f"expected a 2-D [in, out] matrix, got shape {w.shape}")
    n_in, n_out = w.shape
    groups = -(-n_in // V1_GROUP)
    padded = np.zeros((groups * V1_GROUP, n_out), dtype=np.float32)
    padded[:n_in] = w
    g = padded.reshape(groups, V1_GROUP, n_out)
    scales = np.maximum(np.abs(g).max(axis=1) / np.float32(7.0), np.float32(1e-8))
    t = (g / scales[:, None, :]).astype(np.float32)
    # The float-to-integer conversion saturates, hence the clamp.
    q = np.clip(_round_half_away(t), -8, 7).astype(np.int64)
    return _pack_rows(q.reshape(groups * V1_GROUP, n_out)[:n_in]), scales.astype(np.float32)


def _pack_rows(q: np.ndarray) -> bytes:
    n_in, n_out = q.shape
    if n_in % 2:
        q = np.vstack([q, np.zeros((1, n_out), q.dtype)])
    q = q & 0xF
    return (q[0::2] | (q[1::2] << 4)).astype(np.uint8).tobytes()


def dequantize_v1_linear(packed: bytes, scales, in_features: int, out_features: int) -> np.ndarray:
    """[in_features, out_features] float32 values nibble x scale."""
    rows = -(-in_features // 2)
    b = np.frombuffer(bytes(packed), dtype=np.uint8)
    if b.size < rows * out_features:
        raise ValueError(f"packed data holds {b.size} bytes, need {rows * out_features}")
    b = b[:rows * out_features].reshape(rows, out_features).astype(np.int16)
    q = np.empty((rows * 2, out_features), dtype=np.int16)
    q[0::2] = b & 0xF
    q[1::2] = b >> 4
    q = np.where(q >= 8, q - 16, q)[:in_features].astype(np.float32)
    s = np.asarray(scales, dtype=np.float32).reshape(-1, out_features)
    return q * np.repeat(s, V1_GROUP, axis=0)[:in_features]


# ---------------------------------------------------------------- configuration

V1_DEFAULTS = {
    "activation": "relu2", "d_model": 512, "num_heads": 8, "num_kv_heads": 4,
    "num_encoder_layers": 12, "num_decoder_layers": 8, "vocab_size": 8192, "max_dec_len": 512,
    "ffn_dim": 2048, "no_feedforward": True, "rope_theta": 10000.0,
}
_UNSIGNED = ("max_enc_len", "d_model", "num_heads", "num_kv_heads", "num_encoder_layers",
             "num_decoder_layers", "vocab_size", "max_dec_len", "ffn_dim", "max_seq_len")
_ACTIVATIONS = ("relu2", "swiglu", "geglu")
_FLOAT_RE = re.compile(r"[+-]?(?:(?:\d+\.?\d*|\.\d+)(?:[eE][+-]?\d+)?|inf|infinity|nan)",
                       re.IGNORECASE)


def _parse_unsigned(text: str):
    if re.fullmatch(r"\+?[0-9]+", text, re.ASCII) and int(text) < 2**64:
        return int(text)
    return None


def _parse_key(key: str, text: str):
    """The value the engine reads from one metadata text, or None for its default."""
    if key in _UNSIGNED:
        return _parse_unsigned(text)
    if key == "rope_theta":
        return float(np.float32(float(text))) if _FLOAT_RE.fullmatch(text) else None
    if key == "no_feedforward":
        return text in ("1", "True", "true")
    if key == "activation":
        return text
    return None


@dataclass
class V1Config:
    """First-generation configuration. Fields left out take the engine's
    defaults (V1_DEFAULTS; max_enc_len: max_seq_len, else 1024). to_metadata()
    writes only the keys that were given (as fields, through `raw`, or set
    later by assignment), as strings.

    raw: metadata texts written verbatim, e.g. {"d_model": "+64",
    "no_feedforward": "TRUE"}; the field then holds what the engine parses
    from that text. Keys outside the configuration pass through unchanged.
    activation may be a code 0/1/2 or a name; any name other than "swiglu"
    and "geglu" is code 0. max_seq_len is only written (the engine reads it
    as the encoder limit when max_enc_len is absent)."""
    max_enc_len: int | None = None
    activation: str | int | None = None
    d_model: int | None = None
    num_heads: int | None = None
    num_kv_heads: int | None = None
    num_encoder_layers: int | None = None
    num_decoder_layers: int | None = None
    vocab_size: int | None = None
    max_dec_len: int | None = None
    ffn_dim: int | None = None
    no_feedforward: bool | None = None
    rope_theta: float | None = None
    max_seq_len: int | None = None
    raw: dict = field(default_factory=dict)

    def __post_init__(self):
        keys = [f.name for f in dataclasses.fields(self) if f.name != "raw"]
        given = {k for k in keys if getattr(self, k) is not None}
        both = given & set(self.raw)
        if both:
            raise ValueError(f"keys given both as fields and raw: {sorted(both)}")
        self.raw = {str(k): str(v) for k, v in self.raw.items()}
        for k, text in self.raw.items():
            if k in keys:
                object.__setattr__(self, k, _parse_key(k, text))
        if isinstance(self.activation, int) and not isinstance(self.activation, bool):
            object.__setattr__(self, "activation", _ACTIVATIONS[self.activation])
        for k, v in V1_DEFAULTS.items():
            if getattr(self, k) is None:
                object.__setattr__(self, k, v)
        if self.max_enc_len is None:
            object.__setattr__(self, "max_enc_len",
                               self.max_seq_len if self.max_seq_len is not None else 1024)
        object.__setattr__(self, "_given", given | (set(self.raw) & set(keys)))

    def __setattr__(self, name, value):
        object.__setattr__(self, name, value)
        given = self.__dict__.get("_given")
        if given is not None and name != "raw":
            given.add(name)
            self.raw.pop(name, None)
            if name == "activation" and isinstance(value, int) and not isinstance(value, bool):
                object.__setattr__(self, name, _ACTIVATIONS[value])

    @classmethod
    def from_metadata(cls, metadata: dict) -> "V1Config":
        """The configuration the engine reads from a metadata table."""
        return cls(raw=dict(metadata))

    def copy(self, **changes) -> "V1Config":
        """A copy with the same given keys plus `changes` (dataclasses.replace
        would mark every key as given)."""
        kw = {k: getattr(self, k) for k in self._given if k not in self.raw}
        raw = {k: v for k, v in self.raw.items() if k not in changes}
        kw.update(changes)
        return V1Config(raw=raw, **kw)

    @property
    def given(self) -> frozenset:
        return frozenset(self._given)

    def to_metadata(self) -> dict:
        md = {}
        for f in dataclasses.fields(self):
            k = f.name
            if k == "raw" or k not in self._given or k in self.raw:
                continue
            v = getattr(self, k)
            if isinstance(v, bool):
                v = "true" if v else "false"
            elif isinstance(v, float):
                v = repr(v)
            md[k] = str(v)
        md.update(self.raw)
        return md

    # Derived values.
    @property
    def activation_code(self) -> int:
        return {"swiglu": 1, "geglu": 2}.get(self.activation, 0)

    @property
    def feedforward(self) -> bool:
        return not self.no_feedforward

    @property
    def head_dim(self) -> int:
        return self.d_model // self.num_heads

    @property
    def q_dim(self) -> int:
        return self.num_heads * self.head_dim

    @property
    def kv_dim(self) -> int:
        return self.num_kv_heads * self.head_dim


# ---------------------------------------------------------------- weights by name

_ATTN_LINEARS = ("wq", "wk", "wv", "wo")
_FFN_LINEARS = ("gate_proj", "up_proj", "down_proj")
CONTRASTIVE_NAMES = ("contrastive_hidden_kernel", "contrastive_hidden_bias",
                     "contrastive_proj_kernel")


def v1_linear_shapes(cfg: V1Config) -> dict:
    """Every linear weight's name -> (in_features, out_features)."""
    d, qd, kvd, f = cfg.d_model, cfg.q_dim, cfg.kv_dim, cfg.ffn_dim
    attn = {"wq": (d, qd), "wk": (d, kvd), "wv": (d, kvd), "wo": (qd, d)}
    ffn = {"gate_proj": (d, f), "up_proj": (d, f), "down_proj": (f, d)}
    out = {}
    for side, n in (("encoder", cfg.num_encoder_layers), ("decoder", cfg.num_decoder_layers)):
        for i in range(n):
            p = f"{side}.{i}"
            if cfg.feedforward:
                for k in _FFN_LINEARS:
                    out[f"{p}.ffn.{k}"] = ffn[k]
            for k in _ATTN_LINEARS:
                out[f"{p}.self_attn.{k}"] = attn[k]
            if side == "decoder":
                for k in _ATTN_LINEARS:
                    out[f"{p}.cross_attn.{k}"] = attn[k]
    return out


def _block_shapes(cfg: V1Config, side: str, i: int) -> dict:
    """Name -> shape of one block's tensors in the loader's reading order."""
    d, hd, f = cfg.d_model, cfg.head_dim, cfg.ffn_dim
    p = f"{side}.{i}"
    lin = v1_linear_shapes(cfg)
    out = {}

    def attn(kind):
        for k in _ATTN_LINEARS:
            out[f"{p}.{kind}.{k}"] = lin[f"{p}.{kind}.{k}"]
        out[f"{p}.{kind}.q_norm"] = (hd,)
        out[f"{p}.{kind}.k_norm"] = (hd,)

    if cfg.feedforward:
        for k in _FFN_LINEARS:
            out[f"{p}.ffn.{k}"] = lin[f"{p}.ffn.{k}"]
        out[f"{p}.ffn_gate"] = (1,)
        out[f"{p}.ffn_norm"] = (d,)
    attn("self_attn")
    out[f"{p}.self_attn_gate"] = (1,)
    out[f"{p}.norm" if side == "encoder" else f"{p}.self_attn_norm"] = (d,)
    if side == "decoder":
        attn("cross_attn")
        out[f"{p}.cross_attn_gate"] = (1,)
        out[f"{p}.cross_attn_norm"] = (d,)
    return out


def _tensor_shapes(cfg: V1Config, contrastive=None) -> dict:
    out = {"embedding": (cfg.vocab_size, cfg.d_model)}
    for i in range(cfg.num_encoder_layers):
        out.update(_block_shapes(cfg, "encoder", i))
    for i in range(cfg.num_decoder_layers):
        out.update(_block_shapes(cfg, "decoder", i))
    out["encoder_final_norm"] = (cfg.d_model,)
    out["decoder_final_norm"] = (cfg.d_model,)
    if contrastive:
        h, c = contrastive
        out["contrastive_hidden_kernel"] = (cfg.d_model, h)
        out["contrastive_hidden_bias"] = (h,)
        out["contrastive_proj_kernel"] = (h, c)
    return out


def v1_tensor_names(cfg: V1Config, contrastive=None) -> list:
    """Every tensor the loader reads for this configuration, in file order
    (contrastive: (H, C) adds the head)."""
    return list(_tensor_shapes(cfg, contrastive))


def random_v1_weights(cfg: V1Config, seed: int = 0, contrastive=None) -> dict:
    """Float32 weights by tensor name whose activations stay O(1): embedding
    rows of norm ~1 (inputs are scaled by sqrt(d_model), logits are rows
    dotted with a unit-RMS vector), linear weights N(0, 1/in_features), norm
    offsets N(0, 0.1^2), gates N(0, 1) (shape [1]). contrastive: (H, C)."""
    rng = np.random.default_rng(seed)
    lin = v1_linear_shapes(cfg)
    out = {}
    for name, shape in _tensor_shapes(cfg, contrastive).items():
        if name == "embedding":
            std = 1.0 / math.sqrt(max(cfg.d_model, 1))
        elif name in lin or name in ("contrastive_hidden_kernel", "contrastive_proj_kernel"):
            std = 1.0 / math.sqrt(max(shape[0], 1))
        elif name.endswith("_gate"):
            std = 1.0
        else:  # norm offsets and the contrastive bias
            std = 0.1
        out[name] = (rng.standard_normal(shape, dtype=np.float32) * np.float32(std))
    return out


# ---------------------------------------------------------------- whole files

LINEAR_FORMATS = ("f32", "bf16", "f16", "prequant", "i8")
FLOAT_FORMATS = ("f32", "bf16", "f16")
_FLOAT_DTYPE = {"f32": "F32", "bf16": "BF16", "f16": "F16"}


def _i8_values(w: np.ndarray) -> np.ndarray:
    # I8 carries no scale: the file's integers are the weights. Eight integer steps per
    # standard deviation keep the load-time 4-bit quantisation informative.
    std = float(np.sqrt(np.mean(w.astype(np.float64) ** 2))) if w.size else 0.0
    gain = 8.0 / std if std > 0 else 1.0
    return np.clip(_round_half_away(w * np.float32(gain)), -127, 127).astype(np.int8)


def _file_tensors(cfg, weights, linear_format, float_format):
    """name -> (dtype, shape, raw_bytes); pre-quantised linears also add name.scale."""
    if linear_format not in LINEAR_FORMATS:
        raise ValueError(f"linear_format must be one of {LINEAR_FORMATS}, got {linear_format!r}")
    if float_format not in FLOAT_FORMATS:
        raise ValueError(f"float_format must be one of {FLOAT_FORMATS}, got {float_format!r}")
    lin = v1_linear_shapes(cfg)
    out = {}
    for name, w in weights.items():
        w = np.asarray(w, dtype=np.float32)
        if name not in lin:
            out[name] = st_tensor(_FLOAT_DTYPE[float_format], w)
            continue
        if w.shape != lin[name]:
            raise ValueError(f"{name}: expected [in, out] = {list(lin[name])}, got {list(w.shape)}")
        if linear_format == "prequant":
            packed, scales = quantize_v1_linear(w)
            rows = 2 * (-(-w.shape[0] // 2))
            out[name] = ("I4", [rows, w.shape[1]], packed)
            out[name + ".scale"] = st_tensor("F32", scales)
        elif linear_format == "i8":
            out[name] = st_tensor("I8", _i8_values(w))
        else:
            out[name] = st_tensor(_FLOAT_DTYPE[linear_format], w)
    return out


def write_v1(cfg: V1Config, weights: dict, linear_format: str = "f32", omit=(), extra=None,
             float_format: str = "f32", metadata: dict | None = None) -> bytes:
    """A first-generation safetensors image.

    linear_format: "f32" / "bf16" / "f16" store linear weights [in, out] as
    floats (quantised at load); "i8" stores integers (the file's values are
    the weights, see loaded_v1_weights); "prequant" stores the packed 4-bit
    tensor as I4 [in rounded up to even, out] plus name + ".scale" F32
    [ceil(in/32), out]. float_format: dtype of every other tensor.
    omit: names to drop; dropping a pre-quantised linear drops its scale too,
    naming "x.scale" drops only the scale. extra: more tensors (any form
    write_safetensors takes), added last or replacing same-named ones.
    metadata: entries merged over cfg.to_metadata() (None values remove keys)."""
    tensors = _file_tensors(cfg, weights, linear_format, float_format)
    omit = set(omit)
    tensors = {k: v for k, v in tensors.items()
               if k not in omit and not (k.endswith(".scale") and k[:-6] in omit)}
    tensors.update(extra or {})
    md = cfg.to_metadata()
    for k, v in (metadata or {}).items():
        if v is None:
            md.pop(k, None)
        else:
            md[k] = v
    return write_safetensors(tensors, md)


def loaded_v1_weights(cfg: V1Config, weights: dict, linear_format: str = "f32",
                      float_format: str = "f32", omit=()) -> dict:
    """What the engine computes with, for a file from write_v1 with these
    arguments: every tensor of the configuration as float32 after dtype
    widening, linear weights as their 4-bit values x scales, missing tensors
    as zeros (gates [0.0]). The contrastive head is included when all three
    tensors are written; its shape checks are left to the caller."""
    widened = {}
    for name, (dtype, shape, raw) in _file_tensors(cfg, weights, linear_format,
                                                  float_format).items():
        if name in omit or (name.endswith(".scale") and name[:-6] in omit):
            continue
        widened[name] = (dtype, shape, raw)
    lin = v1_linear_shapes(cfg)
    out = {}
    for name, shape in _tensor_shapes(cfg).items():
        if name in lin:
            n_in, n_out = shape
            if linear_format == "prequant" and name in widened and name + ".scale" in widened:
                scales = np.frombuffer(widened[name + ".scale"][2], "<f4")
                out[name] = dequantize_v1_linear(widened[name][2], scales, n_in, n_out)
                continue
            w = _widen(widened[name]) if name in widened else np.zeros(n_in * n_out, np.float32)
            out[name] = dequantize_v1_linear(*quantize_v1_linear(w.reshape(n_in, n_out)),
                                             n_in, n_out)
        else:
            out[name] = _widen(widened[name]).reshape(shape) if name in widened \
                else np.zeros(shape, np.float32)
    if all(n in widened for n in CONTRASTIVE_NAMES):
        for n in CONTRASTIVE_NAMES:
            out[n] = _widen(widened[n]).reshape(widened[n][1])
    return out


def _widen(triple) -> np.ndarray:
    dtype, _, raw = triple
    if dtype == "F32":
        return np.frombuffer(raw, "<f4").astype(np.float32)
    if dtype == "BF16":
        return (np.frombuffer(raw, "<u2").astype(np.uint32) << 16).view(np.float32)
    if dtype == "F16":
        return np.frombuffer(raw, "<f2").astype(np.float32)
    if dtype == "I8":
        return np.frombuffer(raw, np.int8).astype(np.float32)
    if dtype == "I4":
        b = np.frombuffer(raw, np.int8)
        lo = np.left_shift(b, 4).astype(np.int8) >> 4
        return np.stack([lo, b >> 4], axis=1).reshape(-1).astype(np.float32)
    raise ValueError(f"cannot widen {dtype}")


# ---------------------------------------------------------------- vocabulary files

V1_SPECIAL_PIECES = ["<pad>", "</s>", "<s>", "<unk>", "<out>", "<sep>"]
V1_DECODER_START_ID = V1_END_ID = 1
V1_FALLBACK_ID, V1_PREFIX_ID, V1_SEP_ID = 3, 4, 5
_WB = "\u2581"
# Tool-call fragments in the compact form the engine's constraint tracks ("name":" with no spaces).
_V1_JSON = ['{"name":"', '","arguments":{', '":"', '","', '"}}', '"}', '}}', '":', '{"', '",',
            '":{', '":[', '],"', '":true', '":false', '"', "{", "}", ":", ",", "_", "[", "]",
            "[]", "{}"]
_V1_WORDS = ["get", "weather", "city", "time", "name", "set", "send", "email", "search", "query",
             "location", "unit", "date", "to", "the", "in", "what", "is", "for", "me", "message",
             "alarm", "find", "file", "open", "list", "user", "tool", "please", "today",
             "Paris", "London", "Tokyo", "celsius", "arguments", "type", "string", "object",
             "properties", "description", "parameters", "required", "number", "value", "call",
             "and", "of", "a", "how", "many", "which", "at", "from", "create", "delete", "event"]


def write_vocab(pieces, scores=None, crlf: bool = False) -> str:
    """Vocabulary file text: one piece per line ("piece\\tscore" when scores are
    given), every line ended, LF or CR LF."""
    pieces = list(pieces)
    if scores is not None and len(scores) != len(pieces):
        raise ValueError(f"{len(scores)} scores for {len(pieces)} pieces")
    eol = "\r\n" if crlf else "\n"
    lines = []
    for i, p in enumerate(pieces):
        if "\n" in p or "\t" in p or p.endswith("\r"):
            raise ValueError(f"piece {i} ({p!r}) cannot be written on one line")
        lines.append(p if scores is None else f"{p}\t{float(scores[i])!r}")
    return "".join(line + eol for line in lines)


def demo_v1_vocab(size: int) -> tuple[list, list]:
    """(pieces, scores) of exactly `size` entries: the six special pieces at
    ids 0..5 ("<out>" is the prefix stripped from outputs: a leading U+2581
    could never match, since decoding trims leading white space), the 256
    byte-fallback pieces, then tool-call JSON fragments, single characters,
    every prefix of common words with and without U+2581, and letter
    combinations. Ordinary pieces score -length (minus a tie-break by id), so
    the file carries scores and encoding merges short pieces first."""
    head = list(V1_SPECIAL_PIECES) + [f"<0x{b:02X}>" for b in range(256)]
    if size < len(head) + 1:
        raise ValueError(f"size must be at least {len(head) + 1} for the demo vocabulary")
    seen, ordinary = set(head), []

    def add(text):
        if text not in seen and len(head) + len(ordinary) < size:
            seen.add(text)
            ordinary.append(text)

    for frag in _V1_JSON:
        add(frag)
    for ch in _WB + string.ascii_lowercase + string.digits + string.ascii_uppercase \
            + string.punctuation:
        add(ch)
    for word in _V1_WORDS:
        for k in range(2, len(word) + 1):  # every prefix, so merges can reach the word
            add(_WB + word[:k - 1])
            add(word[:k])
        add(_WB + word)
    for ch in string.ascii_lowercase:
        add(_WB + ch)
    n = 2
    while len(head) + len(ordinary) < size:
        for combo in itertools.product(string.ascii_lowercase, repeat=n):
            add("".join(combo))
            add(_WB + "".join(combo))
            if len(head) + len(ordinary) >= size:
                break
        n += 1
    scores = [0.0] * len(head)
    scores += [round(-float(len(t)) - i / (10.0 * size), 6) for i, t in enumerate(ordinary)]
    return head + ordinary, scores


# ---------------------------------------------------------------- random models

@dataclass
class RandomV1:
    weights_bytes: bytes
    vocab_text: str
    cfg: V1Config
    info: dict  # seed, formats, contrastive, metadata, weights (float32 by name), vocab form


# (num_kv_heads, heads per kv head, head_dim) with d_model = product in 16..64.
_HEAD_LAYOUTS = [(kv, g, hd) for kv in (1, 2, 3, 4) for g in (1, 2, 4) for hd in (4, 8, 16)
                 if 16 <= kv * g * hd <= 64]
_CONFIG_PINS = {"activation", "d_model", "num_heads", "num_kv_heads", "num_encoder_layers",
                "num_decoder_layers", "vocab_size", "max_dec_len", "max_enc_len", "ffn_dim",
                "rope_theta"}
_OTHER_PINS = {"kv_group", "feedforward", "prequant", "linear_format", "float_format",
               "contrastive", "spell", "scores", "crlf", "vocab_lines"}


def random_v1_config(rng: np.random.Generator, **pins) -> V1Config:
    """A small valid configuration. Pins: any V1Config field except raw, plus
    kv_group (num_heads / num_kv_heads: 1, 2 or 4), feedforward (bool) and
    spell (bool: write values in odd spellings the engine still reads: "+12",
    "no_feedforward" as "TRUE" / "0", max_seq_len instead of max_enc_len,
    keys at their default left out)."""
    unknown = set(pins) - _CONFIG_PINS - {"kv_group", "feedforward", "spell"}
    if unknown:
        raise ValueError(f"unknown pins {sorted(unknown)}")
    layouts = [(kv, g, hd) for kv, g, hd in _HEAD_LAYOUTS
               if pins.get("kv_group") in (None, g)
               and pins.get("num_kv_heads") in (None, kv)
               and pins.get("num_heads") in (None, kv * g)
               and pins.get("d_model") in (None, kv * g * hd)]
    if not layouts:
        raise ValueError(f"no head layout fits the pins {pins}")
    kv, g, hd = layouts[int(rng.integers(len(layouts)))]
    act = pins.get("activation", int(rng.integers(3)))
    values = {
        "activation": _ACTIVATIONS[act] if isinstance(act, int) else act,
        "d_model": kv * g * hd, "num_heads": kv * g, "num_kv_heads": kv,
        "num_encoder_layers": int(rng.integers(1, 4)),
        "num_decoder_layers": int(rng.integers(1, 4)),
        "vocab_size": int(rng.integers(300, 401)), "max_dec_len": int(rng.integers(16, 65)),
        "max_enc_len": int(rng.integers(6, 13)), "ffn_dim": 2 * int(rng.integers(6, 49)),
        "rope_theta": float(rng.choice([10000.0, 500.0, 1e6])),
    }
    ffn = pins.get("feedforward", bool(rng.random() < 0.6))
    spell = pins.get("spell", bool(rng.random() < 0.4))
    for k in _CONFIG_PINS & set(pins):
        values[k] = pins[k]
    if isinstance(values["activation"], int):
        values["activation"] = _ACTIVATIONS[values["activation"]]
    if not spell:
        return V1Config(no_feedforward=not ffn, **values)
    raw, kw = {}, {}
    for k, v in values.items():
        if v == V1_DEFAULTS.get(k) and rng.random() < 0.5:
            continue  # absent: the default applies
        if k == "max_enc_len" and rng.random() < 0.5:
            raw["max_seq_len"] = str(v)
        elif k in _UNSIGNED and rng.random() < 0.3:
            raw[k] = f"+{v}"
        else:
            kw[k] = v
    if ffn:
        raw["no_feedforward"] = str(rng.choice(["false", "0", "TRUE", "no", ""]))
    elif rng.random() < 0.5:
        raw["no_feedforward"] = str(rng.choice(["1", "True", "true"]))
    return V1Config(raw=raw, **kw)


def random_v1_container(seed: int, **pins) -> RandomV1:
    """A random small first-generation model and its vocabulary.

    Pins (keywords), each fixing one feature: the V1Config fields and
    kv_group / feedforward / spell of random_v1_config; prequant (bool: 4-bit
    in the file, else quantised at load), linear_format (one of
    LINEAR_FORMATS, overrides prequant), float_format, contrastive (bool or
    (H, C)), scores (bool: vocabulary with scores, so merging), crlf (bool),
    vocab_lines (pieces in the vocabulary file; default vocab_size)."""
    unknown = set(pins) - _CONFIG_PINS - _OTHER_PINS
    if unknown:
        raise ValueError(f"unknown pins {sorted(unknown)}")
    rng = np.random.default_rng(seed)
    cfg_pins = {k: v for k, v in pins.items() if k in _CONFIG_PINS | {"kv_group", "feedforward",
                                                                         "spell"}}
    cfg = random_v1_config(rng, **cfg_pins)
    linear_format = pins.get("linear_format")
    if linear_format is None:
        prequant = pins.get("prequant", bool(rng.random() < 0.5))
        linear_format = "prequant" if prequant else str(rng.choice(["f32", "bf16", "f16", "i8"]))
    float_format = pins.get("float_format", "f32" if rng.random() < 0.7
                            else str(rng.choice(["bf16", "f16"])))
    contrastive = pins.get("contrastive", bool(rng.random() < 0.5))
    if contrastive is True:
        contrastive = (int(rng.integers(4, 33)), int(rng.integers(2, 17)))
    contrastive = tuple(contrastive) if contrastive else None
    scores = pins.get("scores", bool(rng.random() < 0.8))
    crlf = pins.get("crlf", bool(rng.random() < 0.2))
    lines = pins.get("vocab_lines", cfg.vocab_size)
    weights = random_v1_weights(cfg, seed=int(rng.integers(2**31)), contrastive=contrastive)
    data = write_v1(cfg, weights, linear_format=linear_format, float_format=float_format)
    pieces, piece_scores = demo_v1_vocab(lines)
    vocab_text = write_vocab(pieces, piece_scores if scores else None, crlf=crlf)
    info = {"seed": seed, "linear_format": linear_format, "float_format": float_format,
            "contrastive": contrastive, "metadata": cfg.to_metadata(), "weights": weights,
            "scores": scores, "crlf": crlf, "vocab_lines": lines}
    return RandomV1(data, vocab_text, cfg, info)


# ---------------------------------------------------------------- benchmark model

def realistic_v1_config() -> V1Config:
    return V1Config(d_model=512, num_heads=8, num_kv_heads=4, num_encoder_layers=12,
                    num_decoder_layers=8, ffn_dim=2048, no_feedforward=False, vocab_size=8192,
                    max_enc_len=1024, max_dec_len=512, activation="relu2", rope_theta=10000.0)


def write_realistic_v1(out_dir, seed: int = 0) -> int:
    """Benchmark-size model (pre-quantised 4-bit linears, F32 elsewhere) as
    out_dir/model.safetensors and out_dir/vocab.txt. Returns the weight bytes."""
    cfg = realistic_v1_config()
    weights = random_v1_weights(cfg, seed=seed)
    data = write_v1(cfg, weights, linear_format="prequant")
    _write_pair(out_dir, data, write_vocab(*demo_v1_vocab(cfg.vocab_size)))
    return len(data)


def _write_pair(out_dir, data: bytes, vocab_text: str):
    os.makedirs(out_dir, exist_ok=True)
    with open(os.path.join(out_dir, "model.safetensors"), "wb") as f:
        f.write(data)
    with open(os.path.join(out_dir, "vocab.txt"), "w", encoding="utf-8", newline="") as f:
        f.write(vocab_text)


def _write_random(out_dir, seed: int) -> str:
    r = random_v1_container(seed)
    _write_pair(out_dir, r.weights_bytes, r.vocab_text)
    info = {k: v for k, v in r.info.items() if k != "weights"}
    return f"{len(r.weights_bytes)} weight bytes, {r.cfg}, {info}"


def main(argv=None) -> int:
    return writer_main(argv, "python -m vorpel_writer.v1",
                       "write first-generation test models (OUT_DIR/model.safetensors + OUT_DIR/vocab.txt)",
                       "OUT_DIR", write_realistic_v1, _write_random, unit="weight bytes")

if __name__ == "__main__":
    sys.exit(main())
