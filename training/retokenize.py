"""Move a trained model onto a word-piece tokenizer without training it again from scratch.

    python training/retokenize.py training/checkpoints/demo-v2.pt training/runs/wp-init.pt --vocab 6000

A word-piece tokenizer has no pieces that glue the space marker to a word (see
`tokenizer.drop_space_pieces`), so a value splits into the same pieces in the query and in the
call. The new tokenizer is a BPE model trained afresh on the task's text with `--vocab`
pieces, less the dropped ones; `--vocab 0` drops them from the checkpoint's own tokenizer
instead, which keeps every other piece and its trained embedding row as it is.

Each new piece starts from the old embedding of the same text where the old tokenizer has it,
otherwise from the mean of the old rows of its text's longest-match split over the old pieces
(byte pieces where nothing longer matches). The engram tables are zeroed: they are indexed by
hashes of token ids, which all move, and a zero table adds nothing until training fills it. The
body of the model, mHC and heads are kept. The result is a compact checkpoint that
`train.py --resume` continues from.
"""
from __future__ import annotations

import argparse
import dataclasses
import pathlib
import sys

import sentencepiece as spm
import torch

HERE = pathlib.Path(__file__).resolve().parent
sys.path.insert(0, str(HERE))
import export  # noqa: E402
import tokenizer as tok_train  # noqa: E402
from model import V2Torch  # noqa: E402

SPACE = tok_train.SPACE


def byte_piece(b: int) -> str:
    return f"<0x{b:02X}>"


def split_over(text: str, pieces: dict[str, int], byte_ids: dict[str, int]) -> list[int]:
    """Ids of `text` split greedily into the longest pieces of `pieces`, bytes where none fits."""
    ids, at = [], 0
    while at < len(text):
        for n in range(len(text) - at, 0, -1):
            if text[at:at + n] in pieces:
                ids.append(pieces[text[at:at + n]])
                at += n
                break
        else:
            ids += [byte_ids[byte_piece(b)] for b in text[at].encode("utf-8")]
            at += 1
    return ids


def transplant_rows(old: spm.SentencePieceProcessor, new: spm.SentencePieceProcessor,
                    emb: torch.Tensor) -> tuple[torch.Tensor, int]:
    """New embedding (new vocab, d) from the old one (old vocab, d); also how many new pieces
    had no old piece of the same text."""
    by_text = {old.id_to_piece(i): i for i in range(old.get_piece_size())}
    normal = {p: i for p, i in by_text.items()
              if not (old.is_control(i) or old.is_byte(i) or old.is_unknown(i))}
    byte_ids = {p: i for p, i in by_text.items() if old.is_byte(i)}
    rows, fresh = [], 0
    for i in range(new.get_piece_size()):
        text = new.id_to_piece(i)
        if text in by_text:
            rows.append(emb[by_text[text]])
            continue
        fresh += 1
        ids = split_over(text, normal, byte_ids)
        rows.append(emb[ids].mean(0))
    return torch.stack(rows), fresh


def retokenize(model: V2Torch, old_file: str, new_file: str) -> tuple[V2Torch, int]:
    old = spm.SentencePieceProcessor(model_file=old_file)
    new = spm.SentencePieceProcessor(model_file=new_file)
    geom = dataclasses.replace(model.geom, vocab=new.get_piece_size())
    out = V2Torch(geom, model.head_specs)
    state = {k: v.clone() for k, v in model.state_dict().items()}
    state["embedding"], fresh = transplant_rows(old, new, state["embedding"])
    for name in state:
        if name.startswith("engrams.") and name.endswith(".tables"):
            state[name].zero_()
    out.load_state_dict(state)
    return out, fresh


def main():
    ap = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    ap.add_argument("checkpoint")
    ap.add_argument("out")
    ap.add_argument("--vocab", type=int, default=0,
                    help="pieces of the fresh BPE model before the space pieces are dropped (0: drop them "
                         "from the checkpoint's own tokenizer)")
    a = ap.parse_args()
    model, ck = export.load_checkpoint(a.checkpoint)
    out = pathlib.Path(a.out)
    out.parent.mkdir(parents=True, exist_ok=True)
    prefix = str(out.with_suffix("")) + "-tok"
    if a.vocab:
        new_file = tok_train.train(prefix, a.vocab, word_pieces=True)
    else:
        new_file = prefix + ".model"
        pathlib.Path(new_file).write_bytes(tok_train.drop_space_pieces(pathlib.Path(ck["tokenizer"]).read_bytes()))
    moved, fresh = retokenize(model, ck["tokenizer"], new_file)
    size = export.write_compact(moved, dict(ck, tokenizer=new_file), out)
    print(f"{out}: vocabulary {model.geom.vocab} -> {moved.geom.vocab} ({fresh} pieces new), {size} bytes")


if __name__ == "__main__":
    main()
