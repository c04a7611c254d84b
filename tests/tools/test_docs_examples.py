"""The examples a new user copies run as written: every ```python block of README.md and docs/*.md
(run with the built module and tools from a directory outside the source tree, then type-checked
with `mypy --strict` through the stubs), and every `vorn` example of `--help` and of the README.

A block fenced ```python skip needs real hardware or a network: it is shown, not run. The `--help`
examples that need the installed SDK (`vorn sdk`'s cmake lines) run in tests/sdk_consumer/check.sh
against a pip-installed package."""

import os
import pathlib
import re
import shlex
import signal
import subprocess
import sys

import pytest

import pyvorn_device

ROOT = pathlib.Path(__file__).resolve().parents[2]
MODULE_DIR = pathlib.Path(pyvorn_device.__file__).resolve().parent
TOOLS_DIR = ROOT / "tools"
sys.path.insert(0, str(TOOLS_DIR))
from pyvorn_device_tools import cli  # noqa: E402

FENCE = re.compile(r"^```(python|sh)([^\n]*)\n(.*?)^```", re.MULTILINE | re.DOTALL)
DOCUMENTS = [ROOT / "README.md", *sorted((ROOT / "docs").glob("*.md"))]


def blocks(language: str) -> list[tuple[str, str]]:
    """(document:line, code) of every block in `language` that is not marked skip."""
    found = []
    for document in DOCUMENTS:
        text = document.read_text()
        for block in FENCE.finditer(text):
            if block.group(1) == language and "skip" not in block.group(2).split():
                line = text.count("\n", 0, block.start()) + 1
                found.append((f"{document.relative_to(ROOT)}:{line}", block.group(3)))
    return found


PYTHON_BLOCKS = blocks("python")


def environment() -> dict[str, str]:
    # The module as built and the tools from the source tree: what `pip install` puts together.
    return dict(os.environ, PYTHONPATH=os.pathsep.join([str(MODULE_DIR), str(TOOLS_DIR)]))


@pytest.mark.parametrize("where, code", PYTHON_BLOCKS, ids=[w for w, _ in PYTHON_BLOCKS])
def test_python_block_runs_as_written(tmp_path, where, code):
    script = tmp_path / "block.py"
    script.write_text(code)
    done = subprocess.run([sys.executable, str(script)], cwd=tmp_path, env=environment(),
                          capture_output=True, text=True, timeout=120)
    assert done.returncode == 0, f"{where}:\n{done.stdout}\n{done.stderr}"


def test_python_blocks_type_check_strictly(tmp_path):
    assert PYTHON_BLOCKS, "the README has runnable Python blocks"
    files = []
    for index, (where, code) in enumerate(PYTHON_BLOCKS):
        files.append(tmp_path / f"block_{index}.py")
        files[-1].write_text(f"# {where}\n{code}")
    env = dict(os.environ, MYPYPATH=os.pathsep.join([str(ROOT / "stubs"), str(TOOLS_DIR)]))
    # The project's settings: its overrides for the untyped libraries the tools import.
    done = subprocess.run([sys.executable, "-m", "mypy", "--strict", "--config-file",
                           str(ROOT / "pyproject.toml"), "--cache-dir",
                           str(tmp_path / "cache"), *map(str, files)],
                          cwd=tmp_path, env=env, capture_output=True, text=True, timeout=600)
    assert done.returncode == 0, done.stdout + done.stderr


def help_examples() -> list[str]:
    """The `vorn` lines of the top-level and every command's `--help` epilog, in order."""
    parser = cli.build_parser()
    epilogs = [parser.epilog or ""]
    epilogs += [command.epilog or "" for action in parser._subparsers._group_actions  # type: ignore[union-attr]
                for command in action.choices.values()]  # type: ignore[union-attr]
    return [line.strip() for epilog in epilogs for line in epilog.splitlines()
            if line.strip().startswith("vorn ")]


def write_board_map(cwd: pathlib.Path) -> None:
    """board.rdl, the register map the examples name: the one docs/register-maps.md describes."""
    page = (ROOT / "docs" / "register-maps.md").read_text()
    found = re.search(r'^BOARD_RDL = """(.*?)"""', page, re.MULTILINE | re.DOTALL)
    assert found, "docs/register-maps.md defines BOARD_RDL"
    (cwd / "board.rdl").write_text(found.group(1))


def run_vorn_lines(lines: list[str], cwd: pathlib.Path) -> None:
    write_board_map(cwd)
    for line in lines:
        command = [sys.executable, "-m", "pyvorn_device_tools",
                   *shlex.split(line, comments=True)[1:]]
        if "--watch" in command:
            # Runs until Ctrl-C: still watching after a moment, then Ctrl-C ends it cleanly.
            process = subprocess.Popen(command, cwd=cwd, env=environment(), text=True,
                                       stdout=subprocess.PIPE, stderr=subprocess.PIPE)
            with pytest.raises(subprocess.TimeoutExpired):
                process.wait(timeout=2)
            process.send_signal(signal.SIGINT)
            out, err = process.communicate(timeout=60)
            assert process.returncode == 0 and "ctrl" in out, f"{line}\n{out}\n{err}"
            continue
        done = subprocess.run(command, cwd=cwd, env=environment(),
                              capture_output=True, text=True, timeout=300)
        assert done.returncode == 0, f"{line}\n{done.stdout}\n{done.stderr}"


def test_every_help_example_runs(tmp_path):
    examples = help_examples()
    assert {"vorn dump sim 0x2000 256 -f block.bin", "vorn load sim 0x2000 block.bin"} <= set(
        examples)
    run_vorn_lines(examples, tmp_path)


def test_every_vorn_block_of_the_docs_runs(tmp_path):
    # Blocks of `vorn` commands only; those mixed with cmake need the installed SDK (check.sh).
    sh_blocks = [code.splitlines() for _, code in blocks("sh")]
    vorn_blocks = [lines for lines in sh_blocks if lines and
                   all(line.startswith("vorn ") for line in lines)]
    assert vorn_blocks
    for lines in vorn_blocks:
        run_vorn_lines(lines, tmp_path)
