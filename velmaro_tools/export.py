"""Export of a run's spectra to mzML, MGF and Parquet, in one pass.

`export` takes the spectra as `Spectrum` records in scan order and writes
any of the three formats at once:

- **mzML**: indexed mzML 1.1 (the offset index and the SHA-1 checksum that
  readers verify); one spectrum per scan with peaks, id
  "controllerType=0 controllerNumber=1 scan=N" (Thermo nativeID format);
  m/z as a 64-bit and intensity as a 32-bit float array, zlib-compressed by
  default, so both round-trip bit for bit; "ms level", "MS1 spectrum" or
  "MSn spectrum", "centroid spectrum", "scan start time" in minutes.  A
  spectrum of MS level 2 or more has a precursor: "selected ion m/z",
  "charge state", a reference to the master scan's spectrum when that one
  was written before it, and "beam-type collision-induced dissociation"
  when the activation is "HigherEnergyCollisionalDissociation".  A run
  without spectra gives an empty spectrum list and index.
- **MGF**: the spectra of MS level 2 (by default); TITLE "STEM.N.N.CHARGE"
  (CHARGE 0 when unknown), PEPMASS, RTINSECONDS, CHARGE, SCANS=N, then one
  "m/z intensity" line per peak, each number the shortest text that reads
  back as the same double (Python's repr; an intensity is its float32 value
  widened exactly), so that a reader gets it back exactly whether it parses
  doubles or singles.
- **Parquet**: one row per peak: scan_number (int32), mz (float64),
  intensity (float32), and the scan's rt (float64, minutes), ms_level,
  master_scan, charge (int32) and precursor_mz (float64) on each of its
  rows; the file's metadata "source" is the run's file name.

A precursor m/z or charge that is None or 0 (nothing was read) is left out
of mzML and MGF; Parquet holds 0 for it, and for a master scan of None.
Spectra without peaks are left out of every output and counted.

Each output is written under a temporary name in its folder and takes its
final name only when every output of the call is complete: on any
exception, KeyboardInterrupt included, no output is left under its final
name and no temporary file remains.  Memory stays bounded by a few scans'
arrays and the writers' buffers (a Parquet row group) whatever the run's
size.  The mzML arrays are compressed and the Parquet row groups encoded
on worker threads, which release the interpreter lock.
"""

from __future__ import annotations

import collections
import concurrent.futures
import contextlib
import dataclasses
import datetime
import os
import signal
import threading
from typing import Callable, Collection, Iterable, Iterator, Protocol, Union

import numpy as np

from ._files import PendingFile, renamed, tracking
from ._mgf import MgfWriter
from ._mzml import Compression, Compressor, MzMLWriter
from ._parquet import ParquetWriter
from .records import Spectrum

__all__ = ["RunInfo", "Output", "ExportResult", "export"]

StrPath = Union[str, "os.PathLike[str]"]


@dataclasses.dataclass(frozen=True)
class RunInfo:
    """What the outputs say about the run as a whole.

    `path`: the acquisition file (the mzML's source file, the Parquet
    file's "source"); `creation_time`: a timezone-aware time for the mzML
    run's start time stamp (written in UTC, to the second), or None to
    leave it out; `spectra` and `ms_levels`: how many spectra with peaks
    will come and their MS levels, which the mzML states before its first
    spectrum (needed for mzML only; the export checks them at the end);
    `stem`: the name in MGF titles and, made an XML ID, the mzML run's id
    (by default the file name without its extension)."""

    path: StrPath
    creation_time: datetime.datetime | None = None
    spectra: int | None = None
    ms_levels: Collection[int] | None = None
    stem: str | None = None

    @property
    def name(self) -> str:
        """The stem: `stem`, or the file name without its extension."""
        if self.stem is not None:
            return self.stem
        return os.path.splitext(os.path.basename(os.fspath(self.path)))[0]


@dataclasses.dataclass(frozen=True)
class Output:
    """One file written: its format ("mzML", "MGF" or "Parquet"), its path,
    the spectra and peaks it holds and its size in bytes."""

    format: str
    path: str
    spectra: int
    peaks: int
    size: int


@dataclasses.dataclass(frozen=True)
class ExportResult:
    """The files written, in the order mzML, MGF, Parquet; the records read
    (`scans`), how many had peaks (`exported`, by MS level in `ms_levels`)
    and how many had none and were left out (`left_out`)."""

    outputs: tuple[Output, ...]
    scans: int
    exported: int
    left_out: int
    ms_levels: dict[int, int]


class Writer(Protocol):
    format: str
    path: str
    written: int
    peaks: int

    def write(self, spectrum: Spectrum) -> None: ...

    def finish(self) -> None: ...

    def commit(self) -> None: ...

    def discard(self) -> None: ...


