"""Accuracy of one checkpoint at float and exported at several CQ bit widths, on the synthetic
held-out split and on the hand-written natural queries.

    python training/quant_table.py training/runs/demo/best.pt --examples 100

Prints two markdown tables for the model card. Every row has `completion_exact`: the share of
examples whose target completion after the tool-call marker (the call, the closing marker and
end of turn; from the first token for a model that names the tool in a think block first) is
the argmax at every position under teacher forcing; on the natural queries, over those that
expect a call. The PyTorch model computes
it, at float on the checkpoint's own weights and otherwise on the container's dequantised
weights. That is "greedy decoding reproduces the target call" (given the data's optional think
block, a coin toss that is not scored), so the float row needs no engine. The quantised rows
add the engine's metrics.
"""
from __future__ import annotations

import argparse
import json
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


def completion_exact(model, enc: train.Encoder, examples, from_start: bool = False) -> float:
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
            start = 0 if from_start else c.index(enc.tool_call) + 1 if enc.tool_call in c else 0
            hits += bool(torch.equal(pred[start:], torch.tensor(c[start:])))
    return hits / max(1, len(examples))


def natural_examples(rows, think_name: bool = False) -> list[task.Example]:
    """The natural queries that expect a call, as examples: the expected arguments in the
    catalogue's order (the order the model writes them in), after <think>NAME</think> for a
    model trained to name the tool first."""
    out = []
    for r in rows:
        want = r["expected"]
        if want == []:
            continue
        order = [p.name for p in task.BY_NAME[want["name"]].params]
        args = {k: want["arguments"][k] for k in order}
        completion = "<tool_call>" + json.dumps({"name": want["name"], "arguments": args}, separators=(",", ":"),
                                                ensure_ascii=False) + "</tool_call>"
        if think_name:
            completion = f"<think>{want['name']}</think>" + completion
        out.append(task.Example(r["query"], evaluate.natural_tools_json(r["tools"]), completion, want["name"], args,
                                r["tools"]))
    return out


def main():
    ap = argparse.ArgumentParser()
    ap.add_argument("checkpoint")
    ap.add_argument("--examples", type=int, default=100)
    ap.add_argument("--bits", default="float,4,3,2,ternary")
    ap.add_argument("--seed", type=int, default=1234)
    a = ap.parse_args()
    import vorpel_rs  # after the arguments: --help works without the module on the path

    model, ck = export.load_checkpoint(a.checkpoint)
    enc = train.Encoder(ck["tokenizer"])
    think = bool(ck.get("args", {}).get("think_name"))
    examples = task.TaskGenerator("test", a.seed, think_name=think).examples(a.examples)
    rows = evaluate.load_natural()
    natural = natural_examples(rows, think)
    removed = evaluate.natural_without_tool(rows)
    syn_cols = ["exact_match_free", "exact_match_constrained", "valid_json_free", "abstention_free",
                "retrieve_top1", "confidence_auc"]
    nat_cols = ["exact", "right_tool", "valid_json", "abstention", "max_tokens"]
    syn_lines = ["| weights | size | completion_exact | " + " | ".join(syn_cols) + " |",
                 "|---" * (len(syn_cols) + 3) + "|"]
    nat_lines = ["| weights | completion_exact | " + " | ".join(f"{c} (constrained)" for c in nat_cols)
                 + " | abstention, tool removed |", "|---" * (len(nat_cols) + 3) + "|"]
    with tempfile.TemporaryDirectory() as tmp:
        for b in a.bits.split(","):
            if b == "float":
                size = sum(p.numel() for p in model.parameters()) * 4
                syn_lines.append(f"| float32 | {size / 1e6:.2f} MB | {completion_exact(model, enc, examples, think):.3f} | "
                                 + " | ".join("-" for _ in syn_cols) + " |")
                nat_lines.append(f"| float32 | {completion_exact(model, enc, natural, think):.3f} | "
                                 + " | ".join("-" for _ in nat_cols) + " | - |")
                print(syn_lines[-1], nat_lines[-1], sep="\n", flush=True)
                continue
            bits = b if b == "ternary" else int(b)
            path = pathlib.Path(tmp) / f"m{b}.trov"
            data = export.export(a.checkpoint, str(path), bits=bits)
            dq = export.model_from_container(data)
            engine = vorpel_rs.V2Engine.load(str(path))
            m = evaluate.evaluate(engine, a.examples, a.seed, think_name=think)
            syn_lines.append(f"| CQ {b} | {len(data) / 1e6:.2f} MB | {completion_exact(dq, enc, examples, think):.3f} | "
                             + " | ".join(f"{m[c]:.3f}" for c in syn_cols) + " |")
            n = evaluate.evaluate_natural(engine, rows, constrain=True)
            r = evaluate.evaluate_natural(engine, removed, constrain=True)
            nat_lines.append(f"| CQ {b} | {completion_exact(dq, enc, natural, think):.3f} | "
                             + " | ".join(str(n[c]) if c == "max_tokens" else f"{n[c]:.3f}" for c in nat_cols)
                             + f" | {r['abstention']:.3f} |")
            print(syn_lines[-1], nat_lines[-1], sep="\n", flush=True)
    print("\nsynthetic held-out split (held-out values and templates):")
    print("\n".join(syn_lines))
    print(f"\nnatural queries ({len(rows)}; tool removed: {len(removed)}):")
    print("\n".join(nat_lines))


if __name__ == "__main__":
    main()
