"""Evaluate a second-generation container on the held-out split through `vorpel_rs.V2Engine`.

    python training/evaluate.py models/demo-v2.trov --examples 200

Prints a table, on held-out slot values with held-out and with training query templates:
exact-match accuracy of the tool call (name and arguments compared as JSON),
valid-JSON rate, abstention accuracy, each with and without constrained decoding; the
constrained runs' rate of tool names outside the offered list; `retrieve_tools` top-1
accuracy; and the confidence head's AUC for right vs corrupted completions.
"""
from __future__ import annotations

import argparse
import json
import pathlib
import random
import sys

HERE = pathlib.Path(__file__).resolve().parent
sys.path.insert(0, str(HERE))
import task  # noqa: E402


def parse_call(payload):
    if payload is None:
        return None
    try:
        return json.loads(payload)
    except ValueError:
        return None


def auc(pos: list[float], neg: list[float]) -> float:
    """Probability that a right completion scores above a wrong one (ties count half)."""
    wins = 0.0
    for p in pos:
        for n in neg:
            wins += 1.0 if p > n else 0.5 if p == n else 0.0
    return wins / max(1, len(pos) * len(neg))


def evaluate(engine, n: int = 200, seed: int = 1234, log=None, held_out_templates: bool = True) -> dict:
    """Metrics on `n` held-out examples (held-out slot values; held-out query templates unless
    `held_out_templates` is False)."""
    import train  # for corrupt() and tool_description()

    examples = task.TaskGenerator("test", seed, held_out_templates=held_out_templates).examples(n)
    metrics = {}
    for constrain in (False, True):
        exact = valid = abst_total = abst_right = outside = named = 0
        for ex in examples:
            # The constraint's scanner reads names only from compact `"name":"...` fields; the
            # compact form gives the same prompt, since the prompt compacts the JSON anyway.
            tools = json.dumps(json.loads(ex.tools_json), separators=(",", ":")) if constrain else ex.tools_json
            result = engine.generate(ex.query, tools, max_new_tokens=96, constrain=constrain)
            call = parse_call(result["tool_call"])
            if call is not None:
                valid += 1
            if ex.tool is None:
                abst_total += 1
                if call == []:
                    abst_right += 1
                    exact += 1
            elif isinstance(call, dict) and call.get("name") == ex.tool and call.get("arguments") == ex.arguments:
                exact += 1
            if isinstance(call, dict) and "name" in call:
                named += 1
                if call["name"] not in ex.offered:
                    outside += 1
            if log is not None:
                log.write(json.dumps({"constrain": constrain, "query": ex.query, "want": ex.completion,
                                      "got": result["text"]}) + "\n")
        tag = "constrained" if constrain else "free"
        metrics[f"exact_match_{tag}"] = exact / len(examples)
        metrics[f"valid_json_{tag}"] = valid / len(examples)
        metrics[f"abstention_{tag}"] = abst_right / max(1, abst_total)
        metrics[f"names_outside_offered_{tag}"] = outside / max(1, named)
    # Retrieval: the query against the descriptions of the offered tools.
    hits = total = 0
    for ex in examples:
        if ex.tool is None:
            continue
        descs = [train.tool_description(name) for name in ex.offered]
        ranked = engine.retrieve_tools(ex.query, descs, 1)
        total += 1
        hits += bool(ranked) and ex.offered[ranked[0][0]] == ex.tool
    metrics["retrieve_top1"] = hits / max(1, total)
    # Confidence: right completions against corrupted ones.
    rng = random.Random(seed)
    pos, neg = [], []
    for ex in examples[: min(len(examples), 100)]:
        p = engine.confidence_for(ex.query, ex.tools_json, ex.completion)
        q = engine.confidence_for(ex.query, ex.tools_json, train.corrupt(ex, rng))
        if p is not None and q is not None:
            pos.append(p)
            neg.append(q)
    metrics["confidence_auc"] = auc(pos, neg) if pos else float("nan")
    return metrics


def main():
    import vorpel_rs

    ap = argparse.ArgumentParser()
    ap.add_argument("container")
    ap.add_argument("--examples", type=int, default=200)
    ap.add_argument("--seed", type=int, default=1234)
    ap.add_argument("--log")
    a = ap.parse_args()
    engine = vorpel_rs.V2Engine.load(a.container)
    log = open(a.log, "w") if a.log else None
    held = evaluate(engine, a.examples, a.seed, log)
    seen = evaluate(engine, a.examples, a.seed, log, held_out_templates=False)
    width = max(len(k) for k in held)
    print(f"| {'metric':<{width}} | held-out values and templates | held-out values, training templates |")
    print(f"|{'-' * (width + 2)}|---|---|")
    for k, v in held.items():
        print(f"| {k:<{width}} | {v:.3f} | {seen[k]:.3f} |")


if __name__ == "__main__":
    main()
