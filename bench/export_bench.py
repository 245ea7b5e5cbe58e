"""Times the export of velmaro_tools side by side with pyopenms's mzML
writer, in one run, on generated files of 145 scans of 20,000 and of
100,000 peaks (files in the page cache): mzML beside pyopenms's
MzMLFile.store for the same spectra with the same encodings (zlib, 64-bit
m/z, 32-bit intensity), MGF and Parquet, all three in one pass beside the
three one after the other, and get_peaks alone, the floor of reading.
Throughput is in MB/s of peak data (12 bytes a peak written); each step's
peak resident size is measured in a child process of its own.

Usage: python bench/export_bench.py [--quick] [--repeat N] [--json OUT] [--dir DIR]
(the files go to DIR, by default to /dev/shm: in memory, so that the
disk's writeback of one step's output takes no part in the next step's time)
(--quick: one file of 145 scans of 2,000 peaks, one repetition, pyopenms
only if it is installed: to prove in seconds that the script runs)
"""

from __future__ import annotations

import argparse
import datetime
import functools
import gc
import itertools
import json
import os
import subprocess
import sys
import tempfile
import time
from typing import Any, Callable, Iterator

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, os.path.join(HERE, "..", "synthetic"))

import numpy as np  # noqa: E402
from machine import finish, machine  # noqa: E402
from samples import large_sample  # noqa: E402

import velmaro  # noqa: E402
from velmaro_tools.export import RunInfo, export  # noqa: E402
from velmaro_tools.records import Spectrum  # noqa: E402

SCANS = 145
PEAK_BYTES = 12
HCD = "HigherEnergyCollisionalDissociation"
# Whose versions the report gives.
PACKAGES = ("velmaro", "numpy", "pyarrow", "orjson", "isal", "pyopenms")


# ---- reading: Spectrum records from the reader, as the toolkit's runs give them


class Source:
    """A file's scans as Spectrum records, read on the fly.  An mzML states
    the count and MS levels of the spectra with peaks before the first, so
    for mzML (`counted`) a pass of get_peaks over the scans comes first; its
    time is part of the export's."""

    def __init__(self, path: str, counted: bool) -> None:
        self.path = path
        self.reader = velmaro.RawFileReader(path)
        r = self.reader
        trailer = r.version == 66 and "orbitrap" in path
        self.scans = []
        for n in range(1, r.num_scans + 1):
            extra = r.get_trailer_extra(n) if trailer else {}
            master = r.get_master_scan(n)
            order = extra.get("MS Order")
            level = order if isinstance(order, int) else 2 if master > 0 else 1
            activation = extra.get("Activation Type")
            self.scans.append((n, level, r.get_rt(n), r.get_monoisotopic_mz(n) or None, r.get_charge_state(n) or None,
                               master if master > 0 else None, activation if isinstance(activation, str) else None))
        created = datetime.datetime.fromtimestamp(int(r.creation_date), datetime.timezone.utc)
        self.info = RunInfo(path, created)
        if counted:
            levels = [s[1] for s in self.scans if not is_neutral(r.get_peaks(s[0])[0])]
            self.info = RunInfo(path, created, len(levels), frozenset(levels))

    def spectra(self) -> Iterator[Spectrum]:
        for n, level, rt, precursor, charge, master, activation in self.scans:
            mz, intensity = self.reader.get_peaks(n)
            if is_neutral(mz):
                mz, intensity = mz[:0], intensity[:0]
            yield Spectrum(n, level, rt, mz, intensity, precursor, charge, master, activation)


def is_neutral(mz: Any) -> bool:
    """get_peaks's result for a scan without peaks: one m/z of 0.0."""
    return bool(mz.size == 1 and mz[0] == 0.0)


def opened(path: str, counted: bool = True) -> Source:
    return Source(path, counted)


# ---- the steps: each returns the peaks written


def step_get_peaks(path: str, out: str) -> int:
    reader = velmaro.RawFileReader(path)
    peaks = 0
    for n in range(1, reader.num_scans + 1):
        peaks += reader.get_peaks(n)[0].size
    return peaks


def step_read(path: str, out: str) -> int:
    return sum(s.mz.size for s in opened(path, counted=False).spectra())


def exporter(**outputs: Any) -> Callable[[str, str], int]:
    options = {k: v for k, v in outputs.items() if k not in ("mzml", "mgf", "parquet")}
    kinds = [k for k in ("mzml", "mgf", "parquet") if outputs.get(k)]

    def step(path: str, out: str) -> int:
        source = opened(path, counted="mzml" in kinds)
        result = export(source.spectra(), source.info, **{k: f"{out}.{k}" for k in kinds}, **options)
        return sum(o.peaks for o in result.outputs)
    return step


