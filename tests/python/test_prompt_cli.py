"""`vorpel prompt`: the exact chat prompt for a query and a tools file."""
import subprocess


def run_prompt(cli, *args):
    return subprocess.run([str(cli), "prompt", *args], capture_output=True)


def test_prompt_bytes_without_and_with_system(vorpel_cli, tmp_path):
    tools = tmp_path / "tools.json"
    tools.write_text('[ {\n  "name" : "get_weather",\n  "description": "say \\"hi\\"  there" } ]\n')
    compact = '[{"name":"get_weather","description":"say \\"hi\\"  there"}]'

    r = run_prompt(vorpel_cli, "--query", "Weather in Oslo?", "--tools-file", str(tools))
    assert r.returncode == 0, r.stderr
    user = (f"<|im_start|>user\n<tools>{compact}</tools>\nWeather in Oslo?<|im_end|>\n"
            "<|im_start|>assistant\n")
    assert r.stdout.decode() == user

    r = run_prompt(vorpel_cli, "--system", "", "--query", "", "--tools-file", str(tools))
    assert r.returncode == 0, r.stderr
    assert r.stdout.decode() == (
        "<|im_start|>system\n<|im_end|>\n"
        f"<|im_start|>user\n<tools>{compact}</tools>\n<|im_end|>\n<|im_start|>assistant\n")


def test_prompt_errors(vorpel_cli, tmp_path):
    r = run_prompt(vorpel_cli, "--query", "q")
    assert r.returncode == 1
    missing = tmp_path / "missing.json"
    r = run_prompt(vorpel_cli, "--query", "q", "--tools-file", str(missing))
    assert r.returncode == 2
    assert r.stderr.decode().strip() == f"{missing}: No such file or directory (os error 2)"
    r = run_prompt(vorpel_cli, "--query", "q", "--tools-file")
    assert r.returncode == 1
    r = run_prompt(vorpel_cli, "--bogus", "x")
    assert r.returncode == 1