def export(
    spectra: Iterable[Spectrum],
    run: RunInfo,
    *,
    mzml: StrPath | None = None,
    mgf: StrPath | None = None,
    parquet: StrPath | None = None,
    mzml_compression: Compression = "zlib",
    mzml_compressor: Compressor = "isal",
    mzml_compression_level: int | None = None,
    mgf_ms_levels: Collection[int] = (2,),
    parquet_compression: str = "snappy",
    parquet_compression_level: int | None = None,
    parquet_scan_compression: str = "lz4",
    parquet_scan_compression_level: int | None = None,
    parquet_row_group_size: int = 1 << 19,
    threads: int | None = None,
) -> ExportResult:
    """Writes `spectra` (Spectrum records in increasing scan order) to the
    outputs named, in one pass, and returns what was written.

    The writers read a spectrum's arrays after the next one is asked for
    (compressed on worker threads, held until their Parquet row group is
    built), so they must not change once handed over: give each spectrum
    arrays of its own, as Run's spectra have.

    Options, with their defaults:

    - `mzml_compression`: "zlib" (the default) or "none", for both arrays.
    - `mzml_compressor`: "isal" (the default: ISA-L's deflate, several times
      faster than zlib's; its output is a zlib stream like any other) or
      "zlib" (Python's zlib module: the bytes psims wrote).
    - `mzml_compression_level`: None for the compressor's default (ISA-L 2,
      zlib 6), else ISA-L 0 to 3 or zlib -1 to 9.
    - `mgf_ms_levels`: the MS levels written to the MGF, (2,) by default.
    - `parquet_compression`: the codec of the peaks' columns, mz and
      intensity: "snappy" (the default), "zstd", "lz4", "gzip", "brotli" or
      "none"; `parquet_compression_level` for those that take one (None:
      the codec's default).
    - `parquet_scan_compression`, `parquet_scan_compression_level`: the
      same for the six columns that repeat a scan's value on each of its
      rows: "lz4" (LZ4_RAW, which pyarrow, polars and DuckDB read; "zstd"
      for older readers, at level 1 unless another is given) by default,
      which shrinks those runs to almost nothing.  No column is
      dictionary-encoded.
    - `parquet_row_group_size`: rows per row group, 524288 by default
      (every row group but the last holds exactly that many).
    - `threads`: worker threads for the mzML arrays' compression; None for
      one per core up to 4, 0 to do everything on the calling thread.  With
      any worker, the Parquet row groups are encoded on one more thread, and
      the mzML and MGF text written (and hashed) on another.

    Raises ValueError for options or arguments that cannot be used (no
    output named, two outputs or an output and the run naming the same
    file, mzML asked without `run.spectra` and `run.ms_levels`), for
    spectra out of scan order or whose arrays are not float64 and float32
    of equal length, and for spectra that do not match the count and MS
    levels announced; OSError naming the output for a file that cannot be
    written.  Whatever the exception, it leaves no output behind."""
    targets = [(kind, os.fspath(p)) for kind, p in (("mzML", mzml), ("MGF", mgf), ("Parquet", parquet)) if p]
    check_targets([p for _, p in targets], os.fspath(run.path))
    # Beyond a few workers the calling thread, which formats and writes, is
    # what limits; more would only hold more spectra in memory.
    workers = min(os.cpu_count() or 1, 4) if threads is None else threads
    if workers < 0:
        raise ValueError(f"threads={threads}: must be 0 or more")
    source = os.fspath(run.path)
    stem = run.name
    mzml_levels: frozenset[int] = frozenset()
    if mzml is not None:
        if run.spectra is None or run.ms_levels is None:
            raise ValueError("mzML needs the count of spectra with peaks and their MS levels: "
                             "RunInfo.spectra and RunInfo.ms_levels")
        mzml_levels = frozenset(run.ms_levels)
    if run.creation_time is not None and run.creation_time.utcoffset() is None:
        raise ValueError("RunInfo.creation_time must be timezone-aware")

    with contextlib.ExitStack() as stack:
        executor = encoder = writing = None
        if workers:
            executor = concurrent.futures.ThreadPoolExecutor(workers, thread_name_prefix="velmaro-compress")
            # The Parquet row groups and the writing of the text outputs have
            # a thread each, so that the arrays' compression never waits
            # behind them, nor the caller's thread on the disk.
            encoder = concurrent.futures.ThreadPoolExecutor(1, thread_name_prefix="velmaro-parquet")
            writing = concurrent.futures.ThreadPoolExecutor(1, thread_name_prefix="velmaro-write")
            # Cancel what was queued; wait for what runs (a few arrays'
            # compression, a row group's encoding, a write) before the files
            # go.
            for pool in (executor, encoder, writing):
                stack.callback(pool.shutdown, wait=True, cancel_futures=True)
        openers: dict[str, Callable[[str], Writer]] = {
            "mzML": lambda path: MzMLWriter(
                path, source, spectra=run.spectra or 0, ms_levels=mzml_levels, creation_time=run.creation_time,
                stem=stem, compression=mzml_compression, compressor_kind=mzml_compressor,
                level=mzml_compression_level, executor=executor, workers=workers, writer=writing),
            "MGF": lambda path: MgfWriter(path, stem=stem, ms_levels=frozenset(mgf_ms_levels), writer=writing),
            "Parquet": lambda path: ParquetWriter(
                path, source, compression=parquet_compression, compression_level=parquet_compression_level,
                scan_compression=parquet_scan_compression, scan_compression_level=parquet_scan_compression_level,
                row_group_size=parquet_row_group_size, executor=encoder),
        }
        writers: list[Writer] = []
        made: list[PendingFile] = []
        try:
            with tracking() as made:
                for kind, path in targets:
                    writers.append(openers[kind](path))
            scans, levels = write_all(spectra, writers)
            for writer in writers:
                with naming(writer.path):
                    writer.finish()
            outputs = []
            for writer in writers:
                with naming(writer.path):
                    writer.commit()
                outputs.append(Output(writer.format, writer.path, writer.written, writer.peaks,
                                      os.path.getsize(writer.path)))
        except BaseException:
            # A second Ctrl-C waits until the files are gone.
            with sigint_deferred():
                stack.close()
                # Those already under their final name go too, and the
                # temporary file of a writer that never came to be.
                for writer in writers:
                    writer.discard()
                for file in made:
                    file.discard()
            raise
    exported = sum(levels.values())
    return ExportResult(tuple(outputs), scans, exported, scans - exported, dict(sorted(levels.items())))


