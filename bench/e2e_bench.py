"""End-to-end engine timings from Python against the `vorpel run` CLI, same query, same run.

    VORPEL_BUILD_DIR=build PYTHONPATH=build/python:python .venv/bin/python bench/e2e_bench.py
    ... bench/e2e_bench.py --generation v3 [--kv-int8] [--depth N]

Builds the realistic-size second-generation container when it is missing (vocabulary 49152,
d_model 576, 30 layers, 4-bit CQ). Reports time to first token (from the call until the first
streaming callback), decode tokens/s, and the Python layer's overhead: the difference between
generating N and 0 new tokens is taken in-process and through the CLI, so load time and process
start-up cancel out of the comparison.
"""
from __future__ import annotations

import argparse
import json
import os
import pathlib
import subprocess
import sys
import time

ROOT = pathlib.Path(__file__).resolve().parents[1]
BUILD = pathlib.Path(os.environ.get("VORPEL_BUILD_DIR", ROOT / "build"))

QUERY = "What's the weather like in Lisbon today, and will I need an umbrella this evening?"
TOOLS = json.dumps([
    {"name": "get_weather", "description": "Get the current weather for a city",
     "parameters": {"type": "object", "properties": {"city": {"type": "string"}}, "required": ["city"]}},
    {"name": "set_timer", "description": "Start a countdown timer",
     "parameters": {"type": "object", "properties": {"minutes": {"type": "integer"}}, "required": ["minutes"]}},
    {"name": "send_email", "description": "Send an email",
     "parameters": {"type": "object", "properties": {"to": {"type": "string"}, "subject": {"type": "string"}}}},
])


def best(fn, rounds):
    times = []
    for _ in range(rounds):
        t0 = time.perf_counter()
        fn()
        times.append(time.perf_counter() - t0)
    return min(times)


def run_v3(a, model, rounds):
    """Third generation: generate() always produces at least one token (0 means the default
    budget), so time to first token is generate(max_new_tokens=1) and the decode rate is taken
    between 1 and N + 1 tokens, in-process and through the CLI alike."""
    import vorpel_rs

    t0 = time.perf_counter()
    engine = (vorpel_rs.V3Engine.load_with_depth(str(model), a.depth) if a.depth
              else vorpel_rs.V3Engine.load(str(model)))
    load_s = time.perf_counter() - t0
    n = a.tokens

    def gen(k):
        return engine.generate(QUERY, TOOLS, max_new_tokens=k, kv_int8=a.kv_int8)

    made = len(gen(n + 1)["token_ids"])
    ttft = best(lambda: gen(1), rounds)
    py_n = best(lambda: gen(n + 1), rounds)
    cli = BUILD / "cli" / "vorpel"
    tools_file = BUILD / "bench" / "e2e_tools.json"
    tools_file.write_text(TOOLS)
    extra = (["--depth", str(a.depth)] if a.depth else []) + (["--kv-int8"] if a.kv_int8 else [])

    def run_cli(k):
        subprocess.run([str(cli), "run", str(model), "--query", QUERY, "--tools-file", str(tools_file),
                        "--max-new-tokens", str(k)] + extra, check=True, stdout=subprocess.DEVNULL)

    cli_n = best(lambda: run_cli(n + 1), rounds)
    cli_1 = best(lambda: run_cli(1), rounds)
    steps = made - 1
    py_decode, cli_decode = py_n - ttft, cli_n - cli_1
    threads = os.environ.get("RAYON_NUM_THREADS", "default")
    print(f"threads={threads} model={model.name} blocks={engine.num_layers} kv_int8={a.kv_int8} "
          f"load={load_s:.2f}s generated={made}")
    print(f"time to first token (generate, 1 token): {ttft * 1000:.1f} ms")
    print(f"decode, {steps} tokens: python {steps / py_decode:.1f} tok/s, cli {steps / cli_decode:.1f} tok/s, "
          f"python/cli time ratio {py_decode / cli_decode:.3f}")


def main():
    ap = argparse.ArgumentParser()
    ap.add_argument("--generation", choices=["v2", "v3"], default="v2")
    ap.add_argument("--model", default=None)
    ap.add_argument("--tokens", type=int, default=32)
    ap.add_argument("--rounds", type=int, default=3)
    ap.add_argument("--kv-int8", action="store_true", help="third generation: int8 key/value cache")
    ap.add_argument("--depth", type=int, default=0, help="third generation: ladder rung (0 = every block)")
    a = ap.parse_args()
    model = pathlib.Path(a.model or BUILD / "bench" / f"{a.generation}_realistic.trov")
    if not model.exists():
        model.parent.mkdir(parents=True, exist_ok=True)
        subprocess.run([sys.executable, "-m", f"vorpel_writer.{a.generation}", "--realistic", str(model)],
                       check=True)
    if a.generation == "v3":
        return run_v3(a, model, a.rounds)
    if not model.exists():
        model.parent.mkdir(parents=True, exist_ok=True)
        subprocess.run([sys.executable, "-m", "vorpel_writer.v2", "--realistic", str(model)], check=True)
    import vorpel_rs

    threads = os.environ.get("RAYON_NUM_THREADS", "default")
    t0 = time.perf_counter()
    engine = vorpel_rs.V2Engine.load(str(model))
    load_s = time.perf_counter() - t0

    # Time to first token: prompt build, encode, prefill and the first choice.
    first = []

    def stream():
        start = time.perf_counter()
        first.clear()

        def cb(token_id, piece):
            if not first:
                first.append(time.perf_counter() - start)
        engine.run_stream(QUERY, TOOLS, cb)

    stream()
    ttft = min(first) if first else float("nan")
    for _ in range(a.rounds - 1):
        stream()
        ttft = min(ttft, first[0]) if first else ttft

    n = a.tokens
    py_n = best(lambda: engine.generate(QUERY, TOOLS, max_new_tokens=n, temperature=0.0), a.rounds)
    py_0 = best(lambda: engine.generate(QUERY, TOOLS, max_new_tokens=0), a.rounds)
    prompt_tokens = engine.generate(QUERY, TOOLS, max_new_tokens=0)["prompt_tokens"]
    cli = BUILD / "cli" / "vorpel"
    tools_file = BUILD / "bench" / "e2e_tools.json"
    tools_file.write_text(TOOLS)

    def run_cli(k):
        subprocess.run([str(cli), "run", str(model), "--query", QUERY, "--tools-file", str(tools_file),
                        "--max-new-tokens", str(k)], check=True, stdout=subprocess.DEVNULL)

    cli_n = best(lambda: run_cli(n), a.rounds)
    cli_0 = best(lambda: run_cli(0), a.rounds)
    py_decode, cli_decode = py_n - py_0, cli_n - cli_0
    print(f"threads={threads} model={model.name} load={load_s:.2f}s prompt_tokens={prompt_tokens}")
    print(f"time to first token (run_stream): {ttft * 1000:.1f} ms")
    print(f"decode, {n} tokens: python {n / py_decode:.1f} tok/s, cli {n / cli_decode:.1f} tok/s, "
          f"python/cli time ratio {py_decode / cli_decode:.3f}")
    print(f"whole generate({n}) in-process {py_n * 1000:.1f} ms; cli process incl. load {cli_n * 1000:.1f} ms")


if __name__ == "__main__":
    main()
