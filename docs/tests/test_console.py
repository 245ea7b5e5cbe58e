"""Every `console` block of the pages runs as it is shown: each `$ ` line a
command, run in a folder of the acquisitions the samples use, with the
commands and interpreter of this environment, the lines after it what it
must print.  `...` stands for any text; expected lines that start with
`error:` or `warning:` are standard error, the others standard output.  A
command whose expected output has no error line must exit with status 0.
`tcp://SCHEDULER:8786` is a Dask scheduler started for the block."""

from __future__ import annotations

import doctest
import glob
import os
import re
import shlex
import subprocess
import sys
from collections.abc import Iterator

import pytest

from conftest import DOCS, ROOT

BLOCK = re.compile(r"^```console\n(.*?)^```", re.M | re.S)
CHECKER = doctest.OutputChecker()
FLAGS = doctest.ELLIPSIS | doctest.NORMALIZE_WHITESPACE
SCHEDULER = "tcp://SCHEDULER:8786"


def blocks() -> Iterator[tuple[str, int, list[tuple[str, list[str]]]]]:
    for path in sorted(glob.glob(os.path.join(DOCS, "**", "*.md"), recursive=True)):
        with open(path, encoding="utf-8") as f:
            text = f.read()
        for match in BLOCK.finditer(text):
            line = text.count("\n", 0, match.start()) + 1
            commands: list[tuple[str, list[str]]] = []
            for row in match.group(1).splitlines():
                if row.startswith("$ "):
                    commands.append((row[2:], []))
                else:
                    assert commands, f"{path}:{line}: output before any command"
                    commands[-1][1].append(row)
            yield os.path.relpath(path, DOCS), line, commands


BLOCKS = list(blocks())


def matches(expected: list[str], got: str) -> bool:
    want = "\n".join(expected) + "\n" if expected else ""
    return CHECKER.check_output(want, got, FLAGS)


@pytest.fixture
def workspace(tmp_path):
    import docsamples

    where = docsamples.make(str(tmp_path))
    # The scripts the pages run by name.
    for script in glob.glob(os.path.join(DOCS, "snippets", "*.py")):
        os.symlink(script, os.path.join(where, os.path.basename(script)))
    os.symlink(os.path.join(ROOT, "examples"), os.path.join(where, "examples"))
    return where


@pytest.fixture
def scheduler() -> Iterator[str]:
    from distributed import LocalCluster

    with LocalCluster(n_workers=1, threads_per_worker=1, processes=True, dashboard_address=None) as cluster:
        yield cluster.scheduler_address


def test_the_pages_have_console_samples():
    assert sum(len(commands) for _, _, commands in BLOCKS) >= 6


@pytest.mark.parametrize("page, line, commands", BLOCKS, ids=[f"{p}:{n}" for p, n, _ in BLOCKS])
def test_console_sample(page, line, commands, workspace, request):
    bin_dir = os.path.dirname(sys.executable)
    env = dict(os.environ, PATH=bin_dir + os.pathsep + os.environ.get("PATH", ""), PYTHONPATH="",
               COLUMNS="120")
    for command, expected in commands:
        if SCHEDULER in command:
            command = command.replace(SCHEDULER, request.getfixturevalue("scheduler"))
        argv = shlex.split(command)
        if argv[0] == "python":
            argv[0] = sys.executable
        done = subprocess.run(argv, cwd=workspace, env=env, capture_output=True, text=True, timeout=600)
        errors = [e for e in expected if e.startswith(("error:", "warning:"))]
        output = [e for e in expected if not e.startswith(("error:", "warning:"))]
        where = f"{page}:{line}: $ {command}"
        assert matches(output, done.stdout), f"{where}\nstandard output:\n{done.stdout}"
        if errors:
            assert matches(errors, done.stderr), f"{where}\nstandard error:\n{done.stderr}"
        else:
            assert done.returncode == 0, f"{where}: status {done.returncode}\n{done.stderr}"
