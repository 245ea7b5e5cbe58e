"""A summary of many .raw files, one row per file, computed on Dask's
distributed scheduler.

Usage: python examples/batch_summary.py [--scheduler ADDRESS] [--workers N]
           [--threads] [--timeout SECONDS] [--csv OUT.csv] PATH...

Each PATH is a file or a directory searched recursively for *.raw files.
Without --scheduler the batch runs on a local cluster of N worker processes
started for it; with --scheduler (e.g. tcp://10.0.0.5:8786) the same code
runs on that cluster, whose workers need velmaro installed (not these
examples: the task functions go by value) and the files at the same
paths.  A file that cannot be read gets a row with its error and a line on
standard error; the exit status is 1 if any did.
"""

from __future__ import annotations

import argparse
import asyncio
import os
import statistics
import sys
import time
from typing import Any

import cloudpickle
import pandas as pd
from distributed import Client, LocalCluster, wait

# Tasks refer to the module, not to RawFileReader: the class calls itself
# builtins.RawFileReader, so cloudpickle cannot find it by name on a worker
# and would copy it by value, as an empty class.  A module goes by name and
# is imported there.
import velmaro

import read_errors
from read_errors import ReadError, outcome

# The workers need only velmaro: run as a script, the task functions go by
# value, and with this the helper they call goes with them.
cloudpickle.register_pickle_by_value(read_errors)

COLUMNS = ["file", "version", "scans", "ms2_scans", "rt_first", "rt_last", "median_injection_ms", "peaks",
           "base_peak_mz", "base_peak_intensity", "error"]


def summarise_file(path: str) -> dict[str, Any]:
    """One row of the summary; runs on a worker.  A failure becomes the
    row's error, so that the task itself succeeds: the reader's
    PanicException, which would neither pickle nor reach the client's
    result(), never leaves the worker, and Dask logs nothing."""
    row, error = outcome(read_row, path)
    if error is not None:
        return failure_row(path, error)
    assert row is not None
    return row


def read_row(path: str) -> dict[str, Any]:
    row: dict[str, Any] = dict.fromkeys(COLUMNS)
    row.update(file=path, error="")
    reader = velmaro.RawFileReader(path)
    spectra = reader.list_spectra()
    row.update(version=reader.version, scans=reader.num_scans,
               ms2_scans=sum(1 for s in spectra if s["master_scan"] > 0))
    if spectra:
        row.update(rt_first=spectra[0]["rt"], rt_last=spectra[-1]["rt"],
                   median_injection_ms=statistics.median(s["injection_time"] for s in spectra))
    peaks, base_mz, base_intensity = 0, 0.0, 0.0
    for scan in spectra:
        mz, intensity = reader.get_peaks(scan["scan_number"])
        if mz.size == 1 and mz[0] == 0.0:  # no peak block in this scan
            continue
        peaks += int(mz.size)
        top = int(intensity.argmax())
        if intensity[top] > base_intensity:
            base_mz, base_intensity = float(mz[top]), float(intensity[top])
    row.update(peaks=peaks, base_peak_mz=base_mz, base_peak_intensity=base_intensity)
    return row


def failure_row(path: str, error: ReadError) -> dict[str, Any]:
    row: dict[str, Any] = dict.fromkeys(COLUMNS)
    row.update(file=path, error=f"{error.kind}: {error.message}")
    return row


def find_files(paths: list[str]) -> list[str]:
    """The files named, and the *.raw files under the directories named."""
    found = []
    for path in paths:
        if os.path.isdir(path):
            for directory, _, names in os.walk(path):
                found += [os.path.join(directory, n) for n in names if n.lower().endswith(".raw")]
        else:
            found.append(path)
    return sorted(dict.fromkeys(os.path.abspath(p) for p in found))


