"""velmaro_tools.map_runs as a script would call it, with its task function in
__main__: in threads, process pools (fork and spawn) and on a Dask cluster of
worker processes, over good, renamed, truncated, unreadable, panicking and
crashing files.  Every file gets its answer, in order, and nothing hangs."""

import json
import os
import subprocess
import sys
from unittest.mock import ANY

import pytest

import rawbuilder as rb
import samples
from conftest import HERE, SYNTHETIC, velmaro

pytest.importorskip("numpy")
vt = pytest.importorskip("velmaro_tools")

TIMEOUT = 120

SCRIPT = """
import json, os, sys
import velmaro
from velmaro_tools import map_runs

def summarise(run):
    if run.path.endswith("crash.raw"):
        os._exit(3)  # the worker dies
    if run.path.endswith("panic.raw"):
        velmaro.RawFileReader("/dev/zero")  # the module fails inside the task
    return [run.layout, run.num_scans, sum(s.mz.size for s in run)]

if __name__ == "__main__":
    mode, paths = sys.argv[1], sys.argv[2:]
    options = {}
    if mode.startswith("processes"):
        import multiprocessing
        multiprocessing.set_start_method(mode.split("-")[1])
        options["processes"] = 2
    if mode.startswith("dask"):
        import dask
        from distributed import Client, LocalCluster
        # The file that kills its worker is reported at the first death, not
        # after three more workers have died reading it (Dask's default); and
        # each worker holds one task at a time, so that the death takes no
        # other file's task with it.
        dask.config.set({"distributed.scheduler.allowed-failures": 0, "distributed.scheduler.worker-saturation": 1.0})
        cluster = LocalCluster(n_workers=2, threads_per_worker=1, processes=True, dashboard_address=None)
        options["client"] = Client(cluster)
    if mode == "dask-relative":  # the workers started here, the paths relative to another folder
        os.chdir(paths.pop(0))
    answers = map_runs(summarise, paths, **options)
    print(json.dumps([[p, v, e and [e.path, e.kind, e.message]] for p, v, e in answers]))
"""


@pytest.fixture(scope="module")
def runs(tmp_path_factory):
    root = tmp_path_factory.mktemp("runs")
    good = samples.sample_image().write(str(root / "orbitrap" / "good.raw"))
    renamed = samples.sample_image().write(str(root / "HeLa_QE_01.raw"))
    with open(good, "rb") as f:
        (root / "cut.raw").write_bytes(f.read(3000000))
    (root / "notes.raw").write_text("not a run\\n")
    os.mkdir(root / "folder.raw")
    for name in ["crash.raw", "panic.raw"]:
        samples.sample_image().write(str(root / name))
    peaks = sum(velmaro.RawFileReader(good).get_peaks(n)[0].size for n in range(1, 146))
    expected = {
        good: (["orbitrap", 145, peaks], None),
        renamed: (["orbitrap", 145, peaks], None),
        str(root / "cut.raw"): (None, "truncated"),
        str(root / "notes.raw"): (None, "not an acquisition"),
        str(root / "folder.raw"): (None, "not a file"),
        str(root / "missing.raw"): (None, "missing"),
        str(root / "panic.raw"): (None, "internal"),
    }
    return root, expected


@pytest.mark.parametrize("mode", ["threads", "processes-fork", "processes-spawn", "dask"])
def test_every_file_gets_its_answer_in_order(runs, tmp_path, mode):
    if mode == "dask":
        pytest.importorskip("distributed")
    root, expected = runs
    expected = dict(expected)
    if mode != "threads":  # a thread cannot die alone
        expected[str(root / "crash.raw")] = (None, "crashed")
    paths = list(expected)
    (tmp_path / "batch.py").write_text(SCRIPT)
    env = dict(os.environ, PYTHONPATH=os.pathsep.join([os.path.dirname(velmaro.__file__), SYNTHETIC, HERE]))
    result = subprocess.run([sys.executable, "batch.py", mode, *paths], cwd=tmp_path, capture_output=True,
                            text=True, timeout=TIMEOUT, env=env)
    assert result.returncode == 0, result.stderr
    answers = json.loads(result.stdout.splitlines()[-1])
    assert [a[0] for a in answers] == paths
    for path, value, error in answers:
        want_value, want_kind = expected[path]
        assert value == want_value, (path, error)
        assert (error and error[:2]) == (want_kind and [path, want_kind])
    if mode != "dask":  # Dask logs the deaths of its workers
        assert "Traceback" not in result.stderr


def test_dask_workers_read_the_files_the_caller_names(runs, tmp_path):
    pytest.importorskip("distributed")
    root, expected = runs
    (tmp_path / "batch.py").write_text(SCRIPT)
    env = dict(os.environ, PYTHONPATH=os.pathsep.join([os.path.dirname(velmaro.__file__), SYNTHETIC, HERE]))
    result = subprocess.run([sys.executable, "batch.py", "dask-relative", str(root), "HeLa_QE_01.raw", "cut.raw"],
                            cwd=tmp_path, capture_output=True, text=True, timeout=TIMEOUT, env=env)
    assert result.returncode == 0, result.stderr
    assert json.loads(result.stdout.splitlines()[-1]) == [
        ["HeLa_QE_01.raw", expected[str(root / "HeLa_QE_01.raw")][0], None],
        ["cut.raw", None, [str(root / "cut.raw"), "truncated", ANY]]]


def test_a_function_that_fails_is_the_task_kind(tmp_path):
    path = samples.sample_image().write(str(tmp_path / "orbitrap" / "a.raw"))

    def fails(run):
        raise ValueError(f"no scan {run.num_scans + 1}")

    [(given, value, error)] = vt.map_runs(fails, [path])
    assert (given, value, error.kind, error.message) == (path, None, "task", "ValueError: no scan 146")
    with pytest.raises(KeyboardInterrupt):
        vt.map_runs(lambda run: (_ for _ in ()).throw(KeyboardInterrupt), [path])
    with pytest.raises(ValueError, match="processes or client"):
        vt.map_runs(len, [path], processes=2, client=object())
