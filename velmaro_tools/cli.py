"""The `velmaro` command: what is in a run, its scans, many runs at once, and
conversion to mzML, MGF and Parquet.

Exit status: 0 when every file succeeded, 1 when any failed (each failure one
line on standard error, `error: PATH: KIND: MESSAGE`, the others still
done), 2 for a usage error, 130 when interrupted (Ctrl-C).
"""

from __future__ import annotations

import argparse
import contextlib
import csv
import importlib.metadata
import multiprocessing
import os
import sys
import warnings
from collections.abc import Iterator, Sequence
from typing import IO, Any

from ._layout import LAYOUTS
from .errors import RunError
from .records import Spectrum
from .run import Run
from .summary import COLUMNS, summarise, summarise_with_peaks

INTERRUPTED = 130


class Failures:
    """The files that failed: one line each on standard error as they come."""

    def __init__(self) -> None:
        self.count = 0

    def __call__(self, error: RunError) -> None:
        self.count += 1
        print(f"error: {error}", file=sys.stderr, flush=True)


def progress_bar(total: int, unit: str, quiet: bool) -> Any:
    """A progress bar on standard error, shown only when it is a terminal and
    the work has taken more than a second."""
    from tqdm import tqdm

    return tqdm(total=total, unit=unit, file=sys.stderr, delay=1.0, disable=True if quiet else None,
                leave=False, dynamic_ncols=True)


def open_run(path: str, args: argparse.Namespace, failures: Failures) -> Run | None:
    try:
        return Run(path, args.layout, strict=args.strict)
    except RunError as e:
        failures(e)
        return None


# ---- info --------------------------------------------------------------------


def info(args: argparse.Namespace, failures: Failures) -> None:
    for k, path in enumerate(args.runs):
        run = open_run(path, args, failures)
        if run is None:
            continue
        with run:
            s = summarise(run, peaks=False)
            rt = "none" if s["rt_first"] is None else f"{s['rt_first']:.3f} to {s['rt_last']:.3f} min"
            created = run.creation_time
            print("" if k == 0 else "\n", end="")
            print(run.path)
            print(f"  version      {run.version}")
            print(f"  layout       {run.layout} ({run.layout_reason})")
            msn = run.num_scans - s["ms1_scans"] - s["ms2_scans"]
            print(f"  scans        {run.num_scans} ({s['ms1_scans']} MS1, {s['ms2_scans']} MS2"
                  + (f", {msn} MSn)" if msn else ")"))
            print(f"  created      {created:%Y-%m-%d %H:%M:%S} UTC" if created is not None
                  else "  created      beyond what a date can hold")
            print(f"  retention    {rt}")


# ---- scans -------------------------------------------------------------------

SCAN_COLUMNS = ["scan_number", "ms_level", "rt", "injection_time", "master_scan", "charge", "monomz", "peaks",
                "tic", "base_peak_mz", "base_peak_intensity"]


def scans(args: argparse.Namespace, failures: Failures) -> None:
    run = open_run(args.run, args, failures)
    if run is None:
        return
    with run, output(args.csv) as out:
        writer = csv.writer(out, lineterminator="\n") if args.csv else None
        if writer is not None:
            writer.writerow(SCAN_COLUMNS)
        else:
            print(f"{'scan':>5} {'MS':>3} {'rt/min':>10} {'inject/ms':>10} {'master':>7} {'charge':>6} "
                  f"{'mono m/z':>12} {'peaks':>7} {'tic':>12} {'base m/z':>12} {'base int':>12}", file=out)
        with progress_bar(run.num_scans, "scan", args.quiet) as bar:
            for row in run.scan_rows():
                if writer is not None:
                    writer.writerow([repr(v) if isinstance(v, float) else v for v in row])
                else:
                    print("{:5d} {:3d} {:10.4f} {:10.3f} {:7d} {:6d} {:12.4f} {:7d} {:12.4g} {:12.4f} {:12.4g}"
                          .format(*row), file=out)
                bar.update()


@contextlib.contextmanager
def output(path: str | None) -> Iterator[IO[str]]:
    """Standard output, or a file written under a temporary name and renamed
    when complete, so that an interrupted run leaves nothing that looks
    finished."""
    if path is None:
        yield sys.stdout
        return
    partial = f"{path}.partial"
    try:
        with open(partial, "w", encoding="utf-8", newline="") as f:
            yield f
        os.replace(partial, path)
    finally:
        with contextlib.suppress(FileNotFoundError):
            os.remove(partial)


# ---- batch -------------------------------------------------------------------


