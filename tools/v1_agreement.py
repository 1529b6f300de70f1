"""Agreement of the C++ first-generation engine with the numpy reference over a
table of configurations, through the development probe (tools/v1_probe.cpp).

    python tools/v1_agreement.py build/v1_probe

Prints, per configuration: the worst encoder-output and decoder-logit error
relative to the largest reference magnitude, whether the greedy ids and the
result texts agree (with the reference's logit margin where they part), and
the contrastive and retrieval agreement.
"""
from __future__ import annotations

import os
import subprocess
import sys
import tempfile

import numpy as np

ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
sys.path[:0] = [os.path.join(ROOT, "python"), os.path.join(ROOT, "tests")]

from reference import v1 as ref  # noqa: E402
from vorpel_writer.v1 import random_v1_container, write_v1  # noqa: E402

WEATHER = ('[{"name": "get_weather", "description": "weather for a city", "parameters": '
           '{"type": "object", "properties": {"city": {"type": "string"}, "unit": {"type": "string"}}}}]')
ALIASED = ('[{"name":"sendEmail","parameters":{"properties":{"to":{},"message":{}}}},'
           ' {"name":"Get-Time","parameters":{"date":{},"strict":true}}]')
QUERIES = [
    ("what is the weather in Paris today", WEATHER),
    ("send an email to me please and find the file", ALIASED),
    ("", ""),
    ("how many", "not json at all"),
]
DESCS = ["weather for a city", "send an email message", "   ", "find a file", "weather for a city"]

# (label, pins of random_v1_container)
CONFIGS = [
    ("relu, f32, no ffn, kv 1:1", dict(activation=0, linear_format="f32", feedforward=False, kv_group=1)),
    ("relu, prequant, ffn, kv 2:1", dict(activation=0, prequant=True, feedforward=True, kv_group=2)),
    ("swiglu, prequant, ffn, kv 4:1", dict(activation=1, prequant=True, feedforward=True, kv_group=4)),
    ("geglu, bf16, ffn, kv 2:1", dict(activation=2, linear_format="bf16", feedforward=True, kv_group=2)),
    ("geglu, f16, no ffn, kv 4:1", dict(activation=2, linear_format="f16", feedforward=False, kv_group=4)),
    ("swiglu, i8, ffn, kv 1:1", dict(activation=1, linear_format="i8", feedforward=True, kv_group=1)),
    ("relu, prequant, enc limit 3", dict(activation=0, prequant=True, max_enc_len=3, feedforward=True)),
    ("swiglu, f32, enc limit 4", dict(activation=1, linear_format="f32", max_enc_len=4)),
    ("geglu, prequant, contrastive", dict(activation=2, prequant=True, contrastive=(16, 8))),
    ("relu, f32, contrastive, no scores", dict(activation=0, linear_format="f32", contrastive=(8, 5),
                                               scores=False)),
    ("spelled metadata, contrastive", dict(spell=True, contrastive=True)),
    ("swiglu, prequant, bf16 floats", dict(activation=1, prequant=True, float_format="bf16")),
]


def h(s: str) -> str:
    return "h" + s.encode("utf-8").hex()


class Probe:
    def __init__(self, exe, weights, vocab):
        self.p = subprocess.Popen([exe, weights, vocab], stdin=subprocess.PIPE, stdout=subprocess.PIPE,
                                  stderr=subprocess.DEVNULL, text=True)
        first = self.p.stdout.readline().strip()
        if first != "ok":
            raise RuntimeError(first)

    def ask(self, line, n):
        self.p.stdin.write(line + "\n")
        self.p.stdin.flush()
        return [self.p.stdout.readline().rstrip("\n") for _ in range(n)]

    def close(self):
        self.p.stdin.close()
        self.p.wait()


def rows(lines):
    return np.array([[float(v) for v in ln.split()] for ln in lines], dtype=np.float64)


def rel(a, b):
    scale = max(float(np.max(np.abs(b))) if b.size else 0.0, 1e-30)
    return float(np.max(np.abs(a - b))) / scale if b.size else 0.0


