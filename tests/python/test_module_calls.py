"""V2Engine calls through the module: argument conversion rules and their
notes, result shapes and key order, loader errors, fatal errors, callbacks
and re-entrancy, all on seeded random containers."""
import collections
import math
import struct
import sys
import threading

import numpy as np
import pytest

from helpers_h8 import *  # noqa: F401,F403 (names and fixtures)

GENERATE_KEYS = ["text", "tool_call", "thinking", "token_ids", "prompt_tokens", "stop_reason",
                 "stopped_naturally"]
CONFIG_KEYS = ["vocab_size", "d_model", "num_heads", "num_kv_heads", "num_layers", "head_dim",
               "max_seq_len", "mhc_lanes", "kv_window", "rope_theta", "engram_sites"]


def notes(excinfo):
    return getattr(excinfo.value, "__notes__", None)


# ---- loading --------------------------------------------------------------------

def test_load_by_path_and_from_bytes_agree(engine_path, engine_bytes):
    a = V2Engine.load(str(engine_path))
    b = V2Engine.load(trov_path=str(engine_path))
    c = V2Engine.from_bytes(engine_bytes)
    assert type(a) is V2Engine
    assert a.config() == b.config() == c.config()
    assert a.run(QUERY, TOOLS) == c.run(QUERY, TOOLS)


def test_load_errors_are_plain_os_errors(tmp_path):
    with pytest.raises(OSError) as e:
        V2Engine.load(str(tmp_path / "missing.trov"))
    assert str(e.value) == "No such file or directory (os error 2)"
    assert e.value.errno is None and e.value.filename is None
    assert e.value.args == ("No such file or directory (os error 2)",)
    assert type(e.value) is OSError
    with pytest.raises(OSError) as e:
        V2Engine.from_bytes(b"not a container")
    assert e.value.errno is None and len(e.value.args) == 1 and e.value.args[0]


def test_load_rejects_nul_in_path(engine_path):
    # A C path would stop at the NUL and open the existing prefix instead.
    with pytest.raises(OSError, match="unexpected NUL byte"):
        V2Engine.load(str(engine_path) + "\0.bak")


def test_bytes_only_for_trov_bytes(engine_bytes):
    for bad in (bytearray(engine_bytes), memoryview(engine_bytes), np.frombuffer(engine_bytes, np.uint8),
                engine_bytes.decode("latin-1")):
        with pytest.raises(TypeError) as e:
            V2Engine.from_bytes(bad)
        assert notes(e) == ["while processing 'trov_bytes'"], type(bad)

    class B(bytes):
        pass
    assert V2Engine.from_bytes(B(engine_bytes)).config() == V2Engine.from_bytes(engine_bytes).config()


# ---- argument conversion --------------------------------------------------------

@pytest.mark.parametrize("name,value,exc", [
    ("max_new_tokens", -1, OverflowError),
    ("max_new_tokens", 2**64, OverflowError),
    ("seed", -5, OverflowError),
    ("max_new_tokens", 1.0, TypeError),
    ("max_new_tokens", "3", TypeError),
    ("temperature", "hot", ValueError),
    ("temperature", None, TypeError),
    ("constrain", 1, TypeError),
    ("constrain", None, TypeError),
    ("system", 5, TypeError),
    ("system", b"sys", TypeError),
    ("query", b"q", TypeError),
    ("tools_json", None, TypeError),
    ("query", "\ud800", UnicodeEncodeError),
])
def test_generate_conversion_failures_carry_the_note(engine, name, value, exc):
    kwargs = {"query": QUERY, "tools_json": TOOLS, "max_new_tokens": 2, name: value}
    with pytest.raises(exc) as e:
        engine.generate(**kwargs)
    assert type(e.value) is exc
    assert notes(e) == [f"while processing '{name}'"]
    assert borrow_counter(engine).value == 0


def test_first_failing_parameter_in_order_is_reported(engine):
    with pytest.raises(TypeError) as e:
        engine.generate(max_new_tokens=-1, query=1, tools_json=TOOLS)
    assert notes(e) == ["while processing 'query'"]


def test_negative_counts_elsewhere(engine):
    with pytest.raises(OverflowError) as e:
        engine.retrieve_tools(QUERY, ["a"], -1)
    assert notes(e) == ["while processing 'top_k'"]