def find_runs(paths: Sequence[str]) -> list[str]:
    """The files named, and the *.raw files under the folders named (any
    case), each once, in order."""
    found = []
    for path in paths:
        if os.path.isdir(path):
            for directory, folders, names in os.walk(path):
                folders.sort()
                found += [os.path.join(directory, n) for n in sorted(names) if n.lower().endswith(".raw")]
        else:
            found.append(path)
    return list(dict.fromkeys(os.path.abspath(p) for p in found))


def batch(args: argparse.Namespace, failures: Failures) -> None:
    from .parallel import map_runs

    paths = find_runs(args.paths)
    client = None
    if args.scheduler:
        from distributed import Client

        client = Client(args.scheduler, timeout=30)  # type: ignore[no-untyped-call]
    try:
        with progress_bar(len(paths), "file", args.quiet) as bar:
            # Not fork: this process has threads (the progress bar's, Dask's),
            # and a forked child can inherit a lock some thread held.
            answers = map_runs(summarise_with_peaks, paths, processes=None if client else args.jobs, client=client,
                               layout=args.layout, strict=args.strict, progress=lambda done: bar.update(1),
                               mp_context=multiprocessing.get_context("forkserver"))
    finally:
        if client is not None:
            client.close()  # type: ignore[no-untyped-call]
    with output(args.csv) as out:
        writer = csv.DictWriter(out, COLUMNS, lineterminator="\n")
        writer.writeheader()
        for path, summary, error in answers:
            if error is not None or summary is None:
                assert error is not None
                failures(error)
                writer.writerow({"file": path, "error": f"{error.kind}: {error.message}"})
            else:
                writer.writerow({k: repr(v) if isinstance(v, float) else v for k, v in summary.items()})
    print(f"{len(paths)} files, {len(paths) - failures.count} read, {failures.count} failed: wrote {args.csv}")


# ---- export ------------------------------------------------------------------


FORMATS = {"mzml": ".mzML", "mgf": ".mgf", "parquet": ".parquet"}


def export(args: argparse.Namespace, failures: Failures) -> None:
    from .export import RunInfo
    from .export import export as write

    if not (args.mzml or args.mgf or args.parquet):
        raise UsageError("name at least one format: --mzml, --mgf or --parquet")
    stems = [os.path.splitext(os.path.basename(p))[0] for p in args.runs]
    if len(set(stems)) < len(stems):
        raise UsageError("two inputs have the same name, and so would their outputs")
    try:
        os.makedirs(args.output, exist_ok=True)
    except OSError as e:
        raise UsageError(f"cannot make the output folder {args.output}: {e.strerror}") from None
    for path, stem in zip(args.runs, stems):
        run = open_run(path, args, failures)
        if run is None:
            continue
        targets = {kind: os.path.join(args.output, stem + suffix) for kind, suffix in FORMATS.items()
                   if getattr(args, kind)}
        with run:
            # The mzML states its spectra before the first: a first pass
            # counts them (the peaks are read twice; reading is the cheap part).
            levels = [s.ms_level for s in run.spectra() if s.mz.size]
            info = RunInfo(run.path, run.creation_time, len(levels), set(levels), stem)
            try:
                with progress_bar(run.num_scans, "scan", args.quiet) as bar:
                    result = write(counted(run.spectra(), bar), info, **targets,
                                   mzml_compression=args.mzml_compression, mgf_ms_levels=args.mgf_ms_levels,
                                   parquet_compression=args.parquet_compression)
            except RunError as e:
                failures(e)
                continue
            except OSError as e:
                failures(RunError(e.filename or run.path, "unwritable", e.strerror or str(e)))
                continue
        for out in result.outputs:
            print(f"wrote {out.path}: {out.spectra} spectra, {out.peaks} peaks, {out.size / 1e6:.1f} MB")
        by_level = ", ".join(f"{n} MS{level}" for level, n in result.ms_levels.items())
        print(f"{run.path}: {result.scans} scans, {result.exported} exported ({by_level or 'none'}), "
              f"{result.left_out} without peaks left out")


def counted(spectra: Iterator[Spectrum], bar: Any) -> Iterator[Spectrum]:
    for spectrum in spectra:
        yield spectrum
        bar.update()


# ---- the command -------------------------------------------------------------


class UsageError(Exception):
    pass


