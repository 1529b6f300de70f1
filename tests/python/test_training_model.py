"""The PyTorch training model against the numpy reference and the engine.

A small `V2Torch` with every parameter pushed away from its initial value is
exported through the training exporter at 4 bits; the dequantised weights are
loaded back into the torch model, whose logits and pooled head outputs must
then match the numpy reference (and the engine, when built) for random token
sequences. A second group checks that the training encoder's token ids (a
SentencePiece model with identity normalisation and byte fallback) are the ids
the engine's own tokenizer produces for the task's prompts and completions.
"""
from __future__ import annotations

import dataclasses
import json
import math
import pathlib
import random
import subprocess
import sys

import numpy as np
import pytest

torch = pytest.importorskip("torch", exc_type=ImportError)

ROOT = pathlib.Path(__file__).resolve().parents[2]
TRAINING = ROOT / "training"
for p in (TRAINING, ROOT / "tests", ROOT / "python"):
    if str(p) not in sys.path:
        sys.path.insert(0, str(p))

import export  # noqa: E402
import model as tmodel  # noqa: E402
from reference.v2 import V2Reference  # noqa: E402
from vorpel_writer import trov_read  # noqa: E402
from vorpel_writer.tokenizer import Piece, build_tokenizer_blob  # noqa: E402
from vorpel_writer.v2 import LAYER_TENSORS  # noqa: E402

from helpers import assert_rows_close, require_commands, run_logits  # noqa: E402

# float32 torch against the float64 reference on identical weights.
REF_TOL = 1e-4
# The engine multiplies in the rotated CQ domain in float32.
ENGINE_TOL = 2e-4

NORMS = ("norm_in", "q_norm", "k_norm", "post_norm", "pre_hada", "final_norm")
MHC_NAMES = ("mhc_a_pre", "mhc_a_post", "mhc_a_res", "mhc_b_pre", "mhc_b_post", "mhc_b_res",
             "mhc_phi_pre", "mhc_phi_post", "mhc_phi_res")
ENGRAM_NAMES = ("tables", "key_proj", "value_proj", "taps")
PAD_ID = 0


def small_tokenizer_blob(vocab):
    """Just enough pieces to carry a padding id (0) into the container."""
    return build_tokenizer_blob([Piece("<pad>", 0.0, 1), Piece("<s>", 0.0, 1), Piece("</s>", 0.0, 1),
                                 Piece("<unk>", 0.0, 2)] + [Piece(f"p{i}") for i in range(vocab - 4)],
                                pad_id=PAD_ID, eos_id=2, bos_id=1, unk_id=3)


def geometry(vocab, d_model=32, lanes=2, layers=2, heads=4, kv_heads=2, head_dim=8, kv_window=0,
             orders=(1, 2), sites=(1,), num_tables=4, conv_taps=2, tap_stride=1, table_rows=16,
             max_seq_len=64, rope_theta=10000.0):
    return tmodel.Geometry(vocab=vocab, d_model=d_model, num_heads=heads, num_kv_heads=kv_heads,
                           num_layers=layers, head_dim=head_dim, max_seq_len=max_seq_len,
                           hada_n=1 << (d_model - 1).bit_length(), mhc_lanes=lanes,
                           kv_window=kv_window, rope_theta=rope_theta, table_rows=table_rows,
                           num_tables=num_tables, orders=tuple(orders), engram_sites=tuple(sites),
                           conv_taps=conv_taps, tap_stride=tap_stride)


def perturbed_model(geom, heads, seed):
    """A V2Torch whose norms, gates, diagonals, mHC coefficients, taps and probes are all
    far enough from their initial values that a mistake in any of them shows."""
    torch.manual_seed(seed)
    m = tmodel.V2Torch(geom, heads)
    gen = torch.Generator().manual_seed(seed + 1)

    def rnd(p, std, mean=0.0):
        p.copy_(mean + std * torch.randn(p.shape, generator=gen))

    with torch.no_grad():
        for name, p in m.named_parameters():
            leaf = name.split(".")[-1]
            if leaf in NORMS:
                rnd(p, 0.3)
            elif leaf == "attn_gate":
                rnd(p, 1.0)
            elif leaf in ("d1", "d2"):
                rnd(p, 0.3, 1.0)
            elif leaf == "d3":
                rnd(p, 0.6)
            elif leaf.startswith("mhc_a_"):
                rnd(p, 0.3, 0.7)
            elif leaf in ("mhc_b_pre", "mhc_b_post"):
                rnd(p, 0.7)
            elif leaf == "mhc_b_res":
                p.copy_(0.6 * torch.randn(p.shape, generator=gen) + 1.5 * torch.eye(geom.mhc_lanes))
            elif leaf.startswith("mhc_phi_"):
                rnd(p, 1.0 / math.sqrt(p.shape[1]))
            elif leaf == "taps":
                rnd(p, 0.6)
            elif leaf == "probes":
                rnd(p, 1.5)
            elif leaf == "bias":
                rnd(p, 0.3)
    m.eval()
    return m


