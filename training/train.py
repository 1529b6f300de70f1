"""Train the demo second-generation model on the synthetic tool-calling task (float32, on the
CPU or, with `--device cuda --workers N`, on an accelerator fed by N data processes; see
`device_run.sh`).

    python training/train.py --out training/runs/demo --steps 60000
    python training/train.py --out training/runs/demo --resume training/runs/demo/checkpoint.pt

Trains the language model on prompt -> completion (loss on the completion and its end-of-turn
marker only), the contrastive head on query vs the right tool's description (in-batch
negatives) and the confidence head on right vs corrupted completions. The learning rate follows
the step count (warm-up, then cosine to `--steps`), so a run that is paused or stopped and
resumed follows the same schedule. Every `--save-minutes` the run writes `checkpoint.pt` (with
the optimiser state, for `--resume`), and every `--eval-every` steps it scores a fixed
synthetic held-out set under teacher forcing and keeps the best checkpoint as `best.pt`.
"""
from __future__ import annotations

import argparse
import dataclasses
import json
import math
import multiprocessing
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
import values  # noqa: E402
from model import Geometry, V2Torch  # noqa: E402

CONTRASTIVE, CONFIDENCE = 1, 2


def string_step(ch: str, escaped: bool) -> tuple[bool, bool]:
    """One character inside a JSON string: (still inside the string, the next one escaped)."""
    if escaped:
        return True, False
    if ch == "\\":
        return True, True
    return ch != '"', False


def compact(tools_json: str) -> str:
    """The prompt's whitespace compaction: drop tab/LF/CR/space outside JSON strings."""
    out, in_str, esc = [], False, False
    for ch in tools_json:
        if in_str:
            out.append(ch)
            in_str, esc = string_step(ch, esc)
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
    t = task.BY_NAME[name]
    return f"{t.name}: {t.description}"


class Encoder:
    def __init__(self, model_file: str):
        self.sp = spm.SentencePieceProcessor(model_file=model_file)
        self.bos = self.sp.bos_id()
        self.im_end = self.sp.piece_to_id("<|im_end|>")
        self.tool_call = self.sp.piece_to_id("<tool_call>")
        self.pad = self.sp.pad_id()
        # Each piece's text as it spells the completion: "" for control and unknown pieces, a
        # byte piece (<0x5C>) as its byte, one byte of a multi-byte character as U+FFFD (never
        # structural in JSON).
        self.texts = [self._text_of(i) for i in range(self.sp.get_piece_size())]

    def _text_of(self, i: int) -> str:
        sp = self.sp
        if sp.is_control(i) or sp.is_unknown(i):
            return ""
        piece = sp.id_to_piece(i)
        if sp.is_byte(i):
            b = int(piece[3:5], 16)
            return chr(b) if b < 0x80 else "\ufffd"
        return piece.replace("\u2581", " ")

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
    """A plausible wrong completion: another offered tool, a wrong argument value, or a call
    where an abstention was right (and an abstention where a call was). A think block before
    the call is kept, so that only the call tells right from wrong."""
    think = ex.completion[: ex.completion.index("<tool_call>")]
    return think + _corrupt_call(ex, rng)


def _corrupt_call(ex: task.Example, rng: random.Random) -> str:
    if ex.tool is None:
        other = task.BY_NAME[rng.choice(ex.offered)]
        args = {p.name: (p.transform(v) if p.transform else v)
                for p in other.params for v in [task.draw_value(p.pool if p.pool != "unit" else "unit", rng)]}
        return "<tool_call>" + json.dumps({"name": other.name, "arguments": args}, separators=(",", ":"),
                                          ensure_ascii=False) + "</tool_call>"
    args = dict(ex.arguments)
    choice = rng.random()
    if choice < 0.4 and len(ex.offered) > 1:
        name = rng.choice([n for n in ex.offered if n != ex.tool])
    else:
        name = ex.tool
        param = rng.choice(task.BY_NAME[ex.tool].params)
        value = rng.choice(list(values.UNIT_NAMES)) if param.pool == "unit" else task.draw_value(param.pool, rng)
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


