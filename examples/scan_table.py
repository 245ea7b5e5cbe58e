"""The scans of a .raw file as a pandas DataFrame, one row per scan.

Usage: python examples/scan_table.py FILE.raw [--csv OUT.csv] [--rows N]

The columns are those of RawFileReader.list_spectra() (indexed by scan
number) and four computed from each scan's peaks: the number of peaks, the
total ion current and the m/z and intensity of the base peak.  A file that
cannot be read is reported in one line on standard error, with exit status 1.
"""

from __future__ import annotations

import argparse
import sys

import numpy as np
import pandas as pd

from read_errors import ReadError, open_reader
from velmaro import RawFileReader

PEAK_COLUMNS = ["peaks", "tic", "base_peak_mz", "base_peak_intensity"]


def peak_summary(reader: RawFileReader, scan_number: int) -> tuple[int, float, float, float]:
    """(peak count, total ion current, base peak m/z, base peak intensity)."""
    mz, intensity = reader.get_peaks(scan_number)
    # A scan without a peak block comes back as one peak of 0.0 at m/z 0.0,
    # which no real block holds (its first m/z lies above 50).
    if mz.size == 1 and mz[0] == 0.0:
        return 0, 0.0, 0.0, 0.0
    top = int(intensity.argmax())
    return int(mz.size), float(intensity.sum(dtype=np.float64)), float(mz[top]), float(intensity[top])


def scan_table(path: str) -> pd.DataFrame:
    """The table; ReadError if the file cannot be read."""
    reader = open_reader(path)
    spectra = reader.list_spectra()
    frame = pd.DataFrame.from_records(spectra, index="scan_number",
                                      columns=["scan_number", "rt", "injection_time", "master_scan", "charge",
                                               "monomz"])
    peaks = [peak_summary(reader, scan["scan_number"]) for scan in spectra]
    frame[PEAK_COLUMNS] = pd.DataFrame.from_records(peaks, index=frame.index, columns=PEAK_COLUMNS)
    return frame.astype({"master_scan": "int64", "charge": "int64", "peaks": "int64"})


def describe(frame: pd.DataFrame) -> str:
    if frame.empty:
        return "no scans"
    precursors = frame[frame["master_scan"] > 0]
    charges = ", ".join(f"{charge}+: {count}" for charge, count in
                        precursors["charge"].value_counts().sort_index().items())
    return (f"{len(frame)} scans over {frame['rt'].min():.2f} to {frame['rt'].max():.2f} min, "
            f"{len(precursors)} with a master scan (charges {charges or 'none'}), "
            f"{int((frame['peaks'] > 0).sum())} with peaks")


def main(argv: list[str] | None = None) -> int:
    parser = argparse.ArgumentParser(description=__doc__.split("\n")[0])
    parser.add_argument("path", help="the .raw file")
    parser.add_argument("--csv", help="also write the table to this CSV file")
    parser.add_argument("--rows", type=int, default=10, help="rows to print (default 10; 0 for all)")
    args = parser.parse_args(argv)
    try:
        frame = scan_table(args.path)
    except ReadError as e:
        print(f"error: cannot read {e}", file=sys.stderr)
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
