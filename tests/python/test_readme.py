"""The README's Python example runs as written and prints what the README says it prints.

The example is the ```python block that follows the marker `<!-- example: python -->`; the
```text block after it is its output. Numbers (confidences, similarities) may differ in the
last digits between machines, so they are compared with a tolerance; every other character
must match.
"""
import os
import pathlib
import re
import subprocess
import sys

import pytest

ROOT = pathlib.Path(__file__).resolve().parents[2]
README = ROOT / "README.md"
NUMBER = re.compile(r"-?\d+\.\d+")


def blocks():
    text = README.read_text(encoding="utf-8")
    at = text.index("<!-- example: python -->")
    code = re.search(r"```python\n(.*?)```", text[at:], re.S)
    out = re.search(r"```text\n(.*?)```", text[at + code.end():], re.S)
    return code.group(1), out.group(1)


def test_readme_example_runs_and_prints_what_it_shows():
    pytest.importorskip("vorpel_rs")
    code, shown = blocks()
    env = dict(os.environ, PYTHONPATH=os.pathsep.join(p for p in sys.path if p))
    r = subprocess.run([sys.executable, "-c", code], cwd=ROOT, capture_output=True, text=True, env=env,
                       timeout=300)
    assert r.returncode == 0, r.stderr
    got, want = r.stdout.splitlines(), shown.splitlines()
    assert len(got) == len(want), f"printed:\n{r.stdout}"
    for g, w in zip(got, want):
        assert NUMBER.sub("#", g) == NUMBER.sub("#", w), f"printed {g!r}, the README shows {w!r}"
        for a, b in zip(NUMBER.findall(g), NUMBER.findall(w)):
            assert abs(float(a) - float(b)) <= 0.02, f"printed {g!r}, the README shows {w!r}"
