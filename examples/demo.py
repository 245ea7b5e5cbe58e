"""Writes a sample acquisition file and prints what the reader finds in it.

Usage: python examples/demo.py [PATH]   (a new file; by default the sample
goes to a temporary directory and is removed afterwards)

The sample is a version-66 file in the "orbitrap" layout.  velmaro takes that
layout only for a path that holds "orbitrap"; velmaro_tools.Run reads the
file in every layout that can apply and takes the one its data supports, so
the sample reads right at any PATH.
"""

import os
import sys
import tempfile

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "synthetic"))

from samples import sample_image  # noqa: E402

from velmaro_tools import Run, RunError  # noqa: E402


def main():
    directory = None
    if len(sys.argv) > 1:
        path = sys.argv[1]
        if os.path.lexists(path):
            print(f"error: {path} exists; the demo writes a new file", file=sys.stderr)
            return 1
    else:
        directory = tempfile.TemporaryDirectory()
        path = os.path.join(directory.name, "sample.raw")
    try:
        sample_image().write(path)
    except OSError as e:
        print(f"error: cannot write {path}: {e}", file=sys.stderr)
        return 1
    try:
        run = Run(path)
    except RunError as e:
        print(f"error: {e}", file=sys.stderr)
        return 1
    with run:
        print(f"file            {run.path} ({os.path.getsize(path)} bytes)")
        how = "forced" if run.layout_reason == "forced" else "chosen by evidence"
        print(f"layout          {run.layout} ({how})")
        print(f"version         {run.version}")
        print(f"scans           {run.num_scans}")
        print(f"created         {run.creation_time:%Y-%m-%d %H:%M:%S %Z}")
        print()
        print(" scan  MS     rt/min   inject/ms  master  charge      mono m/z  peaks")
        reader = run.reader  # the module's own reader, in the layout chosen
        for s in run.spectra():
            if s.scan > 10:
                break
            print(f"{s.scan:5d} {s.ms_level:3d} {s.rt:10.4f} {reader.get_injection_time(s.scan):11.3f} "
                  f"{s.master_scan or 0:7d} {s.charge or 0:7d} {s.precursor_mz or 0.0:13.4f} {s.mz.size:6d}")
        print()
        s = run.spectrum(2)
        top = s.intensity.argsort()[::-1][:5]
        print(f"scan {s.scan}: {s.mz.size} peaks, m/z {s.mz.min():.4f} to {s.mz.max():.4f} "
              f"({s.mz.dtype}, {s.intensity.dtype})")
        print("  most intense: " + ", ".join(f"{s.mz[k]:.4f} ({s.intensity[k]:.0f})" for k in top))
        levels = [run.ms_level(n) for n in range(1, run.num_scans + 1)]
        print(f"MS levels: {levels.count(1)} MS1, {levels.count(2)} MS2")
        print()
        print("trailer extra of scan 2")
        for key, value in run.trailer(2).items():
            print(f"  {key:24s} {value!r}")
        print()
        print("status log labels ", run.status_log_labels())
        print("error log         ", run.error_log())
        print("instrument method ")
        print(run.instrument_method())
    if directory is not None:
        directory.cleanup()
    return 0


if __name__ == "__main__":
    sys.exit(main())
