# summarise_dask.py: python summarise_dask.py tcp://SCHEDULER:8786 DIRECTORY
import glob
import os
import sys

from distributed import Client

from velmaro_tools import map_runs


def summarise(run):
    return run.num_scans, sum(spectrum.mz.size for spectrum in run)


if __name__ == "__main__":
    paths = sorted(glob.glob(os.path.join(sys.argv[2], "**", "*.[Rr][Aa][Ww]"), recursive=True))
    with Client(sys.argv[1], timeout=30) as client:
        for path, value, error in map_runs(summarise, paths, client=client):
            if error is None:
                print(path, *value)
            else:
                print(f"error: {error}", file=sys.stderr)