class Progress:
    """A text progress bar on standard error: redrawn in place on a terminal,
    a line per tenth of the batch in a log."""

    def __init__(self, total: int, stream: Any = sys.stderr) -> None:
        self.total, self.stream = total, stream
        self.started = time.monotonic()
        self.shown = -1
        self.tty = stream.isatty()

    def update(self, done: int) -> None:
        tenth = done * 10 // max(self.total, 1)
        if not self.tty and tenth == self.shown and done != self.total:
            return
        self.shown = tenth
        filled = done * 30 // max(self.total, 1)
        line = (f"[{'#' * filled}{'.' * (30 - filled)}] {done}/{self.total} files"
                f"  {time.monotonic() - self.started:.1f} s")
        self.stream.write(("\r" + line) if self.tty else line + "\n")
        if self.tty and done == self.total:
            self.stream.write("\n")
        self.stream.flush()


def run_batch(client: Client, paths: list[str], timeout: float | None = None) -> pd.DataFrame:
    """The summary of `paths` as a DataFrame, in the order given."""
    futures = client.map(summarise_file, paths, pure=False)  # files change: never reuse a result
    progress = Progress(len(futures))
    progress.update(0)
    deadline = None if timeout is None else time.monotonic() + timeout
    pending = set(futures)
    try:
        while pending:
            left = None if deadline is None else deadline - time.monotonic()
            if left is not None and left <= 0:
                raise TimeoutError(f"the batch did not finish within {timeout} s: "
                                   f"{len(futures) - len(pending)} of {len(futures)} files done")
            # Wake at least once a second so the deadline is checked.
            try:
                _, pending = wait(list(pending), timeout=1.0 if left is None else min(left, 1.0),
                                  return_when="FIRST_COMPLETED")
            except (TimeoutError, asyncio.TimeoutError):  # two classes before Python 3.11
                continue
            progress.update(len(futures) - len(pending))
        # A task fails only if Dask could not run it (a worker lost, say);
        # exception() returns what it raised, where result() would never
        # return for a PanicException.
        read = iter(client.gather([f for f in futures if f.status != "error"]))
        rows = [failure_row(path, ReadError.of(path, f.exception())) if f.status == "error" else next(read)
                for path, f in zip(paths, futures)]
    finally:
        client.cancel(futures)
    # Counts stay integers with a gap, not floats, in the rows of unread files.
    return pd.DataFrame.from_records(rows, columns=COLUMNS).astype(
        {"version": "Int64", "scans": "Int64", "ms2_scans": "Int64", "peaks": "Int64"})


def main(argv: list[str] | None = None) -> int:
    parser = argparse.ArgumentParser(description=__doc__.split("\n")[0])
    parser.add_argument("paths", nargs="+", metavar="PATH", help="a .raw file, or a directory of them")
    parser.add_argument("--scheduler", help="address of a running Dask scheduler (default: a local cluster)")
    parser.add_argument("--workers", type=int, default=2, help="workers of the local cluster (default 2)")
    parser.add_argument("--threads", action="store_true",
                        help="run the local cluster's workers as threads of this process")
    parser.add_argument("--timeout", type=float, help="give up after this many seconds")
    parser.add_argument("--csv", help="also write the summary to this CSV file")
    args = parser.parse_args(argv)

    paths = find_files(args.paths)
    if not paths:
        parser.error("no .raw files found")
    if args.scheduler:
        client = Client(args.scheduler, timeout=args.timeout or 30)
        cluster = None
    else:
        cluster = LocalCluster(n_workers=args.workers, threads_per_worker=1, processes=not args.threads,
                               dashboard_address=None)
        client = Client(cluster)
    try:
        print(f"{len(paths)} files on {client.scheduler.address}", file=sys.stderr)
        summary = run_batch(client, paths, args.timeout)
    except TimeoutError as e:
        print(f"error: {e}", file=sys.stderr)
        return 1
    finally:
        client.close()
        if cluster is not None:
            cluster.close()

    with pd.option_context("display.width", 160, "display.max_columns", None, "display.max_colwidth", 60):
        print(summary.to_string(index=False))
    if args.csv:
        summary.to_csv(args.csv, index=False)
        print(f"wrote {args.csv}")
    failed = summary[summary["error"] != ""]
    for path, error in zip(failed["file"], failed["error"]):
        print(f"error: cannot read {path}: {error}", file=sys.stderr)
    if len(failed):
        print(f"{len(failed)} of {len(summary)} files could not be read", file=sys.stderr)
    return 1 if len(failed) else 0


if __name__ == "__main__":
    sys.exit(main())
