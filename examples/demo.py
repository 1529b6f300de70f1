"""A walk through the vorpel_rs module on a small second-generation model.

The model's weights are RANDOM (written by vorpel_writer with a seed), so the
generated text is noise: the demo shows the calls and the shapes of their
results, not a trained model's answers.

    make demo
    # or: PYTHONPATH=build/python:python python examples/demo.py
"""
import json
import os
import pathlib
import sys
import time

import vorpel_rs
from vorpel_writer import v2 as v2w

ROOT = pathlib.Path(__file__).resolve().parents[1]
BUILD = pathlib.Path(os.environ.get("VORPEL_BUILD_DIR", ROOT / "build"))
MODEL = BUILD / "demo" / "demo_v2.trov"

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


def main() -> int:
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
    return 0


if __name__ == "__main__":
    sys.exit(main())
