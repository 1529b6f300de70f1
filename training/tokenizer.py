"""Train the demo model's SentencePiece BPE tokenizer on the task's own text.

Byte fallback is on and the chat and tool markers are user-defined pieces, so the engine's
piece tokenizer (which implements the same BPE merge rule) reproduces SentencePiece's ids when
the normaliser is the identity and white space is kept as written.
"""
from __future__ import annotations

import argparse
import io
import pathlib
import sys

import sentencepiece as spm

sys.path.insert(0, str(pathlib.Path(__file__).resolve().parent))
sys.path.insert(0, str(pathlib.Path(__file__).resolve().parent.parent / "python"))
import task  # noqa: E402
from vorpel_writer.tokenizer import varint  # noqa: E402

MARKERS = ["<|im_start|>", "<|im_end|>", "<tools>", "</tools>", "<tool_call>", "</tool_call>",
           "<think>", "</think>"]


SPACE = "\u2581"


def drop_space_pieces(model: bytes) -> bytes:
    """The SentencePiece model without the pieces that join the word-boundary marker to a word
    ("\u2581Paris"), only the marker alone kept. A word then splits into the same pieces whether
    or not a space comes before it, so a value in the query ("in Paris") and the same value in
    the call (`"city":"Paris"`) share their pieces and the model copies ids instead of spelling.
    Encoding only merges pairs whose concatenation is a piece, so nothing can rebuild a dropped
    one. (The model is a protobuf message; its field 1 holds the pieces, field 1 of a piece its
    text; every other field is copied through.)"""
    out, pos = bytearray(), 0
    while pos < len(model):
        start = pos
        key, pos = varint(model, pos)
        wire = key & 7
        if wire == 0:
            _, pos = varint(model, pos)
        elif wire == 1:
            pos += 8
        elif wire == 5:
            pos += 4
        elif wire == 2:
            n, pos = varint(model, pos)
            body = model[pos:pos + n]
            pos += n
            if key >> 3 == 1:
                k, at = varint(body, 0)
                assert k == (1 << 3) | 2, "a piece message starts with its text"
                m, at = varint(body, at)
                text = body[at:at + m].decode("utf-8")
                if SPACE in text and text != SPACE:
                    continue
        else:
            raise ValueError(f"wire type {wire} in a SentencePiece model")
        out += model[start:pos]
    return bytes(out)


def train(out_prefix: str, vocab_size: int = 4000, n_examples: int = 6000, seed: int = 7,
          word_pieces: bool = False) -> str:
    """Trains a BPE model of `vocab_size` pieces; with `word_pieces` the pieces that glue the
    space marker to a word are then dropped (about two in five), see `drop_space_pieces`."""
    lines = task.corpus_lines(n_examples, seed)
    lines += ["<|im_start|>user", "<|im_start|>assistant", "<|im_start|>system"]
    spm.SentencePieceTrainer.train(
        sentence_iterator=iter(lines),
        model_prefix=out_prefix,
        model_type="bpe",
        vocab_size=vocab_size,
        character_coverage=1.0,
        byte_fallback=True,
        normalization_rule_name="identity",
        remove_extra_whitespaces=False,
        add_dummy_prefix=True,
        split_digits=True,
        user_defined_symbols=MARKERS,
        pad_id=0, unk_id=3, bos_id=2, eos_id=1,
        max_sentence_length=8192,
        num_threads=2,
    )
    if word_pieces:
        path = pathlib.Path(out_prefix + ".model")
        path.write_bytes(drop_space_pieces(path.read_bytes()))
    return out_prefix + ".model"


if __name__ == "__main__":
    ap = argparse.ArgumentParser()
    ap.add_argument("--out", default="training/runs/tok")
    ap.add_argument("--vocab", type=int, default=4000)
    a = ap.parse_args()
    pathlib.Path(a.out).parent.mkdir(parents=True, exist_ok=True)
    print(train(a.out, a.vocab))
