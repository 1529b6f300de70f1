"""vorpel_writer: build .trov containers and CQ-quantised weights from numpy.

    import numpy as np
    from vorpel_writer import TrovWriter, quantize_cq, dequantize_cq

    w = TrovWriter(version=2)
    w.header(vocab=256, d_model=64, num_heads=4, num_kv_heads=2, num_layers=2,
             head_dim=16, max_seq_len=512, hada_n=64, mhc_lanes=2)
    w.add_cq(np.random.randn(256, 64), bits=4, block=64)   # CQ matrix, dtype 3
    w.add_f32(np.zeros(64))                                # float vector, dtype 2
    w.add_bytes(tokenizer_blob)                            # raw bytes, dtype 4
    w.write("model.trov")

    blob = quantize_cq(weights, bits=3, block=32)          # codes + f16 scales
    approx = dequantize_cq(blob)                           # back to float32

Header fields go by name (HEADER_FIELDS lists both versions); add_raw and
set_u32/set_u64/set_f32/set_u8 write anything at all, for crafting broken
files. trov_read.parse reads a container back into plain Python values.
"""
from .cq import (CqBlob, DEFAULT_CODEBOOK, TERNARY_CODE, bits_code_of, codebook_for, cq_sizes,
                 dequantize_cq, fwht_normalised, quantize_cq)
from .trov import (DTYPE_BYTES, DTYPE_CQ, DTYPE_F16, DTYPE_F32, HEADER_FIELDS, TAG_V2, TAG_V3,
                   TrovWriter)
from .tokenizer import (KIND_BYTE, KIND_CONTROL, KIND_NORMAL, KIND_UNKNOWN, KIND_USER_DEFINED,
                        Piece, build_tokenizer_blob, byte_pieces, from_sentencepiece)
from . import trov_read

__all__ = [
    "CqBlob", "DEFAULT_CODEBOOK", "TERNARY_CODE", "bits_code_of", "codebook_for", "cq_sizes",
    "dequantize_cq", "fwht_normalised", "quantize_cq", "TrovWriter", "HEADER_FIELDS", "TAG_V2",
    "TAG_V3", "DTYPE_F16", "DTYPE_F32", "DTYPE_CQ", "DTYPE_BYTES", "trov_read", "v1", "v2", "v3",
    "Piece", "KIND_NORMAL", "KIND_CONTROL", "KIND_UNKNOWN", "KIND_USER_DEFINED", "KIND_BYTE",
    "build_tokenizer_blob", "byte_pieces", "from_sentencepiece",
]


def __getattr__(name):
    # The generation builders load on first use, so that `python -m
    # vorpel_writer.v2` (or .v1, .v3) does not import its module twice.
    import importlib
    if name in ("v1", "v2", "v3"):
        return importlib.import_module("." + name, __name__)
    for gen in ("v2", "v3", "v1"):
        mod = importlib.import_module("." + gen, __name__)
        if name in mod.__all__:
            return getattr(mod, name)
    raise AttributeError(f"module {__name__!r} has no attribute {name!r}")
