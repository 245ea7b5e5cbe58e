"""Many files in pools of worker processes and on a Dask cluster started from
the command line: the documentation's scripts, run as written over good files and
files that make the reader fail, give every file a result or its error; the
code the documentation warns against (the module alone) fails the way it
says; and paths are taken as it says."""

import os
import re
import shutil
import subprocess
import sys

import pytest

import rawbuilder as rb
import samples
from conftest import PanicException, velmaro

HERE = os.path.dirname(os.path.abspath(__file__))
SNIPPETS = os.path.join(HERE, "..", "docs", "snippets")

TIMEOUT = 180


def documented_scripts():
    """The scripts the documentation shows (docs/guide/scale.md includes them), by name."""
    if not os.path.isdir(SNIPPETS):
        pytest.skip("no documentation beside the tests")
    scripts = {}
    for name in os.listdir(SNIPPETS):
        with open(os.path.join(SNIPPETS, name)) as f:
            scripts[name] = f.read()
    return scripts


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
    or the error on standard error, from velmaro_tools in this process."""
    vt = pytest.importorskip("velmaro_tools")
    out, err = set(), set()
    for name in sorted(os.listdir(runs)) + ["orbitrap/a.raw", "orbitrap/b.raw"]:
        path = os.path.join(runs, name)
        if name == "orbitrap":
            continue
        try:
            with vt.Run(path) as run:
                out.add(f"{path} {run.num_scans} {sum(s.mz.size for s in run)}")
        except vt.RunError as e:
            err.add(f"error: {e}")
    return out, err


def run_script(tmp_path, name, args, start_method=None):
    """A documented script run in a fresh interpreter from its own directory."""
    script = tmp_path / name
    script.write_text(documented_scripts()[name])
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
def test_documented_scripts_answer_for_every_file(request, runs, tmp_path, name, start_method):
    pytest.importorskip("velmaro_tools")  # it needs NumPy, which the module alone does not
    if name == "summarise_dask.py":
        args = [request.getfixturevalue("dask_cluster").address, runs]
    else:
        args = [runs]
    result = run_script(tmp_path, name, args, start_method)
    assert result.returncode == 0, result.stderr
    assert "Traceback" not in result.stderr
    out, err = expected_lines(runs)
    assert len(out) == 3 and len(err) == 5
    assert set(result.stdout.splitlines()) == out
    # Foreseen failures: no diagnostic of the module's on standard error.
    assert set(result.stderr.splitlines()) == err


# Task functions in a module that the workers import as well: they go by
# name, so the class may be named directly.
INSTALLED_TASKS = """
from velmaro import RawFileReader

def summarise(path):
    reader = RawFileReader(path)
    return reader.num_scans, reader.get_rt(reader.num_scans)
"""
INSTALLED_CLIENT = """
import sys
from distributed import Client
import installed_tasks
with Client(sys.argv[1], timeout=30) as client:
    for path, future in zip(sys.argv[2:], client.map(installed_tasks.summarise, sys.argv[2:], pure=False)):
        print(path, *future.result(timeout=60))
"""


def test_dask_tasks_in_a_module_the_workers_import(dask_cluster, runs, tmp_path):
    for directory in [dask_cluster.modules, tmp_path]:
        (directory / "installed_tasks.py").write_text(INSTALLED_TASKS)
    (tmp_path / "client.py").write_text(INSTALLED_CLIENT)
    paths = [os.path.join(runs, "orbitrap", name) for name in ["a.raw", "b.raw"]]
    result = subprocess.run([sys.executable, "client.py", dask_cluster.address, *paths], cwd=tmp_path,
                            capture_output=True, text=True, timeout=TIMEOUT)
    assert result.returncode == 0, result.stderr
    reader = velmaro.RawFileReader(paths[0])
    assert result.stdout.splitlines() == [f"{p} 145 {reader.get_rt(145)}" for p in paths]


# What the documentation says that code left unconverted does.
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
def test_unconverted_failures_do_what_the_docs_say(request, runs, tmp_path, case, start_method):
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
