"""Times reading the same spectra, every scan's m/z and intensity as NumPy
arrays, with velmaro from the .raw file and with the field's readers from
the files velmaro_tools.export writes of it: pyopenms, pymzml and pyteomics
from the indexed mzML, polars from the Parquet.  Files of 145 scans of
2,000 and of 20,000 peaks, in the page cache; best of 3 wall times per
reader, each reader's arrays checked against get_peaks first.

Usage: python bench/read_bench.py [--quick] [--repeat N] [--json OUT] [--dir DIR]
(--quick: 145 scans of 500 peaks, one repetition, the readers that are
installed: to prove in seconds that the script runs)

JSON: {"benchmark", "machine" (as bench/export_bench.py writes it, with the
readers' versions), "repeat", "files": [{"scans", "peaks_per_scan",
"peaks", "raw_bytes", "mzml_bytes", "parquet_bytes", "rows": [{"reader",
"label", "format", "seconds", "spectra", "peaks"}]}]}.
"""

from __future__ import annotations

import argparse
import gc
import importlib.metadata
import logging
import os
import sys
import tempfile
import time
from typing import Any, Callable, Iterator

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, os.path.join(HERE, "..", "synthetic"))

import numpy as np  # noqa: E402
from export_bench import PACKAGES  # noqa: E402
from machine import finish, machine  # noqa: E402
from samples import large_sample  # noqa: E402

import velmaro  # noqa: E402
from velmaro_tools import Run  # noqa: E402
from velmaro_tools.export import RunInfo, export  # noqa: E402

Arrays = Iterator[tuple[np.ndarray, np.ndarray]]


def read_get_peaks(raw: str, mzml: str, parquet: str) -> Arrays:
    reader = velmaro.RawFileReader(raw)
    for n in range(1, reader.num_scans + 1):
        yield reader.get_peaks(n)


def read_run(raw: str, mzml: str, parquet: str) -> Arrays:
    # Opening a Run judges the layout from the data: part of its cost.
    with Run(raw) as run:
        for spectrum in run:
            yield spectrum.mz, spectrum.intensity


def read_pyopenms(raw: str, mzml: str, parquet: str) -> Arrays:
    import pyopenms

    experiment = pyopenms.MSExperiment()
    pyopenms.MzMLFile().load(mzml, experiment)
    for spectrum in experiment:
        yield spectrum.get_peaks()


def read_pymzml(raw: str, mzml: str, parquet: str) -> Arrays:
    import pymzml

    # Its vocabulary lacks terms the mzML uses; it says so once per spectrum.
    logging.getLogger("pymzml").setLevel(logging.ERROR)
    with pymzml.run.Reader(mzml) as run:
        for spectrum in run:
            yield spectrum.mz, spectrum.i


def read_pyteomics(raw: str, mzml: str, parquet: str) -> Arrays:
    from pyteomics import mzml as pyteomics_mzml

    with pyteomics_mzml.read(mzml) as spectra:
        for spectrum in spectra:
            yield spectrum["m/z array"], spectrum["intensity array"]


def read_polars(raw: str, mzml: str, parquet: str) -> Arrays:
    import polars as pl

    table = pl.read_parquet(parquet, columns=["scan_number", "mz", "intensity"])
    scans = table["scan_number"].to_numpy()
    # One row per peak, in scan order: a spectrum is a run of equal scan numbers.
    bounds = np.flatnonzero(np.diff(scans)) + 1
    yield from zip(np.split(table["mz"].to_numpy(), bounds), np.split(table["intensity"].to_numpy(), bounds))


READERS: dict[str, tuple[str, str, str, Callable[[str, str, str], Arrays]]] = {
    "get_peaks": ("velmaro RawFileReader.get_peaks", "raw", "velmaro", read_get_peaks),
    "run": ("velmaro_tools Run, Spectrum records", "raw", "velmaro", read_run),
    "pyopenms": ("pyopenms MzMLFile.load, get_peaks", "mzML", "pyopenms", read_pyopenms),
    "pymzml": ("pymzml run.Reader, mz and i", "mzML", "pymzml", read_pymzml),
    "pyteomics": ("pyteomics mzml.read", "mzML", "pyteomics", read_pyteomics),
    "polars": ("polars read_parquet, split by scan", "Parquet", "polars", read_polars),
}


def installed(package: str) -> bool:
    try:
        importlib.metadata.version(package)
    except importlib.metadata.PackageNotFoundError:
        return False
    return True


