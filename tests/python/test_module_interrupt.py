"""Ctrl-C ends a long call: a KeyboardInterrupt raised in a streaming
callback, a SIGINT sent from one, and a signal arriving while the engine runs
without any Python code (polled between prompt chunks and tokens)."""
import _thread
import os
import signal
import time

import pytest

from helpers_h8 import *  # noqa: F401,F403 (names and fixtures)

pytestmark = pytest.mark.skipif(os.name != "posix", reason="POSIX signals")


@pytest.fixture(autouse=True)
def python_sigint_handler():
    """Python's own SIGINT handler for each test: a shell that starts the suite in the
    background leaves SIGINT ignored, and Python then never raises KeyboardInterrupt."""
    previous = signal.signal(signal.SIGINT, signal.default_int_handler)
    yield
    signal.signal(signal.SIGINT, previous)


def test_keyboard_interrupt_from_callback_ends_the_call(engine):
    calls = []

    def cb(i, p):
        calls.append(i)
        if len(calls) == 3:
            raise KeyboardInterrupt

    with pytest.raises(KeyboardInterrupt):
        engine.run_stream(QUERY, TOOLS, cb)
    assert len(calls) == 3
    assert borrow_counter(engine).value == 0
    # The engine is intact afterwards.
    assert engine.run_stream(QUERY, TOOLS, lambda *a: None) == engine.run(QUERY, TOOLS)


@pytest.mark.parametrize("how", ["kill", "interrupt_main"])
def test_sigint_sent_from_callback_ends_the_call(engine, how):
    calls = []

    def cb(i, p):
        calls.append(i)
        if len(calls) == 2:
            if how == "kill":
                os.kill(os.getpid(), signal.SIGINT)
            else:
                _thread.interrupt_main()

    with pytest.raises(KeyboardInterrupt):
        engine.run_stream(QUERY, TOOLS, cb)
    assert 2 <= len(calls) <= 3
    assert borrow_counter(engine).value == 0


def test_other_callback_exceptions_do_not_stop(engine):
    expected = engine.run(QUERY, TOOLS)
    for exc in (ValueError, RuntimeError, SystemExit, GeneratorExit, StopIteration):
        def cb(i, p, exc=exc):
            raise exc("x")
        assert engine.run_stream(QUERY, TOOLS, cb) == expected


def _long_batch():
    return [(f"{QUERY} #{k}", TOOLS) for k in range(1000)]


@pytest.mark.parametrize("handler,exc", [
    (signal.default_int_handler, KeyboardInterrupt),
    (None, TimeoutError),
])
def test_signal_during_engine_work_is_polled(engine, handler, exc):
    if handler is None:
        def handler(signum, frame):
            raise TimeoutError("alarm")
    batch = _long_batch()
    old = signal.signal(signal.SIGALRM, handler)
    try:
        signal.setitimer(signal.ITIMER_REAL, 0.05)
        t0 = time.monotonic()
        with pytest.raises(exc):
            engine.run_batch(batch)
        elapsed = time.monotonic() - t0
    finally:
        signal.setitimer(signal.ITIMER_REAL, 0)
        signal.signal(signal.SIGALRM, old)
    # 1000 generations take several seconds; the call must end soon after the alarm.
    assert elapsed < 1.0, elapsed
    assert borrow_counter(engine).value == 0


def test_signal_with_a_quiet_handler_does_not_stop(engine):
    hits = []
    old = signal.signal(signal.SIGALRM, lambda s, f: hits.append(s))
    try:
        signal.setitimer(signal.ITIMER_REAL, 0.002, 0.002)
        out = engine.run_batch(_long_batch()[:20])
    finally:
        signal.setitimer(signal.ITIMER_REAL, 0)
        signal.signal(signal.SIGALRM, old)
    assert hits, "the handler never ran inside the call"
    assert out == engine.run_batch(_long_batch()[:20])
