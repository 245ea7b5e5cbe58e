import faulthandler
import json
import os
import signal
import struct
import subprocess
import sys
import tempfile
import time
import types

import pytest

import rawbuilder as rb

velmaro = pytest.importorskip("velmaro")

HERE = os.path.dirname(os.path.abspath(__file__))
SYNTHETIC = os.path.join(HERE, "..", "synthetic")
# Under AddressSanitizer freed memory waits in a quarantine, so resident size
# says nothing about leaks there.
SANITIZED = "libasan" in os.environ.get("LD_PRELOAD", "")


def _panic_type():
    """PanicException is reachable only through an instance: a file too short
    for its orbitrap layout raises one."""
    with tempfile.TemporaryDirectory() as directory:
        path = rb.RawImage(40).header(version=66).write(os.path.join(directory, "orbitrap.raw"))
        try:
            velmaro.RawFileReader(path)
        except BaseException as e:
            return type(e)
    raise AssertionError("a short orbitrap file was accepted")


PanicException = _panic_type()


@pytest.fixture(autouse=True)
def watchdog():
    """A call that hangs fails the run with a traceback instead of stalling CI."""
    faulthandler.dump_traceback_later(600, exit=True)
    yield
    faulthandler.cancel_dump_traceback_later()


@pytest.fixture
def write(tmp_path):
    """Writes a RawImage under tmp_path; `name` may hold directories."""

    def write(image, name="scan.raw"):
        return image.write(os.path.join(tmp_path, name))

    return write


@pytest.fixture
def reader(write):
    """A reader of a minimal version-57 file with no layout."""
    return velmaro.RawFileReader(write(rb.RawImage(40).header(version=57)))


def float_bits(values):
    """Floats compared by their bits, so that NaN equals NaN."""
    return [struct.pack("<d", v) for v in values]


def read_csv_exact(path, **options):
    """A CSV read by pandas with every float exact.  Before pandas 3.1 the
    default parser could miss by a unit in the last place (it did on
    aarch64); from 3.1 on every parser is exact and asking for one warns."""
    import pandas as pd

    if tuple(int(part) for part in pd.__version__.split(".")[:2]) < (3, 1):
        options["float_precision"] = "round_trip"
    return pd.read_csv(path, **options)


def replace_with_directory(path):
    os.remove(path)
    os.mkdir(path)


def replace_with_fifo(path):
    os.remove(path)
    os.mkfifo(path)


def rss_bytes():
    """This process's resident memory."""
    with open("/proc/self/statm") as f:
        return int(f.read().split()[1]) * os.sysconf("SC_PAGE_SIZE")


def bytes_read(pid="self"):
    """Bytes a process (this one by default) has read through system calls so far."""
    with open(f"/proc/{pid}/io") as f:
        return int(next(line for line in f if line.startswith("rchar:")).split()[1])


def run_python(code, interpreter=sys.executable, env=None, timeout=120):
    """Runs code in a fresh interpreter that imports the same velmaro."""
    module_dir = os.path.dirname(velmaro.__file__)
    environment = dict(os.environ, PYTHONPATH=os.pathsep.join([module_dir, SYNTHETIC, HERE]))
    environment.update(env or {})
    return subprocess.run([interpreter, "-c", code], capture_output=True, text=True, env=environment,
                          timeout=timeout)


@pytest.fixture(scope="session")
def dask_cluster(tmp_path_factory):
    """A Dask scheduler and two single-thread worker processes, started from
    the command line with this interpreter, as the README starts them, in an
    empty directory, so that the workers can import velmaro and nothing of
    this tree: the scheduler's address, and `modules`, a directory on the
    workers' path where a test may put modules for them to import."""
    distributed = pytest.importorskip("distributed")
    directory = tmp_path_factory.mktemp("dask")
    scheduler_file = str(directory / "scheduler.json")
    commands = [
        ["scheduler", "--host", "127.0.0.1", "--port", "0", "--scheduler-file", scheduler_file],
        ["worker", "--scheduler-file", scheduler_file, "--nworkers", "2", "--nthreads", "1"],
    ]
    modules = directory / "modules"
    modules.mkdir()
    environment = dict(os.environ, PYTHONPATH=str(modules))
    logs = [directory / "scheduler.log", directory / "worker.log"]
    processes = []
    try:
        for command, log in zip(commands, logs):
            with open(log, "wb") as out:
                # A session of its own, so that the nanny's worker processes go with it.
                processes.append(subprocess.Popen(
                    [sys.executable, "-m", "dask", *command, "--no-dashboard"], cwd=directory, env=environment,
                    stdin=subprocess.DEVNULL, stdout=out, stderr=subprocess.STDOUT, start_new_session=True))
        deadline = time.monotonic() + 120
        while not os.path.exists(scheduler_file):
            assert time.monotonic() < deadline and processes[0].poll() is None, logs[0].read_text()
            time.sleep(0.1)
        with distributed.Client(scheduler_file=scheduler_file, timeout=60) as client:
            try:
                client.wait_for_workers(2, timeout=max(1.0, deadline - time.monotonic()))
            except TimeoutError:
                pytest.fail(logs[1].read_text())
            address = client.scheduler.address
        yield types.SimpleNamespace(address=address, modules=modules)
    finally:
        for process in processes:
            stop_group(process, signal.SIGTERM)
        for process in processes:
            try:
                process.wait(timeout=30)
            except subprocess.TimeoutExpired:
                stop_group(process, signal.SIGKILL)
                process.wait()
            stop_group(process, signal.SIGKILL)  # any straggler of the group


def stop_group(process, signum):
    try:
        os.killpg(process.pid, signum)
    except ProcessLookupError:
        pass


# VELMARO_TEST_REQUIRE=numpy,pandas turns a skip that names one of those
# packages into a failure, so that a run meant to cover them cannot pass by
# skipping.
REQUIRED = [name for name in os.environ.get("VELMARO_TEST_REQUIRE", "").lower().split(",") if name]


def _names_required(report):
    if not (REQUIRED and report.skipped):
        return False
    reason = str(report.longrepr[2] if isinstance(report.longrepr, tuple) else report.longrepr).lower()
    return any(name in reason for name in REQUIRED)


@pytest.hookimpl(hookwrapper=True)
def pytest_runtest_makereport(item, call):
    outcome = yield
    report = outcome.get_result()
    if _names_required(report):
        report.outcome = "failed"


@pytest.hookimpl(hookwrapper=True)
def pytest_make_collect_report(collector):
    outcome = yield
    report = outcome.get_result()
    if _names_required(report):
        report.outcome = "failed"