def export_bytes(m, tokenizer_blob=None):
    """The exporter's own path: canon geometry, weights and 4-bit CQ (tables in blocks of 32)."""
    return export.write_v2(export.container_geometry(m.geom), export.weights_of(m), bits=4, block=64,
                           tokenizer_blob=tokenizer_blob, per_tensor_bits={"tables": (4, 32)})


def load_dequantised(m, data):
    """Overwrite every parameter of `m` with the value the container represents, walking the
    directory in canon order."""
    parsed = trov_read.parse(data)
    idx = 0

    def take(param):
        nonlocal idx
        v = trov_read.tensor_values(data, parsed, idx)
        idx += 1
        with torch.no_grad():
            param.copy_(torch.from_numpy(np.asarray(v, dtype=np.float32).reshape(param.shape)))

    take(m.embedding)
    for layer in m.layers:
        for name, _ in LAYER_TENSORS:
            take(layer[name])
    for name in MHC_NAMES:
        take(getattr(m, name))
    for e in m.engrams:
        for name in ENGRAM_NAMES:
            take(e[name])
    take(m.final_norm)
    if m.heads:
        kinds = trov_read.tensor_values(data, parsed, idx)
        assert [int(k) for k in kinds] == [h[0] for h in m.head_specs]
        idx += 1
        for h in m.heads:
            for name in ("probes", "proj", "bias"):
                take(h[name])
    rest = len(parsed["tensors"]) - idx
    assert rest in (0, 1), f"{rest} directory entries left after the canon walk"


def torch_logits(m, seqs):
    """Per-position logits of a batch of equal-length sequences, as float64 numpy."""
    with torch.no_grad():
        return m(torch.tensor(seqs, dtype=torch.long)).double().numpy()


def torch_heads(m, seqs, pad):
    """Head outputs for sequences of unequal length, padded and masked as training does."""
    lengths = [len(s) for s in seqs]
    toks = torch.full((len(seqs), max(lengths)), pad, dtype=torch.long)
    for i, s in enumerate(seqs):
        toks[i, :len(s)] = torch.tensor(s)
    mask = (torch.arange(toks.shape[1])[None, :] < torch.tensor(lengths)[:, None]) & (toks != pad)
    with torch.no_grad():
        _, hidden = m(toks, observe=True)
        return [m.head_output(h, hidden, mask).double().numpy() for h in range(len(m.heads))]


def random_sequences(rng, vocab, count, length):
    """Token rows that mix fresh ids with repeats from a small pool, so n-grams recur."""
    pool = rng.integers(0, vocab, size=5)
    seqs = rng.integers(0, vocab, size=(count, length))
    repeat = rng.random((count, length)) < 0.4
    seqs[repeat] = rng.choice(pool, size=int(repeat.sum()))
    return seqs.tolist()


# (seed, geometry, heads): lanes 1..3, orders including 0 and 3, unlimited and short windows,
# duplicate and out-of-order engram sites, no engram at all.
CASES = [
    (101, dict(vocab=97, lanes=1, kv_window=0, orders=(0, 3), sites=(0,)), [(1, 2, 6), (2, 1, 1)]),
    (102, dict(vocab=120, lanes=2, kv_window=3, orders=(3, 1), sites=(1, 0), d_model=24,
               num_tables=4, head_dim=6, heads=2, kv_heads=1, conv_taps=3, tap_stride=2),
     [(2, 3, 2), (1, 2, 5)]),
    (103, dict(vocab=80, lanes=3, layers=3, kv_window=5, orders=(0, 1, 2, 3), sites=(2, 2),
               conv_taps=1), [(1, 1, 4), (2, 2, 1)]),
    (104, dict(vocab=64, lanes=2, kv_window=0, sites=(), rope_theta=500.0), [(2, 1, 1), (1, 3, 3)]),
]
IDS = [f"seed{c[0]}-lanes{c[1]['lanes']}-win{c[1]['kv_window']}" for c in CASES]


@pytest.fixture(scope="module", params=CASES, ids=IDS)
def exported(request):
    seed, gargs, heads = request.param
    geom = geometry(**gargs)
    m = perturbed_model(geom, heads, seed)
    # A demo tokenizer makes the padding id known to the reference's pooling.
    data = export_bytes(m, small_tokenizer_blob(geom.vocab))
    load_dequantised(m, data)
    what = f"seed {seed} geometry {gargs} heads {heads}"
    return seed, m, data, V2Reference.from_bytes(data), what


def test_dequantised_export_is_close_to_the_trained_weights(exported):
    # The round trip must keep every float tensor exactly and CQ matrices close.
    seed, m, data, _, what = exported
    fresh = perturbed_model(m.geom, m.head_specs, seed)
    ref_w, got_w = export.weights_of(fresh), export.weights_of(m)
    for l, (a, b) in enumerate(zip(ref_w.layers, got_w.layers)):
        for name, is_cq in LAYER_TENSORS:
            if not is_cq:
                np.testing.assert_array_equal(a[name], b[name], err_msg=f"{what} layer {l} {name}")
            else:
                rel = np.linalg.norm(a[name] - b[name]) / np.linalg.norm(a[name])
                assert rel < 0.15, f"{what} layer {l} {name}: 4-bit relative error {rel:.3f}"
    for name in MHC_NAMES[:6]:
        np.testing.assert_array_equal(ref_w.mhc[name], got_w.mhc[name], err_msg=f"{what} {name}")


