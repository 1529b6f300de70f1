"""Packaging: `pip wheel .` builds the extension through CMake, the wheel
installs into a fresh virtual environment together with vorpel_writer, the
module imports and loads a model there, and the type stub is found by mypy
when mypy is available (mypy reads the stub-only package `vorpel_rs-stubs`,
since it takes no stub of a single-file module from site-packages). Takes minutes: runs only with VORPEL_PACKAGING_TEST=1."""
import os
import pathlib
import subprocess
import sys
import textwrap

import pytest

ROOT = pathlib.Path(__file__).resolve().parents[2]

pytestmark = pytest.mark.skipif(os.environ.get("VORPEL_PACKAGING_TEST") != "1",
                                reason="set VORPEL_PACKAGING_TEST=1 to build and install the wheel")


def _run(cmd, **kw):
    r = subprocess.run([str(c) for c in cmd], capture_output=True, text=True, **kw)
    assert r.returncode == 0, f"{cmd} failed ({r.returncode}):\n{r.stdout[-4000:]}\n{r.stderr[-4000:]}"
    return r.stdout


def _venv(path):
    _run([sys.executable, "-m", "venv", path])
    return path / "bin" / "python"


SMOKE = textwrap.dedent("""
    import sys, pathlib
    import vorpel_rs
    from vorpel_writer import v2
    here = pathlib.Path(vorpel_rs.__file__).parent
    assert (here / "vorpel_rs.pyi").is_file(), "type stub not installed beside the module"
    assert (here / "vorpel_rs-stubs" / "__init__.pyi").is_file(), "stub package not installed"
    data = v2.random_v2_container(5, tokenizer=True, heads=False).data
    e = vorpel_rs.V2Engine.from_bytes(data)
    r = e.generate("weather in Paris?", "[]", max_new_tokens=4)
    assert list(r)[:2] == ["text", "tool_call"], r
    print("ok", vorpel_rs.__all__)
""")

TYPED = textwrap.dedent("""
    import vorpel_rs
    e = vorpel_rs.V2Engine.load("model.trov")
    n: int = e.contrastive_dim()
    r = e.generate("q", "[]", max_new_tokens=3)
    t: str = r["text"]
    bad: str = e.contrastive_dim()
""")


@pytest.fixture(scope="module")
def wheel(tmp_path_factory):
    out = tmp_path_factory.mktemp("wheel")
    env = dict(os.environ, CMAKE_BUILD_PARALLEL_LEVEL="2")
    _run([sys.executable, "-m", "pip", "wheel", "--no-deps", "-w", out, ROOT], env=env, cwd=out)
    wheels = list(out.glob("vorpel_rs-*.whl"))
    assert len(wheels) == 1, wheels
    return wheels[0]


def test_wheel_installs_and_imports_in_a_fresh_venv(wheel, tmp_path):
    py = _venv(tmp_path / "venv")
    _run([py, "-m", "pip", "install", "-q", wheel])
    out = _run([py, "-c", SMOKE], cwd=tmp_path)
    assert out.startswith("ok")


def test_pip_install_from_source(tmp_path):
    py = _venv(tmp_path / "venv")
    env = dict(os.environ, CMAKE_BUILD_PARALLEL_LEVEL="2")
    _run([py, "-m", "pip", "install", "-q", ROOT], env=env, cwd=tmp_path)
    out = _run([py, "-c", SMOKE], cwd=tmp_path)
    assert out.startswith("ok")


def test_stub_is_found_by_mypy(wheel, tmp_path):
    py = _venv(tmp_path / "venv")
    _run([py, "-m", "pip", "install", "-q", wheel])
    if subprocess.run([py, "-m", "pip", "install", "-q", "mypy"], capture_output=True).returncode != 0:
        pytest.skip("mypy could not be installed")
    src = tmp_path / "use.py"
    src.write_text(TYPED)
    r = subprocess.run([py, "-m", "mypy", "--no-incremental", src], capture_output=True, text=True, cwd=tmp_path)
    # Exactly the one deliberate error: the stub was found and read.
    assert "use.py:7: error: Incompatible types in assignment" in r.stdout, r.stdout
    assert "Found 1 error" in r.stdout, r.stdout
    assert "missing library stubs" not in r.stdout and "import-not-found" not in r.stdout
