"""Times every method of RawFileReader and its constructor on generated
files of 8 MiB, 256 MiB and 1 GiB, beside the floor (the least system work
the call needs, timed by bench/floor.c in the same run) and the whole-file
cost model (reading the whole file into a fresh buffer per call), and
prints a markdown table.

Usage: /usr/bin/python3 bench/bench.py [--quick] [--dir DIR] [--json OUT]
(--quick: the 8 MiB file only and few repetitions, to prove the script runs;
--json: the figures and the machine also as JSON, in the form the
documentation's performance page draws its charts from: docs/_data/bench.json)
"""

import argparse
import json
import os
import platform
import random
import shutil
import statistics
import subprocess
import sys
import tempfile
import time
import timeit

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, os.path.join(HERE, "..", "synthetic"))

import rawbuilder as rb  # noqa: E402
import velmaro  # noqa: E402
from machine import machine  # noqa: E402

MiB = 1 << 20
SIZES = [("8 MiB", 8 * MiB), ("256 MiB", 256 * MiB), ("1 GiB", 1024 * MiB)]
SCANS = 145
PEAKS = 1000
SCAN_BYTES = 4 + 12 * PEAKS + 96
METHOD_AT = 4194304 - 80000  # the XML declaration, near the end of the searched prefix
LABELS = ["Coulombmeter"] + [f"Status parameter {k} (unit)" for k in range(120)] + ["X"]
MESSAGES = ["Possible spray instability"] + [f"Warning {k}: pressure out of range" for k in range(60)]


def utf16(texts):
    return b"\x00\x00".join(t.encode("utf-16-le") for t in texts) + b"\x00\x00"


def sample(size):
    """The orbitrap layout with a 1000-peak block for each scan, trailer
    slots, a method text near the 4 MiB limit and both logs near the end."""
    rng = random.Random(size)
    image = rb.orbitrap_image(66, length=size, scan_bytes=SCAN_BYTES).header(filetime=133000000000000000)
    for i in range(SCANS):
        image.rt(i, 0.1 * i).trailer(i, injection=20.0, master=i, mono=500.5, charge=2, agc=b"On".ljust(13),
                                     elapsed=0.25, resolution=60000, ms_order_byte=1,
                                     collision=b"35.0".ljust(16), hcd=b"30".ljust(16), isolation=1.6)
        mz = sorted(rng.uniform(150, 2000) for _ in range(PEAKS))
        image.put(rb.ORBITRAP_FIRST_OFFSET + SCAN_BYTES * i, rb.peak_block(mz, [1e5] * PEAKS, 12))
    method = '<?xml version="1.0"?><InstrumentMethod>' + "<Setting>x</Setting>" * 2000 + "</InstrumentMethod>"
    image.put(METHOD_AT, method.encode())
    image.put(size - 256 * 1024, utf16(LABELS))
    image.put(size - 64 * 1024, utf16(MESSAGES))
    return image


def floor_reads(path, size):
    """Read groups of the least system work for each operation."""
    slot = lambda n: rb.TRAILER_START + rb.TRAILER_STRIDE * (n - 1)  # noqa: E731
    rt_begin = rb.ORBITRAP_RT_START - 4
    rt_end = rb.ORBITRAP_RT_START + rb.ORBITRAP_RT_STRIDE * (SCANS - 1) + 8
    trailer_end = slot(SCANS) + 76
    window = min(200000, size - METHOD_AT)
    return {
        "RawFileReader(path)": [f"0:40,{rt_begin}:{rt_end - rt_begin},{slot(1)}:{trailer_end - slot(1)}"],
        "get_peaks": [f"{rb.ORBITRAP_FIRST_OFFSET + SCAN_BYTES * 2}:{4 + 12 * PEAKS}"],
        "native_get_peaks": [f"{rb.ORBITRAP_FIRST_OFFSET + SCAN_BYTES * 2}:{4 + 12 * PEAKS}"],
        "get_trailer_extra": [f"{slot(3)}:140"],
        "get_instrument_method": [f"0:{METHOD_AT + 5},{METHOD_AT}:{window}"],
    }


# The read sizes the floor tries; it counts the one that costs least.
READ_SIZES = [128 << 10, 256 << 10, 512 << 10, 1 << 20, 2 << 20, 4 << 20]


class Floor:
    def __init__(self, build_dir):
        self.program = os.path.join(build_dir, "floor")
        # The look at every byte at the widest vectors this machine has,
        # where the compiler knows it.
        source = os.path.join(HERE, "floor.c")
        if subprocess.run(["cc", "-O3", "-march=native", "-o", self.program, source]).returncode != 0:
            subprocess.run(["cc", "-O2", "-o", self.program, source], check=True)
        self.read_size = {}

    def time(self, mode, path, n, groups=()):
        """The median of n calls in microseconds, at the read size that costs
        least: which one does depends on the machine.  The size is chosen
        once, by the best of three medians of each, so that the floor's
        figure, like the module's, is the best of its rounds at one setting
        rather than the luckiest of every size's."""
        if mode == "whole":
            return self.run(mode, path, n)
        key = (mode, path, tuple(groups))
        if key not in self.read_size:
            self.read_size[key] = min(
                READ_SIZES, key=lambda size: min(self.run(mode, path, n, str(size), *groups) for _ in range(3)))
        return self.run(mode, path, n, str(self.read_size[key]), *groups)

    def run(self, *arguments):
        out = subprocess.run([self.program, *map(str, arguments)], check=True, capture_output=True, text=True)
        return int(out.stdout) / 1000.0


