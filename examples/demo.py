"""Writes a sample acquisition file and prints what the reader finds in it.

Usage: python examples/demo.py [PATH]   (a new file; by default the sample
goes to a temporary directory and is removed afterwards)

The sample is in the "orbitrap" layout, which the reader takes only for a
path that holds "orbitrap" and not "small.RAW"; for any other PATH the demo
warns that the per-scan values will not read back.
"""

import os
import sys
import tempfile

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "synthetic"))

from read_errors import ReadError, open_reader  # noqa: E402
from samples import sample_image  # noqa: E402


def layout_warning(path):
    """Why the sample's per-scan values will not read back at `path`, or None."""
    if "orbitrap" not in path and "small.RAW" not in path:
        return (f'{path} holds neither "orbitrap" nor "small.RAW", so the reader takes no layout for it: '
                'every per-scan value reads as 0 (use a path that holds "orbitrap")')
    if "small.RAW" in path:
        return (f'{path} holds "small.RAW", so the reader takes the retention times from places of the '
                '"small.RAW" layout, where the sample has none: they read wrong (use a path without "small.RAW")')
    return None


def main():
    directory = None
    if len(sys.argv) > 1:
        path = sys.argv[1]
        if os.path.lexists(path):
            print(f"error: {path} exists; the demo writes a new file", file=sys.stderr)
            return 1
        warning = layout_warning(path)
        if warning:
            print(f"warning: {warning}", file=sys.stderr)
    else:
        directory = tempfile.TemporaryDirectory()
        path = os.path.join(directory.name, "orbitrap_sample.raw")
    try:
        sample_image().write(path)
    except OSError as e:
        print(f"error: cannot write {path}: {e}", file=sys.stderr)
        return 1
    try:
        reader = open_reader(path)
    except ReadError as e:
        print(f"error: cannot read {e}", file=sys.stderr)
        return 1
    print(f"file            {path} ({os.path.getsize(path)} bytes)")
    print(f"version         {reader.version}")
    print(f"scans           {reader.num_scans}")
    print(f"created (unix)  {reader.creation_date}")
    print()
    print(" scan     rt/min   inject/ms  master  charge      mono m/z")
    for n in range(1, 11):
        print(f"{n:5d} {reader.get_rt(n):10.4f} {reader.get_injection_time(n):11.3f} "
              f"{reader.get_master_scan(n):7d} {reader.get_charge_state(n):7d} {reader.get_monoisotopic_mz(n):13.4f}")
    print()
    scan = 2
    mz, intensity = reader.get_peaks(scan)
    top = intensity.argsort()[::-1][:5]
    print(f"scan {scan}: {len(mz)} peaks, m/z {mz.min():.4f} to {mz.max():.4f} ({mz.dtype}, {intensity.dtype})")
    print("  most intense: " + ", ".join(f"{mz[k]:.4f} ({intensity[k]:.0f})" for k in top))
    spectra = reader.list_spectra()
    ms2 = [s for s in spectra if s["master_scan"] > 0]
    print(f"list_spectra: {len(spectra)} scans, {len(ms2)} MS2 scans, last: {spectra[-1]}")
    print()
    print("trailer extra of scan 2")
    for key, value in reader.get_trailer_extra(2).items():
        print(f"  {key:24s} {value!r}")
    print()
    print("status log labels ", reader.get_status_log_labels())
    print("error log         ", reader.get_error_logs())
    print("instrument method ")
    print(reader.get_instrument_method(0))
    if directory is not None:
        directory.cleanup()
    return 0


if __name__ == "__main__":
    sys.exit(main())