def compare(exe, label, pins, seed, endless):
    r = random_v1_container(seed, **pins)
    weights_bytes = r.weights_bytes
    if endless:
        # Random decoders tend to repeat their input token, and the start token
        # is the end token: a zero embedding row keeps its logit at 0, so
        # generation runs to max_dec_len.
        w = dict(r.info["weights"])
        w["embedding"] = w["embedding"].copy()
        w["embedding"][ref.START_ID] = 0
        weights_bytes = write_v1(r.cfg, w, linear_format=r.info["linear_format"],
                                 float_format=r.info["float_format"])
    model = ref.V1Reference(weights_bytes, r.vocab_text)
    with tempfile.TemporaryDirectory() as d:
        wp, vp = os.path.join(d, "w.safetensors"), os.path.join(d, "v.txt")
        open(wp, "wb").write(weights_bytes)
        open(vp, "w", encoding="utf-8", newline="").write(r.vocab_text)
        probe = Probe(exe, wp, vp)
        enc_err = dec_err = 0.0
        ids_same = texts_same = total = generated = 0
        notes = []
        for q, tools in QUERIES:
            total += 1
            parsed = ref.parse_tools(tools)
            aliases = [(t.name, t.norm) for t in parsed if t.name != t.norm]
            tool_text = ref.compact_outside_strings(ref.rewrite_tool_names(tools, aliases) if aliases else tools)
            enc_ids = model.encoder_input(q, tool_text)
            want_ids, want_text = model.run(q, tools)
            got = probe.ask(f"run {h(q)} {h(tools)}", 2)
            got_ids = [int(v) for v in got[0].split()]
            got_text = bytes.fromhex(got[1][1:]).decode("utf-8", "replace")
            ids_same += got_ids == want_ids
            generated += len(want_ids)
            texts_same += got_text == want_text
            if not enc_ids:
                continue
            e_ref = model.encoder(enc_ids)
            e_got = rows(probe.ask("enc " + " ".join(map(str, enc_ids)), len(enc_ids)))
            enc_err = max(enc_err, rel(e_got, e_ref))
            # Past max_dec_len the self caches are full: the steps still agree.
            extra = list(np.random.default_rng(seed).integers(0, model.cfg.vocab_size, 4))
            dec = [ref.START_ID] + want_ids + extra
            l_ref = model.decoder_logits(enc_ids, dec)
            l_got = rows(probe.ask("dec " + " ".join(map(str, enc_ids)) + " | " + " ".join(map(str, dec)), len(dec)))
            dec_err = max(dec_err, rel(l_got, l_ref))
            if got_ids != want_ids:
                k = next((i for i, (a, b) in enumerate(zip(got_ids, want_ids)) if a != b),
                         min(len(got_ids), len(want_ids)))
                lg = np.sort(l_ref[min(k, len(l_ref) - 1)])[::-1]
                notes.append(f"ids part at {k} (reference top-2 margin {lg[0] - lg[1]:.2e})")
        con = ""
        if model.head is not None:
            errs = []
            for t in ["weather for a city", "  ", "send email to the user " * 30]:
                want = model.encode_contrastive(t)
                got = probe.ask(f"con {h(t)}", 1)[0]
                errs.append(float(np.max(np.abs(rows([got])[0] - want))) if want.size else 0.0)
            want_r = model.retrieve_tools("weather in Paris", DESCS, 4)
            got_r = probe.ask(f"ret 4 {h('weather in Paris')} " + " ".join(h(x) for x in DESCS), 1)[0].split()
            got_idx = [int(got_r[i]) for i in range(0, len(got_r), 2)]
            con = (f", contrastive max err {max(errs):.1e}, retrieval order "
                   f"{'same' if got_idx == [i for i, _ in want_r] else 'DIFFERS'}")
        probe.close()
    label = label + (", endless" if endless else "")
    print(f"{label:46s} seed {seed}: encoder {enc_err:.1e}, logits {dec_err:.1e}, "
          f"greedy ids {ids_same}/{total} ({generated} tokens), texts {texts_same}/{total}{con}"
          + ("; " + "; ".join(notes) if notes else ""))
    return enc_err, dec_err, ids_same == total and texts_same == total


def main():
    exe = sys.argv[1] if len(sys.argv) > 1 else os.path.join(ROOT, "build", "v1_probe")
    seeds = int(sys.argv[2]) if len(sys.argv) > 2 else 1
    worst_e = worst_d = 0.0
    all_same = True
    for label, pins in CONFIGS:
        for seed in range(1, seeds + 1):
          for endless in (False, True):
            e, dl, same = compare(exe, label, pins, seed, endless)
            worst_e, worst_d, all_same = max(worst_e, e), max(worst_d, dl), all_same and same
    print(f"worst encoder {worst_e:.1e}, worst logits {worst_d:.1e}, greedy all same: {all_same}")


if __name__ == "__main__":
    main()