def test_logits_match_reference(exported):
    seed, m, _, ref, what = exported
    rng = np.random.default_rng(seed)
    # Long enough to pass the window and the widest n-gram; two rows check batching.
    seqs = random_sequences(rng, m.geom.vocab, 2, 13)
    got = torch_logits(m, seqs)
    for b, seq in enumerate(seqs):
        want = ref.logits_for(seq)
        assert np.abs(want).max() > 0.5, f"{what}: logits too small to compare meaningfully"
        assert_rows_close(got[b], want, REF_TOL, f"{what} sequence {b} {seq}")


def test_heads_match_reference(exported):
    seed, m, _, ref, what = exported
    rng = np.random.default_rng(seed + 7)
    seqs = [s[:n] for s, n in zip(random_sequences(rng, m.geom.vocab, 3, 11), (11, 6, 9))]
    seqs[2][4] = PAD_ID          # a padding id inside a text: run, but not pooled
    outs = torch_heads(m, seqs, PAD_ID)
    for h, (kind, _, _) in enumerate(m.head_specs):
        if next(i for i, s in enumerate(m.head_specs) if s[0] == kind) != h:
            continue             # the reference scores with the first head of a kind
        for b, seq in enumerate(seqs):
            want = ref.pool_head(seq, kind)
            assert_rows_close(outs[h][b], want, REF_TOL,
                              f"{what} head {h} kind {kind} sequence {b} {seq}")
            if kind == 1:
                assert abs(np.linalg.norm(outs[h][b]) - 1.0) < 1e-5


# ---------------------------------------------------------------- the engine

@pytest.fixture(scope="module")
def logits_cli(vorpel_cli):
    require_commands(vorpel_cli, "logits")
    return vorpel_cli


def test_logits_match_engine(exported, logits_cli, tmp_path):
    seed, m, data, _, what = exported
    path = tmp_path / "m.trov"
    path.write_bytes(data)
    rng = np.random.default_rng(seed + 3)
    seq = random_sequences(rng, m.geom.vocab, 1, 14)[0]
    want = torch_logits(m, [seq])[0]
    assert_rows_close(run_logits(logits_cli, path, seq), want, ENGINE_TOL, f"{what} step {seq}")
    assert_rows_close(run_logits(logits_cli, path, seq, "prefill", False), want[-1], ENGINE_TOL,
                      f"{what} prefill {seq}")


# ---------------------------------------------------------------- tokenization

N_PROMPTS = 300


