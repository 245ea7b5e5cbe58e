"""Signals during the whole-file text scans: a scan of a file of many GB stops
within a chunk when a signal handler raises, leaves nothing behind, and the
same reader answers the next call.  The scan runs in a child process, sent the
signal from this one: within a process no other thread runs while a call holds
the interpreter lock."""

import json
import os
import signal
import subprocess
import sys
import time

import pytest

import rawbuilder as rb
from conftest import HERE, SYNTHETIC, bytes_read, velmaro

SIZE = 64 << 30  # sparse: costs a few pages on disk, and a whole scan of it takes many seconds
LATENCY_BOUND = 2.0  # seconds: generous for a loaded machine; a chunk takes about a millisecond
# What each scan finds at 2 MiB; it still reads on to the end.
TEXTS = {
    "get_error_logs": ["Possible spray instability", "Spray current out of range"],
    "get_status_log_labels": ["Coulombmeter (uA)", "Ion Gauge (E-5 Torr)"],
}

# Scans, is stopped by `how`, then proves the reader whole: cached values,
# the exclusive access of initialize_caches (refused while any access is
# left over), no file handle or buffer left, and a scan that finishes once
# the file has shrunk.  Prints what it saw as JSON.
CHILD = r"""
import json, os, signal, sys, time
import velmaro
from conftest import bytes_read, rss_bytes

path, method, how = sys.argv[1:]

def timed_out(signum, frame):
    raise TimeoutError("alarm")

# A child started in the background may inherit SIGINT ignored.
signal.signal(signal.SIGINT, signal.default_int_handler)
signal.signal(signal.SIGALRM, timed_out)
reader = velmaro.RawFileReader(path)
fds, memory, before = len(os.listdir("/proc/self/fd")), rss_bytes(), bytes_read()
print("scanning", flush=True)
if how == "alarm":
    signal.setitimer(signal.ITIMER_REAL, 0.5)
started = time.monotonic()
try:
    result = getattr(reader, method)()
    outcome = "finished: %r" % (result,)
except KeyboardInterrupt:
    outcome = "KeyboardInterrupt"
except TimeoutError:
    outcome = "TimeoutError"
stopped = time.monotonic()
seen = dict(outcome=outcome, started=started, stopped=stopped, read=bytes_read() - before,
            fds=len(os.listdir("/proc/self/fd")) - fds, growth=rss_bytes() - memory)
seen["rt"] = reader.get_rt(1)
seen["rebuilt"] = reader.initialize_caches() is None
os.truncate(path, 8 << 20)
seen["after"] = getattr(reader, method)()
print(json.dumps(seen), flush=True)
"""


def bytes_read_by(pid):
    try:
        return bytes_read(pid)
    except OSError:  # gone: the wait below ends at once
        return 0


@pytest.mark.parametrize("method,how", [
    ("get_error_logs", "SIGINT"),
    ("get_status_log_labels", "SIGINT"),
    ("get_error_logs", "alarm"),
    ("get_status_log_labels", "alarm"),
])
def test_a_signal_stops_a_scan_and_the_reader_goes_on(tmp_path, method, how):
    # The small layout, for a retention time to read back before the texts.
    image = rb.RawImage(SIZE).header(version=66).rt(0, 1.5, small=True).text16(2 << 20, *TEXTS[method])
    big_file = image.write(str(tmp_path / "small.RAW"))
    environment = dict(os.environ, PYTHONPATH=os.pathsep.join([os.path.dirname(velmaro.__file__), SYNTHETIC, HERE]))
    child = subprocess.Popen([sys.executable, "-c", CHILD, big_file, method, how], stdout=subprocess.PIPE,
                             stderr=subprocess.PIPE, text=True, env=environment)
    try:
        assert child.stdout.readline() == "scanning\n", child.stderr.read()
        if how == "SIGINT":
            # Sent once the scan has read 64 MiB, so that it lands inside the scan.
            start = bytes_read_by(child.pid)
            deadline = time.monotonic() + 60
            while (child.poll() is None and bytes_read_by(child.pid) - start < 64 << 20
                   and time.monotonic() < deadline):
                time.sleep(0.01)
            sent = time.monotonic()
            child.send_signal(signal.SIGINT)
        out, err = child.communicate(timeout=120)
    finally:
        child.kill()
        child.wait()
    assert child.returncode == 0, err
    seen = json.loads(out)
    if how == "alarm":
        sent = seen["started"] + 0.5
    expected = "KeyboardInterrupt" if how == "SIGINT" else "TimeoutError"
    assert seen["outcome"] == expected
    # The monotonic clock is the system's, so the two processes' readings compare.
    assert 0 <= seen["stopped"] - sent < LATENCY_BOUND
    assert seen["read"] < SIZE // 4
    assert seen["fds"] == 0 and seen["growth"] < 8 << 20
    assert seen["rt"] == 1.5 and seen["rebuilt"]
    assert seen["after"] == TEXTS[method]
