"""The third-generation engine in the demo: no trained third-generation model
exists yet, so this part writes a small container with random weights and
shows the V3Engine surface on it (the generated text is noise)."""
import pathlib
import tempfile
import time

import vorpel_rs
from vorpel_writer.v3 import random_v3_container

TOOLS = ('[{"name":"get_weather","description":"Current weather for a city",'
         '"parameters":{"type":"object","properties":{"city":{"type":"string"},"unit":{"type":"string"}}}}]')


def show_third_generation() -> None:
    print("\n== third generation (V3Engine) on a random container: the weights are random, "
          "so the text is noise ==")
    model = random_v3_container(7, num_layers=6, kv_window=16, global_layers=[2, 5], heads=[(2, 2, 2, 1)],
                                max_seq_len=512)
    with tempfile.TemporaryDirectory() as tmp:
        path = pathlib.Path(tmp) / "random-v3.trov"
        path.write_bytes(model.data)
        engine = vorpel_rs.V3Engine.load(str(path))
        rung = vorpel_rs.V3Engine.load_with_depth(str(path), 4)
    print(f"blocks {engine.num_layers} (a rung of {rung.num_layers} loaded from the same file), "
          f"context {engine.max_seq_len} tokens")
    print(f"key/value cache for 300 positions: {engine.kv_bytes(300)} bytes f32, "
          f"{engine.kv_bytes(300, kv_int8=True)} bytes int8")
    query = "What's the weather in Oslo?"
    for kv_int8 in (False, True):
        t0 = time.perf_counter()
        r = engine.generate(query, TOOLS, max_new_tokens=12, kv_int8=kv_int8)
        ms = (time.perf_counter() - t0) * 1000
        print(f"generate(kv_int8={kv_int8}): {r['stop_reason']}, {len(r['token_ids'])} tokens, "
              f"{r['positions']} positions, {ms:.1f} ms")
    result, confidence = engine.run_scored(query, TOOLS)
    print(f"run_scored: stop {result['stop_reason']}, confidence {confidence:.3f}")
    pieces = []
    text = engine.run_stream(query, TOOLS, pieces.append)
    print(f"run_stream: {len(pieces)} pieces, concatenated == returned text: {''.join(pieces) == text}")
    print("reasoning('<think> check the tools </think>...'):",
          repr(vorpel_rs.V3Engine.reasoning("<think> check the tools </think><tool_call>[]</tool_call>")))
