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

from velmaro_tools import Run, RunError, Spectrum


def plot_spectrum(spectrum: Spectrum, out: str, label: int = 5, dpi: int = 100) -> None:
    """Writes the PNG; a scan without peaks gives an image that says so."""
    # A figure of its own on an Agg canvas: no pyplot state, no GUI backend.
    figure = Figure(figsize=(10, 4), dpi=dpi)
    FigureCanvasAgg(figure)
    axes = figure.add_subplot()
    s = spectrum
    title = f"scan {s.scan} (MS{s.ms_level}), {s.rt:.3f} min"
    if s.master_scan is not None:
        precursor = f", precursor m/z {s.precursor_mz:.4f}" if s.precursor_mz is not None else ""
        title += precursor + (f" ({s.charge}+)" if s.charge else "") + f" from scan {s.master_scan}"
    axes.set_title(title)
    axes.set_xlabel("m/z")
    axes.set_ylabel("intensity")
    if s.mz.size:
        axes.vlines(s.mz, 0, s.intensity, linewidth=0.7, color="tab:blue")
        axes.set_ylim(0, float(s.intensity.max()) * 1.12 or 1.0)
        for k in s.intensity.argsort()[::-1][:label]:
            axes.annotate(f"{s.mz[k]:.4f}", (float(s.mz[k]), float(s.intensity[k])), xytext=(0, 3),
                          textcoords="offset points", ha="center", fontsize=7)
    else:
        axes.text(0.5, 0.5, "no peaks found in this scan", transform=axes.transAxes, ha="center")
    figure.tight_layout()
    figure.savefig(out, format="png")


def main(argv: list[str] | None = None) -> int:
    parser = argparse.ArgumentParser(description=__doc__.split("\n")[0])
    parser.add_argument("path", help="the .raw file")
    parser.add_argument("scan", type=int, help="the scan number, from 1")
    parser.add_argument("-o", "--output", help="the PNG to write (default: FILE_scanSCAN.png here)")
    parser.add_argument("--label", type=int, default=5, help="how many of the most intense peaks to label")
    parser.add_argument("--dpi", type=int, default=100)
    args = parser.parse_args(argv)
    try:
        with Run(args.path) as run:
            if not 1 <= args.scan <= run.num_scans:
                parser.error(f"scan {args.scan} is outside this file's scans 1 to {run.num_scans}")
            spectrum = run.spectrum(args.scan)
    except RunError as e:
        print(f"error: {e}", file=sys.stderr)
        return 1
    out = args.output or f"{os.path.splitext(os.path.basename(args.path))[0]}_scan{args.scan}.png"
    try:
        plot_spectrum(spectrum, out, args.label, args.dpi)
    except OSError as e:
        print(f"error: cannot write {out}: {e}", file=sys.stderr)
        return 1
    if not spectrum.mz.size:
        print(f"note: scan {args.scan} has no peaks", file=sys.stderr)
    print(f"wrote {out}")
    return 0


if __name__ == "__main__":
    sys.exit(main())