def median_us(call, n):
    times = []
    for _ in range(n):
        start = time.perf_counter_ns()
        call()
        times.append(time.perf_counter_ns() - start)
    return statistics.median(times) / 1000.0


def operations(reader, path):
    """(name, call, floor mode)"""
    return [
        ("RawFileReader(path)", lambda: velmaro.RawFileReader(path), "reads"),
        ("get_peaks", lambda: reader.get_peaks(3), "reads"),
        ("native_get_peaks", lambda: reader.native_get_peaks(3), "reads"),
        ("get_trailer_extra", lambda: reader.get_trailer_extra(3), "reads"),
        ("get_instrument_method", lambda: reader.get_instrument_method(0), "reads"),
        ("get_status_log_labels", lambda: reader.get_status_log_labels(), "stream"),
        ("get_error_logs", lambda: reader.get_error_logs(), "stream"),
    ]


def repetitions(name, size, quick):
    streams = name in ("get_status_log_labels", "get_error_logs")
    if quick:
        return 6 if streams else 30
    # A median of two calls, as a 1 GiB scan once had, moved its ratio by 15% from run to run.
    return max(40, min(120, (1 << 30) // size)) if streams else 300


def warm_up(call, seconds=0.2):
    """Calls until the caches and the CPU's clock have settled: the first
    call measured, the constructor on the smallest file, once came out a fifth
    slower than the same call on the larger files after it."""
    end = time.perf_counter() + seconds
    call()
    while time.perf_counter() < end:
        call()


ROUNDS = 5  # module and floor take turns, so that drift in the machine's speed hits both


# The calls that search text, whose floor is also timed with a look at every
# byte read: the least a search must add to the reads.
LOOKS = {"get_instrument_method": "reads-look", "get_status_log_labels": "look", "get_error_logs": "look"}


def measure(name, call, floor, mode, path, n, groups):
    """Best of ROUNDS medians for the module and for the floor, taken in
    turns, and for a search also for the floor with a look at every byte
    read (None for other calls)."""
    module_us, floor_us, look_us = [], [], []
    per_round = max(2, n // ROUNDS)
    for _ in range(ROUNDS):
        module_us.append(median_us(call, per_round))
        floor_us.append(floor.time(mode, path, per_round, groups))
        if name in LOOKS:
            look_us.append(floor.time(LOOKS[name], path, per_round, groups))
    return min(module_us), min(floor_us), min(look_us, default=None)


MEMORY_PROBE = """
import json, sys, numpy, velmaro
def status(key):
    for line in open('/proc/self/status'):
        if line.startswith(key):
            return int(line.split()[1]) * 1024
reader = velmaro.RawFileReader(sys.argv[1])
call = {"RawFileReader(path)": lambda: velmaro.RawFileReader(sys.argv[1]),
        "get_peaks": lambda: reader.get_peaks(3), "native_get_peaks": lambda: reader.native_get_peaks(3),
        "get_trailer_extra": lambda: reader.get_trailer_extra(3),
        "get_instrument_method": lambda: reader.get_instrument_method(0),
        "get_status_log_labels": reader.get_status_log_labels, "get_error_logs": reader.get_error_logs}[sys.argv[2]]
reader.get_peaks(1)  # loads NumPy's C API before the measured call
with open('/proc/self/clear_refs', 'w') as f:
    f.write('5')  # resets the peak resident size
before = status('VmRSS:')
result = call()
print(json.dumps(status('VmHWM:') - before))
"""


def memory_growth(path, name):
    out = subprocess.run([sys.executable, "-c", MEMORY_PROBE, path, name], check=True, capture_output=True,
                         text=True, env=dict(os.environ, PYTHONPATH=os.path.dirname(velmaro.__file__)))
    return json.loads(out.stdout)


def micro(quick):
    """list_spectra and get_rt beside their pure-Python yardsticks."""
    with tempfile.TemporaryDirectory() as directory:
        image = rb.orbitrap_image(66)
        reader = velmaro.RawFileReader(image.write(os.path.join(directory, "orbitrap.raw")))
    rows = [tuple(d.values()) for d in reader.list_spectra()]
    table = {1: 0.5}
    number = 2000 if quick else 20000

    def python_dicts():
        return [{"scan_number": a, "rt": b, "injection_time": c, "master_scan": d, "charge": e, "monomz": f}
                for a, b, c, d, e, f in rows]

    def best(stmt, count, **names):
        return min(timeit.repeat(stmt, globals=names, number=count, repeat=7)) / count * 1e9

    return [
        ("list_spectra()", best("f()", number // 10, f=reader.list_spectra),
         "145 dicts built in Python from tuples", best("f()", number // 10, f=python_dicts)),
        ("get_rt(n)", best("f(1)", number * 10, f=reader.get_rt), "dict.get(key)",
         best("f(1)", number * 10, f=table.get)),
    ]


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--quick", action="store_true")
    parser.add_argument("--dir", default=None, help="where to write the sample files (default: a temporary dir)")
    parser.add_argument("--json", metavar="OUT", help="also write the figures and the machine as JSON to OUT")
    args = parser.parse_args()
    started = machine()
    sizes = SIZES[:1] if args.quick else SIZES
    directory = args.dir or tempfile.mkdtemp(prefix="velmaro-bench-")
    os.makedirs(os.path.join(directory, "orbitrap"), exist_ok=True)
    floor = Floor(directory)
    results = {}
    looks = {}  # the scans' floor with a look at every byte
    memory = {}
    try:
        for label, size in sizes:
            path = sample(size).write(os.path.join(directory, "orbitrap", f"bench-{size}.raw"))
            subprocess.run(["cat", path], stdout=subprocess.DEVNULL, check=True)  # into the page cache
            reader = velmaro.RawFileReader(path)
            reads = floor_reads(path, size)
            # What the algorithms would cost if every call read the whole file.
            whole = floor.time("whole", path, 3 if size > 64 * MiB or args.quick else 20)
            for name, call, mode in operations(reader, path):
                warm_up(call)
                module, floor_us, look = measure(name, call, floor, mode, path, repetitions(name, size, args.quick),
                                                 reads.get(name, ()))
                results[(name, label)] = (module, floor_us, whole)
                if look is not None:
                    looks[(name, label)] = look
            if size == sizes[-1][1]:
                for name, _, _ in operations(reader, path):
                    memory[name] = memory_growth(path, name)
            os.remove(path)
    finally:
        if args.dir is None:
            shutil.rmtree(directory, ignore_errors=True)

    method = f"files in the page cache; per call, the best of {ROUNDS} medians taken in turns with the floor"
    print(f"Machine: {platform.node()}, {os.cpu_count()} cores, {platform.platform()}, "
          f"Python {platform.python_version()}; load average {' '.join(f'{x:.2f}' for x in started['load_average'])}"
          f" at the start, {' '.join(f'{x:.2f}' for x in os.getloadavg())} at the end; {method}.\n")
    print("| call | file | module | floor | module / floor | whole-file model | model / module |")
    print("|---|---|---:|---:|---:|---:|---:|")
    for (name, label), (module, floor_us, whole) in results.items():
        print(f"| `{name}` | {label} | {module:,.1f} µs | {floor_us:,.1f} µs | {module / floor_us:.2f} | "
              f"{whole:,.0f} µs | {whole / module:,.0f} |")
    print("\nThe searches beside the least they must add to the reads, a look at every byte read:\n")
    print("| call | file | module | floor with a look at every byte | module / that | that / floor |")
    print("|---|---|---:|---:|---:|---:|")
    for (name, label), look in looks.items():
        module, floor_us, _ = results[(name, label)]
        print(f"| `{name}` | {label} | {module:,.1f} µs | {look:,.1f} µs | {module / look:.2f} | "
              f"{look / floor_us:.2f} |")
    if len(sizes) > 1:
        print("\n| call | 1 GiB / 8 MiB per call | memory growth of one call on the largest file |")
        print("|---|---:|---:|")
        for name, _, _ in operations(None, None):
            ratio = results[(name, sizes[-1][0])][0] / results[(name, sizes[0][0])][0]
            print(f"| `{name}` | {ratio:.2f} | {memory[name] / 1024:,.0f} KiB |")
    print("\n| call | time | yardstick | time | ratio |")
    print("|---|---:|---|---:|---:|")
    micros = micro(args.quick)
    for name, ours, yardstick, theirs in micros:
        print(f"| `{name}` | {ours:,.0f} ns | {yardstick} | {theirs:,.0f} ns | {ours / theirs:.2f} |")
    if args.json:
        bytes_of = dict(sizes)
        report = {
            "benchmark": "bench/bench.py",
            "machine": dict(started, load_average_end=list(os.getloadavg())),
            "method": method,
            "rows": [{"call": name, "file": label, "file_bytes": bytes_of[label], "module_us": module,
                      "floor_us": floor_us, "whole_file_us": whole,
                      **({"look_floor_us": looks[(name, label)]} if (name, label) in looks else {})}
                     for (name, label), (module, floor_us, whole) in results.items()],
            "memory_growth_kib": {name: growth / 1024 for name, growth in memory.items()},
            "micro": [{"call": name, "ns": ours, "yardstick": yardstick, "yardstick_ns": theirs}
                      for name, ours, yardstick, theirs in micros],
        }
        with open(args.json, "w", encoding="utf-8") as f:
            json.dump(report, f, indent=1)
            f.write("\n")


if __name__ == "__main__":
    main()
