import os, struct, sys
sys.path.insert(0, "/work/main/python")
from vorpel_writer.v2 import random_v2_container, demo_tokenizer_blob
out = sys.argv[1]
for d in ("trov", "v2_bundle", "sp_tokenizer", "cq", "tools"):
    os.makedirs(os.path.join(out, d), exist_ok=True)
def put(d, name, data):
    with open(os.path.join(out, d, name), "wb") as f:
        f.write(data)
for seed in range(12):
    r = random_v2_container(seed, vocab=None)
    if len(r.data) < 60000:
        put("v2_bundle", f"seed{seed}", r.data)
        put("trov", f"v2_{seed}", b"\0" + r.data)
    else:
        print("skip", seed, len(r.data))
blob = demo_tokenizer_blob(300)
texts = [b"Hello world", b'{"name": "get_weather", "arguments": {"city": "Paris"}}', "caf\u00e9 \u2581x <|im_start|>".encode(), b"\xff\xfe abc"]
for i, t in enumerate(texts):
    put("sp_tokenizer", f"t{i}", struct.pack("<I", len(blob)) + blob + t)
from vorpel_writer.cq import quantize_cq, DEFAULT_CODEBOOK
import numpy as np
rng = np.random.default_rng(0)
cb = struct.pack("<28f", *DEFAULT_CODEBOOK)
for i, (rows, cols, bits, block) in enumerate([(3, 20, 4, 8), (5, 33, 3, 16), (2, 64, 2, 32), (4, 10, "ternary", 8)]):
    b = quantize_cq(rng.standard_normal((rows, cols)).astype(np.float32), bits=bits, block=block)
    code = {2: 2, 3: 3, 4: 4, "ternary": 5}[bits]
    put("cq", f"c{i}", struct.pack("<IIBB", rows, cols, block, code) + cb + b.data)
tools = [b'[{"type":"function","function":{"name":"getWeather","parameters":{"type":"object","properties":{"city":{"type":"string"},"unit":{"type":"string"}}}}}]\xff<tool_call>{"name": "get_weather", "arguments": {"city": "Paris", "unit": "c"}}</tool_call>',
         b'{"name":"JSONParser","parameters":{"properties":{"text":{}}}}\xff<think> hm </think>{"name":"json_parser","arguments":{"text":"a\\"b"}}']
for i, t in enumerate(tools):
    put("tools", f"t{i}", t)
from vorpel_writer.trov import TrovWriter
for ver in (2, 3):
    w = TrovWriter(version=ver)
    w.add_f32(np.arange(6, dtype=np.float32).reshape(2, 3))
    w.add_f16(np.arange(4, dtype=np.float32))
    w.add_cq(rng.standard_normal((3, 20)).astype(np.float32), bits=3, block=8)
    w.add_bytes(b"abc")
    put("trov", f"small_v{ver}", bytes([ver - 2]) + w.to_bytes())