def test_accepted_value_forms_give_the_same_result(engine):
    base = engine.generate(QUERY, TOOLS, max_new_tokens=6, temperature=0.7, seed=3)

    class Idx:
        def __index__(self):
            return 6

    class Real:
        def __float__(self):
            return 0.7

    forms = [
        dict(max_new_tokens=np.int64(6), temperature=np.float32(0.7), seed=np.uint8(3)),
        dict(max_new_tokens=Idx(), temperature=Real(), seed=3),
        dict(max_new_tokens=6, temperature="0.7", seed=3),  # anything float() takes
        dict(max_new_tokens=6, temperature=0.7, seed=True + 2, constrain=np.bool_(False)),
        dict(max_new_tokens=6, temperature=0.7, seed=3, system=None, constrain=False),
    ]
    for kw in forms:
        assert engine.generate(QUERY, TOOLS, **kw) == base, kw
    assert engine.generate(query=QUERY, tools_json=TOOLS, seed=3, temperature=0.7, max_new_tokens=6) == base


def test_system_none_is_the_same_as_omitted(engine):
    assert engine.generate(QUERY, TOOLS, system=None) == engine.generate(QUERY, TOOLS)
    assert (engine.generate(QUERY, TOOLS, 4, 0.0, 0, None)
            == engine.generate(QUERY, TOOLS, max_new_tokens=4))


def test_nul_characters_reach_the_engine(engine):
    a = engine.encode_contrastive("ab")
    b = engine.encode_contrastive("a\0b")
    c = engine.encode_contrastive("a")
    assert b is not None and b != a and b != c
    assert engine.encode_contrastive("a\0b") == b


def test_sequence_of_text_rules(engine):
    with pytest.raises(TypeError) as e:
        engine.retrieve_tools(QUERY, "abc", 3)
    assert str(e.value) == "Can't extract `str` to `Vec`"
    assert notes(e) == ["while processing 'tool_descriptions'"]
    for bad, tname in (({"a": 1}, "dict"), ({"a"}, "set"), (iter(["a"]), "list_iterator"), (5, "int")):
        with pytest.raises(TypeError) as e:
            engine.retrieve_tools(QUERY, bad, 3)
        assert str(e.value) == f"'{tname}' object is not an instance of 'Sequence'"
        assert notes(e) == ["while processing 'tool_descriptions'"]
    with pytest.raises(TypeError) as e:
        engine.retrieve_tools(QUERY, ["a", 7], 3)
    assert notes(e) == ["while processing 'tool_descriptions'"]

    descs = ["weather in a city", "send an email", "weather in a city"]
    ref = engine.retrieve_tools(QUERY, descs, 5)
    for form in (tuple(descs), collections.deque(descs), ItemSequence(descs)):
        assert engine.retrieve_tools(QUERY, form, 5) == ref


def test_sequence_of_pairs_rules(engine):
    with pytest.raises(TypeError) as e:
        engine.run_batch([(QUERY, TOOLS), [QUERY, TOOLS]])
    assert str(e.value) == "'list' object is not an instance of 'tuple'"
    assert notes(e) == ["while processing 'examples'"]
    with pytest.raises(TypeError) as e:
        engine.run_batch([(QUERY, TOOLS, "x")])
    assert str(e.value) == "expected tuple of length 2, but got tuple of length 3"
    with pytest.raises(TypeError) as e:
        engine.run_batch([(QUERY,)])
    assert str(e.value) == "expected tuple of length 2, but got tuple of length 1"
    with pytest.raises(TypeError) as e:
        engine.run_batch([(QUERY, 5)])
    assert notes(e) == ["while processing 'examples'"]
    with pytest.raises(TypeError, match="Can't extract `str` to `Vec`"):
        engine.run_batch("ab")
    with pytest.raises(TypeError, match="'dict' object is not an instance of 'Sequence'"):
        engine.run_batch({})
    Pair = collections.namedtuple("Pair", "query tools")
    assert engine.run_batch([Pair(QUERY, TOOLS)]) == [engine.run(QUERY, TOOLS)]
    assert engine.run_batch(()) == []


# ---- results -----------------------------------------------------------------------

def test_generate_result_shape(engine):
    r = engine.generate(QUERY, TOOLS, max_new_tokens=16)
    assert list(r) == GENERATE_KEYS
    assert isinstance(r["text"], str)
    assert r["tool_call"] is None or isinstance(r["tool_call"], str)
    assert r["thinking"] is None or isinstance(r["thinking"], str)
    assert type(r["token_ids"]) is list and all(type(t) is int for t in r["token_ids"])
    assert 0 < len(r["token_ids"]) <= 16
    assert type(r["prompt_tokens"]) is int and r["prompt_tokens"] > 0
    assert r["stop_reason"] in ("Eos", "ImEnd", "MaxTokens", "ContextFull") or r["stop_reason"].startswith("Error(")
    assert r["stopped_naturally"] is (r["stop_reason"] in ("Eos", "ImEnd"))
    assert r == engine.generate(QUERY, TOOLS, 16)  # deterministic, positional binding


def test_generate_budget_cut_reports_max_tokens(engine):
    for n in (1, 3):
        r = engine.generate(QUERY, TOOLS, max_new_tokens=n)
        if r["stop_reason"] == "MaxTokens":
            assert r["stopped_naturally"] is False
            assert len(r["token_ids"]) == n


