"""Instructions per call of each method, counted by valgrind's callgrind:
repeatable to the instruction whatever else the machine is doing, so two
builds can be compared on a busy machine where timings cannot.

Usage: python bench/instructions.py [--against OTHER_PYTHON] [--calls N]
Each interpreter must have velmaro and NumPy installed.  The count of a call
is (instructions of a run making it k times - those of a run making it once)
/ (k - 1), with hashing and NumPy's threads fixed so that runs repeat exactly.
"""

import argparse
import os
import re
import subprocess
import sys
import tempfile

HERE = os.path.dirname(os.path.abspath(__file__))

# (name, statement, calls); `r` is a reader of the demo's sample acquisition,
# padded to 8 MiB so that the log scans read a file of some size.
CALLS = [
    ("RawFileReader(path)", "velmaro.RawFileReader(path)", 4000),
    ("get_rt", "r.get_rt(3)", 100000),
    ("list_spectra", "r.list_spectra()", 2000),
    ("get_trailer_extra", "r.get_trailer_extra(3)", 20000),
    ("get_peaks", "r.get_peaks(3)", 10000),
    ("native_get_peaks", "r.native_get_peaks(3)", 2000),
    ("get_instrument_method", "r.get_instrument_method(0)", 200),
    ("get_status_log_labels", "r.get_status_log_labels()", 20),
    ("get_error_logs", "r.get_error_logs()", 20),
]

PROGRAM = """
import sys
sys.path.insert(0, {synthetic!r})
import samples, velmaro
path = {path!r}
r = velmaro.RawFileReader(path)
r.get_peaks(1)
for _ in range({calls}):
    {statement}
"""


def instructions(python, program):
    env = dict(os.environ, PYTHONHASHSEED="0", OPENBLAS_NUM_THREADS="1")
    out = subprocess.run(["valgrind", "--tool=callgrind", "--callgrind-out-file=/dev/null", python, "-c", program],
                         capture_output=True, text=True, env=env, check=True).stderr
    return int(re.search(r"Collected : (\d+)", out).group(1))


def per_call(python, path, statement, calls):
    def program(k):
        return PROGRAM.format(synthetic=os.path.join(HERE, "..", "synthetic"), path=path, calls=k,
                              statement=statement)
    return (instructions(python, program(calls)) - instructions(python, program(1))) / (calls - 1)


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--against", help="another interpreter, whose velmaro is compared with this one's")
    parser.add_argument("--scale", type=float, default=1.0, help="multiplies the number of calls")
    args = parser.parse_args()
    sys.path.insert(0, os.path.join(HERE, "..", "synthetic"))
    import samples

    pythons = [sys.executable] + ([args.against] if args.against else [])
    with tempfile.TemporaryDirectory() as directory:
        path = os.path.join(directory, "orbitrap", "sample.raw")
        image = samples.sample_image()
        image.length = max(image.length, 8 << 20)
        image.write(path)
        print("| call | " + " | ".join(f"instructions ({p})" for p in pythons) + (" | ratio |" if args.against else " |"))
        print("|---|" + "---:|" * (len(pythons) + bool(args.against)))
        for name, statement, calls in CALLS:
            counts = [per_call(p, path, statement, max(2, int(calls * args.scale))) for p in pythons]
            cells = " | ".join(f"{c:,.0f}" for c in counts)
            ratio = f" | {counts[0] / counts[1]:.3f}" if args.against else ""
            print(f"| `{name}` | {cells}{ratio} |", flush=True)


if __name__ == "__main__":
    main()
