# summarise_pool.py: python summarise_pool.py DIRECTORY
import glob
import os
import sys

from velmaro_tools import map_runs


def summarise(run):
    return run.num_scans, sum(spectrum.mz.size for spectrum in run)


if __name__ == "__main__":
    paths = sorted(glob.glob(os.path.join(sys.argv[1], "**", "*.[Rr][Aa][Ww]"), recursive=True))
    for path, value, error in map_runs(summarise, paths, processes=2):
        if error is None:
            print(path, *value)
        else:
            print(f"error: {error}", file=sys.stderr)
