"""A summary of many .raw files, one row per file, in worker processes or on
a Dask cluster.

Usage: python examples/batch_summary.py [--scheduler ADDRESS | --workers N]
           [--csv OUT.csv] PATH...

Each PATH is a file or a directory searched recursively for *.raw files.
map_runs calls summarise(run) on each: with --workers in a pool of N
processes (default 2), with --scheduler (e.g. tcp://10.0.0.5:8786) on that
Dask cluster, whose workers need velmaro installed and the files at the same
paths.  summarise, defined here, travels to the workers by value.  A file
that cannot be read gets a row with its error and a line on standard error;
the exit status is 1 if any did.
"""

from __future__ import annotations

import argparse
import os
import statistics
import sys
from typing import Any

import pandas as pd

from velmaro_tools import Run, map_runs

COLUMNS = ["file", "version", "layout", "scans", "ms2_scans", "rt_first", "rt_last", "median_injection_ms",
           "peaks", "base_peak_mz", "base_peak_intensity", "error"]


def summarise(run: Run) -> dict[str, Any]:
    """One row of the summary; runs on a worker."""
    rows = run.reader.list_spectra()
    row: dict[str, Any] = {"version": run.version, "layout": run.layout, "scans": run.num_scans,
                           "ms2_scans": 0, "peaks": 0, "base_peak_mz": 0.0, "base_peak_intensity": 0.0}
    if rows:
        row.update(rt_first=rows[0]["rt"], rt_last=rows[-1]["rt"],
                   median_injection_ms=statistics.median(r["injection_time"] for r in rows))
    for s in run:
        row["ms2_scans"] += s.ms_level == 2
        row["peaks"] += s.mz.size
        if s.mz.size and s.intensity.max() > row["base_peak_intensity"]:
            top = int(s.intensity.argmax())
            row.update(base_peak_mz=float(s.mz[top]), base_peak_intensity=float(s.intensity[top]))
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


def main(argv: list[str] | None = None) -> int:
    parser = argparse.ArgumentParser(description=__doc__.split("\n")[0])
    parser.add_argument("paths", nargs="+", metavar="PATH", help="a .raw file, or a directory of them")
    where = parser.add_mutually_exclusive_group()
    where.add_argument("--scheduler", help="address of a running Dask scheduler")
    where.add_argument("--workers", type=int, default=2, help="worker processes (default 2)")
    parser.add_argument("--csv", help="also write the summary to this CSV file")
    args = parser.parse_args(argv)

    paths = find_files(args.paths)
    if not paths:
        parser.error("no .raw files found")
    if args.scheduler:
        from distributed import Client

        with Client(args.scheduler, timeout=30) as client:
            answers = map_runs(summarise, paths, client=client)
    else:
        answers = map_runs(summarise, paths, processes=args.workers)

    rows = [{"file": path, **(value or {}), "error": f"{error.kind}: {error.message}" if error else ""}
            for path, value, error in answers]
    # Counts stay integers with a gap, not floats, in the rows of unread files.
    summary = pd.DataFrame.from_records(rows, columns=COLUMNS).astype(
        {"version": "Int64", "scans": "Int64", "ms2_scans": "Int64", "peaks": "Int64"})
    with pd.option_context("display.width", 160, "display.max_columns", None, "display.max_colwidth", 60):
        print(summary.to_string(index=False))
    if args.csv:
        summary.to_csv(args.csv, index=False)
        print(f"wrote {args.csv}")
    failed = [error for _, _, error in answers if error is not None]
    for error in failed:
        print(f"error: {error}", file=sys.stderr)
    if failed:
        print(f"{len(failed)} of {len(answers)} files could not be read", file=sys.stderr)
    return 1 if failed else 0


if __name__ == "__main__":
    sys.exit(main())
