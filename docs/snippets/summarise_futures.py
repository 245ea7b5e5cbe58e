# summarise_futures.py: python summarise_futures.py DIRECTORY
import concurrent.futures
import glob
import os
import sys

from velmaro_tools import Run, RunError


def summarise(path):
    with Run(path) as run:
        return run.num_scans, sum(spectrum.mz.size for spectrum in run)


if __name__ == "__main__":
    paths = sorted(glob.glob(os.path.join(sys.argv[1], "**", "*.[Rr][Aa][Ww]"), recursive=True))
    with concurrent.futures.ProcessPoolExecutor(2) as pool:
        for path, future in [(p, pool.submit(summarise, p)) for p in paths]:
            try:
                print(path, *future.result())
            except RunError as e:
                print(f"error: {e}", file=sys.stderr)
