"""Plots the peaks of one scan of a .raw file to a PNG image.

Usage: python examples/plot_spectrum.py FILE.raw SCAN [-o OUT.png] [--label N]

Draws with matplotlib's Agg renderer, so it needs no display.  The most
intense peaks are labelled with their m/z; an MS2 scan's title names its
precursor.  A file that cannot be read is reported in one line on standard
error, with exit status 1.
"""

from __future__ import annotations

import argparse
import os
import sys

from matplotlib.backends.backend_agg import FigureCanvasAgg
from matplotlib.figure import Figure

from read_errors import ReadError, open_reader
from velmaro import RawFileReader


def plot_spectrum(reader: RawFileReader, scan_number: int, out: str, label: int = 5, dpi: int = 100) -> bool:
    """Writes the PNG; False when the scan has no peak block (the image then
    says so)."""
    mz, intensity = reader.get_peaks(scan_number)
    # No peak block gives one peak of 0.0 at m/z 0.0, never a real one.
    found = not (mz.size == 1 and mz[0] == 0.0)

    # A figure of its own on an Agg canvas: no pyplot state, no GUI backend.
    figure = Figure(figsize=(10, 4), dpi=dpi)
    FigureCanvasAgg(figure)
    axes = figure.add_subplot()
    title = f"scan {scan_number}, {reader.get_rt(scan_number):.3f} min"
    master = reader.get_master_scan(scan_number)
    if master > 0:
        charge = reader.get_charge_state(scan_number)
        title += f", precursor m/z {reader.get_monoisotopic_mz(scan_number):.4f}"
        title += f" ({charge}+) from scan {master}" if charge else f" from scan {master}"
    axes.set_title(title)
    axes.set_xlabel("m/z")
    axes.set_ylabel("intensity")
    if found:
        axes.vlines(mz, 0, intensity, linewidth=0.7, color="tab:blue")
        axes.set_ylim(0, float(intensity.max()) * 1.12 or 1.0)
        for k in intensity.argsort()[::-1][:label]:
            axes.annotate(f"{mz[k]:.4f}", (float(mz[k]), float(intensity[k])), xytext=(0, 3),
                          textcoords="offset points", ha="center", fontsize=7)
    else:
        axes.text(0.5, 0.5, "no peaks found in this scan", transform=axes.transAxes, ha="center")
    figure.tight_layout()
    figure.savefig(out, format="png")
    return found


def main(argv: list[str] | None = None) -> int:
    parser = argparse.ArgumentParser(description=__doc__.split("\n")[0])
    parser.add_argument("path", help="the .raw file")
    parser.add_argument("scan", type=int, help="the scan number, from 1")
    parser.add_argument("-o", "--output", help="the PNG to write (default: FILE_scanSCAN.png here)")
    parser.add_argument("--label", type=int, default=5, help="how many of the most intense peaks to label")
    parser.add_argument("--dpi", type=int, default=100)
    args = parser.parse_args(argv)
    try:
        reader = open_reader(args.path)
    except ReadError as e:
        print(f"error: cannot read {e}", file=sys.stderr)
        return 1
    if not 1 <= args.scan <= reader.num_scans:
        parser.error(f"scan {args.scan} is outside this file's scans 1 to {reader.num_scans}")
    out = args.output or f"{os.path.splitext(os.path.basename(args.path))[0]}_scan{args.scan}.png"
    try:
        found = plot_spectrum(reader, args.scan, out, args.label, args.dpi)
    except OSError as e:  # the reader answers with values from here on: this is the image
        print(f"error: cannot write {out}: {e}", file=sys.stderr)
        return 1
    if not found:
        print(f"note: scan {args.scan} has no peaks", file=sys.stderr)
    print(f"wrote {out}")
    return 0


if __name__ == "__main__":
    sys.exit(main())
