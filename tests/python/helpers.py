"""Helpers the end-to-end tests share: which commands the CLI offers, its
logits output, and a row-wise closeness check for float arrays."""
import json
import subprocess

import numpy as np
import pytest


def cli_commands(cli):
    """The command names `vorpel --help` lists (the first word of each indented line)."""
    out = subprocess.run([str(cli), "--help"], capture_output=True, text=True)
    return {ln.split()[0] for ln in (out.stdout + out.stderr).splitlines()
            if ln.startswith("  ") and ln.split()}


def require_commands(cli, *names):
    """Skips the calling test or fixture when the CLI lacks any of the commands."""
    listed = cli_commands(cli)
    missing = [n for n in names if n not in listed]
    if missing:
        pytest.skip(f"the CLI has no {', '.join(repr(n) for n in missing)} command yet")


def run_logits(cli, path, tokens, mode="step", all_positions=True):
    """`vorpel logits` as float64: one row per position, or the last row only."""
    cmd = [str(cli), "logits", str(path), "--tokens", ",".join(str(int(t)) for t in tokens),
           "--mode", mode]
    if all_positions:
        cmd.append("--all")
    out = subprocess.run(cmd, capture_output=True, text=True, timeout=120)
    assert out.returncode == 0, f"vorpel logits failed ({out.returncode}): {out.stderr}"
    return np.asarray(json.loads(out.stdout), dtype=np.float64)


def assert_rows_close(got, want, tol, what):
    """|got - want| <= tol * max(1, max |want row|) in every row; names the worst element of
    the first row off."""
    got, want = np.atleast_2d(got), np.atleast_2d(want)
    assert got.shape == want.shape, f"{what}: shape {got.shape} vs {want.shape}"
    bound = tol * np.maximum(1.0, np.abs(want).max(axis=1))
    err = np.abs(got - want).max(axis=1)
    bad = np.nonzero(err > bound)[0]
    if bad.size:
        p = int(bad[0])
        j = int(np.argmax(np.abs(got[p] - want[p])))
        pytest.fail(f"{what}: row {p} element {j}: got {got[p, j]!r}, want {want[p, j]!r}, "
                    f"|diff| {err[p]:.3g} > bound {bound[p]:.3g} ({bad.size} of {len(err)} rows off)")
