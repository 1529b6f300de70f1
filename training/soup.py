"""Interpolate the weights of two checkpoints of one model (a "model soup").

A run resumed from checkpoint A on new data learns the new shapes at some cost to the old; a
point on the straight line between A and the resumed checkpoint B often keeps most of both.

    python training/soup.py A.pt B.pt OUT.pt --alpha 0.5     # OUT = (1 - alpha) A + alpha B

Both checkpoints must share geometry, heads and tokenizer (B resumed from A). OUT is compact
(f16, tokenizer inside, no optimiser state) and carries B's steps and arguments.
"""

import argparse
import pathlib
import sys

sys.path.insert(0, str(pathlib.Path(__file__).resolve().parent))

from export import load_checkpoint, write_compact  # noqa: E402


def soup(state_a: dict, state_b: dict, alpha: float) -> dict:
    """(1 - alpha) A + alpha B, tensor by tensor; the two must hold the same names and shapes."""
    if state_a.keys() != state_b.keys() or any(state_a[k].shape != state_b[k].shape for k in state_b):
        raise ValueError("soup: the checkpoints hold different tensors")
    return {k: (1 - alpha) * state_a[k] + alpha * state_b[k] for k in state_b}


def main():
    ap = argparse.ArgumentParser(description=__doc__.split("\n")[0])
    ap.add_argument("a")
    ap.add_argument("b")
    ap.add_argument("out")
    ap.add_argument("--alpha", type=float, default=0.5, help="weight of B (0 gives A, 1 gives B)")
    args = ap.parse_args()
    model_a, ck_a = load_checkpoint(args.a)
    model_b, ck_b = load_checkpoint(args.b)
    if ck_a["geometry"] != ck_b["geometry"] or ck_a["heads"] != ck_b["heads"]:
        sys.exit("soup: the checkpoints differ in geometry or heads")
    if pathlib.Path(ck_a["tokenizer"]).read_bytes() != pathlib.Path(ck_b["tokenizer"]).read_bytes():
        sys.exit("soup: the checkpoints use different tokenizers")
    model_b.load_state_dict(soup(model_a.state_dict(), model_b.state_dict(), args.alpha))
    print(f"wrote {args.out}: {write_compact(model_b, ck_b, args.out)} bytes")


if __name__ == "__main__":
    main()
