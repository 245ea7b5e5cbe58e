"""Times examples/export.py on a generated file of many peaks: each format
alone and all three in one pass, in spectra per second and MB per second of
output, beside the time get_peaks alone takes for the same scans, and
prints a markdown table.

Usage: python bench/export_bench.py [--quick] [--peaks N] [--dir DIR]
(--quick: 2000 peaks per scan and one repetition, to prove the script runs)
"""

import argparse
import os
import platform
import random
import sys
import tempfile
import time

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, os.path.join(HERE, "..", "synthetic"))
sys.path.insert(0, os.path.join(HERE, "..", "examples"))

import numpy as np  # noqa: E402
import rawbuilder as rb  # noqa: E402

import export  # noqa: E402
import velmaro  # noqa: E402

SCANS = 145
# Scan 1's block lies before the retention-time table; the others start
# past the trailer slots, so that blocks of any size leave the tables alone.
REST_AT = 8 << 20


def sample(peaks):
    """The orbitrap layout: an MS1 scan and four MS2 scans of its precursors,
    over and over, each with a block of `peaks` peaks."""
    rng = np.random.default_rng(peaks)
    block_bytes = 4 + 12 * peaks
    image = rb.orbitrap_image(66).header(filetime=133000000000000000)
    offset = rb.ORBITRAP_FIRST_OFFSET
    for i in range(SCANS):
        ms1 = i % 5 == 0
        image.rt(i, 0.5 + 0.02 * i).trailer(
            i, ms_order_byte=0 if ms1 else 1, master=0 if ms1 else i - i % 5 + 1, charge=0 if ms1 else 2 + i % 3,
            mono=0.0 if ms1 else float(rng.uniform(400, 1200)), hcd="" if ms1 else "30.00")
        table = np.zeros(peaks, [("mz", "<f8"), ("intensity", "<f4")])
        table["mz"] = np.sort(rng.uniform(150, 2000, peaks))
        table["intensity"] = rng.lognormal(8, 1.5, peaks)
        image.put(offset, np.uint32(peaks).tobytes() + table.tobytes())
        length = REST_AT - offset if i == 0 else block_bytes
        image.length_word(i, length)
        offset += length
    assert rb.ORBITRAP_FIRST_OFFSET + block_bytes < rb.ORBITRAP_RT_START - 4, "too many peaks for scan 1"
    return image


def best(call, repeat):
    times = []
    for _ in range(repeat):
        started = time.perf_counter()
        call()
        times.append(time.perf_counter() - started)
    return min(times)


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--quick", action="store_true")
    parser.add_argument("--peaks", type=int, help="peaks per scan (default 20000; 2000 with --quick)")
    parser.add_argument("--dir", help="where to write the files (default: a temporary directory)")
    args = parser.parse_args()
    peaks = args.peaks or (2000 if args.quick else 20000)
    repeat = 1 if args.quick else 3

    with tempfile.TemporaryDirectory(dir=args.dir) as directory:
        path = sample(peaks).write(os.path.join(directory, "orbitrap", "run.raw"))
        reader = velmaro.RawFileReader(path)
        scans = export.read_scans(reader, path)
        assert all(s.peaks == peaks for s in scans)
        ms2 = [s for s in scans if s.ms_level == 2]

        def get_peaks(subset):
            def call():
                for s in subset:  # one scan's arrays at a time, as the export holds them
                    reader.get_peaks(s.number)
            return best(call, repeat)

        rows = []
        scan_list = best(lambda: export.read_scans(reader, path), repeat)
        rows.append(("scan list (read_scans: scalars, trailer, get_peaks)", len(scans), None, scan_list,
                     get_peaks(scans)))
        outputs = {"mzML": "mzml", "MGF": "mgf", "Parquet": "parquet"}
        for name, key in outputs.items():
            out = os.path.join(directory, f"out.{key}")
            if key == "mzml":
                # psims parses its bundled vocabulary once per process: the
                # first document pays for it, every mzML has a header.
                rows.append(("mzML, no spectra, first in the process", 0, None,
                             best(lambda: export.export(reader, path, [], mzml=out), 1), 0.0))
                rows.append(("mzML, no spectra, then", 0, None,
                             best(lambda: export.export(reader, path, [], mzml=out), repeat), 0.0))
            seconds = best(lambda: export.export(reader, path, scans, **{key: out}), repeat)
            subset = ms2 if key == "mgf" else scans
            rows.append((f"{name} export", len(subset), os.path.getsize(out), seconds, get_peaks(subset)))
        together = {key: os.path.join(directory, f"all.{key}") for key in outputs.values()}
        seconds = best(lambda: export.export(reader, path, scans, **together), repeat)
        rows.append(("all three in one pass", len(scans), sum(os.path.getsize(p) for p in together.values()),
                     seconds, get_peaks(scans)))

    print(f"Machine: {platform.node()}, {os.cpu_count()} cores, {platform.platform()}, "
          f"Python {platform.python_version()}; {SCANS} scans of {peaks} peaks (version 66, orbitrap layout), "
          f"{SCANS - len(ms2)} MS1 and {len(ms2)} MS2; files in the page cache; best of {repeat}.\n")
    print("| step | spectra | output | time | spectra/s | output MB/s | get_peaks alone, same scans | share of get_peaks |")
    print("|---|---:|---:|---:|---:|---:|---:|---:|")
    for name, spectra, size, seconds, alone in rows:
        rate = f"{spectra / seconds:,.0f}" if spectra else ""
        output = f"{size / 1e6:,.1f} MB" if size else ""
        throughput = f"{size / 1e6 / seconds:,.1f}" if size else ""
        share = f"{alone / seconds:.1%}" if spectra else ""
        peaks_alone = f"{alone * 1e3:,.1f} ms" if spectra else ""
        print(f"| {name} | {spectra} | {output} | {seconds * 1e3:,.1f} ms | {rate} | {throughput} | "
              f"{peaks_alone} | {share} |")


if __name__ == "__main__":
    main()