def encode_examples(enc: Encoder, examples: list[task.Example]) -> list[tuple[list[int], int]]:
    """(whole token sequence, prompt length) per example."""
    out = []
    for ex in examples:
        p, c = enc.prompt_and_completion(build_prompt(ex.query, ex.tools_json), ex.completion)
        out.append((p + c, len(p)))
    return out


def lm_batch(encoded: list[tuple[list[int], int]], pad: int, inserted: list[list[int]] | None = None):
    """Tokens, the mask of positions whose next token is scored, and those next tokens. With
    `inserted` (stray positions from `insert_noise`) the token before each stray is scored on
    the clean token after the stray, not on the stray."""
    toks, _ = pad_batch([s for s, _ in encoded], pad)
    select = torch.zeros_like(toks, dtype=torch.bool)
    for i, (s, st) in enumerate(encoded):
        select[i, st - 1: len(s) - 1] = True
    nxt = torch.roll(toks, -1, dims=1)
    for i, at in enumerate(inserted or []):
        for j in at:
            nxt[i, j - 1] = toks[i, j + 1]
    return toks, select, nxt[select]


def decision_weights(encoded: list[tuple[list[int], int]], tool_call: int, weight: float,
                     value_starts: list[int | None] | None = None, value_weight: float = 1.0) -> torch.Tensor:
    """Per scored token: `weight` for the first token after the tool-call marker (call or
    abstain: one token that decides the answer, among some thirty of a call), `value_weight`
    for the tokens of a call's arguments object (from `value_starts`, an index into the
    completion's tokens), 1 elsewhere."""
    out = []
    for k, (s, st) in enumerate(encoded):
        w = [1.0] * (len(s) - st)
        if value_starts is not None and value_starts[k] is not None:
            for i in range(value_starts[k], len(w)):
                w[i] = value_weight
        c = s[st:]
        if tool_call in c and c.index(tool_call) + 1 < len(c):
            w[c.index(tool_call) + 1] = weight
        out.extend(w)
    return torch.tensor(out)


ARGUMENTS = '"arguments":{'


def value_starts(enc: "Encoder", examples: list[task.Example], encoded: list[tuple[list[int], int]]) -> list[int | None]:
    """Index, among each completion's scored tokens, of the first token after `"arguments":{`
    (None for an abstention). The prompt's pieces are a prefix of the whole text's, so encoding
    the prompt with the completion cut after the marker counts the pieces before it. The brace
    can merge with the first key's opening quote, so the weight may start inside the first key;
    every value stays inside it, which is all a loss weight needs."""
    out = []
    for ex, (s, st) in zip(examples, encoded):
        i = ex.completion.find(ARGUMENTS)
        if i < 0:
            out.append(None)
            continue
        head = enc.sp.encode(build_prompt(ex.query, ex.tools_json) + ex.completion[: i + len(ARGUMENTS)])
        # s = [BOS] + prompt pieces + completion pieces; st - 1 prompt pieces precede the completion
        out.append(min(len(s) - st, max(0, len(head) - (st - 1))))
    return out


def noise_values(toks: torch.Tensor, encoded: list[tuple[list[int], int]], starts: list[int | None],
                 rate: float, rng: random.Random, vocab: int, pad: int) -> torch.Tensor:
    """A copy of the batch's tokens where each input token of a call's arguments (from
    `starts`) is, with probability `rate`, replaced by a piece of the example's own prompt,
    a random piece, or the token before it. The targets stay the clean ones, so the model
    learns to carry on with the right value after a wrong piece instead of repeating the
    prompt's markup or a fragment until the token budget runs out."""
    out = toks.clone()
    for k, (s, st) in enumerate(encoded):
        if starts[k] is None:
            continue
        # Inputs st+v .. len(s)-2 are read while predicting argument tokens; the last token's
        # own prediction is never scored.
        for i in range(st + starts[k], len(s) - 1):
            if rng.random() >= rate:
                continue
            t = stray_piece(s, st, int(out[k, i - 1]), rng, vocab, pad)
            if t is not None:
                out[k, i] = t
    return out


