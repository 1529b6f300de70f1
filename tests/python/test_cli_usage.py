"""The command-line tool's usage surface: help on stdout, per-command help, the
version, tools lists checked before any model work, file errors that name the file."""
import pathlib
import re
import subprocess

import pytest

from helpers import cli_commands

ROOT = pathlib.Path(__file__).resolve().parents[2]


def run(cli, *args):
    return subprocess.run([str(cli), *map(str, args)], capture_output=True, text=True, timeout=60)


def test_help_and_version(vorpel_cli):
    out = run(vorpel_cli, "--help")
    assert out.returncode == 0 and out.stderr == ""
    assert "usage: vorpel COMMAND" in out.stdout
    commands = cli_commands(vorpel_cli)
    assert {"inspect", "logits", "prompt", "run", "score", "tokenize", "detokenize"} <= commands
    for name in commands:
        sub = run(vorpel_cli, name, "--help")
        assert (sub.returncode, sub.stderr) == (0, ""), name
        assert sub.stdout.startswith(f"usage: vorpel {name}"), name
    version = re.search(r'^version = "([^"]+)"', (ROOT / "pyproject.toml").read_text(), re.M).group(1)
    assert run(vorpel_cli, "--version").stdout == f"vorpel {version}\n"
    bare = run(vorpel_cli)
    assert bare.returncode == 1 and "usage: vorpel COMMAND" in bare.stderr


@pytest.fixture(scope="module")
def container(tmp_path_factory):
    from vorpel_writer.v3 import random_v3_container
    path = tmp_path_factory.mktemp("cli") / "m.trov"
    path.write_bytes(random_v3_container(1, num_layers=2).data)
    return path


TOOLS_CASES = [
    ("not json", "not valid JSON at byte 0: expected a value"),
    ('{"name":"x"}', "not a JSON array"),
    ("[]", "an empty array"),
    ('[{"name":"x"}, 3]', "element 1 is not an object"),
    ('[{"name":"x"},]', "not valid JSON at byte 14: expected a value"),
    ('[{"name":"x" "y"}]', "not valid JSON at byte 13: expected ',' or '}'"),
]


@pytest.mark.parametrize("text,problem", TOOLS_CASES)
def test_tools_lists_are_checked(vorpel_cli, container, tmp_path, text, problem):
    tools = tmp_path / "tools.json"
    tools.write_text(text)
    suffix = "; the tools must be a non-empty JSON array of tool objects\n"
    for cmd in (["run", container, "--query", "q", "--tools-file", tools], ["prompt", "--query", "q", "--tools-file", tools]):
        out = run(vorpel_cli, *cmd)
        assert (out.returncode, out.stdout, out.stderr) == (2, "", f"tools file {tools}: {problem}{suffix}")
    out = run(vorpel_cli, "run", container, "--query", "q", "--tools", text)
    assert (out.returncode, out.stderr) == (2, f"--tools: {problem}{suffix}")


def test_file_errors_name_the_file(vorpel_cli, container, tmp_path):
    missing = tmp_path / "nope.json"
    for cmd in (["run", container, "--query", "q", "--tools-file", missing],
                ["run", missing, "--query", "q", "--tools", '[{"name":"x"}]'],
                ["inspect", missing], ["logits", missing, "--tokens", "1"]):
        out = run(vorpel_cli, *cmd)
        assert (out.returncode, out.stderr) == (2, f"{missing}: No such file or directory (os error 2)\n"), cmd
