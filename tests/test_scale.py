"""Many files in pools of worker processes and on a Dask cluster started from
the command line: the README's scripts, run as written over good files and
files that make the reader fail, give every file a result or its error; the
code the README warns against fails the way it says; paths are taken as the
README says; and examples/read_errors.py converts failures as documented."""

import os
import pickle
import re
import shutil
import subprocess
import sys

import pytest

import rawbuilder as rb
import samples
from conftest import PanicException, velmaro

HERE = os.path.dirname(os.path.abspath(__file__))
README = os.path.join(HERE, "..", "README.md")
EXAMPLES = os.path.join(HERE, "..", "examples")
sys.path.insert(0, EXAMPLES)

import read_errors  # noqa: E402
from read_errors import ReadError  # noqa: E402

TIMEOUT = 180


def readme_scripts():
    """The README's Python blocks that begin "# NAME.py: ", by name."""
    with open(README) as f:
        return {name: code for code, name in re.findall(r"```python\n(# (\w+\.py): .*?)```", f.read(), re.S)}


@pytest.fixture(scope="module")
def runs(tmp_path_factory):
    """Good files in both layouts, and files that fail in every way a file
    can: too short for its layout, a device, a directory, a dangling link,
    shorter than the header."""
    root = tmp_path_factory.mktemp("runs")
    samples.sample_image().write(str(root / "orbitrap" / "a.raw"))
    samples.sample_image().write(str(root / "orbitrap" / "b.raw"))
    small = rb.RawImage().header(version=57)
    for i in range(48):
        small.rt(i, 0.25 * i, small=True)
    small.write(str(root / "small.RAW"))
    rb.RawImage(40).header(version=66).write(str(root / "orbitrap_short.raw"))
    os.symlink("/dev/zero", root / "zero.raw")
    os.mkdir(root / "folder.raw")
    os.symlink(root / "gone", root / "gone.raw")
    (root / "tiny.raw").write_bytes(b"0123456789")
    return str(root)


def expected_lines(runs):
    """What each script prints for each file: a result on standard output,
    or the error on standard error, from the reader in this process."""
    out, err = set(), set()
    for name in sorted(os.listdir(runs)) + ["orbitrap/a.raw", "orbitrap/b.raw"]:
        path = os.path.join(runs, name)
        if name == "orbitrap":
            continue
        try:
            reader = velmaro.RawFileReader(path)
        except BaseException as e:
            err.add(f"error: {path}: {type(e).__name__}: {e}")
            continue
        out.add(f"{path} {reader.num_scans} {reader.get_rt(reader.num_scans)}")
    return out, err


def run_script(tmp_path, name, args, start_method=None):
    """A README script beside a copy of read_errors.py, run in a fresh
    interpreter from its own directory."""
    script = tmp_path / name
    script.write_text(readme_scripts()[name])
    shutil.copy(os.path.join(EXAMPLES, "read_errors.py"), tmp_path)
    if start_method is None:
        command = [sys.executable, str(script), *args]
    else:
        command = [sys.executable, "-c", f"import multiprocessing, runpy, sys\n"
                   f"multiprocessing.set_start_method({start_method!r})\n"
                   f"sys.argv = sys.argv[1:]\n"
                   f"runpy.run_path(sys.argv[0], run_name='__main__')\n", str(script), *args]
    return subprocess.run(command, cwd=tmp_path, capture_output=True, text=True, timeout=TIMEOUT)


@pytest.mark.parametrize("name,start_method", [
    ("summarise_pool.py", "fork"),
    ("summarise_pool.py", "spawn"),
    ("summarise_futures.py", "fork"),
    ("summarise_futures.py", "spawn"),
    ("summarise_dask.py", None),
])
def test_readme_scripts_answer_for_every_file(request, runs, tmp_path, name, start_method):
    if name == "summarise_dask.py":
        pytest.importorskip("cloudpickle")
        args = [request.getfixturevalue("dask_cluster").address, runs]
    else:
        args = [runs]
    result = run_script(tmp_path, name, args, start_method)
    assert result.returncode == 0, result.stderr
    assert "Traceback" not in result.stderr
    out, err = expected_lines(runs)
    assert len(out) == 3 and len(err) == 5
    assert set(result.stdout.splitlines()) == out
    # The workers' diagnostics of the internal failures go to the same place,
    # each in one write, which may fall between a line and its line feed.
    stderr = re.sub(r"velmaro: internal failure at [^\n]*:\n[^\n]*\n", "", result.stderr)
    assert {line for line in stderr.splitlines() if line.startswith("error: ")} == err


