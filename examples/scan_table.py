"""The scans of a .raw file as a pandas DataFrame, one row per scan.

Usage: python examples/scan_table.py FILE.raw [--csv OUT.csv] [--rows N]

Run.scan_table() gives the columns of RawFileReader.list_spectra() (indexed
by scan number), the MS level, and four computed from each scan's peaks: the
number of peaks, the total ion current and the m/z and intensity of the base
peak.  A file that cannot be read is reported in one line on standard error,
with exit status 1.
"""

from __future__ import annotations

import argparse
import sys

import pandas as pd

from velmaro_tools import Run, RunError


def describe(frame: pd.DataFrame) -> str:
    if frame.empty:
        return "no scans"
    precursors = frame[frame["master_scan"] > 0]
    charges = ", ".join(f"{charge}+: {count}" for charge, count in
                        precursors["charge"].value_counts().sort_index().items())
    levels = ", ".join(f"{count} MS{level}" for level, count in frame["ms_level"].value_counts().sort_index().items())
    return (f"{len(frame)} scans over {frame['rt'].min():.2f} to {frame['rt'].max():.2f} min ({levels}), "
            f"{len(precursors)} with a master scan (charges {charges or 'none'}), "
            f"{int((frame['peaks'] > 0).sum())} with peaks")


def main(argv: list[str] | None = None) -> int:
    parser = argparse.ArgumentParser(description=__doc__.split("\n")[0])
    parser.add_argument("path", help="the .raw file")
    parser.add_argument("--csv", help="also write the table to this CSV file")
    parser.add_argument("--rows", type=int, default=10, help="rows to print (default 10; 0 for all)")
    args = parser.parse_args(argv)
    try:
        with Run(args.path) as run:
            frame = run.scan_table()
    except RunError as e:
        print(f"error: {e}", file=sys.stderr)
        return 1
    with pd.option_context("display.width", 120, "display.max_columns", None):
        print(frame if args.rows == 0 else frame.head(args.rows))
    print(describe(frame))
    if args.csv:
        try:
            frame.to_csv(args.csv)
        except OSError as e:
            print(f"error: cannot write {args.csv}: {e}", file=sys.stderr)
            return 1
        print(f"wrote {args.csv}")
    return 0


if __name__ == "__main__":
    sys.exit(main())