def stray_piece(s: list[int], st: int, prev: int, rng: random.Random, vocab: int, pad: int) -> int | None:
    """A wrong piece as the model might emit one inside a value: a piece of the example's own
    prompt (40 %), a random piece (30 %) or `prev` repeated (30 %); None for the padding id."""
    kind = rng.random()
    if kind < 0.4:
        t = s[rng.randrange(1, st)]
    elif kind < 0.7:
        t = rng.randrange(vocab)
    else:
        t = prev
    return None if t == pad else t


def insert_noise(encoded: list[tuple[list[int], int]], starts: list[int | None], rate: float,
                 rng: random.Random, vocab: int, pad: int, max_len: int):
    """Sequences where, after each token of a call's arguments (from `starts`), a stray piece
    is inserted with probability `rate`: a piece of the example's own prompt, a random piece,
    or a repeat of the token it follows. Returns the new (sequence, prompt length) pairs and,
    per example, the positions of the inserted pieces.

    Unlike replacing a piece, an insertion drops nothing from the value: the stray piece's
    target is the token that should have come, and the token before it keeps its clean target
    (`lm_batch` with the stray positions), so the model learns to resume the value where it
    left it rather than to skip ahead, and never to emit the stray piece itself."""
    out, inserted = [], []
    for k, (s, st) in enumerate(encoded):
        if starts[k] is None:
            out.append((s, st))
            inserted.append([])
            continue
        t, at = list(s[: st + starts[k] + 1]), []
        for i in range(st + starts[k], len(s) - 1):
            # Never two strays in a row and never a stray as the last token: each stray's
            # target is the clean token right after it.
            if len(s) + len(at) < max_len and rng.random() < rate:
                w = stray_piece(s, st, s[i], rng, vocab, pad)
                if w is not None:
                    at.append(len(t))
                    t.append(w)
            t.append(s[i + 1])
        out.append((t, st))
        inserted.append(at)
    return out, inserted


def own_strays(logits: torch.Tensor, encoded: list[tuple[list[int], int]], starts: list[int | None],
               pad: int, max_len: int):
    """The batch's examples whose teacher-forced argmax goes wrong inside a call's arguments,
    with that wrong piece inserted where the model would have emitted it. `logits` are the
    scored positions of `lm_batch(encoded)` in order. Returns (sequence, prompt length) pairs
    and, per example, the stray's position, in `insert_noise`'s form.

    Random strays are not the mistakes this model makes; its own first wrong piece is the
    state a budget run starts from, so training it to resume the clean value from there
    targets the runaway answers directly."""
    guess = logits.argmax(-1).tolist()
    out, inserted, off = [], [], 0
    for k, (s, st) in enumerate(encoded):
        n = len(s) - st
        if starts[k] is not None and len(s) < max_len:
            for i in range(starts[k], n):
                w = guess[off + i]
                if w != s[st + i]:
                    if w != pad:
                        out.append((s[: st + i] + [w] + s[st + i:], st))
                        inserted.append([st + i])
                    break
        off += n
    return out, inserted


def quote_pieces(enc: "Encoder") -> torch.Tensor:
    """[vocab] bool: the pieces whose text starts with a double quote, the pieces that can close
    a string value (`"`, `",`, `"}}` ...)."""
    return torch.tensor([text.startswith('"') for text in enc.texts])