# Task functions in a module that the workers import as well: they go by
# name, so the class may be named directly.
INSTALLED_TASKS = """
from read_errors import reads_file
from velmaro import RawFileReader

@reads_file
def summarise(path):
    reader = RawFileReader(path)
    return reader.num_scans, reader.get_rt(reader.num_scans)
"""
INSTALLED_CLIENT = """
import glob, os, sys
from distributed import Client
from read_errors import ReadError
import installed_tasks
paths = sorted(glob.glob(os.path.join(sys.argv[2], "**", "*.[Rr][Aa][Ww]"), recursive=True))
with Client(sys.argv[1], timeout=30) as client:
    for path, future in zip(paths, client.map(installed_tasks.summarise, paths, pure=False)):
        try:
            print(path, *future.result(timeout=60))
        except ReadError as e:
            print(f"error: {e}", file=sys.stderr)
"""


def test_dask_tasks_in_a_module_the_workers_import(dask_cluster, runs, tmp_path):
    for directory in [dask_cluster.modules, tmp_path]:
        (directory / "installed_tasks.py").write_text(INSTALLED_TASKS)
        shutil.copy(os.path.join(EXAMPLES, "read_errors.py"), directory)
    (tmp_path / "client.py").write_text(INSTALLED_CLIENT)
    result = subprocess.run([sys.executable, "client.py", dask_cluster.address, runs], cwd=tmp_path,
                            capture_output=True, text=True, timeout=TIMEOUT)
    assert result.returncode == 0, result.stderr
    out, err = expected_lines(runs)
    assert set(result.stdout.splitlines()) == out
    assert set(result.stderr.splitlines()) == err


# What the README says that code left unconverted does.
UNCONVERTED = {
    "pool": ("""
import multiprocessing, sys
from velmaro import RawFileReader
def summarise(path):
    return RawFileReader(path).num_scans
if __name__ == "__main__":
    multiprocessing.set_start_method(sys.argv[1])
    with multiprocessing.Pool(2) as pool:
        pending = pool.map_async(summarise, sys.argv[2:])
        try:
            pending.get(timeout=5)
            print("returned")
        except multiprocessing.TimeoutError:
            print("still waiting")
""", "still waiting"),
    "futures": ("""
import concurrent.futures, multiprocessing, sys
from velmaro import RawFileReader
def summarise(path):
    return RawFileReader(path).num_scans
if __name__ == "__main__":
    context = multiprocessing.get_context(sys.argv[1])
    with concurrent.futures.ProcessPoolExecutor(2, mp_context=context) as pool:
        try:
            pool.submit(summarise, sys.argv[2]).result(timeout=60)
        except BaseException as e:
            print(type(e).__name__, str(e))
""", "PicklingError Can't pickle <class 'pyo3_runtime.PanicException'>"),
    "dask-class": ("""
import sys
from distributed import Client
from velmaro import RawFileReader
def summarise(path):
    return RawFileReader(path).num_scans
if __name__ == "__main__":
    with Client(sys.argv[1], timeout=30) as client:
        try:
            client.submit(summarise, sys.argv[2], pure=False).result(timeout=60)
        except BaseException as e:
            print(type(e).__name__, str(e).splitlines()[0], "caused by", repr(e.__cause__))
""", "RuntimeError Error during deserialization of the task graph. This frequently caused by "
     "AttributeError(\"type object 'RawFileReader' has no attribute"),
    "dask-panic": ("""
import asyncio, sys
from distributed import Client, wait
import velmaro
def summarise(path):
    return velmaro.RawFileReader(path).num_scans
if __name__ == "__main__":
    with Client(sys.argv[1], timeout=30) as client:
        future = client.submit(summarise, sys.argv[2], pure=False)
        wait(future, timeout=60)
        print(future.status, repr(future.exception(timeout=10)))
        try:
            future.result(timeout=5)
        except (TimeoutError, asyncio.TimeoutError):  # two classes before Python 3.11
            print("result() still waiting")
        workers = len(client.scheduler_info()["workers"])
        print(workers, "workers, then", client.submit(summarise, sys.argv[3], pure=False).result(timeout=60))
""", "error PanicException('range start index 6464170 out of range for slice of length 40')\n"
     "result() still waiting\n2 workers, then 145"),
}


