"""Reference counting: thousands of calls of every method, on success and on
every failure path, leave argument reference counts, traced Python memory,
GC-tracked objects and the resident set where they were."""
import gc
import os
import sys
import tracemalloc

import pytest

from helpers_h8 import *  # noqa: F401,F403 (names and fixtures)

# AddressSanitizer's quarantine keeps freed memory resident: RSS says nothing there.
RSS_MEANINGFUL = "libasan" not in os.environ.get("LD_PRELOAD", "")

DESCS = ["weather in a city", "send an email", "book a table"]
PAIRS = [(QUERY, TOOLS), ("Send mail to Bob", TOOLS)]


def _calls(e, data):
    # (label, iterations, callable, argument objects whose counts must not move)
    q, t = QUERY, TOOLS
    cb = lambda i, p: None  # noqa: E731
    return [
        ("run", 60, lambda: e.run(q, t), [q, t]),
        ("run_json", 60, lambda: e.run_json(q, t), [q, t]),
        ("generate", 300, lambda: e.generate(q, t, max_new_tokens=3, temperature=0.5, seed=7,
                                             system="be brief", constrain=False), [q, t]),
        ("run_stream", 60, lambda: e.run_stream(q, t, cb), [q, t, cb]),
        ("run_batch", 30, lambda: e.run_batch(PAIRS), [PAIRS, PAIRS[0]]),
        ("encode_contrastive", 1500, lambda: e.encode_contrastive(q), [q]),
        ("contrastive_dim", 3000, lambda: e.contrastive_dim(), []),
        ("confidence_for", 300, lambda: e.confidence_for(q, t, "x"), [q, t]),
        ("confidence", 1500, lambda: e.confidence(q), [q]),
        ("confidence_probability", 1500, lambda: e.confidence_probability(q), [q]),
        ("retrieve_tools", 300, lambda: e.retrieve_tools(q, DESCS, 2), [q, DESCS]),
        ("config", 3000, lambda: e.config(), []),
    ]


def _failing_calls(e, data, untokenized):
    q, t = QUERY, TOOLS
    ba = bytearray(b"xx")
    bad_pairs = [(q, t), (q, t, q)]
    return [
        ("negative count", 3000, lambda: e.generate(q, t, max_new_tokens=-1), OverflowError, [q, t]),
        ("bytearray", 3000, lambda: V2Engine.from_bytes(ba), TypeError, [ba]),
        ("bad container", 3000, lambda: V2Engine.from_bytes(b"junk"), OSError, []),
        ("missing file", 3000, lambda: V2Engine.load("/nonexistent/model.trov"), OSError, []),
        ("str as sequence", 3000, lambda: e.retrieve_tools(q, "abc", 1), TypeError, [q]),
        ("tuple length", 3000, lambda: e.run_batch(bad_pairs), TypeError, [bad_pairs, bad_pairs[1]]),
        ("binding", 3000, lambda: e.run(q, t, q), TypeError, [q, t]),
        ("panic", 1000, lambda: untokenized.generate(q, t), vorpel_rs.PanicException, [q, t]),
        ("surrogate", 3000, lambda: e.run("\ud800", t), UnicodeEncodeError, [t]),
    ]


def _measure(fn, n, watched, expect=None):
    def once():
        if expect is None:
            r = fn()
            del r
        else:
            try:
                fn()
            except expect:
                pass
            else:
                raise AssertionError("no exception")
    for _ in range(20):
        once()
    gc.collect()
    counts = [sys.getrefcount(o) for o in watched]
    n_objects = len(gc.get_objects())
    rss0 = rss_kib()
    tracemalloc.start()
    base, _ = tracemalloc.get_traced_memory()
    for _ in range(n):
        once()
    gc.collect()
    grown = tracemalloc.get_traced_memory()[0] - base
    tracemalloc.stop()
    return ([sys.getrefcount(o) for o in watched] == counts, counts, grown,
            len(gc.get_objects()) - n_objects, rss_kib() - rss0)


def _check(label, n, result):
    same_counts, counts, grown, objects, rss = result
    print(label, n, grown, objects, rss)
    assert same_counts, (label, counts)
    # One leaked object of any kind per call is >= 24 bytes.
    assert grown < 8 * n + 1024, (label, grown)
    assert objects < 10, (label, objects)
    assert rss < 4096 or not RSS_MEANINGFUL, (label, rss)