# Word pieces: the same BPE model less the pieces that glue the space marker to a word, which
# leaves merges that no piece completes; the engine must still split text as SentencePiece does.
@pytest.fixture(scope="module", params=[False, True], ids=["bpe", "word-pieces"])
def sp_setup(request, tmp_path_factory):
    pytest.importorskip("sentencepiece")
    import task
    import tokenizer as tok_train
    import train
    d = tmp_path_factory.mktemp("sp")
    model_file = tok_train.train(str(d / "tok"), vocab_size=1200, n_examples=1500, seed=5,
                                 word_pieces=request.param)
    enc = train.Encoder(model_file)
    # Both splits: the test side has unseen values, templates and characters (byte fallback).
    examples = (task.TaskGenerator("train", 11).examples(N_PROMPTS // 2)
                + task.TaskGenerator("test", 12).examples(N_PROMPTS - N_PROMPTS // 2))
    return d, model_file, enc, examples, train


def sp_container(model_file, vocab, seed=0, heads=()):
    """A small model whose container carries the imported SentencePiece tokenizer."""
    geom = geometry(vocab=vocab, max_seq_len=1024)
    m = perturbed_model(geom, list(heads), seed)
    data = export_bytes(m, export.tokenizer_blob(model_file))
    load_dequantised(m, data)
    return m, data


def engine_tokenize_many(cli, path, texts, workdir):
    """Engine ids of every text (one process per text, two at a time)."""
    procs, out = [], []
    for i, t in enumerate(texts):
        f = workdir / f"text{i}.txt"
        f.write_bytes(t.encode("utf-8"))
        procs.append(subprocess.Popen([str(cli), "tokenize", str(path), "--text-file", str(f)],
                                      stdout=subprocess.PIPE, stderr=subprocess.PIPE))
        if len(procs) == 2:
            out += [_finish(p) for p in procs]
            procs = []
    return out + [_finish(p) for p in procs]


def _finish(p):
    stdout, stderr = p.communicate(timeout=60)
    assert p.returncode == 0, f"vorpel tokenize failed ({p.returncode}): {stderr.decode()}"
    return json.loads(stdout)


def test_value_weights_cover_the_arguments_and_nothing_before(sp_setup):
    """The tokens `--value-weight` weighs decode to the tail of the call that holds every
    argument value, and never reach back into the tool's name or the think block."""
    _, _, enc, examples, train = sp_setup
    encoded = train.encode_examples(enc, examples)
    starts = train.value_starts(enc, examples, encoded)
    w = train.decision_weights(encoded, enc.tool_call, 1.0, starts, 2.0)
    offset = 0
    for ex, (s, st), v in zip(examples, encoded, starts):
        n = len(s) - st
        weighted = w[offset: offset + n]
        offset += n
        if ex.tool is None or '"arguments":{}' in ex.completion:
            assert v is None or weighted.eq(1.0).all() or v == n, ex.completion
            continue
        first = int((weighted == 2.0).nonzero()[0])
        assert weighted[first:].eq(2.0).all() and weighted[:first].eq(1.0).all()
        head, tail = enc.sp.decode(s[st: st + first]), enc.sp.decode(s[st + first:])
        assert head.endswith('"arguments":{') or '"arguments":{"' in head, (head, tail)
        args = json.loads(ex.completion[ex.completion.index('"arguments":') + 12: ex.completion.rindex("}}") + 1])
        for value in args.values():
            assert json.dumps(value, ensure_ascii=False, separators=(",", ":")) in tail, (value, tail)


def test_value_noise_changes_only_argument_inputs(sp_setup):
    """`--value-noise`: only input tokens inside a call's arguments change, at about the asked
    rate; nothing in the prompt, the think block or the tool's name."""
    _, _, enc, examples, train = sp_setup
    encoded = train.encode_examples(enc, examples)
    starts = train.value_starts(enc, examples, encoded)
    toks, _, _ = train.lm_batch(encoded, enc.pad)
    noisy = train.noise_values(toks, encoded, starts, 0.3, random.Random(3), enc.sp.get_piece_size(), enc.pad)
    changed = total = 0
    for k, ((s, st), v) in enumerate(zip(encoded, starts)):
        lo = len(s) - 1 if v is None else st + v
        assert noisy[k, :lo].equal(toks[k, :lo]) and noisy[k, len(s) - 1:].equal(toks[k, len(s) - 1:])
        changed += int((noisy[k, lo: len(s) - 1] != toks[k, lo: len(s) - 1]).sum())
        total += max(0, len(s) - 1 - lo)
    # Some draws repeat the token already there (the previous one, or the same piece).
    assert total > 100 and 0.15 * total < changed < 0.31 * total, (changed, total)


def test_insert_noise_keeps_every_clean_target(sp_setup):
    """`--noise-form insert`: strays appear only inside a call's arguments, each is scored on the
    clean token after it, and dropping the strays' positions leaves exactly the clean batch's
    (input, target) pairs: nothing is skipped and no stray is ever a target."""
    _, _, enc, examples, train = sp_setup
    encoded = train.encode_examples(enc, examples)
    starts = train.value_starts(enc, examples, encoded)
    _, _, targets = train.lm_batch(encoded, enc.pad)
    noisy, inserted = train.insert_noise(encoded, starts, 0.3, random.Random(5), enc.sp.get_piece_size(),
                                         enc.pad, 1024)
    _, _, ntargets = train.lm_batch(noisy, enc.pad, inserted)
    strays = slots = 0
    at = nat = 0
    for (s, st), (t, nst), v, ins in zip(encoded, noisy, starts, inserted):
        n, m = len(s) - st, len(t) - nst
        want = list(zip(s[st - 1: len(s) - 1], targets[at: at + n].tolist()))
        got = list(zip(t[nst - 1: len(t) - 1], ntargets[nat: nat + m].tolist()))
        at, nat = at + n, nat + m
        assert nst == st and m == n + len(ins)
        if v is None:
            assert not ins and t == s
            continue
        assert all(j > st + v for j in ins) and all(b - a_ > 1 for a_, b in zip(ins, ins[1:]))
        for j in ins:
            assert got[j - (nst - 1)][1] == t[j + 1]
        kept = [p for i, p in enumerate(got) if i + nst - 1 not in ins]
        assert kept == want
        strays += len(ins)
        slots += len(s) - 1 - (st + v)
    assert slots > 100 and 0.2 * slots < strays < 0.4 * slots, (strays, slots)


def test_own_strays_insert_the_first_wrong_argument_guess(sp_setup):
    """`--own-strays`: an example is taken only when the argmax goes wrong inside its arguments;
    the first wrong guess there (not a later one, not one in the tool's name) is inserted where
    it was guessed, and both it and the token before it are scored on the clean token."""
    _, _, enc, examples, train = sp_setup
    encoded = train.encode_examples(enc, examples)
    starts = train.value_starts(enc, examples, encoded)
    _, _, targets = train.lm_batch(encoded, enc.pad)
    vocab = enc.sp.get_piece_size()
    logits = torch.nn.functional.one_hot(targets, vocab).float()
    want, off = [], 0
    for k, ((s, st), v) in enumerate(zip(encoded, starts)):
        n = len(s) - st
        if k % 3 == 0 or v is None or v + 3 >= n:
            logits[off + 1, (targets[off + 1] + 1) % vocab] = 2.0  # in the think block: ignored
        else:
            i = v + 1 + k % 2
            wrong = (s[st + i] + 7) % vocab
            logits[off + i, wrong] = 2.0
            logits[off + i + 1, (s[st + i + 1] + 9) % vocab] = 2.0  # a later guess: ignored
            want.append((s[: st + i] + [wrong] + s[st + i:], st + i))
        off += n
    got, inserted = train.own_strays(logits, encoded, starts, enc.pad, 1024)
    assert len(want) > 3 and [(t, j[0]) for (t, _), j in zip(got, inserted)] == want
    toks, select, tg = train.lm_batch(got, enc.pad, inserted)
    row = select.long().cumsum(1) - 1 + torch.cat([torch.zeros(1, dtype=torch.long),
                                                   select.sum(1).cumsum(0)[:-1]])[:, None]
    for b, ((t, st), (j,)) in enumerate(zip(got, inserted)):
        assert tg[row[b, j]] == t[j + 1] and tg[row[b, j - 1]] == t[j + 1]


def test_worker_batches_are_encoded_as_in_process_and_differ_per_worker(sp_setup):
    """`--workers`: batches made in spawned processes carry the ids the training process would
    encode for their examples, and the workers draw different examples."""
    _, model_file, enc, _, train = sp_setup
    stream = train.parallel_batches([5, 6], model_file, 4, dict(max_tools=6, pair_rate=0.2, think_name=True))
    got = [next(stream) for _ in range(64)]
    seen = set()
    for examples, encoded in got:
        assert len(examples) == 4 and train.encode_examples(enc, examples) == encoded
        seen.update((ex.query, ex.completion) for ex in examples)
    # Two pools of 64 examples per worker at least; workers sharing a seed would repeat them.
    assert len(seen) > 0.9 * 4 * len(got)


def test_engine_ids_equal_training_ids(sp_setup, vorpel_cli):
    d, model_file, enc, examples, train = sp_setup
    _, data = sp_container(model_file, enc.sp.get_piece_size())
    path = d / "tok.trov"
    path.write_bytes(data)
    prompts = [train.build_prompt(ex.query, ex.tools_json) for ex in examples]
    texts = prompts + [p + ex.completion for p, ex in zip(prompts, examples)]
    got = engine_tokenize_many(vorpel_cli, path, texts, d)
    bad = []
    for i, ex in enumerate(examples):
        p_ids, c_ids = enc.prompt_and_completion(prompts[i], ex.completion)
        if [enc.bos] + got[i] != p_ids:
            bad.append(("prompt", i, prompts[i]))
        if [enc.bos] + got[len(examples) + i] + [enc.im_end] != p_ids + c_ids:
            bad.append(("prompt+completion", i, prompts[i] + ex.completion))
    assert not bad, f"{len(bad)} texts tokenized differently; first: {bad[0]!r}"
    longest = max(len(g) for g in got)
    # The engine keeps at most max_seq_len - 128 prompt ids; training must fit in that.
    assert longest + 1 <= 1024 - 128, f"a task text is {longest + 1} ids long"


def test_engine_prompt_equals_training_prompt(sp_setup, vorpel_cli):
    d, _, _, examples, train = sp_setup
    for i, ex in enumerate(examples[:40]):
        f = d / f"tools{i}.json"
        f.write_text(ex.tools_json, encoding="utf-8")
        out = subprocess.run([str(vorpel_cli), "prompt", "--query", ex.query, "--tools-file", str(f)],
                             capture_output=True, timeout=60)
        assert out.returncode == 0, out.stderr.decode()
        assert out.stdout.decode("utf-8") == train.build_prompt(ex.query, ex.tools_json), ex


def test_engine_heads_equal_training_heads(sp_setup, vorpel_cli):
    # Training scores texts as [bos] + SentencePiece ids; the engine tokenizes them itself.
    d, model_file, enc, examples, train = sp_setup
    m, data = sp_container(model_file, enc.sp.get_piece_size(), seed=9,
                           heads=[(1, 2, 6), (2, 2, 1)])
    path = d / "heads.trov"
    path.write_bytes(data)
    rng = random.Random(3)
    for ex in rng.sample(examples, 2):
        texts = [ex.query, train.tool_description(ex.tool) if ex.tool else ex.query]
        for text in texts:
            out = subprocess.run([str(vorpel_cli), "score", str(path), "--text", text],
                                 capture_output=True, text=True, timeout=60)
            assert out.returncode == 0, out.stderr
            s = json.loads(out.stdout)
            contrastive, confidence = torch_heads(m, [enc.text(text)], enc.pad)
            assert_rows_close(s["contrastive"], contrastive[0], ENGINE_TOL, f"contrastive {text!r}")
            assert_rows_close([s["confidence"]], confidence[0], ENGINE_TOL, f"confidence {text!r}")
        out = subprocess.run([str(vorpel_cli), "score", str(path), "--query", ex.query, "--tools",
                              ex.tools_json, "--completion", ex.completion],
                             capture_output=True, text=True, timeout=60)
        assert out.returncode == 0, out.stderr
        got = json.loads(out.stdout)["confidence_for"]
        (_, confidence) = torch_heads(m, [enc.text(train.build_prompt(ex.query, ex.tools_json)
                                                   + ex.completion)], enc.pad)
        want = 1.0 / (1.0 + math.exp(-float(confidence[0][0])))
        assert abs(got - want) <= ENGINE_TOL, f"confidence_for {ex.query!r}: {got} vs {want}"


def save_checkpoint(m, heads, model_file, path, steps=0):
    """`m` as a training checkpoint file (no optimiser state)."""
    import dataclasses
    torch.save({"geometry": dataclasses.asdict(m.geom), "heads": heads, "state": m.state_dict(),
                "tokenizer": model_file, "steps": steps, "seconds": 1.0}, path)


def test_checkpoint_export_writes_the_same_container(sp_setup, tmp_path):
    # The command-line export (checkpoint file -> container) must equal the in-memory path.
    _, model_file, enc, _, _ = sp_setup
    heads = [(1, 2, 6), (2, 2, 1)]
    m = perturbed_model(geometry(vocab=enc.sp.get_piece_size(), max_seq_len=1024), heads, 4)
    ck = tmp_path / "checkpoint.pt"
    save_checkpoint(m, heads, model_file, ck)
    out = tmp_path / "out.trov"
    data = export.export(ck, out, bits=4)
    assert out.read_bytes() == data
    assert data == export_bytes(m, export.tokenizer_blob(model_file))


@pytest.mark.parametrize("lanes,layers,sites,grown,heads,kv,wide", [
    (2, 2, (1,), 4, 4, 2, None), (3, 1, (0,), 2, 4, 2, None), (4, 2, (0, 1), 3, 4, 2, None),
    (2, 2, (1,), None, 4, 2, 8), (3, 1, (0,), 3, 6, 2, 12), (2, 2, (1,), None, 4, 4, 6)])
def test_grown_model_starts_as_the_same_function(lanes, layers, sites, grown, heads, kv, wide):
    # Appended layers and added heads must leave the logits as they were, and still receive
    # gradients (else training could never move them off the identity or wake the new heads).
    import grow
    specs = [(1, 2, 6), (2, 2, 1)]
    m = perturbed_model(geometry(vocab=50, lanes=lanes, layers=layers, sites=sites, heads=heads,
                                 kv_heads=kv), specs, 7)
    g = m
    if grown:
        g = grow.grow(g, grown)
    if wide:
        g = grow.widen_heads(g, wide)
        assert (g.geom.num_heads, g.geom.num_kv_heads) == (wide, wide * kv // heads)
    tokens = torch.randint(0, 50, (2, 23), generator=torch.Generator().manual_seed(3))
    with torch.no_grad():
        assert (g(tokens) - m(tokens)).abs().max().item() <= 1e-5
    g.zero_grad()
    g(tokens).pow(2).mean().backward()
    for layer in range(layers, grown or layers):
        for name in ("post_norm", "d3"):
            assert g.layers[layer][name].grad.abs().max().item() > 0, (layer, name)
    if wide:  # appended layers are silenced by their post_norm, the old ones must wake
        for layer in g.layers[:layers]:
            new_block = layer["out_proj"].grad[:, heads * m.geom.head_dim:]
            assert new_block.abs().amax(0).min().item() > 0


def test_widening_refuses_head_counts_that_split_a_group():
    import grow
    m = perturbed_model(geometry(vocab=50, heads=4, kv_heads=2), [], 7)
    for heads in (4, 5, 2):
        with pytest.raises(ValueError):
            grow.widen_heads(m, heads)


@pytest.mark.parametrize("lanes,sites,d_new", [(2, (), 32), (3, (), 28), (2, (1,), 32), (3, (0, 1), 28)])
def test_widened_stream_starts_as_the_same_function(lanes, sites, d_new):
    # New stream dimensions start at zero, so logits and head outputs must stay; only the
    # engram gate's 1/sqrt(d) cannot be kept exactly. A block copied to the wrong lane or
    # table, or a norm left unscaled, moves the logits by O(1). The new dimensions must
    # still receive gradients, or training could never use them.
    import grow
    specs = [(1, 2, 6), (2, 2, 1)]
    m = perturbed_model(geometry(vocab=50, d_model=24, lanes=lanes, sites=sites), specs, 7)
    for bad in (24, 30, 36):        # not wider, not split into 4 tables, beyond hada_n 32
        with pytest.raises(ValueError):
            grow.widen_d_model(m, bad)
    g = grow.widen_d_model(m, d_new)
    assert (g.geom.d_model, g.geom.sub_dim) == (d_new, d_new // 4)
    tokens = torch.randint(0, 50, (2, 23), generator=torch.Generator().manual_seed(3))
    mask = torch.rand(2, 23, generator=torch.Generator().manual_seed(4)) < 0.7
    with torch.no_grad():
        (a, ha), (b, hb) = m(tokens, observe=True), g(tokens, observe=True)
        tol = 0.05 if sites else 5e-4   # f32 rounding of the sqrt(d) rescalings
        assert (a - b).abs().max().item() <= tol
        for head in range(len(specs)):
            assert (m.head_output(head, ha, mask) - g.head_output(head, hb, mask)).abs().max().item() <= tol
    g.zero_grad()
    logits, hidden = g(tokens, observe=True)
    (logits.pow(2).mean() + g.head_output(1, hidden, mask).sum()).backward()
    fresh = [g.embedding.grad[:, 24:]]
    # (the last layer's new rows wake one step later, once the embedding's new columns move)
    fresh += [p[name].grad[24:] for p in g.layers[:-1] for name in ("out_proj", "d3")]
    fresh += [e["tables"].grad[:, 6:] for e in g.engrams]
    for grad in fresh:
        assert grad.abs().max().item() > 0


@pytest.mark.parametrize("alpha", [0.0, 0.25, 1.0])
def test_soup_interpolates_the_two_checkpoints(sp_setup, tmp_path, alpha):
    # soup.py A B OUT --alpha a must give (1 - a) A + a B in every tensor (f16, as compact
    # checkpoints store it), keep B's bookkeeping, and refuse checkpoints of another shape.
    _, model_file, enc, _, _ = sp_setup
    heads = [(1, 2, 6), (2, 2, 1)]
    cks = []
    for name, seed, steps in (("a", 11, 100), ("b", 12, 250)):
        m = perturbed_model(geometry(vocab=enc.sp.get_piece_size(), max_seq_len=1024), heads, seed)
        cks.append((tmp_path / f"{name}.pt", m))
        save_checkpoint(m, heads, model_file, cks[-1][0], steps)
    (pa, ma), (pb, mb) = cks
    out = tmp_path / "soup.pt"
    run = subprocess.run([sys.executable, str(TRAINING / "soup.py"), str(pa), str(pb), str(out),
                          "--alpha", str(alpha)], capture_output=True, text=True, timeout=120)
    assert run.returncode == 0, run.stderr
    got = torch.load(out, map_location="cpu", weights_only=False)
    assert got["steps"] == 250
    sa, sb = ma.state_dict(), mb.state_dict()
    for k, v in got["state"].items():
        want = ((1 - alpha) * sa[k] + alpha * sb[k]).half()
        assert torch.equal(v, want), k
    import soup
    other = perturbed_model(geometry(vocab=enc.sp.get_piece_size() + 1, max_seq_len=1024), heads, 13)
    with pytest.raises(ValueError):
        soup.soup(sa, other.state_dict(), alpha)


@pytest.mark.parametrize("fresh_vocab", [0, 700], ids=["dropped", "retrained"])
def test_retokenized_embedding_follows_piece_texts(fresh_vocab, tmp_path):
    # Moving a model onto a word-piece tokenizer: a piece the old tokenizer has keeps its row,
    # any other starts from the mean of the rows that spell it; only the engram tables (indexed
    # by hashed ids) are reset, every other tensor is kept.
    pytest.importorskip("sentencepiece")
    import retokenize
    import sentencepiece as spm
    import tokenizer as tok_train
    old_file = tok_train.train(str(tmp_path / "old"), vocab_size=500, n_examples=400, seed=3)
    if fresh_vocab:
        new_file = tok_train.train(str(tmp_path / "new"), vocab_size=fresh_vocab, n_examples=400, seed=4,
                                   word_pieces=True)
    else:
        new_file = str(tmp_path / "new.model")
        pathlib.Path(new_file).write_bytes(tok_train.drop_space_pieces(pathlib.Path(old_file).read_bytes()))
    old, new = (spm.SentencePieceProcessor(model_file=f) for f in (old_file, new_file))
    m = perturbed_model(geometry(vocab=old.get_piece_size()), [(1, 2, 6), (2, 2, 1)], 5)
    moved, fresh = retokenize.retokenize(m, old_file, new_file)
    assert moved.geom.vocab == new.get_piece_size()
    assert all(tok_train.SPACE not in new.id_to_piece(i) or new.id_to_piece(i) == tok_train.SPACE
               for i in range(new.get_piece_size()))
    old_id = {old.id_to_piece(i): i for i in range(old.get_piece_size())}
    spelt = 0
    for i in range(new.get_piece_size()):
        text = new.id_to_piece(i)
        if text in old_id:
            assert torch.equal(moved.embedding[i], m.embedding[old_id[text]]), text
            continue
        ids = retokenize.split_over(text, {p: j for p, j in old_id.items() if not old.is_byte(j)
                                           and not old.is_control(j) and not old.is_unknown(j)},
                                    {p: j for p, j in old_id.items() if old.is_byte(j)})
        assert b"".join(bytes([int(old.id_to_piece(j)[3:5], 16)]) if old.is_byte(j)
                        else old.id_to_piece(j).encode() for j in ids) == text.encode(), text
        assert torch.allclose(moved.embedding[i], m.embedding[ids].mean(0), atol=1e-6), text
        spelt += 1
    assert spelt == fresh and (fresh > 0) == bool(fresh_vocab)
    before, after = m.state_dict(), moved.state_dict()
    for name, value in after.items():
        if name.endswith(".tables"):
            assert not value.any(), name
        elif name != "embedding":
            assert torch.equal(value, before[name]), name


def piece_bytes(sp, t: int) -> bytes:
    if sp.is_control(t):
        return b""
    if sp.is_byte(t):
        return bytes([int(sp.id_to_piece(t)[3:5], 16)])
    return sp.id_to_piece(t).replace("\u2581", " ").encode()


def test_value_end_positions_mark_every_string_value_and_its_closing_quote(sp_setup):
    """`--end-weight`: the positions scored for "the value ends here" are those whose piece
    starts inside a string value of the call, found here by searching each value's JSON form in
    the completion's bytes; the closing position is the piece that starts with its quote. The
    loss is small when the model emits the right pieces and large for a cut value."""
    _, _, enc, examples, train = sp_setup
    # The generator writes no escapes; one call whose values hold quotes and backslashes.
    odd = {"message": 'say "hi" at C:\\ now\\', "recipient": '"'}
    call = json.dumps({"name": "send_message", "arguments": odd}, separators=(",", ":"))
    examples = examples + [dataclasses.replace(examples[0], completion=f"<think>x</think><tool_call>{call}</tool_call>",
                                               tool="send_message", arguments=odd)]
    encoded = train.encode_examples(enc, examples)
    closers = train.quote_pieces(enc)
    rows, closes = train.value_end_positions(enc, encoded, closers)
    got = dict(zip(rows, closes))
    want, off, n_values = {}, 0, 0
    for ex, (s, st) in zip(examples, encoded):
        text = ex.completion.encode()
        starts = [0]
        for t in s[st:-1]:
            starts.append(starts[-1] + len(piece_bytes(enc.sp, t)))
        assert starts[-1] == len(text)  # the pieces spell the completion (less the end marker)
        if ex.tool is not None:
            call = json.loads(ex.completion.split("<tool_call>")[1].split("</tool_call>")[0])
            spans, at = [], 0
            for v in [call["name"], *call["arguments"].values()]:
                if isinstance(v, str):
                    form = b":" + json.dumps(v, ensure_ascii=False, separators=(",", ":")).encode()
                    at = text.index(form, at)
                    spans.append((at + 1, at + len(form) - 1))  # opening and closing quote
                    at += len(form)
            n_values += len(spans)
            for i, p in enumerate(starts[:-1]):
                for lo, hi in spans:
                    escaped = (len(text[:p]) - len(text[:p].rstrip(b"\\"))) % 2
                    if lo < p <= hi and not escaped:
                        want[off + i] = p == hi
        off += len(s) - st
    assert n_values > 50 and got == want
    # The loss: near zero for logits sure of the right piece, large where a continuation's
    # mass sits on a quote piece instead.
    _, _, targets = train.lm_batch(encoded, enc.pad)
    vocab = enc.sp.get_piece_size()
    logits = 20.0 * torch.nn.functional.one_hot(targets, vocab).float()
    assert train.value_end_loss(logits, rows, closes, closers) < 1e-6
    quote = int(closers.nonzero()[0])
    cont = [r for r, c in zip(rows, closes) if not c]
    logits[cont, quote] = 40.0
    assert train.value_end_loss(logits, rows, closes, closers) > 10 * len(cont) / len(rows)


@pytest.mark.parametrize("pair_rate,written_pair_rate", [(0.0, 1.0), (1.0, 0.0)])
def test_written_pair_rate_governs_only_the_hand_written_calls(pair_rate, written_pair_rate):
    """A call is followed by its tool-removed twin (same query, tool off the list, no call) at
    the written pair rate when it comes from the hand-written rows, else at the pair rate."""
    import task

    rows = [{"query": "weather in Qorvath please", "expected": {"name": "get_weather", "arguments": {"city": "Qorvath"}}}]
    for written_rate in (0.0, 1.0):
        gen = task.TaskGenerator("train", 3, pair_rate=pair_rate, think_name=True, written=rows,
                                 written_rate=written_rate, written_pair_rate=written_pair_rate)
        examples = gen.examples(200)
        rate = written_pair_rate if written_rate else pair_rate
        calls = [(ex, nxt) for ex, nxt in zip(examples, examples[1:]) if ex.tool is not None]
        assert len(calls) > 20
        for ex, nxt in calls:
            twin = nxt.kind == "not_offered" and nxt.query == ex.query and ex.tool not in nxt.offered
            assert twin == bool(rate) and (nxt.completion.endswith("<tool_call>[]</tool_call>") or not twin)


@pytest.mark.parametrize("twin_lookalike", [0.0, 1.0])
def test_twin_lookalike_offers_the_removed_tools_neighbour(twin_lookalike):
    """At share 1 every tool-removed twin offers a look-alike of the removed tool that may not
    stand in for it (when the catalogue has one); at 0 the data is the same as without the option."""
    import task

    def examples(**extra):
        return task.TaskGenerator("train", 5, pair_rate=1.0, think_name=True, **extra).examples(300)

    got = examples(twin_lookalike=twin_lookalike)
    pairs = [(ex, nxt) for ex, nxt in zip(got, got[1:]) if ex.tool is not None and nxt.kind == "not_offered"]
    assert len(pairs) > 50
    if not twin_lookalike:
        assert [(e.query, e.tools_json, e.completion) for e in got] == \
               [(e.query, e.tools_json, e.completion) for e in examples()]
    bare = 0  # twins whose removed tool has an eligible look-alike, none of them offered
    for ex, twin in pairs:
        banned = {ex.tool, "web_search"} | task.ALSO_FITS.get(ex.tool, set())
        looks = set(task.LOOKALIKES[ex.tool]) - banned
        assert not banned & set(twin.offered) and len(twin.offered) <= 6
        bare += bool(looks) and not looks & set(twin.offered)
    # At 0 the option must have something to do: some twins drew no look-alike.
    assert bare == 0 if twin_lookalike else bare > 0
