"""Shared set-up of the vorpel_rs module tests: seeded random containers and
the loaded engines built from them."""
import collections.abc
import ctypes
import os
import pathlib
import sys

import pytest

vorpel_rs = pytest.importorskip("vorpel_rs")
v2w = pytest.importorskip("vorpel_writer.v2")

V2Engine = vorpel_rs.V2Engine

# Contrastive (kind 1) and confidence (kind 2) heads: (kind, probes, out_dim).
HEADS = [(1, 2, 8), (2, 1, 1)]

TOOLS = ('[{"name": "get_weather", "description": "Current weather for a city", '
         '"parameters": {"type": "object", "properties": {"city": {"type": "string"}}, '
         '"required": ["city"]}}]')
QUERY = "What is the weather in Paris?"


def container(seed, **kw):
    """Bytes of a seeded random container (tokenizer and both heads unless pinned)."""
    kw.setdefault("tokenizer", True)
    kw.setdefault("heads", HEADS)
    kw.setdefault("max_seq_len", 512)
    return v2w.random_v2_container(seed, **kw).data


@pytest.fixture(scope="session")
def engine_bytes():
    return container(11)


@pytest.fixture(scope="session")
def engine(engine_bytes):
    return V2Engine.from_bytes(engine_bytes)


@pytest.fixture(scope="session")
def engine_path(engine_bytes, tmp_path_factory):
    p = tmp_path_factory.mktemp("h8") / "model.trov"
    p.write_bytes(engine_bytes)
    return p


@pytest.fixture(scope="session")
def headless_engine():
    return V2Engine.from_bytes(container(12, heads=False, engram=False))


@pytest.fixture(scope="session")
def untokenized_engine():
    return V2Engine.from_bytes(container(13, tokenizer=False, heads=False))


def rss_kib():
    """Resident set size of this process in KiB (Linux)."""
    for line in pathlib.Path("/proc/self/status").read_text().splitlines():
        if line.startswith("VmRSS:"):
            return int(line.split()[1])
    return 0


def seed_note(seed):
    return f"seed={seed} (set VORPEL_TEST_SEED to reproduce)"


def env_seed(default):
    return int(os.environ.get("VORPEL_TEST_SEED", default))


def borrow_counter(obj):
    """The shared-access counter: the first field after the object header."""
    return ctypes.c_ssize_t.from_address(id(obj) + sys.getsizeof(object()))


class ItemSequence(collections.abc.Sequence):
    """A Sequence that is neither a list nor a tuple: items by index only."""

    def __init__(self, items):
        self.items = items

    def __len__(self):
        return len(self.items)

    def __getitem__(self, i):
        return self.items[i]
