"""What a user at scale meets: how soon a signal stops a whole-file scan,
what threads and processes give for many scans, and how long a scan keeps
other threads of its process waiting.  Prints a markdown table.

Usage: python bench/scale.py [--quick] [--dir DIR]
(--quick: smaller files and fewer trials, to prove the script runs)

- signal: a child process scans a sparse file of 64 GiB (get_error_logs);
  this process sends it SIGINT once the scan has read 256 MiB, and the child
  notes when KeyboardInterrupt reached it (both read the system's monotonic
  clock).  Also a signal.setitimer alarm whose handler raises, timed from
  the alarm's due time.  Beside them, the same scan left to finish.
- threads: a summary of many files (each: open, list_spectra, get_peaks
  and get_trailer_extra of every scan; the demo's sample), one after
  another, on 2 threads and on 2 processes (multiprocessing, fork).
- stall: the longest gap in a thread that wakes every millisecond while the
  main thread runs one scan of a 1 GiB sparse file.
"""

import argparse
import json
import multiprocessing
import os
import platform
import resource
import signal
import statistics
import subprocess
import sys
import tempfile
import threading
import time

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, os.path.join(HERE, "..", "synthetic"))

import rawbuilder as rb  # noqa: E402
import samples  # noqa: E402
import velmaro  # noqa: E402

GiB = 1 << 30

CHILD = r"""
import json, signal, sys, time
import velmaro
path, how, alarm_after = sys.argv[1:]
signal.signal(signal.SIGINT, signal.default_int_handler)
def due(signum, frame):
    raise TimeoutError
signal.signal(signal.SIGALRM, due)
reader = velmaro.RawFileReader(path)
print("scanning", flush=True)
if how == "alarm":
    signal.setitimer(signal.ITIMER_REAL, float(alarm_after))
started = time.monotonic()
try:
    reader.get_error_logs()
    outcome = "finished"
except (KeyboardInterrupt, TimeoutError) as e:
    outcome = type(e).__name__
print(json.dumps({"outcome": outcome, "started": started, "stopped": time.monotonic()}), flush=True)
"""


def rchar(pid):
    try:
        with open(f"/proc/{pid}/io") as f:
            return int(next(line for line in f if line.startswith("rchar:")).split()[1])
    except OSError:
        return 0


def signalled_scan(path, how, after_bytes, alarm_after=0.5):
    """Seconds from the signal (sent, or due) to the exception in the child;
    for "none", the seconds the whole scan took."""
    child = subprocess.Popen([sys.executable, "-c", CHILD, path, how, str(alarm_after)], stdout=subprocess.PIPE,
                             text=True)
    try:
        assert child.stdout.readline() == "scanning\n"
        sent = None
        if how == "SIGINT":
            start = rchar(child.pid)
            while child.poll() is None and rchar(child.pid) - start < after_bytes:
                time.sleep(0.005)
            sent = time.monotonic()
            child.send_signal(signal.SIGINT)
        seen = json.loads(child.communicate(timeout=3600)[0])
    finally:
        child.kill()
        child.wait()
    if how == "none":
        return seen["stopped"] - seen["started"]
    if how == "alarm":
        sent = seen["started"] + alarm_after
    expected = {"SIGINT": "KeyboardInterrupt", "alarm": "TimeoutError"}[how]
    assert seen["outcome"] == expected, seen
    return seen["stopped"] - sent


def scan(path):
    return len(velmaro.RawFileReader(path).get_error_logs())


def summary(path):
    reader = velmaro.RawFileReader(path)
    peaks = 0
    for spectrum in reader.list_spectra():
        peaks += reader.get_peaks(spectrum["scan_number"])[0].size
        reader.get_trailer_extra(spectrum["scan_number"])
    return peaks


