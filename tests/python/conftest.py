"""Shared pytest set-up: where the build put the CLI and the extension module."""
import os
import pathlib
import sys

import pytest

ROOT = pathlib.Path(__file__).resolve().parents[2]
BUILD = pathlib.Path(os.environ.get("VORPEL_BUILD_DIR", ROOT / "build"))

# The numpy reference models live in tests/reference; the writer in python/.
for p in (ROOT / "tests", ROOT / "python", BUILD / "python"):
    if str(p) not in sys.path:
        sys.path.insert(0, str(p))


@pytest.fixture(scope="session")
def vorpel_cli() -> pathlib.Path:
    cli = BUILD / "cli" / "vorpel"
    if not cli.exists():
        pytest.skip(f"CLI not built at {cli}")
    return cli
