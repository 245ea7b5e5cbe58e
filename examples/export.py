"""Converts runs to mzML, MGF and Parquet with velmaro_tools.export.

Usage: python examples/export.py RUN.raw... [-o DIR]

`velmaro export` does the same with options, several runs at a time and a
progress bar; this script shows the calls under it.  Each RUN.raw gives
DIR/RUN.mzML, DIR/RUN.mgf (its MS2 spectra) and DIR/RUN.parquet (a row per
peak), all three written in one pass over the run's spectra.  A run that
cannot be read is reported in one line and the others are still converted.
"""

from __future__ import annotations

import argparse
import os
import sys

from velmaro_tools import Run, RunError
from velmaro_tools.export import ExportResult, RunInfo, export


def convert(path: str, folder: str) -> ExportResult:
    with Run(path) as run:
        # An mzML states its spectrum count and MS levels before the first
        # spectrum, so a first pass counts the spectra with peaks.
        levels = [s.ms_level for s in run.spectra() if s.mz.size]
        info = RunInfo(run.path, run.creation_time, spectra=len(levels), ms_levels=set(levels))
        stem = os.path.join(folder, info.name)
        # Each output takes its name only when all three are complete.
        return export(run.spectra(), info, mzml=stem + ".mzML", mgf=stem + ".mgf", parquet=stem + ".parquet")


def main(argv: list[str] | None = None) -> int:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("runs", nargs="+", metavar="RUN", help="a .raw file")
    parser.add_argument("-o", "--output", default=".", metavar="DIR", help="the folder to write to")
    args = parser.parse_args(argv)
    status = 0
    for path in args.runs:
        try:
            result = convert(path, args.output)
        except (RunError, OSError) as e:  # unreadable run, or an output that cannot be written
            print(f"error: {e}", file=sys.stderr)
            status = 1
            continue
        for output in result.outputs:
            print(f"{output.path}: {output.spectra} spectra, {output.peaks} peaks, {output.size} bytes")
        print(f"{path}: {result.scans} scans, {result.left_out} without peaks left out")
    return status


if __name__ == "__main__":
    sys.exit(main())