def on_threads(path, count, threads):
    """(wall seconds, cores busy on average: CPU seconds per wall second)"""
    started, cpu = time.perf_counter(), time.process_time()
    workers = [threading.Thread(target=lambda: [summary(path) for _ in range(count // threads)])
               for _ in range(threads)]
    for worker in workers:
        worker.start()
    for worker in workers:
        worker.join()
    wall = time.perf_counter() - started
    return wall, (time.process_time() - cpu) / wall


def children_cpu():
    usage = resource.getrusage(resource.RUSAGE_CHILDREN)
    return usage.ru_utime + usage.ru_stime


def on_processes(path, count, processes):
    """(wall seconds, cores busy on average), the workers' start counted in
    the cores and not in the time"""
    cpu = children_cpu()
    pool = multiprocessing.get_context("fork").Pool(processes)
    pool.map(summary, [path] * processes)  # started and warm
    started = time.perf_counter()
    pool.map(summary, [path] * count, chunksize=4)
    wall = time.perf_counter() - started
    pool.close()
    pool.join()
    return wall, (children_cpu() - cpu) / wall


def longest_stall(path):
    """(longest gap of a 1 ms ticker during one scan, the scan's time)"""
    gaps, stop = [], threading.Event()

    def tick():
        last = time.perf_counter()
        while not stop.is_set():
            time.sleep(0.001)
            now = time.perf_counter()
            gaps.append(now - last)
            last = now

    ticker = threading.Thread(target=tick)
    ticker.start()
    time.sleep(0.05)
    started = time.perf_counter()
    scan(path)
    took = time.perf_counter() - started
    time.sleep(0.05)
    stop.set()
    ticker.join()
    return max(gaps), took


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--quick", action="store_true")
    parser.add_argument("--dir", help="where the sparse files go (default: a temporary directory)")
    args = parser.parse_args()
    trials = 3 if args.quick else 10
    big_size, scan_size, count = (GiB, 256 << 20, 40) if args.quick else (64 * GiB, GiB, 400)
    # The alarm must come while the scan runs: a scan of 1 GiB takes about 0.15 s.
    alarm_after = 0.05 if args.quick else 0.5

    rows = []
    with tempfile.TemporaryDirectory(dir=args.dir) as directory:
        big = rb.RawImage(big_size).header(version=66).write(os.path.join(directory, "big.raw"))
        one = rb.RawImage(scan_size).header(version=66).write(os.path.join(directory, "one.raw"))
        sample = samples.sample_image().write(os.path.join(directory, "orbitrap", "sample.raw"))
        sigint = [signalled_scan(big, "SIGINT", min(256 << 20, big_size // 8)) for _ in range(trials)]
        alarm = [signalled_scan(big, "alarm", 0, alarm_after) for _ in range(trials)]
        whole = signalled_scan(big, "none", 0)
        size = f"{big_size // GiB} GiB"
        rows.append((f"SIGINT during get_error_logs, {size} ({trials} trials)",
                     f"median {statistics.median(sigint) * 1e3:.1f} ms, longest {max(sigint) * 1e3:.1f} ms"))
        rows.append((f"alarm handler raising during get_error_logs, {size} ({trials} trials)",
                     f"median {statistics.median(alarm) * 1e3:.1f} ms, longest {max(alarm) * 1e3:.1f} ms"))
        rows.append((f"the same scan without a signal, {size}", f"{whole:.1f} s"))

        summary(sample)
        load = os.getloadavg()[0]
        runs = {name: min((run(sample, count, n) for _ in range(3)), key=lambda r: r[0])
                for name, run, n in [("one after another", on_threads, 1), ("2 threads", on_threads, 2),
                                     ("2 processes", on_processes, 2)]}
        sequential = runs["one after another"][0]
        for name, (wall, cores) in runs.items():
            rows.append((f"summary of {count} files, {name}",
                         f"{wall:.2f} s ({sequential / wall:.2f}x), {cores:.2f} cores busy"))
        scan(one)  # into the page cache
        label = f"{scan_size // (1 << 20)} MiB" if scan_size < GiB else f"{scan_size // GiB} GiB"
        gap, took = longest_stall(one)
        rows.append((f"longest wait of a 1 ms ticker thread during one scan of {label}",
                     f"{gap * 1e3:.0f} ms (the scan: {took * 1e3:.0f} ms)"))

    print(f"Machine: {platform.node()}, {os.cpu_count()} cores, {platform.platform()}, "
          f"Python {platform.python_version()}; load average {load:.1f} before the summaries")
    print()
    print("| what | figure |")
    print("|---|---|")
    for what, figure in rows:
        print(f"| {what} | {figure} |")


if __name__ == "__main__":
    main()