def value_end_positions(enc: "Encoder", encoded: list[tuple[list[int], int]],
                        closers: torch.Tensor) -> tuple[list[int], list[bool]]:
    """The scored positions (indices into `lm_batch`'s targets, in order) whose next piece is
    emitted inside a string value of the completion's JSON, each with whether that piece
    closes the value. A string is a value when the last structural character before its
    opening quote is a colon; a backslash escapes the character after it, where the value
    cannot end, so that position is left out. The walk reads each piece's text, so a piece
    that carries a value's last letters and its quote counts as a continuation: only a piece
    that starts with the quote ends the value at its position."""
    rows, closes, off = [], [], 0
    for s, st in encoded:
        in_string = is_value = escaped = False
        last = ""
        for i, t in enumerate(s[st:]):
            if in_string and is_value and not escaped:
                rows.append(off + i)
                closes.append(bool(closers[t]))
            for ch in enc.texts[t]:
                if in_string:
                    in_string, escaped = string_step(ch, escaped)
                elif ch == '"':
                    in_string, is_value = True, last == ":"
                elif not ch.isspace():
                    last = ch
        off += len(s) - st
    return rows, closes


def value_end_loss(logits: torch.Tensor, rows: list[int], closes: list[bool],
                   closers: torch.Tensor) -> torch.Tensor:
    """Binary cross-entropy of "the value ends here" at the positions inside string values:
    the probability of ending is the total of the quote pieces' softmax. Where the language
    model loss spreads a wrong ending's cost over the whole vocabulary, this one grows as
    1 / (1 - p) when the model is sure of a wrong ending (a cut value) and as 1 / p when it
    misses a right one (a runaway), the two ways an answer's JSON breaks."""
    if not rows:
        return logits.new_zeros(())
    lp = logits[rows].log_softmax(-1)
    end = lp[:, closers.to(lp.device)].logsumexp(-1).clamp(max=-1e-6)
    y = torch.tensor(closes, device=lp.device)
    return -torch.where(y, end, torch.log1p(-end.exp())).mean()


def head_mask(toks: torch.Tensor, lengths: list[int], pad: int) -> torch.Tensor:
    pos = torch.arange(toks.shape[1], device=toks.device)[None, :]
    return (pos < torch.tensor(lengths, device=toks.device)[:, None]) & (toks != pad)


def batches(gen: task.TaskGenerator, enc: Encoder, batch: int, pool: int = 16):
    """Endless batches; examples are drawn `pool` batches at a time and grouped by length, so
    a batch pads little."""
    while True:
        examples = gen.examples(batch * pool)
        encoded = encode_examples(enc, examples)
        order = sorted(range(len(examples)), key=lambda i: len(encoded[i][0]))
        groups = [order[k:k + batch] for k in range(0, len(order), batch)]
        random.shuffle(groups)
        for g in groups:
            yield [examples[i] for i in g], [encoded[i] for i in g]


def _produce(seed: int, model_file: str, batch: int, options: dict, queue) -> None:
    """A data worker: its own generator and shuffle, seeded apart from the other workers'."""
    random.seed(seed)
    gen = task.TaskGenerator("train", seed, **options)
    for item in batches(gen, Encoder(model_file), batch):
        queue.put(item)


def parallel_batches(seeds: list[int], model_file: str, batch: int, options: dict):
    """Endless batches from one worker process per seed. On an accelerator the Python data
    generator, not the model, limits the step rate; workers are spawned (not forked), so a
    CUDA context in the parent is never copied."""
    ctx = multiprocessing.get_context("spawn")
    queue = ctx.Queue(maxsize=64 * len(seeds))
    for s in seeds:
        ctx.Process(target=_produce, args=(s, model_file, batch, options, queue), daemon=True).start()
    while True:
        yield queue.get()