def test_plain_results_agree_with_generate(engine):
    g = engine.generate(QUERY, TOOLS)
    assert engine.run(QUERY, TOOLS) == g["text"]
    assert engine.run_json(QUERY, TOOLS) == g["tool_call"]
    pairs = [(QUERY, TOOLS), ("Send mail to Bob", TOOLS), ("", "[]")]
    out = engine.run_batch(pairs)
    assert type(out) is list and out == [engine.run(q, t) for q, t in pairs]


def test_batch_state_reuse_with_window_engram_and_lanes():
    # A longer prompt before shorter ones: a reset that missed the ring
    # caches, engram value rings or lanes would change the later texts.
    for seed in (31, 32):
        e = V2Engine.from_bytes(container(seed, engram=True, kv_window=7, lanes=3, max_seq_len=160))
        assert e.config()["engram_sites"] and e.config()["kv_window"] == 7, seed_note(seed)
        pairs = [(QUERY, TOOLS), ("x", ""), ("Send mail to Bob", "[]"), ("x", "")]
        assert e.run_batch(pairs) == [e.run(q, t) for q, t in pairs], seed_note(seed)


def test_config_keys_and_types(engine, headless_engine):
    for e in (engine, headless_engine):
        c = e.config()
        assert list(c) == CONFIG_KEYS
        for k in CONFIG_KEYS[:9]:
            assert type(c[k]) is int and c[k] >= 0
        assert type(c["rope_theta"]) is float
        assert type(c["engram_sites"]) is list and all(type(s) is int for s in c["engram_sites"])
    assert headless_engine.config()["engram_sites"] == []


def test_head_results(engine):
    dim = engine.contrastive_dim()
    assert dim == 8
    emb = engine.encode_contrastive(QUERY)
    assert type(emb) is list and len(emb) == dim and all(type(x) is float for x in emb)
    assert math.isclose(math.fsum(x * x for x in emb), 1.0, rel_tol=1e-4)
    # Values come from 32-bit floats: they survive a round trip through f32.
    assert all(struct.unpack("f", struct.pack("f", x))[0] == x for x in emb)
    logit = engine.confidence(QUERY)
    p = engine.confidence_probability(QUERY)
    assert type(logit) is float and type(p) is float and 0.0 < p < 1.0
    assert p == pytest.approx(1.0 / (1.0 + math.exp(-logit)), rel=1e-6)
    pf = engine.confidence_for(QUERY, TOOLS, engine.run(QUERY, TOOLS))
    assert type(pf) is float and 0.0 < pf < 1.0


def test_retrieve_tools_result(engine):
    descs = ["weather in a city", "send an email", "weather in a city", ""]
    embs = [engine.encode_contrastive(d) for d in descs]
    q = engine.encode_contrastive(QUERY)
    sims = [float(np.dot(np.float32(q), np.float32(e))) for e in embs]
    got = engine.retrieve_tools(QUERY, descs, 10)
    assert type(got) is list and len(got) == len(descs)
    assert all(type(t) is tuple and len(t) == 2 and type(t[0]) is int and type(t[1]) is float for t in got)
    assert sorted(i for i, _ in got) == list(range(len(descs)))
    scores = [s for _, s in got]
    assert scores == sorted(scores, reverse=True)
    for i, s in got:
        assert s == pytest.approx(sims[i], abs=1e-5)
    assert [i for i, _ in got].index(0) < [i for i, _ in got].index(2)  # ties keep list order
    assert engine.retrieve_tools(QUERY, descs, 0) == []
    assert engine.retrieve_tools(QUERY, descs, 2) == got[:2]
    assert engine.retrieve_tools(QUERY, descs, 2**64 - 1) == got  # the largest count converts
    assert engine.retrieve_tools(QUERY, [], 3) == []


def test_headless_results(headless_engine):
    e = headless_engine
    assert e.encode_contrastive(QUERY) is None
    assert e.contrastive_dim() == 0
    assert e.retrieve_tools(QUERY, ["a", "b"], 5) == []
    assert e.confidence(QUERY) is None
    assert e.confidence_probability(QUERY) is None
    assert e.confidence_for(QUERY, TOOLS, "x") is None


# ---- fatal errors, shared access -------------------------------------------------

