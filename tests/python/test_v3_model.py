"""Third-generation model through `vorpel logits`: agreement with the numpy
reference over a table of feature mixes, rungs and both cache storages, and
the loader's texts for malformed containers, in order."""
import copy
import struct
import subprocess

import numpy as np
import pytest

from helpers import assert_rows_close, require_commands, run_logits
from reference import v3 as ref
from vorpel_writer.trov import HEADER_FIELDS
from vorpel_writer.v3 import random_v3_container, write_v3

# Feature mixes: each pins what it is about; the rest is random per seed.
MIXES = {
    "plain": dict(num_layers=2, lanes=1, kv_window=0, qkv_conv_taps=0, engram_sites=[], heads=False),
    "window_smaller_than_prompt": dict(num_layers=4, kv_window=3, global_layers=[1, 3], lanes=2),
    "all_local_window_2": dict(num_layers=3, kv_window=2, global_layers=[]),
    "qkv_conv_taps": dict(num_layers=3, qkv_conv_taps=3, kv_window=0),
    "engram_order_0_and_3_seed_stride": dict(num_layers=3, orders=[0, 3], engram_seed_stride=7,
                                             engram_sites=[0, 0, 2]),
    "engram_orders_1_2_no_stride": dict(num_layers=2, orders=[1, 2], engram_seed_stride=0,
                                        engram_sites=[1]),
    "four_lanes_logit_rows_below_vocab": dict(num_layers=2, lanes=4, logit_rows=57),
    "value_dim_and_unaligned_width": dict(num_layers=2, value_dim=6, d_model=24),
}
# The cut of a single rounding flip (one quantum of one stored value, at most
# 1/127 of its head vector's largest entry) is what an int8 run may differ by;
# f32 runs differ only in summation order.
TOLERANCE = {False: 2e-5, True: 1.5 / 127}


@pytest.fixture(scope="module")
def cli(vorpel_cli):
    require_commands(vorpel_cli, "logits")
    return vorpel_cli


def _container(tmp_path, name, seed, **pins):
    r = random_v3_container(seed, **pins)
    path = tmp_path / f"{name}-{seed}.trov"
    path.write_bytes(r.data)
    return r, path


def _tokens(model, n, seed):
    rng = np.random.default_rng(seed)
    # A few ids at and past vocab_size: they read the last embedding row.
    return [int(t) for t in rng.integers(0, model.vocab_size + 3, n)]


def _logits_args(depth, int8):
    extra = []
    if depth is not None:
        extra += ["--depth", str(depth)]
    if int8:
        extra.append("--kv-int8")
    return extra


def _cli_logits(cli, path, tokens, mode, extra):
    out = subprocess.run([str(cli), "logits", str(path), "--tokens", ",".join(map(str, tokens)),
                          "--mode", mode, "--all", *extra], capture_output=True, text=True, timeout=120)
    assert out.returncode == 0, out.stderr
    import json
    return np.asarray(json.loads(out.stdout), dtype=np.float64)


@pytest.mark.parametrize("int8", [False, True], ids=["f32", "int8"])
@pytest.mark.parametrize("mix", list(MIXES))
def test_logits_match_reference(cli, tmp_path, mix, int8):
    for seed in (1, 2):
        r, path = _container(tmp_path, mix, seed, **MIXES[mix])
        n_layers = r.geom.num_layers
        for depth in sorted({None, *([2, n_layers - 1] if n_layers >= 3 else [])}, key=lambda d: d or 99):
            model = ref.V3Reference(r.data, depth)
            tokens = _tokens(model, 11 + seed * 5, seed)
            want = model.logits(tokens, kv_int8=int8)
            for mode in ("step", "prefill"):
                got = _cli_logits(cli, path, tokens, mode, _logits_args(depth, int8))
                assert_rows_close(got, want, TOLERANCE[int8],
                                  f"{mix} seed {seed} depth {depth} {mode} int8={int8}")