@torch.no_grad()
def teacher_forced(model: V2Torch, enc: Encoder, examples: list[task.Example], from_start: bool = False) -> dict:
    """Held-out metrics under teacher forcing, from the tool-call marker on (a think block
    before it is the data's coin toss; with `from_start`, when the think block is the tool's
    name, from the first token): `exact` is the share whose scored tokens, through the closing
    marker and end of turn, are the argmax at every position (what greedy decoding
    reproduces), and `decision` the share whose first token after the marker (call or
    abstention) is right given the tokens before it."""
    model.eval()
    dev = next(model.parameters()).device
    exact = decision = 0
    abst = abst_ok = 0
    encoded = encode_examples(enc, examples)
    for k in range(0, len(examples), 16):
        chunk = encoded[k:k + 16]
        toks, select, nxt = (t.to(dev) for t in lm_batch(chunk, enc.pad))
        pred = model(toks, select=select).argmax(-1)
        at = 0
        for (s, st), ex in zip(chunk, examples[k:k + 16]):
            n = len(s) - st
            p, t = pred[at:at + n], nxt[at:at + n]
            at += n
            c = s[st:]
            start = c.index(enc.tool_call) + 1 if enc.tool_call in c else 0
            ok = bool(torch.equal(p[0 if from_start else start:], t[0 if from_start else start:]))
            exact += ok
            decision += bool(p[start] == t[start])
            if ex.tool is None:
                abst += 1
                abst_ok += bool(p[start] == t[start])
    model.train()
    n = max(1, len(examples))
    return {"exact": exact / n, "decision": decision / n, "abstention": abst_ok / max(1, abst)}


