import os, struct, sys
import numpy as np
sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "python"))
from vorpel_writer.v2 import random_v2_container, demo_tokenizer_blob
out = sys.argv[1]
for d in ("trov", "v2_bundle", "v3_model", "sp_tokenizer", "cq", "tools", "safetensors", "vocab", "v1_model"):
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
from vorpel_writer.v3 import random_v3_container
for seed in range(16):
    r = random_v3_container(seed)
    if len(r.data) < 60000:
        put("v3_model", f"seed{seed}", r.data + bytes([seed % 256, 7, (2 * (seed % 4)) | (seed & 1)]))
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
# Safetensors files with every dtype, metadata, an I4 shape mismatch and a pretty-printed header.
import json
def safetensors(tensors, metadata=None, indent=None):
    header, data = {}, b""
    if metadata is not None:
        header["__metadata__"] = metadata
    for name, dtype, shape, payload in tensors:
        header[name] = {"dtype": dtype, "shape": shape, "data_offsets": [len(data), len(data) + len(payload)]}
        data += payload
    text = json.dumps(header, indent=indent).encode()
    return struct.pack("<Q", len(text)) + text + data
put("safetensors", "dtypes", safetensors([
    ("w.f32", "F32", [2, 2], struct.pack("<4f", 1.0, -2.5, 0.0, 3.25)),
    ("w.bf16", "BF16", [3], struct.pack("<3H", 0x3F80, 0xC000, 0x7F80)),
    ("w.f16", "F16", [3], struct.pack("<3H", 0x0001, 0x3C00, 0xFC00)),
    ("w.i8", "I8", [4], bytes([0, 127, 128, 255])),
    ("w.i4", "I4", [2, 3], bytes([0x21, 0xF8, 0x7F])),
    ("w.i4.scale", "F32", [1], struct.pack("<f", 0.5)),
], metadata={"d_model": "8", "num_heads": "2", "no_feedforward": "0", "rope_theta": "10000.0"}))
put("safetensors", "i4_mismatch", safetensors([("q", "I4", [3], bytes([0x12, 0x34]))]))
put("safetensors", "pretty", safetensors([("e", "F32", [], struct.pack("<f", 7.0))], metadata={"a": "b"}, indent=2))
put("safetensors", "empty", struct.pack("<Q", 4) + b" {} ")
# Vocabularies (2-byte length, file text) followed by the text to encode.
M = "\u2581"
greedy = "\n".join(["<pad>", "<s>", "</s>", "<unk>", M, M + "hello", M + "world", "he", "ll", "o", "<0x21>", "\u00e9"]) + "\n"
scored = "\r\n".join(["<pad>\t0", "<s>\t0", "</s>\t0", "<unk>\t0", M + "\t-1", "a\t-1", "b\t-1", "ab\t-0.5",
                      M + "ab\t-2", "aa\t1", "<0xC3>\t-3", "<0xA9>\t-3", "<0xC3><0xA9>\t2", "x\tword", "y\t-inf"]) + "\r\n"
for i, (voc, text) in enumerate([(greedy, "hello  world!"), (greedy, " h\u00e9llo\u3000w\u20ac "),
                                 (scored, "ab aab \u00e9 aaaa"), (scored, "b a\tyx")]):
    v = voc.encode()
    put("vocab", f"v{i}", struct.pack("<H", len(v)) + v + text.encode())
# Small first-generation models (the fuzz target supplies its own vocabulary):
# every linear format, feed-forward on and off, a contrastive head on odd seeds.
from vorpel_writer.v1 import random_v1_container
for seed in range(8):
    r = random_v1_container(seed, vocab_size=24, vocab_lines=300, d_model=16, num_heads=2,
                            kv_group=2 if seed % 2 else 1, max_dec_len=6, num_encoder_layers=1 + seed % 2,
                            num_decoder_layers=1 + (seed // 2) % 2, feedforward=seed % 3 != 0,
                            contrastive=(4, 3) if seed % 2 else False,
                            linear_format=["prequant", "f16", "i8", "bf16"][seed % 4])
    put("v1_model", f"seed{seed}", r.weights_bytes)
