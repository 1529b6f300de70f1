"""Train the demo second-generation model on the synthetic tool-calling task (CPU, float32).

    python training/train.py --out training/runs/demo --minutes 55

Trains the language model on prompt -> completion (loss on the completion and its end-of-turn
marker only), the contrastive head on query vs the right tool's description (in-batch
negatives) and the confidence head on right vs corrupted completions. Saves a checkpoint that
`export.py` writes into a container.
"""
from __future__ import annotations

import argparse
import dataclasses
import json
import math
import pathlib
import random
import shutil
import sys
import time

import sentencepiece as spm
import torch
import torch.nn.functional as F

HERE = pathlib.Path(__file__).resolve().parent
sys.path.insert(0, str(HERE))
import task  # noqa: E402
import tokenizer as tok_train  # noqa: E402
from model import Geometry, V2Torch  # noqa: E402

CONTRASTIVE, CONFIDENCE = 1, 2


def compact(tools_json: str) -> str:
    """The prompt's whitespace compaction: drop tab/LF/CR/space outside JSON strings."""
    out, in_str, esc = [], False, False
    for ch in tools_json:
        if in_str:
            out.append(ch)
            if esc:
                esc = False
            elif ch == "\\":
                esc = True
            elif ch == '"':
                in_str = False
        elif ch in "\t\n\r ":
            continue
        else:
            out.append(ch)
            if ch == '"':
                in_str = True
    return "".join(out)


def build_prompt(query: str, tools_json: str) -> str:
    return ("<|im_start|>user\n<tools>" + compact(tools_json) + "</tools>\n" + query + "<|im_end|>\n"
            "<|im_start|>assistant\n")


def tool_description(name: str) -> str:
    t = next(t for t in task.TOOLS if t.name == name)
    return f"{t.name}: {t.description}"


class Encoder:
    def __init__(self, model_file: str):
        self.sp = spm.SentencePieceProcessor(model_file=model_file)
        self.bos = self.sp.bos_id()
        self.im_end = self.sp.piece_to_id("<|im_end|>")
        self.tool_call = self.sp.piece_to_id("<tool_call>")
        self.pad = self.sp.pad_id()

    def prompt_and_completion(self, prompt: str, completion: str) -> tuple[list[int], list[int]]:
        p = self.sp.encode(prompt)
        full = self.sp.encode(prompt + completion)
        # The prompt ends in a line feed and every completion starts with a marker piece, so the
        # whole text encodes as the prompt's pieces followed by the completion's.
        assert full[: len(p)] == p, "prompt pieces are not a prefix of the whole text's pieces"
        return [self.bos] + p, full[len(p):] + [self.im_end]

    def text(self, text: str) -> list[int]:
        return [self.bos] + self.sp.encode(text)


def corrupt(ex: task.Example, rng: random.Random) -> str:
    """A plausible wrong completion: another offered tool, or a wrong argument value."""
    if ex.tool is None:
        other = rng.choice(ex.offered)
        return f'<tool_call>{{"name":"{other}","arguments":{{}}}}</tool_call>'
    args = dict(ex.arguments)
    choice = rng.random()
    if choice < 0.4 and len(ex.offered) > 1:
        name = rng.choice([n for n in ex.offered if n != ex.tool])
    else:
        name = ex.tool
        tool = next(t for t in task.TOOLS if t.name == ex.tool)
        param = rng.choice(tool.params)
        if param.pool == "unit_pair":
            value = rng.choice(task.UNIT_PAIRS)[rng.randint(0, 1)]
        else:
            value = task.draw_value(param.pool, rng)
        args[param.name] = param.transform(value) if param.transform else value
    if choice > 0.85:
        return "<tool_call>[]</tool_call>"
    return "<tool_call>" + json.dumps({"name": name, "arguments": args}, separators=(",", ":"),
                                      ensure_ascii=False) + "</tool_call>"


def pad_batch(seqs: list[list[int]], pad: int) -> tuple[torch.Tensor, torch.Tensor]:
    T = max(len(s) for s in seqs)
    toks = torch.full((len(seqs), T), pad, dtype=torch.long)
    mask = torch.zeros((len(seqs), T), dtype=torch.bool)
    for i, s in enumerate(seqs):
        toks[i, : len(s)] = torch.tensor(s)
        mask[i, : len(s)] = True
    return toks, mask


def lm_batch(enc: Encoder, examples: list[task.Example]):
    seqs, starts = [], []
    for ex in examples:
        p, c = enc.prompt_and_completion(build_prompt(ex.query, ex.tools_json), ex.completion)
        seqs.append(p + c)
        starts.append(len(p))
    toks, mask = pad_batch(seqs, enc.pad)
    targets = torch.full_like(toks, -100)
    for i, (s, st) in enumerate(zip(seqs, starts)):
        targets[i, st - 1: len(s) - 1] = toks[i, st: len(s)]
    return toks, targets


def head_mask(toks: torch.Tensor, lengths: list[int], pad: int) -> torch.Tensor:
    pos = torch.arange(toks.shape[1])[None, :]
    return (pos < torch.tensor(lengths)[:, None]) & (toks != pad)