def test_missing_tokenizer_is_a_panic_not_an_exception(untokenized_engine):
    msg = "container has no embedded tokenizer; use the lower-level V2Bundle API"
    calls = [lambda e: e.generate(QUERY, TOOLS), lambda e: e.run(QUERY, TOOLS),
             lambda e: e.run_stream(QUERY, TOOLS, print), lambda e: e.run_batch([(QUERY, TOOLS)])]
    for call in calls:
        caught_as_exception = False
        try:
            try:
                call(untokenized_engine)
            except Exception:
                caught_as_exception = True
        except vorpel_rs.PanicException as p:
            assert str(p) == msg
        else:
            pytest.fail("no PanicException")
        assert not caught_as_exception
        assert borrow_counter(untokenized_engine).value == 0
    # Scoring without a tokenizer is absent rather than fatal.
    assert untokenized_engine.encode_contrastive(QUERY) is None
    assert untokenized_engine.config()["vocab_size"] > 0


def test_exclusive_hold_is_refused(engine):
    counter = borrow_counter(engine)
    assert counter.value == 0
    counter.value = -1
    try:
        with pytest.raises(RuntimeError, match="^Already mutably borrowed$"):
            engine.contrastive_dim()
        with pytest.raises(RuntimeError, match="^Already mutably borrowed$"):
            engine.config()
    finally:
        counter.value = 0
    assert engine.contrastive_dim() == 8


# ---- callbacks and re-entrancy ---------------------------------------------------

def test_stream_pieces_and_ids(engine):
    seen = []
    text = engine.run_stream(QUERY, TOOLS, lambda i, p: seen.append((i, p)))
    assert text == engine.run(QUERY, TOOLS)
    assert all(type(i) is int and type(p) is str for i, p in seen)
    ids = engine.generate(QUERY, TOOLS)["token_ids"]
    got = [i for i, _ in seen]
    assert ids[:len(got)] == got and len(ids) - len(got) in (0, 1)


def test_stream_callback_exceptions_are_discarded(engine):
    calls = []

    def bad(i, p):
        calls.append(i)
        raise ValueError("callback failure")

    def wrong_arity():
        calls.append(None)

    expected = engine.run(QUERY, TOOLS)
    assert engine.run_stream(QUERY, TOOLS, bad) == expected
    n = len(calls)
    assert n > 0
    assert engine.run_stream(QUERY, TOOLS, wrong_arity) == expected
    assert engine.run_stream(QUERY, TOOLS, 5) == expected  # not even callable
    assert engine.run_stream(QUERY, TOOLS, lambda i, p: SystemExit) == expected
    assert engine.run_stream(QUERY, TOOLS, lambda i, p: 1 / 0) == expected
    assert sys.exc_info() == (None, None, None)


def test_reentrant_calls_from_a_callback(engine):
    outer = []
    inner = {}

    def cb(i, p):
        outer.append(borrow_counter(engine).value)
        if not inner:
            inner["run"] = engine.run(QUERY, TOOLS)
            inner["config"] = engine.config()
            inner["stream"] = engine.run_stream(QUERY, TOOLS, lambda *a: None)
        inner["dim"] = engine.contrastive_dim()

    text = engine.run_stream(QUERY, TOOLS, cb)
    assert outer and all(v == 1 for v in outer)  # the outer call holds shared access
    assert inner["run"] == text == inner["stream"]
    assert inner["config"] == engine.config()
    assert borrow_counter(engine).value == 0


def test_threads_are_serialised_and_agree(engine):
    expected = engine.run(QUERY, TOOLS)
    results = []
    threads = [threading.Thread(target=lambda: results.append(engine.run(QUERY, TOOLS))) for _ in range(3)]
    for t in threads:
        t.start()
    for t in threads:
        t.join()
    assert results == [expected] * 3


def test_first_sequence_check_reentered_from_an_import_hook_keeps_one_reference():
    # The Sequence ABC is looked up on first use; an import hook that calls
    # back into the module must not make that lookup keep two references.
    import os
    import subprocess
    import textwrap
    code = textwrap.dedent("""
        import builtins, collections.abc, sys
        sys.path.insert(0, %r)
        from helpers_h8 import V2Engine, container
        e = V2Engine.from_bytes(container(12, heads=False, engram=False))
        class S:
            def __len__(self): return 1
            def __getitem__(self, i):
                if i: raise IndexError(i)
                return "d"
        collections.abc.Sequence.register(S)
        orig = builtins.__import__
        entered = []
        def hook(name, *a, **k):
            if name == "collections.abc" and not entered:
                entered.append(1)
                e.retrieve_tools("q", S(), 1)
            return orig(name, *a, **k)
        before = sys.getrefcount(collections.abc.Sequence)
        builtins.__import__ = hook
        try:
            e.retrieve_tools("q", S(), 1)
        finally:
            builtins.__import__ = orig
        print(len(entered), sys.getrefcount(collections.abc.Sequence) - before)
    """ % os.path.dirname(os.path.abspath(__file__)))
    out = subprocess.run([sys.executable, "-c", code], capture_output=True, text=True, timeout=120)
    assert out.returncode == 0, out.stderr
    assert out.stdout.split() == ["1", "1"]