def openms_experiment(path: str, limit: int | None = None) -> Any:
    import pyopenms

    source = opened(path, counted=False)
    experiment = pyopenms.MSExperiment()
    for s in itertools.islice(source.spectra(), limit):
        if not s.mz.size:
            continue
        spectrum = pyopenms.MSSpectrum()
        spectrum.set_peaks((s.mz, s.intensity))
        spectrum.setRT(s.rt * 60)
        spectrum.setMSLevel(s.ms_level)
        spectrum.setNativeID(f"controllerType=0 controllerNumber=1 scan={s.scan}")
        experiment.addSpectrum(spectrum)
    return experiment


def openms_store(experiment: Any, out: str) -> int:
    import pyopenms

    writer = pyopenms.MzMLFile()
    options = writer.getOptions()
    options.setCompression(True)  # zlib
    options.setMz32Bit(False)
    options.setIntensity32Bit(True)
    writer.setOptions(options)
    writer.store(f"{out}.mzML", experiment)
    return sum(experiment.getSpectrum(i).size() for i in range(experiment.getNrSpectra()))


STEPS: dict[str, tuple[str, Callable[[str, str], int]]] = {
    "get_peaks": ("get_peaks alone, every scan (the floor of reading)", step_get_peaks),
    "read": ("Spectrum records: scan values, trailer, get_peaks", step_read),
    "mzml": ("mzML", exporter(mzml=True)),
    "mzml-zlib": ("mzML, Python's zlib module, level 6", exporter(mzml=True, mzml_compressor="zlib")),
    "mzml-1thread": ("mzML, no worker threads", exporter(mzml=True, threads=0)),
    "mgf": ("MGF (MS2 scans)", exporter(mgf=True)),
    "parquet": ("Parquet", exporter(parquet=True)),
    "all": ("mzML + MGF + Parquet in one pass", exporter(mzml=True, mgf=True, parquet=True)),
}


def outputs_of(out: str) -> list[str]:
    return [f"{out}.{k}" for k in ("mzml", "mgf", "parquet", "mzML")]


def clear(out: str) -> None:
    for p in outputs_of(out):
        if os.path.exists(p):
            os.remove(p)


def size_of(out: str) -> int:
    return sum(os.path.getsize(p) for p in outputs_of(out) if os.path.exists(p))


def timed(steps: dict[str, Callable[[], int]], out: str, repeat: int) -> dict[str, dict[str, float]]:
    """Each step's best wall time over `repeat` rounds, with the CPU time
    (all threads) of that run.  Every round runs every step once, so that a
    slow moment of the machine weighs on all alike; outputs are removed
    before each run, so none is overwritten."""
    best: dict[str, dict[str, float]] = {}
    for _ in range(repeat):
        for name, call in steps.items():
            clear(out)
            gc.collect()
            cpu, wall = time.process_time(), time.perf_counter()
            peaks = call()
            wall, cpu = time.perf_counter() - wall, time.process_time() - cpu
            if name not in best or wall < best[name]["seconds"]:
                best[name] = {"seconds": wall, "cpu_seconds": cpu, "peaks": peaks, "bytes": size_of(out)}
    return best


def high_water_kib() -> int:
    """This process's peak resident size: VmHWM, which a new process starts
    afresh (ru_maxrss carries the parent's peak over fork and exec)."""
    with open("/proc/self/status") as f:
        return next(int(line.split()[1]) for line in f if line.startswith("VmHWM:"))


def child(step: str, path: str, out: str) -> None:
    """One run of a step in this process: its peak resident size, and the
    size before it, once a small export has loaded every library's code."""
    small = [Spectrum(n, 1 + n % 2, 1.0, np.linspace(100, 900, 500), np.ones(500, np.float32)) for n in range(1, 11)]
    with tempfile.TemporaryDirectory() as warm:
        export(small, RunInfo("warm.raw", None, 10, {1, 2}),
               **{k: os.path.join(warm, f"warm.{k}") for k in ("mzml", "mgf", "parquet")})
        if step == "openms":
            openms_store(openms_experiment(path, limit=2), os.path.join(warm, "warm"))
    before = high_water_kib()
    if step == "openms":
        openms_store(openms_experiment(path), out)
    else:
        STEPS[step][1](path, out)
    after = high_water_kib()
    print(json.dumps({"baseline_kib": before, "peak_kib": after}))


def peak_memory(step: str, path: str, out: str) -> dict[str, int]:
    clear(out)
    done = subprocess.run([sys.executable, __file__, "--child", step, path, out], capture_output=True, text=True,
                          check=True)
    return json.loads(done.stdout.splitlines()[-1])  # type: ignore[no-any-return]


