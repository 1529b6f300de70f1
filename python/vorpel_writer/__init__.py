"""vorpel_writer: build .trov containers and CQ-quantised weights from numpy.

    from vorpel_writer import TrovWriter, quantize_cq, dequantize_cq
"""
from .cq import (CqBlob, DEFAULT_CODEBOOK, TERNARY_CODE, bits_code_of, codebook_for, cq_sizes,
                 dequantize_cq, fwht_normalised, quantize_cq)
from .trov import (DTYPE_BYTES, DTYPE_CQ, DTYPE_F16, DTYPE_F32, HEADER_FIELDS, TAG_V2, TAG_V3,
                   TrovWriter)
from .tokenizer import (KIND_BYTE, KIND_CONTROL, KIND_NORMAL, KIND_UNKNOWN, KIND_USER_DEFINED,
                        Piece, build_tokenizer_blob, byte_pieces, from_sentencepiece)
from . import trov_read
from . import v2

__all__ = [
    "CqBlob", "DEFAULT_CODEBOOK", "TERNARY_CODE", "bits_code_of", "codebook_for", "cq_sizes",
    "dequantize_cq", "fwht_normalised", "quantize_cq", "TrovWriter", "HEADER_FIELDS", "TAG_V2",
    "TAG_V3", "DTYPE_F16", "DTYPE_F32", "DTYPE_CQ", "DTYPE_BYTES", "trov_read", "v2",
    "Piece", "KIND_NORMAL", "KIND_CONTROL", "KIND_UNKNOWN", "KIND_USER_DEFINED", "KIND_BYTE",
    "build_tokenizer_blob", "byte_pieces", "from_sentencepiece",
]