def main():
    ap = argparse.ArgumentParser()
    ap.add_argument("--out", default=str(HERE / "runs" / "demo"))
    ap.add_argument("--minutes", type=float, default=55.0)
    ap.add_argument("--batch", type=int, default=8)
    ap.add_argument("--lr", type=float, default=3e-3)
    ap.add_argument("--d-model", type=int, default=192)
    ap.add_argument("--layers", type=int, default=4)
    ap.add_argument("--vocab", type=int, default=4000)
    ap.add_argument("--seed", type=int, default=0)
    ap.add_argument("--threads", type=int, default=2)
    ap.add_argument("--resume", help="continue from this checkpoint (its tokenizer, geometry, weights)")
    ap.add_argument("--warmup", type=int, default=100)
    a = ap.parse_args()
    torch.manual_seed(a.seed)
    torch.set_num_threads(a.threads)
    out = pathlib.Path(a.out)
    out.mkdir(parents=True, exist_ok=True)
    prior_steps = prior_seconds = 0
    if a.resume:
        import export

        model, ck = export.load_checkpoint(a.resume)
        model.train()
        geom, heads = model.geom, model.head_specs
        model_file = str(out / "tok.model")
        if pathlib.Path(ck["tokenizer"]).resolve() != pathlib.Path(model_file).resolve():
            shutil.copyfile(ck["tokenizer"], model_file)
        enc = Encoder(model_file)
        prior_steps, prior_seconds = ck["steps"], ck["seconds"]
    else:
        model_file = tok_train.train(str(out / "tok"), a.vocab)
        enc = Encoder(model_file)
        geom = Geometry(vocab=enc.sp.get_piece_size(), d_model=a.d_model, num_layers=a.layers,
                        num_heads=a.d_model // 32, num_kv_heads=2 if (a.d_model // 32) % 2 == 0 else 1,
                        hada_n=1 << (a.d_model - 1).bit_length())
        heads = [(CONTRASTIVE, 2, 64), (CONFIDENCE, 2, 1)]
        model = V2Torch(geom, heads)
    opt = torch.optim.AdamW(model.parameters(), lr=a.lr, weight_decay=0.01, betas=(0.9, 0.98))
    gen = task.TaskGenerator("train", a.seed + 1)
    rng = random.Random(a.seed + 2)
    deadline = time.time() + a.minutes * 60
    start = time.time()
    step = 0
    log = open(out / "train.log", "w")

    def save():
        torch.save({"geometry": dataclasses.asdict(geom), "heads": heads, "state": model.state_dict(),
                    "tokenizer": model_file, "steps": prior_steps + step,
                    "seconds": prior_seconds + time.time() - start},
                   out / "checkpoint.pt")

    last_save = time.time()
    # The two heads train on alternate steps; the log shows each one's latest loss.
    loss_c = loss_k = torch.tensor(0.0)
    while time.time() < deadline:
        frac = (time.time() - start) / (deadline - start)
        lr = a.lr * min(1.0, (step + 1) / max(1, a.warmup)) * (0.5 * (1 + math.cos(math.pi * min(frac, 1.0))) * 0.95 + 0.05)
        for group in opt.param_groups:
            group["lr"] = lr
        examples = gen.examples(a.batch)
        toks, targets = lm_batch(enc, examples)
        logits = model(toks)
        loss_lm = F.cross_entropy(logits.reshape(-1, logits.shape[-1]), targets.reshape(-1), ignore_index=-100)
        loss = loss_lm
        if step % 2 == 0:
            # Contrastive: queries of real calls against their tools' descriptions.
            calls = [ex for ex in examples if ex.tool is not None]
            if len(calls) >= 2:
                q = [enc.text(ex.query) for ex in calls]
                dsc = [enc.text(tool_description(ex.tool)) for ex in calls]
                seqs = q + dsc
                t, _ = pad_batch(seqs, enc.pad)
                _, hidden = model(t, observe=True)
                emb = model.head_output(0, hidden, head_mask(t, [len(s) for s in seqs], enc.pad))
                eq, ed = emb[: len(calls)], emb[len(calls):]
                sim = eq @ ed.T / 0.05
                same = torch.tensor([[a_.tool == b_.tool for b_ in calls] for a_ in calls], dtype=torch.bool)
                sim = sim.masked_fill(same & ~torch.eye(len(calls), dtype=torch.bool), -1e4)
                loss_c = F.cross_entropy(sim, torch.arange(len(calls)))
                loss = loss + 0.5 * loss_c
        else:
            # Confidence: right completion (label 1) vs a corrupted one (label 0).
            texts, labels = [], []
            for ex in examples[: max(2, a.batch // 2)]:
                prompt = build_prompt(ex.query, ex.tools_json)
                texts.append(enc.text(prompt + ex.completion))
                labels.append(1.0)
                texts.append(enc.text(prompt + corrupt(ex, rng)))
                labels.append(0.0)
            t, _ = pad_batch(texts, enc.pad)
            _, hidden = model(t, observe=True)
            logit = model.head_output(1, hidden, head_mask(t, [len(s) for s in texts], enc.pad))[:, 0]
            loss_k = F.binary_cross_entropy_with_logits(logit, torch.tensor(labels))
            loss = loss + 0.5 * loss_k
        opt.zero_grad()
        loss.backward()
        torch.nn.utils.clip_grad_norm_(model.parameters(), 1.0)
        opt.step()
        if step % 20 == 0:
            line = (f"step {step} t={time.time() - start:.0f}s lr={lr:.2e} lm={loss_lm.item():.4f} "
                    f"contrastive={loss_c.item():.4f} confidence={loss_k.item():.4f}")
            print(line, flush=True)
            log.write(line + "\n")
            log.flush()
        step += 1
        if time.time() - last_save > 600:  # a cut-off run still leaves a recent checkpoint
            save()
            last_save = time.time()
    save()
    print(f"saved {out / 'checkpoint.pt'} after {step} steps")


if __name__ == "__main__":
    main()