def run_file(peaks: int, directory: str, repeat: int, openms: bool) -> dict[str, Any]:
    path = large_sample(peaks).write(os.path.join(directory, "orbitrap", f"run{peaks}.raw"))
    file_bytes = os.path.getsize(path)
    with open(path, "rb") as f:  # into the page cache
        while f.read(1 << 24):
            pass
    out = os.path.join(directory, f"out{peaks}")
    # Imports and first-use costs are paid before any timing.
    for name in ("all", "mzml-zlib"):
        STEPS[name][1](path, out)
    steps: dict[str, Callable[[], int]] = {name: functools.partial(step, path, out) for name, (_, step) in STEPS.items()}
    labels = {name: label for name, (label, _) in STEPS.items()}
    experiment = None
    if openms:
        experiment = openms_experiment(path)
        steps["openms"] = functools.partial(openms_store, experiment, out)
        labels["openms"] = "pyopenms MzMLFile.store (zlib, 64-bit m/z, 32-bit intensity)"
    times = timed(steps, out, repeat)
    steps.clear()
    experiment = None  # it holds every spectrum
    rows = [{"step": name, "label": labels[name], **times[name], **peak_memory(name, path, out)} for name in labels]
    clear(out)
    os.remove(path)
    return {"scans": SCANS, "peaks_per_scan": peaks, "file_bytes": file_bytes, "rows": rows}


def verdicts(result: dict[str, Any]) -> list[str]:
    rows = {r["step"]: r for r in result["rows"]}
    mb_s = {k: r["peaks"] * PEAK_BYTES / 1e6 / r["seconds"] for k, r in rows.items()}
    lines = []
    if "openms" in rows:
        ratio = rows["mzml"]["seconds"] / rows["openms"]["seconds"]
        lines.append(f"mzML takes {ratio:.2f} of pyopenms's time (target: at most 0.50): "
                     f"{'met' if ratio <= 0.5 else 'MISSED'}")
    lines.append(f"MGF {mb_s['mgf']:.0f} MB/s (target: 25 or more): {'met' if mb_s['mgf'] >= 25 else 'MISSED'}")
    lines.append(f"Parquet {mb_s['parquet']:.0f} MB/s (target: 250 or more): "
                 f"{'met' if mb_s['parquet'] >= 250 else 'MISSED'}")
    three = sum(rows[k]["seconds"] for k in ("mzml", "mgf", "parquet"))
    lines.append(f"one pass {rows['all']['seconds']:.3f} s, the three one after the other {three:.3f} s: "
                 f"{'met' if rows['all']['seconds'] < three else 'MISSED'}")
    return lines


def table(result: dict[str, Any]) -> str:
    lines = [f"### {result['scans']} scans of {result['peaks_per_scan']:,} peaks",
             "",
             "| step | time | MB/s of peak data | output | CPU / wall | peak RSS (baseline) |",
             "|---|---:|---:|---:|---:|---:|"]
    for r in result["rows"]:
        rate = r["peaks"] * PEAK_BYTES / 1e6 / r["seconds"]
        output = f"{r['bytes'] / 1e6:,.1f} MB" if r["bytes"] else ""
        lines.append(f"| {r['label']} | {r['seconds']:.3f} s | {rate:,.0f} | {output} | "
                     f"{r['cpu_seconds'] / r['seconds']:.2f} | {r['peak_kib'] / 1024:,.0f} MiB "
                     f"({r['baseline_kib'] / 1024:,.0f}) |")
    return "\n".join(lines + [""] + [f"- {v}" for v in verdicts(result)])


def main() -> int:
    if len(sys.argv) == 5 and sys.argv[1] == "--child":
        child(*sys.argv[2:])
        return 0
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--quick", action="store_true", help="one small file, one repetition: seconds")
    parser.add_argument("--repeat", type=int, help="runs per step, the best one counts (default 3; 1 with --quick)")
    parser.add_argument("--json", metavar="OUT", help="write the figures and the machine as JSON to OUT")
    parser.add_argument("--dir", help="where to write the files (default: a temporary directory in /dev/shm, "
                        "else in the system's temporary folder)")
    args = parser.parse_args()
    repeat = args.repeat or (1 if args.quick else 3)
    try:
        import pyopenms  # noqa: F401
        openms = True
    except ImportError:
        if not args.quick:
            parser.error("pyopenms is needed, the yardstick of the mzML writer: pip install '.[bench]'")
        openms = False

    # In memory, input and outputs alike: the writers' work is timed, not
    # the disk's writeback of what the steps before wrote.
    where = args.dir or ("/dev/shm" if os.access("/dev/shm", os.W_OK) else None)
    report: dict[str, Any] = {"machine": machine(PACKAGES), "repeat": repeat,
                              "directory": where or tempfile.gettempdir(), "files": []}
    with tempfile.TemporaryDirectory(dir=where) as directory:
        for peaks in ([2000] if args.quick else [20000, 100000]):
            result = run_file(peaks, directory, repeat, openms)
            report["files"].append(result)
            print(table(result) + "\n", flush=True)
    print(f"Files in {report['directory']}. {finish(report, f'best of {repeat}', args.json)}")
    return 0


if __name__ == "__main__":
    sys.exit(main())