def main():
    ap = argparse.ArgumentParser()
    ap.add_argument("--out", default=str(HERE / "runs" / "demo"))
    ap.add_argument("--steps", type=int, default=60000, help="length of the learning-rate schedule")
    ap.add_argument("--minutes", type=float, default=0.0, help="stop after this much wall time (0: none)")
    ap.add_argument("--batch", type=int, default=8)
    ap.add_argument("--lr", type=float, default=2e-3)
    ap.add_argument("--d-model", type=int, default=192)
    ap.add_argument("--layers", type=int, default=4)
    ap.add_argument("--vocab", type=int, default=4000)
    ap.add_argument("--kv-heads", type=int, default=0, help="key/value heads (0: 2, or 1 for an odd head count)")
    ap.add_argument("--seed", type=int, default=0)
    ap.add_argument("--threads", type=int, default=2)
    ap.add_argument("--device", default="cpu", help="torch device to train on (cpu, cuda)")
    ap.add_argument("--workers", type=int, default=0,
                    help="data generator processes (0: generate in the training process)")
    ap.add_argument("--resume", help="continue from this checkpoint (its tokenizer, geometry, weights, optimiser)")
    ap.add_argument("--warmup", type=int, default=300)
    ap.add_argument("--decay-steps", type=int, default=0,
                    help="constant learning rate, then a cosine decay over this many last steps (0: cosine over all)")
    ap.add_argument("--max-tools", type=int, default=6, help="at most this many tools offered per example")
    ap.add_argument("--pair-rate", type=float, default=0.0,
                    help="share of calls that also appear with their tool removed from the list (answer: no call)")
    ap.add_argument("--word-pieces", action="store_true",
                    help="drop the tokenizer pieces that glue the space marker to a word (untried at length)")
    ap.add_argument("--think-name", action="store_true",
                    help="completions start with <think>TOOL</think>, the tool asked for, offered or not")
    ap.add_argument("--decision-weight", type=float, default=1.0,
                    help="loss weight of the first token after the tool-call marker (call or abstain)")
    ap.add_argument("--value-weight", type=float, default=1.0,
                    help="loss weight of the tokens of a call's arguments object (the copied values)")
    ap.add_argument("--value-noise", type=float, default=0.0,
                    help="replace this share of a call's argument tokens in the input (targets stay clean; never on the confidence head's steps)")
    ap.add_argument("--noise-form", choices=("replace", "insert"), default="replace",
                    help="value noise replaces an argument token, or inserts a stray piece after it (nothing skipped)")
    ap.add_argument("--own-strays", type=float, default=0.0,
                    help="loss weight of a second pass that inserts the model's own first wrong argument piece and scores the recovery")
    ap.add_argument("--written", help="hand-written queries with their expected calls (JSONL) to mix into the data")
    ap.add_argument("--written-rate", type=float, default=0.1,
                    help="share of the examples drawn from --written (each with its own draw of offered tools)")
    ap.add_argument("--written-pair-rate", type=float,
                    help="minimal-pair share for the hand-written calls (default: --pair-rate)")
    ap.add_argument("--twin-lookalike", type=float, default=0.0,
                    help="share of tool-removed twins that offer a look-alike of the removed tool when none was drawn")
    ap.add_argument("--end-weight", type=float, default=0.0,
                    help="loss weight of a binary loss on whether each piece inside a string value ends it")
    ap.add_argument("--stop-at", type=int, default=0, help="stop (and save) at this step, inside the schedule of --steps")
    ap.add_argument("--save-minutes", type=float, default=10.0)
    ap.add_argument("--eval-every", type=int, default=1000)
    ap.add_argument("--eval-examples", type=int, default=300)
    a = ap.parse_args()
    if a.own_strays and a.value_noise:
        ap.error("--own-strays reads the clean batch's logits: it does not combine with --value-noise")
    if a.end_weight and a.value_noise:
        ap.error("--end-weight reads the clean batch's targets: it does not combine with --value-noise")
    torch.manual_seed(a.seed)
    random.seed(a.seed)
    torch.set_num_threads(a.threads)
    out = pathlib.Path(a.out)
    out.mkdir(parents=True, exist_ok=True)
    step = 0
    seconds = 0.0
    opt_state = None
    if a.resume:
        import export

        model, ck = export.load_checkpoint(a.resume)
        model.train()
        geom, heads = model.geom, model.head_specs
        model_file = str(out / "tok.model")
        if pathlib.Path(ck["tokenizer"]).resolve() != pathlib.Path(model_file).resolve():
            shutil.copyfile(ck["tokenizer"], model_file)
        enc = Encoder(model_file)
        step, seconds = ck["steps"], ck["seconds"]
        opt_state = ck.get("optimizer")
    else:
        model_file = tok_train.train(str(out / "tok"), a.vocab, word_pieces=a.word_pieces)
        enc = Encoder(model_file)
        geom = Geometry(vocab=enc.sp.get_piece_size(), d_model=a.d_model, num_layers=a.layers,
                        num_heads=a.d_model // 32,
                        num_kv_heads=a.kv_heads or (2 if (a.d_model // 32) % 2 == 0 else 1),
                        hada_n=1 << (a.d_model - 1).bit_length())
        heads = [(CONTRASTIVE, 2, 64), (CONFIDENCE, 2, 1)]
        model = V2Torch(geom, heads)
    closers = quote_pieces(enc)
    dev = torch.device(a.device)
    model.to(dev)
    opt = torch.optim.AdamW(model.parameters(), lr=a.lr, weight_decay=0.01, betas=(0.9, 0.98))
    if opt_state is not None:
        opt.load_state_dict(opt_state)
    # A resumed run warms up again for 100 steps: without optimiser state (a compact
    # checkpoint) Adam's moments start from zero, and the new schedule may start higher.
    first, fresh_optimizer = step, bool(a.resume)
    # Fresh data after a resume: the generator's seed moves with the step count.
    options = dict(max_tools=a.max_tools, pair_rate=a.pair_rate, think_name=a.think_name,
                   twin_lookalike=a.twin_lookalike)
    if a.written:
        options.update(written=task.load_written(a.written), written_rate=a.written_rate,
                       written_pair_rate=a.written_pair_rate)
    rng = random.Random(a.seed + 2 + step)
    held = task.TaskGenerator("test", 1234, think_name=a.think_name).examples(a.eval_examples)
    seen = task.TaskGenerator("test", 1234, held_out_templates=False, think_name=a.think_name).examples(a.eval_examples)
    log = open(out / "train.log", "a")
    best = -1.0
    if (out / "best.json").exists():
        best = json.loads((out / "best.json").read_text())["score"]

    def write(line: str):
        print(line, flush=True)
        log.write(line + "\n")
        log.flush()

    def save(path: pathlib.Path, with_optimizer: bool = True):
        ck = {"geometry": dataclasses.asdict(geom), "heads": heads, "state": model.state_dict(),
              "tokenizer": model_file, "steps": step, "seconds": seconds, "args": vars(a)}
        if with_optimizer:
            ck["optimizer"] = opt.state_dict()
        tmp = path.with_suffix(".tmp")
        torch.save(ck, tmp)
        tmp.replace(path)

    write(f"start step={step} geometry={dataclasses.asdict(geom)} args={vars(a)}")
    start = last_save = time.time()
    tick = time.time()
    loss_c = loss_k = loss_e = torch.tensor(0.0)
    window: list[float] = []
    if a.workers:
        stream = parallel_batches([a.seed + 1 + step + 7919 * (k + 1) for k in range(a.workers)], model_file,
                                  a.batch, options)
    else:
        stream = batches(task.TaskGenerator("train", a.seed + 1 + step, **options), enc, a.batch)
    while step < min(a.steps, a.stop_at or a.steps) and (a.minutes <= 0 or time.time() - start < a.minutes * 60):
        warm = min(1.0, (step + 1) / max(1, a.warmup), (step - first + 1) / 100 if fresh_optimizer else 1.0)
        if a.decay_steps:
            # Warm-up, constant, then a cosine decay over the last `decay_steps`: a run can be
            # resumed with a larger --steps to train longer before it decays.
            frac = min(1.0, max(0, step - (a.steps - a.decay_steps)) / a.decay_steps)
        else:
            frac = min(1.0, step / max(1, a.steps))
        lr = a.lr * warm * (0.5 * (1 + math.cos(math.pi * frac)) * 0.95 + 0.05)
        for group in opt.param_groups:
            group["lr"] = lr
        examples, encoded = next(stream)
        observe = step % 4 == 1
        # No noise on the steps whose hidden states are the confidence head's right
        # completions: a noisy completion must not count as a right one there.
        noisy = a.value_noise > 0 and not observe
        starts = (value_starts(enc, examples, encoded)
                  if a.value_weight != 1.0 or noisy or a.own_strays else None)
        inserted = None
        if noisy and a.noise_form == "insert":
            encoded, inserted = insert_noise(encoded, starts, a.value_noise, rng, geom.vocab, enc.pad,
                                             geom.max_seq_len)
        toks, select, targets = lm_batch(encoded, enc.pad, inserted)
        if noisy and a.noise_form == "replace":
            toks = noise_values(toks, encoded, starts, a.value_noise, rng, geom.vocab, enc.pad)
        toks, select, targets = toks.to(dev), select.to(dev), targets.to(dev)
        if observe:
            logits, hidden_lm = model(toks, observe=True, select=select)
        else:
            logits = model(toks, select=select)
        if a.decision_weight != 1.0 or a.value_weight != 1.0:
            w = decision_weights(encoded, enc.tool_call, a.decision_weight,
                                 starts if a.value_weight != 1.0 else None, a.value_weight).to(dev)
            loss_lm = (F.cross_entropy(logits, targets, reduction="none") * w).sum() / w.sum()
        else:
            loss_lm = F.cross_entropy(logits, targets)
        loss = loss_lm
        if a.end_weight:
            rows, closes = value_end_positions(enc, encoded, closers)
            loss_e = value_end_loss(logits, rows, closes, closers)
            loss = loss + a.end_weight * loss_e
        if a.own_strays:
            strayed, at = own_strays(logits.detach(), encoded, starts, enc.pad, geom.max_seq_len)
            if strayed:
                t2, sel2, tg2 = lm_batch(strayed, enc.pad, at)
                # Score only from the stray on: the positions before it repeat the clean batch.
                pos = torch.arange(t2.shape[1])[None, :]
                after = pos >= torch.tensor([j[0] for j in at])[:, None]
                keep = after[sel2]
                lg2 = model(t2.to(dev), select=(sel2 & after).to(dev))
                loss = loss + a.own_strays * F.cross_entropy(lg2, tg2[keep].to(dev))
        if step % 2 == 0:
            # Contrastive: queries of real calls against their tools' descriptions.
            calls = [ex for ex in examples if ex.tool is not None]
            if len(calls) >= 2:
                q = [enc.text(ex.query) for ex in calls]
                dsc = [enc.text(tool_description(ex.tool)) for ex in calls]
                seqs = q + dsc
                t = pad_batch(seqs, enc.pad)[0].to(dev)
                _, hidden = model(t, observe=True, select=torch.zeros_like(t, dtype=torch.bool))
                emb = model.head_output(0, hidden, head_mask(t, [len(s) for s in seqs], enc.pad))
                eq, ed = emb[: len(calls)], emb[len(calls):]
                sim = eq @ ed.T / 0.05
                same = torch.tensor([[a_.tool == b_.tool for b_ in calls] for a_ in calls], dtype=torch.bool,
                                    device=dev)
                sim = sim.masked_fill(same & ~torch.eye(len(calls), dtype=torch.bool, device=dev), -1e4)
                loss_c = F.cross_entropy(sim, torch.arange(len(calls), device=dev))
                loss = loss + 0.5 * loss_c
        elif observe:
            # Confidence: right completions (the LM batch itself, without the end-of-turn
            # marker: the text confidence_for scores) against corrupted ones.
            lengths = [len(s) - 1 for s, _ in encoded]
            pos = model.head_output(1, hidden_lm, head_mask(toks, lengths, enc.pad))[:, 0]
            wrong = []
            for ex in examples:
                wrong.append(enc.text(build_prompt(ex.query, ex.tools_json) + corrupt(ex, rng)))
            t = pad_batch(wrong, enc.pad)[0].to(dev)
            _, hidden = model(t, observe=True, select=torch.zeros_like(t, dtype=torch.bool))
            neg = model.head_output(1, hidden, head_mask(t, [len(s) for s in wrong], enc.pad))[:, 0]
            logit = torch.cat([pos, neg])
            labels = torch.cat([torch.ones_like(pos), torch.zeros_like(neg)])
            loss_k = F.binary_cross_entropy_with_logits(logit, labels)
            loss = loss + 0.5 * loss_k
        opt.zero_grad()
        loss.backward()
        torch.nn.utils.clip_grad_norm_(model.parameters(), 1.0)
        opt.step()
        now = time.time()
        # A paused process (SIGSTOP) shows as one long step; count at most a minute of it.
        seconds += min(now - tick, 60.0)
        tick = now
        step += 1
        window.append(loss_lm.item())
        if step % 50 == 0:
            # The mean over the last 50 steps: one batch of eight is too noisy to compare runs by.
            write(f"step {step} t={seconds:.0f}s lr={lr:.2e} lm={sum(window) / len(window):.4f} "
                  f"contrastive={loss_c.item():.4f} confidence={loss_k.item():.4f}"
                  + (f" end={loss_e.item():.4f}" if a.end_weight else ""))
            window.clear()
        if a.eval_every and step % a.eval_every == 0:
            m_held = teacher_forced(model, enc, held, from_start=a.think_name)
            m_seen = teacher_forced(model, enc, seen, from_start=a.think_name)
            write("eval " + json.dumps({"step": step, "seconds": round(seconds), "held_out": m_held,
                                        "training_templates": m_seen}))
            score = m_held["exact"] + m_seen["exact"]
            if score > best:
                best = score
                save(out / "best.pt", with_optimizer=False)
                (out / "best.json").write_text(json.dumps({"score": score, "step": step, "held_out": m_held,
                                                           "training_templates": m_seen}))
        if time.time() - last_save > a.save_minutes * 60:
            save(out / "checkpoint.pt")
            last_save = time.time()
    save(out / "checkpoint.pt")
    write(f"saved {out / 'checkpoint.pt'} at step {step}")


if __name__ == "__main__":
    main()