def write_files(peaks: int, directory: str) -> tuple[str, str, str]:
    raw = large_sample(peaks).write(os.path.join(directory, "orbitrap", f"run{peaks}.raw"))
    mzml, parquet = os.path.join(directory, f"run{peaks}.mzML"), os.path.join(directory, f"run{peaks}.parquet")
    with Run(raw) as run:
        levels = [s.ms_level for s in run if s.mz.size]
        export(run.spectra(), RunInfo(run.path, run.creation_time, len(levels), set(levels)), mzml=mzml,
               parquet=parquet)
    for path in (raw, mzml, parquet):  # into the page cache
        with open(path, "rb") as f:
            while f.read(1 << 24):
                pass
    return raw, mzml, parquet


def check(name: str, files: tuple[str, str, str], expected: list[tuple[np.ndarray, np.ndarray]]) -> None:
    """The reader gives the spectra get_peaks gives, value for value."""
    got = list(READERS[name][3](*files))
    if len(got) != len(expected):
        raise SystemExit(f"{name}: {len(got)} spectra, get_peaks gives {len(expected)}")
    for k, ((mz, intensity), (want_mz, want_intensity)) in enumerate(zip(got, expected), 1):
        if not (np.array_equal(np.asarray(mz, np.float64), want_mz)
                and np.array_equal(np.asarray(intensity, np.float32), want_intensity)):
            raise SystemExit(f"{name}: spectrum {k} differs from get_peaks")


def timed(name: str, files: tuple[str, str, str], repeat: int) -> dict[str, Any]:
    best: dict[str, Any] = {}
    for _ in range(repeat):
        gc.collect()
        start = time.perf_counter()
        spectra = peaks = 0
        for mz, intensity in READERS[name][3](*files):
            spectra += 1
            peaks += len(mz)
        seconds = time.perf_counter() - start
        if not best or seconds < best["seconds"]:
            best = {"seconds": seconds, "spectra": spectra, "peaks": peaks}
    return best


def run_file(peaks: int, directory: str, repeat: int, names: list[str]) -> dict[str, Any]:
    files = write_files(peaks, directory)
    expected = [(mz.copy(), intensity.copy()) for mz, intensity in read_get_peaks(*files)]
    rows = []
    for name in names:
        check(name, files, expected)  # also the warm-up: imports and first-use costs
        label, fmt, _, _ = READERS[name]
        rows.append({"reader": name, "label": label, "format": fmt, **timed(name, files, repeat)})
    sizes = {f"{kind}_bytes": os.path.getsize(path) for kind, path in zip(("raw", "mzml", "parquet"), files)}
    for path in files:
        os.remove(path)
    return {"scans": len(expected), "peaks_per_scan": peaks, "peaks": sum(m.size for m, _ in expected), **sizes,
            "rows": rows}


def table(result: dict[str, Any]) -> str:
    lines = [f"### {result['scans']} scans of {result['peaks_per_scan']:,} peaks "
             f"(.raw {result['raw_bytes'] / 1e6:,.1f} MB, mzML {result['mzml_bytes'] / 1e6:,.1f} MB, "
             f"Parquet {result['parquet_bytes'] / 1e6:,.1f} MB)", "",
             "| reader | from | time | spectra/s | million peaks/s | / get_peaks |", "|---|---|---:|---:|---:|---:|"]
    base = next(r["seconds"] for r in result["rows"] if r["reader"] == "get_peaks")
    for r in result["rows"]:
        lines.append(f"| {r['label']} | {r['format']} | {r['seconds'] * 1e3:,.1f} ms | "
                     f"{r['spectra'] / r['seconds']:,.0f} | {r['peaks'] / r['seconds'] / 1e6:,.1f} | "
                     f"{r['seconds'] / base:,.1f} |")
    return "\n".join(lines)


def main() -> int:
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--quick", action="store_true", help="one small file, one repetition: seconds")
    parser.add_argument("--repeat", type=int, help="runs per reader, the best one counts (default 3; 1 with --quick)")
    parser.add_argument("--json", metavar="OUT", help="write the figures and the machine as JSON to OUT")
    parser.add_argument("--dir", help="where to write the files (default: a temporary directory)")
    args = parser.parse_args()
    repeat = args.repeat or (1 if args.quick else 3)
    names = [n for n, (_, _, package, _) in READERS.items() if installed(package)]
    missing = sorted({READERS[n][2] for n in READERS} - {READERS[n][2] for n in names})
    if missing and not args.quick:
        parser.error(f"not installed: {', '.join(missing)} (pip install '.[examples,test,bench]')")

    report: dict[str, Any] = {"benchmark": "bench/read_bench.py", "machine": machine(PACKAGES + ("pymzml", "pyteomics", "polars", "psims")),
                              "repeat": repeat, "files": []}
    with tempfile.TemporaryDirectory(dir=args.dir) as directory:
        for peaks in ([500] if args.quick else [2000, 20000]):
            result = run_file(peaks, directory, repeat, names)
            report["files"].append(result)
            print(table(result) + "\n", flush=True)
    print(finish(report, f"best of {repeat}", args.json))
    return 0


if __name__ == "__main__":
    sys.exit(main())
