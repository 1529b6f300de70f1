"""Evaluate a second-generation container through `vorpel_rs.V2Engine`, on the hand-written
natural queries of `natural_heldout.jsonl` and on the synthetic held-out split.

    python training/evaluate.py models/demo-v2.trov --examples 200

Prints the natural queries' table (exact calls, right tool, valid JSON, abstention, answers
that ran to the token budget; constrained and free), then, on held-out slot values with held-out and with training query templates:
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


def evaluate(engine, n: int = 200, seed: int = 1234, log=None, held_out_templates: bool = True,
             think_name: bool = False) -> dict:
    """Metrics on `n` held-out examples (held-out slot values; held-out query templates unless
    `held_out_templates` is False). `think_name`: the model names the tool in a think block
    first (the completions the confidence head compares are then written that way)."""
    import train  # for corrupt() and tool_description()

    examples = task.TaskGenerator("test", seed, held_out_templates=held_out_templates,
                                  think_name=think_name).examples(n)
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


NATURAL = HERE / "natural_heldout.jsonl"


def load_natural(path=NATURAL) -> list[dict]:
    """The hand-written natural queries: query, offered tool names, expected call or []."""
    return [json.loads(line) for line in pathlib.Path(path).read_text(encoding="utf-8").splitlines() if line.strip()]


def natural_tools_json(names: list[str]) -> str:
    by_name = {t.name: t for t in task.TOOLS}
    return json.dumps([by_name[n].schema() for n in names], separators=(",", ":"), ensure_ascii=False)


def natural_without_tool(rows=None, seed: int = 99) -> list[dict]:
    """The natural queries that expect a call, with the expected tool taken out of the offered
    list (and the tools that could stand in for it, and the web search): the right answer is
    now no call. Tests that the model reads the offered list rather than its memory."""
    rows = load_natural() if rows is None else rows
    rng = random.Random(seed)
    out = []
    for row in rows:
        if row["expected"] == []:
            continue
        name = row["expected"]["name"]
        banned = {name, "web_search"} | task.ALSO_FITS.get(name, set())
        tools = [t for t in row["tools"] if t not in banned]
        while len(tools) < 2:
            tools.insert(rng.randrange(len(tools) + 1),
                         rng.choice([t.name for t in task.TOOLS if t.name not in banned and t.name not in tools]))
        out.append({**row, "tools": tools, "expected": [], "tags": row.get("tags", []) + ["tool_removed"]})
    return out


def evaluate_natural(engine, rows=None, constrain: bool = True, max_new_tokens: int = 128, log=None) -> dict:
    """Metrics on the natural queries. `exact` counts a call whose name and arguments equal the
    expected ones, and an abstention answered with []; `right_tool` and `false_abstention` are
    over the queries that expect a call, `abstention` over those that expect []; `max_tokens`
    counts answers that ran to the token budget."""
    rows = load_natural() if rows is None else rows
    exact = valid = right = calls = abst = abst_right = false_abst = budget = exact_calls = 0
    for row in rows:
        result = engine.generate(row["query"], natural_tools_json(row["tools"]), max_new_tokens=max_new_tokens,
                                 constrain=constrain)
        call = parse_call(result["tool_call"])
        want = row["expected"]
        valid += call is not None
        budget += result["stop_reason"] == "MaxTokens"
        if want == []:
            abst += 1
            ok = call == []
            abst_right += ok
        else:
            calls += 1
            right += isinstance(call, dict) and call.get("name") == want["name"]
            false_abst += call == []
            ok = isinstance(call, dict) and call.get("name") == want["name"] and call.get("arguments") == want["arguments"]
            exact_calls += ok
        exact += ok
        if log is not None:
            log.write(json.dumps({"id": row["id"], "constrain": constrain, "ok": bool(ok), "query": row["query"],
                                  "want": want, "got": result["text"], "stop": result["stop_reason"]},
                                 ensure_ascii=False) + "\n")
    n = len(rows)
    return {"exact": exact / n, "exact_calls": exact_calls / max(1, calls), "right_tool": right / max(1, calls),
            "valid_json": valid / n, "abstention": abst_right / max(1, abst),
            "false_abstention": false_abst / max(1, calls), "max_tokens": budget, "queries": n}


def main():
    ap = argparse.ArgumentParser()
    ap.add_argument("container")
    ap.add_argument("--examples", type=int, default=200)
    ap.add_argument("--seed", type=int, default=1234)
    ap.add_argument("--log")
    ap.add_argument("--natural-only", action="store_true", help="only the natural query table")
    ap.add_argument("--natural", default=str(NATURAL),
                    help="the natural query file (natural_dev.jsonl and natural_dev2.jsonl choose between models; "
                         "the held-out one reports)")
    ap.add_argument("--think-name", action="store_true", help="the model names the tool in a think block first")
    a = ap.parse_args()
    # Imported after the arguments, so that --help works without the module on the path.
    import vorpel_rs

    engine = vorpel_rs.V2Engine.load(a.container)
    log = open(a.log, "w") if a.log else None
    rows = load_natural(a.natural)
    nat = {c: evaluate_natural(engine, rows, constrain=c, log=log) for c in (True, False)}
    print(f"natural queries ({len(rows)}, {sum(r['expected'] == [] for r in rows)} expect no call):")
    print("| metric | constrained | free |\n|---|---|---|")
    for k in nat[True]:
        if k != "queries":
            fmt = (lambda v: str(v)) if k == "max_tokens" else (lambda v: f"{v:.3f}")
            print(f"| {k} | {fmt(nat[True][k])} | {fmt(nat[False][k])} |")
    removed = {c: evaluate_natural(engine, natural_without_tool(rows), constrain=c)["abstention"] for c in (True, False)}
    print(f"| abstention with the requested tool removed ({len(natural_without_tool(rows))}) | "
          f"{removed[True]:.3f} | {removed[False]:.3f} |")
    if a.natural_only:
        return
    print()
    held = evaluate(engine, a.examples, a.seed, log, think_name=a.think_name)
    seen = evaluate(engine, a.examples, a.seed, log, held_out_templates=False, think_name=a.think_name)
    width = max(len(k) for k in held)
    print(f"| {'metric':<{width}} | held-out values and templates | held-out values, training templates |")
    print(f"|{'-' * (width + 2)}|---|---|")
    for k, v in held.items():
        print(f"| {k:<{width}} | {v:.3f} | {seen[k]:.3f} |")


if __name__ == "__main__":
    main()