def test_prefill_over_several_chunks_with_a_short_window(cli, tmp_path):
    """300 positions: chunks of 128 whose rows attend across the chunk border
    through a ring of 5 slots that every chunk overwrites many times."""
    for int8 in (False, True):
        r, path = _container(tmp_path, "long", 3, num_layers=2, kv_window=5, global_layers=[1],
                             max_seq_len=512, qkv_conv_taps=2)
        model = ref.V3Reference(r.data)
        tokens = _tokens(model, 300, 4)
        want = model.logits(tokens, kv_int8=int8)
        got = _cli_logits(cli, path, tokens, "prefill", _logits_args(None, int8))
        assert_rows_close(got, want, TOLERANCE[int8], f"long prompt int8={int8}")


def test_logits_input_is_cut_to_the_context(cli, tmp_path):
    r, path = _container(tmp_path, "short_ctx", 5, num_layers=2, max_seq_len=8, kv_window=0)
    model = ref.V3Reference(r.data)
    tokens = _tokens(model, 12, 5)
    got = _cli_logits(cli, path, tokens, "prefill", [])
    assert got.shape == (8, model.logit_rows)
    assert_rows_close(got, model.logits(tokens[:8]), TOLERANCE[False], "cut input")


# ---------------------------------------------------------------- load texts

def _set_u32(data: bytearray, name: str, value: int):
    off = HEADER_FIELDS[3][name][0]
    struct.pack_into("<I", data, off, value)


def _base(**pins):
    pins = {"num_layers": 3, "lanes": 2, "orders": [1, 2], "engram_sites": [1], "qkv_conv_taps": 0,
            "heads": [(2, 1, 1, 1)], "d_model": 16, "value_dim": 8, **pins}
    return random_v3_container(11, **pins)


def _patched(fields: dict):
    data = bytearray(_base().data)
    for name, value in fields.items():
        _set_u32(data, name, value)
    return bytes(data)


def _rewritten(edit, **pins):
    r = _base(**pins)
    weights = copy.deepcopy(r.info["weights"])
    geom = copy.deepcopy(r.geom)
    edit(geom, weights)
    return write_v3(geom, weights)


def _expect_load_error(cli, tmp_path, data, text, depth=None):
    path = tmp_path / "broken.trov"
    path.write_bytes(data)
    cmd = [str(cli), "logits", str(path), "--tokens", "1,2"]
    if depth is not None:
        cmd += ["--depth", str(depth)]
    out = subprocess.run(cmd, capture_output=True, text=True, timeout=60)
    assert out.returncode == 2, (out.returncode, out.stdout, out.stderr)
    assert out.stderr.strip() == text


def _d():
    return _base().geom