def test_successful_calls_do_not_leak(engine, engine_bytes):
    for label, n, fn, watched in _calls(engine, engine_bytes):
        _check(label, n, _measure(fn, n, watched))
    assert borrow_counter(engine).value == 0


def test_failing_calls_do_not_leak(engine, engine_bytes, untokenized_engine):
    for label, n, fn, exc, watched in _failing_calls(engine, engine_bytes, untokenized_engine):
        _check(label, n, _measure(fn, n, watched, exc))


def test_results_hold_no_extra_references(engine):
    # Counts are taken outside the asserts, whose rewriting keeps temporaries.
    # getrefcount's own argument adds one.
    r = engine.generate(QUERY, TOOLS, max_new_tokens=4)
    counts = [sys.getrefcount(r)] + [sys.getrefcount(r[k]) for k in ("text", "stop_reason", "token_ids")]
    assert counts == [2, 2, 2, 2]
    c = engine.config()
    counts = [sys.getrefcount(c["engram_sites"]), sys.getrefcount(c["rope_theta"])]
    assert counts == [2, 2]
    emb = engine.encode_contrastive(QUERY)
    counts = [sys.getrefcount(emb)] + [sys.getrefcount(emb[i]) for i in range(len(emb))]
    assert counts == [2] * (1 + len(emb))
    ranked = engine.retrieve_tools(QUERY, DESCS, 3)
    counts = [sys.getrefcount(ranked[i]) for i in range(len(ranked))] + [sys.getrefcount(ranked[0][1])]
    assert counts == [2] * (len(ranked) + 1)
    s = engine.run(QUERY, TOOLS)
    counts = [sys.getrefcount(s)]
    assert counts == [2]


def test_engines_are_freed(engine_bytes):
    for _ in range(5):
        V2Engine.from_bytes(engine_bytes)
    gc.collect()
    rss0 = rss_kib()
    for _ in range(300):
        e = V2Engine.from_bytes(engine_bytes)
        e.contrastive_dim()
        del e
    gc.collect()
    # A kept engine would cost its decoded weights (far above 10 KiB) each time.
    assert rss_kib() - rss0 < 3072 or not RSS_MEANINGFUL


def test_callback_is_released(engine):
    def cb(i, p):
        pass
    before = sys.getrefcount(cb)
    for _ in range(10):
        engine.run_stream(QUERY, TOOLS, cb)
    assert sys.getrefcount(cb) == before


def test_callback_and_sequence_failure_paths_do_not_leak(engine, untokenized_engine):
    q, t = QUERY, TOOLS

    def raising(i, p):
        raise ValueError(p)

    def interrupting(i, p):
        raise KeyboardInterrupt

    def panicking(i, p):
        untokenized_engine.run(q, t)  # PanicException inside the callback, discarded

    seen = [0]

    def reentrant(i, p):
        seen[0] += 1
        engine.config()
        if seen[0] % 64 == 1:
            engine.generate(p, "", max_new_tokens=1)

    bad_descs = ItemSequence(["a", "b", 3, "d"])
    bad_pairs = ItemSequence([(q, t), (q, t), (q, 5)])
    cases = [
        ("raising callback", 40, lambda: engine.run_stream(q, t, raising), None, [q, t, raising]),
        ("interrupting callback", 300, lambda: engine.run_stream(q, t, interrupting), KeyboardInterrupt,
         [q, t, interrupting]),
        ("panic in callback", 20, lambda: engine.run_stream(q, t, panicking), None, [q, t, panicking]),
        ("re-entrant callback", 20, lambda: engine.run_stream(q, t, reentrant), None, [q, t, reentrant]),
        ("bad item in a Sequence", 3000, lambda: engine.retrieve_tools(q, bad_descs, 1), TypeError,
         [q, bad_descs, bad_descs.items[0]]),
        ("bad pair in a Sequence", 3000, lambda: engine.run_batch(bad_pairs), TypeError,
         [bad_pairs, bad_pairs.items[0], bad_pairs.items[2]]),
    ]
    for label, n, fn, exc, watched in cases:
        _check(label, n, _measure(fn, n, watched, exc))
    assert borrow_counter(engine).value == 0
    assert borrow_counter(untokenized_engine).value == 0