def parser() -> argparse.ArgumentParser:
    common = argparse.ArgumentParser(add_help=False)
    common.add_argument("--layout", choices=["auto", *LAYOUTS], default="auto",
                        help="the files' layout (default: the one each file's data shows)")
    common.add_argument("--no-strict", dest="strict", action="store_false",
                        help="read files whose header or data does not look like an acquisition's")
    common.add_argument("-q", "--quiet", action="store_true", help="no progress bar")

    top = argparse.ArgumentParser(prog="velmaro", description="Read Thermo .raw acquisitions: what is in them, "
                                  "their scans, many at once, and conversion to mzML, MGF and Parquet.",
                                  epilog=__doc__.split("\n\n")[1])
    top.add_argument("--version", action="version", version=f"%(prog)s {version()}")
    commands = top.add_subparsers(dest="command", required=True, metavar="COMMAND")

    p = commands.add_parser("info", parents=[common], help="version, layout, scans, creation time of each run",
                            description="Version, layout and how it was chosen, scans with MS1/MS2 counts, "
                                        "creation time and retention-time range: a block per run.")
    p.add_argument("runs", nargs="+", metavar="RUN", help="a .raw file")
    p.set_defaults(action=info)

    p = commands.add_parser("scans", parents=[common], help="the scan table of a run",
                            description="One line per scan: MS level, retention time, injection time, master "
                                        "scan, charge, precursor m/z, peak count, total ion current, base peak.")
    p.add_argument("run", metavar="RUN", help="a .raw file")
    p.add_argument("--csv", metavar="OUT", help="write the table as CSV to OUT instead of printing it")
    p.set_defaults(action=scans)

    p = commands.add_parser("export", parents=[common], help="convert runs to mzML, MGF and Parquet",
                            description="For each RUN named STEM.raw, write DIR/STEM.mzML, DIR/STEM.mgf and "
                                        "DIR/STEM.parquet for the formats asked, all in one pass over its scans.")
    p.add_argument("runs", nargs="+", metavar="RUN", help="a .raw file")
    p.add_argument("--mzml", action="store_true", help="indexed mzML, every scan with peaks")
    p.add_argument("--mgf", action="store_true", help="MGF, the MS2 scans with peaks")
    p.add_argument("--parquet", action="store_true", help="Parquet, one row per peak")
    p.add_argument("-o", "--output", metavar="DIR", default=".", help="the folder to write to (default: here)")
    p.add_argument("--mzml-compression", choices=["zlib", "none"], default="zlib",
                   help="the mzML arrays' compression (default zlib)")
    p.add_argument("--mgf-ms-levels", type=levels, default=(2,), metavar="LEVELS",
                   help="the MS levels the MGF holds, comma-separated (default 2)")
    p.add_argument("--parquet-compression", choices=["snappy", "zstd", "lz4", "gzip", "brotli", "none"],
                   default="snappy", help="the codec of the Parquet peak columns (default snappy)")
    p.set_defaults(action=export)

    p = commands.add_parser("batch", parents=[common], help="a summary of many runs, as CSV",
                            description="One row per run: version, layout, scans, MS1/MS2 counts, retention "
                                        "range, creation time, median injection time, peaks and base peak; in "
                                        "worker processes or on a Dask cluster.")
    p.add_argument("paths", nargs="+", metavar="PATH", help="a .raw file, or a folder searched for them")
    p.add_argument("--csv", metavar="OUT", required=True, help="the CSV file to write")
    where = p.add_mutually_exclusive_group()
    where.add_argument("-j", "--jobs", type=int, default=os.cpu_count() or 1,
                       help="worker processes (default: one per core)")
    where.add_argument("--scheduler", metavar="ADDRESS", help="a Dask scheduler, e.g. tcp://10.0.0.5:8786")
    p.set_defaults(action=batch)
    return top


def levels(text: str) -> tuple[int, ...]:
    try:
        found = tuple(int(part) for part in text.split(","))
    except ValueError:
        raise argparse.ArgumentTypeError(f"not MS levels: {text!r}") from None
    if not found or min(found) < 1:
        raise argparse.ArgumentTypeError(f"not MS levels: {text!r}")
    return found


def version() -> str:
    try:
        return importlib.metadata.version("velmaro")
    except importlib.metadata.PackageNotFoundError:
        return "unknown"


def show_warning(message: Warning | str, category: type[Warning], filename: str, lineno: int,
                 file: IO[str] | None = None, line: str | None = None) -> None:
    print(f"warning: {message}", file=sys.stderr)


def main(argv: Sequence[str] | None = None) -> int:
    command = parser()
    args = command.parse_args(argv)
    if getattr(args, "jobs", 1) < 1:
        command.error("--jobs must be at least 1")
    failures = Failures()
    try:
        with warnings.catch_warnings():
            warnings.showwarning = show_warning
            args.action(args, failures)
    except UsageError as e:
        command.error(str(e))
    except KeyboardInterrupt:
        print("interrupted", file=sys.stderr)
        return INTERRUPTED
    except BrokenPipeError:  # the reader of our output went away (| head)
        with contextlib.suppress(OSError):
            sys.stdout = open(os.devnull, "w")
        return 1
    return 1 if failures.count else 0


if __name__ == "__main__":
    sys.exit(main())
