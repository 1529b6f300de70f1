"""Held-out accuracy of one checkpoint at float and exported at several CQ bit widths.

    python training/quant_table.py training/runs/demo/checkpoint.pt --examples 100

Prints a markdown table for the model card. Every row has `completion_exact`: the share of
held-out examples whose target completion after the tool-call marker (the call, the closing
marker and end of turn) is the argmax at every position under teacher forcing. The PyTorch
model computes it, at float on the checkpoint's own weights and otherwise on the container's
dequantised weights. That is "greedy decoding reproduces the target call" (given the data's
optional think block, a coin toss that is not scored), so the float row needs no engine. The
quantised rows add the engine's metrics (exact match of the call free and constrained, valid
JSON, abstention, retrieval top-1, confidence AUC).
"""
from __future__ import annotations

import argparse
import pathlib
import sys
import tempfile

import torch

HERE = pathlib.Path(__file__).resolve().parent
sys.path.insert(0, str(HERE))
import evaluate  # noqa: E402
import export  # noqa: E402
import task  # noqa: E402
import train  # noqa: E402


def completion_exact(model, enc: train.Encoder, examples) -> float:
    hits = 0
    with torch.no_grad():
        for ex in examples:
            p, c = enc.prompt_and_completion(train.build_prompt(ex.query, ex.tools_json), ex.completion)
            ids = p + c
            logits = model(torch.tensor([ids]))[0]
            # Position i predicts token i + 1: the completion's tokens from the prompt's last one on.
            pred = logits[len(p) - 1: len(ids) - 1].argmax(-1)
            # After the call marker: whether a short think block comes first is the data's coin
            # toss, so neither the first token nor the think text is scored.
            start = c.index(enc.tool_call) + 1 if enc.tool_call in c else 0
            hits += bool(torch.equal(pred[start:], torch.tensor(c[start:])))
    return hits / max(1, len(examples))


def main():
    import vorpel_rs

    ap = argparse.ArgumentParser()
    ap.add_argument("checkpoint")
    ap.add_argument("--examples", type=int, default=100)
    ap.add_argument("--bits", default="float,4,3,2,ternary")
    ap.add_argument("--seed", type=int, default=1234)
    a = ap.parse_args()
    model, ck = export.load_checkpoint(a.checkpoint)
    enc = train.Encoder(ck["tokenizer"])
    examples = task.TaskGenerator("test", a.seed).examples(a.examples)
    cols = ["exact_match_free", "exact_match_constrained", "valid_json_free", "abstention_free",
            "retrieve_top1", "confidence_auc"]
    print("| weights | size | completion_exact | " + " | ".join(cols) + " |")
    print("|---" * (len(cols) + 3) + "|")
    with tempfile.TemporaryDirectory() as tmp:
        for b in a.bits.split(","):
            if b == "float":
                size = sum(p.numel() for p in model.parameters()) * 4
                print(f"| float32 | {size / 1e6:.2f} MB | {completion_exact(model, enc, examples):.3f} | "
                      + " | ".join("-" for _ in cols) + " |", flush=True)
                continue
            bits = b if b == "ternary" else int(b)
            path = pathlib.Path(tmp) / f"m{b}.trov"
            data = export.export(a.checkpoint, str(path), bits=bits)
            ce = completion_exact(export.model_from_container(data), enc, examples)
            m = evaluate.evaluate(vorpel_rs.V2Engine.load(str(path)), a.examples, a.seed)
            print(f"| CQ {b} | {len(data) / 1e6:.2f} MB | {ce:.3f} | " + " | ".join(f"{m[c]:.3f}" for c in cols)
                  + " |", flush=True)


if __name__ == "__main__":
    main()
