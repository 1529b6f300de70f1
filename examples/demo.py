"""A walk through the vorpel_rs module on a small second-generation model.

With the trained demo model in models/demo-v2.trov the demo answers tool-calling
queries (the call, its confidence, the best tool by retrieval, declining when no
offered tool fits, one streamed answer). Without it, it writes a model with
RANDOM weights (vorpel_writer, seeded), whose text is noise: it then shows the
calls and the shapes of their results only.

    make demo                        # installs the module into .venv, then runs this
    .venv/bin/python examples/demo.py
"""
import json
import os
import pathlib
import sys
import time

import vorpel_rs
from v3_demo import show_third_generation
from vorpel_writer import v2 as v2w

ROOT = pathlib.Path(__file__).resolve().parents[1]
BUILD = pathlib.Path(os.environ.get("VORPEL_BUILD_DIR", ROOT / "build"))
MODEL = BUILD / "demo" / "demo_v2.trov"
TRAINED = ROOT / "models" / "demo-v2.trov"

TOOLS = json.dumps([
    {"name": "get_weather", "description": "Current weather for a city",
     "parameters": {"type": "object", "properties": {"city": {"type": "string"}}, "required": ["city"]}},
    {"name": "send_email", "description": "Send an email",
     "parameters": {"type": "object",
                    "properties": {"to": {"type": "string"}, "body": {"type": "string"}},
                    "required": ["to", "body"]}},
], indent=2)


def write_model(path: pathlib.Path) -> None:
    geom = v2w.V2Geometry(vocab=1024, d_model=64, num_heads=4, num_kv_heads=2, num_layers=4, head_dim=16,
                          max_seq_len=1024, mhc_lanes=4, engram_sites=[1, 2], table_rows=256,
                          sub_dim=16, num_tables=4, orders=[1, 2])
    weights = v2w.random_v2_weights(geom, seed=2024, heads=[(1, 2, 32), (2, 2, 1)])
    data = v2w.write_v2(geom, weights, bits=4, block=64, tokenizer_blob=v2w.demo_tokenizer_blob(geom.vocab),
                        quantizer=v2w.fast_quantize_cq)
    path.parent.mkdir(parents=True, exist_ok=True)
    tmp = path.with_suffix(".tmp")
    tmp.write_bytes(data)
    tmp.replace(path)


def trained_demo(path: pathlib.Path) -> int:
    engine = vorpel_rs.V2Engine.load(str(path))
    print(f"trained demo model {path.relative_to(ROOT)}: {engine.config()}\n")
    catalogue = [
        {"name": "get_weather", "description": "Get the current weather for a city",
         "parameters": {"type": "object", "properties": {"city": {"type": "string", "description": "City name"}},
                        "required": ["city"]}},
        {"name": "set_timer", "description": "Start a countdown timer",
         "parameters": {"type": "object",
                        "properties": {"minutes": {"type": "integer", "description": "Duration in minutes"}},
                        "required": ["minutes"]}},
        {"name": "convert_currency", "description": "Convert an amount of money between currencies",
         "parameters": {"type": "object", "properties": {
             "amount": {"type": "number", "description": "Amount to convert"},
             "from_currency": {"type": "string", "description": "Source currency code"},
             "to_currency": {"type": "string", "description": "Target currency code"}},
             "required": ["amount", "from_currency", "to_currency"]}},
    ]
    tools = json.dumps(catalogue, separators=(",", ":"))
    descriptions = [f"{t['name']}: {t['description']}" for t in catalogue]
    # The last two need a tool that is not offered: the model should decline with [].
    queries = ["What's the weather in Oslo?", "Set a timer for 25 minutes.", "Convert 120 EUR to JPY.",
               "Tell me a joke.", "Turn the lights on in the kitchen."]
    for query in queries:
        t0 = time.perf_counter()
        result = engine.generate(query, tools, max_new_tokens=96, constrain=True)
        dt = time.perf_counter() - t0
        best = engine.retrieve_tools(query, descriptions, 1)
        conf = engine.confidence_for(query, tools, result["text"])
        print(f"Q: {query}")
        print(f"  tool_call: {result['tool_call']}   ({len(result['token_ids'])} tokens, {dt * 1000:.0f} ms,"
              f" {result['stop_reason']})")
        if result["thinking"]:
            print(f"  thinking: {result['thinking']}")
        print(f"  confidence: {conf:.3f}   best tool by retrieval: {catalogue[best[0][0]]['name']}"
              f" ({best[0][1]:.3f})")
    query = "How much is 300 GBP in USD?"
    print(f"\nstreaming {query!r}: ", end="", flush=True)
    engine.run_stream(query, tools, lambda token_id, piece: print(piece, end="", flush=True))
    print()
    return 0


def main() -> int:
    if TRAINED.exists() and "--random" not in sys.argv:
        status = trained_demo(TRAINED)
        show_third_generation()
        return status
    if MODEL.exists():
        print(f"reusing the demo model {MODEL}")
        try:
            engine = vorpel_rs.V2Engine.load(str(MODEL))
        except OSError as e:  # written by an older writer: write it again
            print(f"  it does not load ({e}); writing it again")
            MODEL.unlink()
    if not MODEL.exists():
        print(f"writing a random demo model to {MODEL}")
        write_model(MODEL)
        engine = vorpel_rs.V2Engine.load(str(MODEL))
    print("NOTE: the weights are random, so every generated text below is noise.\n")
    print("config:", engine.config())

    query = "What's the weather like in Lisbon today?"
    for settings in (dict(max_new_tokens=32, temperature=2.0, seed=7), dict(max_new_tokens=64, constrain=True)):
        t0 = time.perf_counter()
        result = engine.generate(query, TOOLS, **settings)
        dt = time.perf_counter() - t0
        shown = ", ".join(f"{k}={v!r}" for k, v in settings.items())
        print(f"\ngenerate({query!r}, tools, {shown}) took {dt * 1000:.1f} ms:")
        for key, value in result.items():
            print(f"  {key}: {value!r}")

    query2 = "Email Ana that the meeting moved to 3pm"
    print(f"\nrun_stream({query2!r}, tools), greedy; the first 40 pieces as they arrive (repr, separated by |):")
    pieces = []

    def on_token(token_id: int, piece: str) -> None:
        pieces.append(piece)
        if len(pieces) <= 40:
            sys.stdout.write(repr(piece)[1:-1] + "|")
            sys.stdout.flush()

    text = engine.run_stream(query2, TOOLS, on_token)
    print(f"\n  {len(pieces)} callbacks, {len(text)} characters returned")

    print("\nheads (also random):")
    print("  contrastive_dim:", engine.contrastive_dim())
    ranked = engine.retrieve_tools(query, ["Current weather for a city", "Send an email"], 2)
    print("  retrieve_tools:", [(i, round(s, 4)) for i, s in ranked])
    print("  confidence_for:", engine.confidence_for(query, TOOLS, result["text"]))
    show_third_generation()
    return 0


if __name__ == "__main__":
    sys.exit(main())