def write_all(spectra: Iterable[Spectrum], writers: list[Writer]) -> tuple[int, collections.Counter[int]]:
    scans = 0
    levels: collections.Counter[int] = collections.Counter()
    previous: int | None = None
    for spectrum in spectra:
        if previous is not None and spectrum.scan <= previous:
            raise ValueError(f"scan {spectrum.scan} comes after scan {previous}: the spectra must come in "
                             "increasing scan order")
        previous = spectrum.scan
        scans += 1
        spectrum = checked(spectrum)
        if not spectrum.mz.size:
            continue
        levels[spectrum.ms_level] += 1
        for writer in writers:
            with naming(writer.path):
                writer.write(spectrum)
    return scans, levels


def checked(spectrum: Spectrum) -> Spectrum:
    """The spectrum, its arrays made contiguous; ValueError for arrays that
    would not round-trip."""
    mz, intensity = spectrum.mz, spectrum.intensity
    if not (isinstance(mz, np.ndarray) and isinstance(intensity, np.ndarray) and mz.dtype == np.float64
            and intensity.dtype == np.float32 and mz.ndim == 1 and mz.shape == intensity.shape):
        raise ValueError(f"scan {spectrum.scan}: mz and intensity must be one-dimensional float64 and float32 "
                         "arrays of the same length")
    if mz.flags.c_contiguous and intensity.flags.c_contiguous:
        return spectrum
    return dataclasses.replace(spectrum, mz=np.ascontiguousarray(mz), intensity=np.ascontiguousarray(intensity))


def check_targets(paths: list[str], source: str) -> None:
    if not paths:
        raise ValueError("no output named: mzml, mgf or parquet")
    real = [os.path.realpath(p) for p in paths]
    if len(set(real)) < len(real):
        raise ValueError("two outputs name the same file")
    if os.path.realpath(source) in real:
        raise ValueError("an output names the run's own file")


@contextlib.contextmanager
def sigint_deferred() -> Iterator[None]:
    """A SIGINT that comes during the block takes effect after it, where
    that can be (the main thread)."""
    # None: a handler set outside Python, which could not be put back.
    if threading.current_thread() is not threading.main_thread() or signal.getsignal(signal.SIGINT) is None:
        yield
        return
    held: list[int] = []
    previous = signal.signal(signal.SIGINT, lambda signum, frame: held.append(signum))
    try:
        yield
    finally:
        signal.signal(signal.SIGINT, previous)
        if held and callable(previous):
            previous(signal.SIGINT, None)
        elif held and previous == signal.SIG_DFL:
            os.kill(os.getpid(), signal.SIGINT)


@contextlib.contextmanager
def naming(path: str) -> Iterator[None]:
    """An OSError while writing an output names that output."""
    try:
        yield
    except OSError as e:
        raise renamed(e, path) from e