LOAD_CASES = {
    # The header's own derivation checks, in their order.
    "no orders": (lambda: _patched({"order_count": 0, "num_tables": 0}), "container declares no engram orders"),
    "tables not a multiple of orders": (
        lambda: _patched({"num_tables": 5}),
        "engram tables 5 is not a multiple of 2 orders, so the per-order head count is undefined"),
    "zero tables": (lambda: _patched({"num_tables": 0}), "header field num_tables must be non-zero"),
    "sub_dim disagrees": (lambda: _patched({"sub_dim": _d().sub_dim + 1}),
                          f"engram sub_dim {_d().sub_dim + 1} disagrees with d_model / (orders * heads) = "
                          f"{_d().sub_dim}"),
    "d_model 0 fails the sub_dim check first": (
        lambda: _patched({"d_model": 0}), f"engram sub_dim {_d().sub_dim} disagrees with d_model / (orders * heads) = 0"),
    "kv heads zero": (lambda: _patched({"num_kv_heads": 0}), f"{_d().num_heads} query heads do not divide into 0 kv heads"),
    "kv heads do not divide": (lambda: _patched({"num_heads": 3, "num_kv_heads": 2}),
                               "3 query heads do not divide into 2 kv heads"),
    # Sanity of the other words, in header order.
    "vocab 0": (lambda: _patched({"vocab_size": 0}), "header field vocab_size must be non-zero"),
    "logit_rows above vocab": (lambda: _patched({"logit_rows": _d().vocab_size + 1}),
                               "header field logit_rows must not exceed vocab_size"),
    "num_layers 0": (lambda: _patched({"num_layers": 0}), "header field num_layers must be non-zero"),
    "odd head_dim": (lambda: _patched({"head_dim": 7}),
                     "header field head_dim must be even (rotary positions rotate half-splits)"),
    "value_dim 0": (lambda: _patched({"value_dim": 0}), "header field value_dim must be non-zero"),
    "max_seq_len 0": (lambda: _patched({"max_seq_len": 0}), "header field max_seq_len must be non-zero"),
    "lanes 0": (lambda: _patched({"mhc_lanes": 0}), "header field mhc_lanes must be non-zero"),
    "hada_n not a power of two": (lambda: _patched({"hada_n": 24}),
                                  "header field hada_n must be a power of two at or above d_model"),
    "table_rows 0 with a site": (lambda: _patched({"table_rows": 0}), "header field table_rows must be non-zero"),
    "conv_taps 0 with a site": (lambda: _patched({"conv_taps": 0}), "header field conv_taps must be non-zero"),
    "site beyond the blocks": (lambda: _rewritten(lambda g, w: setattr(g, "engram_sites", [7])),
                               "header field engram_sites must name blocks below num_layers"),
    # Canon and tensors.
    "canon too short": (lambda: _rewritten(lambda g, w: w.layers.pop()),
                        None),  # filled in below: the count depends on the mix
    "q_norm short": (lambda: _rewritten(lambda g, w: w.layers[0].__setitem__("q_norm", w.layers[0]["q_norm"][:-1])),
                     "tensor 5 (q_norm) holds {} values, the geometry needs {}"),
    "permutation index outside hada_n": (
        lambda: _rewritten(lambda g, w: w.model["perm1"].__setitem__(0, float(g.hada_n))),
        None),
    "no tokenizer": (lambda: _base(tokenizer=False).data, "container carries no tokenizer"),
    "unknown head code": (lambda: _rewritten(lambda g, w: setattr(w.heads[0], "code", 7)),
                          "unknown probe-head code 7"),
    "head tensors ran out": (lambda: _manifest_code(3), "head tensors ran out"),
    "probe rows not a multiple of the cells": (
        lambda: _rewritten(lambda g, w: setattr(w.heads[0], "probes", w.heads[0].probes[:-1])),
        "probe head shapes disagree with num_layers + 1 cells"),
}


def _manifest_code(code):
    """The base container with its one head entry re-labelled in place: code 3
    wants a seventh tensor that is not there (the tokenizer blob ends the section)."""
    from vorpel_writer import trov_read
    data = bytearray(_base().data)
    parsed = trov_read.parse(bytes(data))
    manifest = 1 + 3 * 24 + 11 + 4 + 1
    entry = parsed["tensors"][manifest]
    struct.pack_into("<f", data, entry["offset"], float(code))
    return bytes(data)


def _fill(name, data):
    """Texts whose numbers come from the container itself."""
    g = _d()
    if name == "canon too short":
        group = 24
        need = 1 + 3 * group + 11 + 4 + 1
        return f"canon needs at least {need} tensors, directory has {need - group + 2 + 6}"
    if name == "q_norm short":
        return f"tensor 5 (q_norm) holds {g.head_dim - 1} values, the geometry needs {g.head_dim}"
    if name == "permutation index outside hada_n":
        return f"tensor {1 + 3 * 24 + 9} (perm1) maps position 0 to {g.hada_n}, outside hada_n {g.hada_n}"
    raise KeyError(name)


@pytest.mark.parametrize("name", list(LOAD_CASES))
def test_load_texts(cli, tmp_path, name):
    make, text = LOAD_CASES[name]
    data = make()
    if text is None or "{}" in text:
        text = _fill(name, data)
    _expect_load_error(cli, tmp_path, data, text)


@pytest.mark.parametrize("depth", [0, 1, 4])
def test_depth_outside_the_ladder(cli, tmp_path, depth):
    _expect_load_error(cli, tmp_path, _base().data, "depth is outside the ladder", depth=depth)


def test_tokenizer_that_does_not_decode(cli, tmp_path):
    data = write_v3(_d(), _base().info["weights"], tokenizer_blob=b"\x00" * 30)
    _expect_load_error(cli, tmp_path, data, "embedded tokenizer did not decode")