@pytest.mark.parametrize("case,start_method", [
    ("pool", "fork"), ("pool", "spawn"), ("futures", "fork"), ("futures", "spawn"),
    ("dask-class", None), ("dask-panic", None),
])
def test_unconverted_failures_do_what_the_readme_says(request, runs, tmp_path, case, start_method):
    code, expected = UNCONVERTED[case]
    short, good = os.path.join(runs, "orbitrap_short.raw"), os.path.join(runs, "orbitrap", "a.raw")
    if case.startswith("dask"):
        args = [request.getfixturevalue("dask_cluster").address, short if case == "dask-panic" else good, good]
    else:
        args = [start_method, short, good]
    script = tmp_path / "unconverted.py"
    script.write_text(code)
    result = subprocess.run([sys.executable, str(script), *args], cwd=tmp_path, capture_output=True, text=True,
                            timeout=TIMEOUT)
    assert result.returncode == 0, result.stderr
    assert result.stdout.startswith(expected), result.stdout + result.stderr


# ---- paths -------------------------------------------------------------------


def test_the_layout_follows_the_path_text(tmp_path, monkeypatch):
    sample = samples.sample_image().write(str(tmp_path / "orbitrap" / "run42.raw"))
    rt = velmaro.RawFileReader(sample).get_rt(2)
    assert rt != 0.0
    os.makedirs(tmp_path / "runs")
    os.symlink(sample, tmp_path / "runs" / "run42.raw")
    os.symlink(sample, tmp_path / "runs" / "orbitrap_link.raw")
    monkeypatch.chdir(tmp_path / "orbitrap")
    given = {
        "run42.raw": 0.0,  # no "orbitrap" in the text
        os.path.abspath("run42.raw"): rt,
        str(tmp_path / "runs" / "run42.raw"): 0.0,  # the link's name counts
        os.path.realpath(tmp_path / "runs" / "run42.raw"): rt,
        str(tmp_path / "runs" / "orbitrap_link.raw"): rt,
    }
    assert {path: velmaro.RawFileReader(path).get_rt(2) for path in given} == given


def test_a_relative_path_is_resolved_again_at_every_call(tmp_path, monkeypatch):
    samples.sample_image().write(str(tmp_path / "orbitrap" / "run.raw"))
    monkeypatch.chdir(tmp_path)
    reader = velmaro.RawFileReader("orbitrap/run.raw")
    before = reader.get_rt(2), reader.native_get_peaks(2), len(reader.get_trailer_extra(2)), reader.get_error_logs()
    assert before[1] is not None and before[2] > 5 and before[3]
    monkeypatch.chdir(tmp_path / "orbitrap")
    assert (reader.get_rt(2), reader.native_get_peaks(2), len(reader.get_trailer_extra(2)),
            reader.get_error_logs()) == (before[0], None, 5, [])
    with pytest.raises(PanicException):
        reader.initialize_caches()


# ---- the helper --------------------------------------------------------------


@pytest.mark.parametrize("raised,kind", [
    ("short", "PanicException"),
    ("missing", "FileNotFoundError"),
    (ValueError("not a scan"), "ValueError"),
    (KeyboardInterrupt(), None),
    (SystemExit(3), None),
])
def test_failures_become_read_errors_that_pickle(tmp_path, raised, kind):
    short = rb.RawImage(40).header(version=66).write(str(tmp_path / "orbitrap_short.raw"))
    path = {"short": short, "missing": str(tmp_path / "missing.raw")}.get(raised, short)

    def task(path):
        if isinstance(raised, BaseException):
            raise raised
        return velmaro.RawFileReader(path)

    if kind is None:  # they end a process on purpose
        with pytest.raises(type(raised)):
            read_errors.reads_file(task)(path)
        with pytest.raises(type(raised)):
            read_errors.outcome(task, path)
        return
    with pytest.raises(ReadError) as caught:
        read_errors.reads_file(task)(path)
    # No context: where distributed has been imported, exceptions pickle
    # with theirs, and a PanicException does not pickle.
    assert caught.value.__context__ is None and caught.value.__cause__ is None
    error = pickle.loads(pickle.dumps(caught.value))
    assert (type(error), error.path, error.kind) == (ReadError, path, kind)
    assert str(error) == f"{path}: {kind}: {error.message}" and error.message
    result, failure = read_errors.outcome(task, path)
    assert result is None and str(failure) == str(error)
    assert read_errors.outcome(lambda p: p.upper(), "x") == ("X", None)


def test_open_reader_holds_back_the_diagnostic_alone(tmp_path, capfd):
    short = rb.RawImage(40).header(version=66).write(str(tmp_path / "orbitrap_short.raw"))
    with pytest.raises(PanicException):
        velmaro.RawFileReader(short)
    assert capfd.readouterr().err.startswith("velmaro: internal failure at ")
    with pytest.raises(ReadError, match="range start index 6464170"):
        read_errors.open_reader(short)
    os.write(2, b"after\n")
    assert capfd.readouterr().err == "after\n"
    good = samples.sample_image().write(str(tmp_path / "orbitrap" / "a.raw"))
    assert read_errors.open_reader(good).num_scans == 145
