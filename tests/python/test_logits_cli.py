"""`vorpel logits`: output shape, exit statuses and the exact error texts."""
import json
import subprocess

import numpy as np
import pytest

from vorpel_writer.v2 import random_v2_container


@pytest.fixture(scope="module")
def model(tmp_path_factory):
    r = random_v2_container(77, lanes=2, engram=True, kv_window=5, max_seq_len=40, tokenizer=False)
    path = tmp_path_factory.mktemp("logits") / "m.trov"
    path.write_bytes(r.data)
    return path, r.geom


def run(cli, *args):
    return subprocess.run([str(cli), "logits", *map(str, args)], capture_output=True, text=True,
                          timeout=60)


def test_output_shapes(vorpel_cli, model):
    path, g = model
    out = run(vorpel_cli, path, "--tokens", "1,2,3", "--all")
    assert out.returncode == 0, out.stderr
    per = json.loads(out.stdout)
    assert [len(p) for p in per] == [g.vocab] * 3
    last = run(vorpel_cli, path, "--tokens", "1,2,3")
    assert json.loads(last.stdout) == per[-1]
    pre = np.array(json.loads(run(vorpel_cli, path, "--tokens", "1,2,3", "--mode", "prefill").stdout))
    assert np.abs(pre - per[-1]).max() <= 1e-4 * max(1.0, np.abs(pre).max())
    assert json.loads(run(vorpel_cli, path, "--tokens", "").stdout) == []


@pytest.mark.parametrize("args", [
    [], ["--tokens", "1"], ["{path}"], ["{path}", "--tokens", "1,x"], ["{path}", "--tokens", "1,,2"],
    ["{path}", "--tokens", "4294967296"], ["{path}", "--tokens", "1", "--mode", "fast"],
    ["{path}", "--tokens", "1", "--mode", "prefill", "--all"], ["{path}", "--tokens", "1", "--bogus"],
])
def test_usage_errors(vorpel_cli, model, args):
    path, _ = model
    out = run(vorpel_cli, *[a.format(path=path) for a in args])
    assert out.returncode == 1, out.stderr
    assert "usage: vorpel logits" in out.stderr


def test_run_errors_exit_2_with_the_message(vorpel_cli, model, tmp_path):
    path, g = model
    for mode in ("step", "prefill"):
        out = run(vorpel_cli, path, "--tokens", f"0,{g.vocab}", "--mode", mode)
        assert (out.returncode, out.stderr) == (2, "token id outside vocabulary\n")
        out = run(vorpel_cli, path, "--tokens", ",".join(["1"] * (g.max_seq_len + 1)), "--mode", mode)
        assert (out.returncode, out.stderr) == (2, "sequence exceeds max_seq_len\n")
    # The tag picks the reader; an unknown one goes to the second-generation reader.
    bad = tmp_path / "bad.trov"
    for head, text in [(b"\x00\x11\x22\x33", "not a trov blob: tag 0x33221100, want 0x05e12a83"),
                       (b"\x84\x2a\xe1\x05", "header codebook is 0 floats, want 28 (cb2|cb3|cb4)")]:
        bad.write_bytes(head + bytes(200))
        out = run(vorpel_cli, bad, "--tokens", "1")
        assert (out.returncode, out.stderr) == (2, text + "\n")
    missing = tmp_path / "missing.trov"
    out = run(vorpel_cli, missing, "--tokens", "1")
    assert (out.returncode, out.stderr) == (2, f"{missing}: No such file or directory (os error 2)\n")
