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
import task  # noqa: E402

MARKERS = ["<|im_start|>", "<|im_end|>", "<tools>", "</tools>", "<tool_call>", "</tool_call>",
           "<think>", "</think>"]


def train(out_prefix: str, vocab_size: int = 4000, n_examples: int = 6000, seed: int = 7) -> str:
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
    return out_prefix + ".model"


if __name__ == "__main__":
    ap = argparse.ArgumentParser()
    ap.add_argument("--out", default="training/runs/tok")
    ap.add_argument("--vocab", type=int, default=4000)
    a = ap.parse_args()
    pathlib.Path(a.out).parent.mkdir(parents=True, exist_ok=True)
    print(train(a.out, a.vocab))
