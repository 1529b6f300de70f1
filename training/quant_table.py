"""Held-out accuracy of one checkpoint exported at several CQ bit widths.

    python training/quant_table.py training/runs/demo/checkpoint.pt --examples 100

Prints a markdown table (bits, container size, exact match free/constrained, valid JSON,
abstention, retrieval top-1, confidence AUC) for the model card.
"""
from __future__ import annotations

import argparse
import pathlib
import sys
import tempfile

HERE = pathlib.Path(__file__).resolve().parent
sys.path.insert(0, str(HERE))
import evaluate  # noqa: E402
import export  # noqa: E402


def main():
    import vorpel_rs

    ap = argparse.ArgumentParser()
    ap.add_argument("checkpoint")
    ap.add_argument("--examples", type=int, default=100)
    ap.add_argument("--bits", default="4,3,2,ternary")
    a = ap.parse_args()
    cols = ["exact_match_free", "exact_match_constrained", "valid_json_free", "abstention_free",
            "retrieve_top1", "confidence_auc"]
    print("| bits | size | " + " | ".join(cols) + " |")
    print("|---" * (len(cols) + 2) + "|")
    with tempfile.TemporaryDirectory() as tmp:
        for b in a.bits.split(","):
            bits = b if b == "ternary" else int(b)
            path = pathlib.Path(tmp) / f"m{b}.trov"
            data = export.export(a.checkpoint, str(path), bits=bits)
            m = evaluate.evaluate(vorpel_rs.V2Engine.load(str(path)), a.examples)
            print(f"| {b} | {len(data) / 1e6:.2f} MB | " + " | ".join(f"{m[c]:.3f}" for c in cols) + " |",
                  flush=True)


if __name__ == "__main__":
    main()
