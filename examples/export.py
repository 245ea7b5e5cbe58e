"""Exports the spectra of a .raw file to mzML, MGF and Parquet.

Usage: python examples/export.py FILE.raw [--mzml OUT.mzML] [--mgf OUT.mgf]
           [--parquet OUT.parquet]

At least one output; several are written in one pass over the scans.  The
formats come from the field's own writers: mzML from psims, MGF from
pyteomics, Parquet from pyarrow.

Which scans, and what each value is:

- A scan whose peak search finds nothing (get_peaks gives its one-element
  [0.0] result) is left out of every output and counted in the summary line.
  Every other scan's peaks are written exactly as get_peaks returns them.
- MS level: for a version-66 file whose path contains "orbitrap" (the layout
  whose trailer slots the reader decodes), the trailer's "MS Order" of
  get_trailer_extra; where that key is absent (the slot could not be read),
  and for every other file, 2 if get_master_scan is above 0, else 1.
- Retention time: get_rt, in minutes in velmaro, mzML and Parquet; in
  seconds in MGF (RTINSECONDS, get_rt x 60).
- Precursor m/z: get_monoisotopic_mz; charge: get_charge_state.  mzML and
  MGF leave out an m/z of 0.0 and a charge of 0 (nothing was read); Parquet
  keeps them as they are.

mzML (psims; indexed when it holds a spectrum): one spectrum per scan with
peaks, id "controllerType=0 controllerNumber=1 scan=N" (Thermo nativeID
format).  m/z as a 64-bit and intensity as a 32-bit float array (zlib), so
both round-trip bit for bit;
"ms level", "MS1 spectrum" or "MSn spectrum", "centroid spectrum" (the reader
gives peak lists), "scan start time" in minutes.  A spectrum of MS level 2 or
more has a precursor: "selected ion m/z", "charge state", a reference to the
master scan's spectrum when that one was written before it, and "beam-type
collision-induced dissociation" when the trailer gives that activation type.
The vocabulary is the one bundled with psims; nothing is fetched.

MGF (pyteomics): the scans of MS level exactly 2 with peaks; TITLE
"STEM.N.N.CHARGE" (STEM the file name without extension, CHARGE 0 when
unknown), PEPMASS, RTINSECONDS, CHARGE, SCANS=N, then one "m/z intensity"
line per peak, each number in the shortest text that reads back as the same
double (an intensity as its float32 value widened exactly), so that both
come back exactly whether a reader parses them as doubles or singles.

Parquet (pyarrow): one row per peak: scan_number (int32), mz (float64),
intensity (float32), and the scan's rt (float64, minutes), ms_level,
master_scan, charge (int32) and precursor_mz (float64), repeated on each of
its rows (Parquet's dictionary encoding stores each once per page).

Progress goes to standard error once an export has taken a second.  A file
that cannot be read or an output that cannot be written ends the run with
one line on standard error and exit status 1, and leaves no output behind.
"""

from __future__ import annotations

import argparse
import collections
import contextlib
import dataclasses
import datetime
import importlib.metadata
import os
import pathlib
import re
import sys
import time
from typing import IO, Any, Callable, Iterator, Protocol, TypeAlias

import numpy as np
import numpy.typing as npt
import pyarrow as pa
import pyarrow.parquet as pq
from psims.controlled_vocabulary.controlled_vocabulary import OBOCache
from psims.mzml.writer import MzMLWriter, PlainMzMLWriter
from pyteomics import mgf

import read_errors
from read_errors import ReadError
from velmaro import RawFileReader

MZ: TypeAlias = "npt.NDArray[np.float64]"
INTENSITY: TypeAlias = "npt.NDArray[np.float32]"
HCD = "HigherEnergyCollisionalDissociation"


@dataclasses.dataclass(frozen=True)
class Scan:
    """What the outputs say about one scan."""

    number: int
    rt: float  # minutes
    ms_level: int
    master_scan: int
    precursor_mz: float  # 0.0: none read
    charge: int  # 0: unknown
    activation: str  # the trailer's "Activation Type", or ""
    peaks: int  # 0: the peak search found nothing


def native_id(scan_number: int) -> str:
    return f"controllerType=0 controllerNumber=1 scan={scan_number}"


def has_peaks(mz: MZ) -> bool:
    # The neutral result is one peak at m/z 0.0; a real block has at least 11
    # peaks, the first above m/z 50.
    return not (mz.size == 1 and mz[0] == 0.0)


def read_scans(reader: RawFileReader, path: str) -> list[Scan]:
    """Every scan of the file, with its peak count: an mzML states how many
    spectra it holds before the first, so the peaks are searched for once
    before the export and read again for it."""
    # Only this layout's trailer slots are decoded; elsewhere "MS Order" is a
    # constant 1 that says nothing.
    trailer = reader.version == 66 and "orbitrap" in path
    scans = []
    for n in range(1, reader.num_scans + 1):
        master = reader.get_master_scan(n)
        level = 2 if master > 0 else 1
        activation = ""
        if trailer:
            extra = reader.get_trailer_extra(n)
            order = extra.get("MS Order")
            if isinstance(order, int):
                level = order
            activation = str(extra.get("Activation Type", ""))
        mz, _ = reader.get_peaks(n)
        scans.append(Scan(n, reader.get_rt(n), level, master, reader.get_monoisotopic_mz(n),
                          reader.get_charge_state(n), activation, int(mz.size) if has_peaks(mz) else 0))
    return scans


class Sink(Protocol):
    path: str
    written: int  # spectra

    def add(self, scan: Scan, mz: MZ, intensity: INTENSITY) -> None: ...

    def close(self) -> None: ...


def version_of(package: str) -> str:
    try:
        return importlib.metadata.version(package)
    except importlib.metadata.PackageNotFoundError:
        return "unknown"


class MzMLSink:
    def __init__(self, path: str, source: str, reader: RawFileReader, scans: list[Scan]) -> None:
        self.path, self.written = path, 0
        self.done: set[int] = set()
        count = sum(1 for s in scans if s.peaks)
        # The schema wants at least one spectrum in a spectrum list and one
        # entry in an index: without spectra the document has neither.
        writer = MzMLWriter if count else PlainMzMLWriter
        # The vocabulary bundled with psims: never a download, the same file
        # on every machine.
        self.writer = writer(open(path, "wb"), close=True,
                             vocabulary_resolver=OBOCache(enabled=False, use_remote=False))
        w = self.writer
        w.begin()
        w.controlled_vocabularies()
        levels = {s.ms_level for s in scans if s.peaks}
        content = (["MS1 spectrum"] if 1 in levels else []) + (["MSn spectrum"] if levels - {1} else [])
        absolute = pathlib.Path(os.path.abspath(source))
        w.file_description(content, [w.SourceFile(
            location=absolute.parent.as_uri(), name=absolute.name, id="RAW1",
            params=["Thermo RAW format", "Thermo nativeID format"])])
        w.software_list([
            w.Software(id="velmaro", version=version_of("velmaro"),
                       params=[{"custom unreleased software tool": "velmaro"}]),
            w.Software(id="psims", version=version_of("psims"), params=["python-psims"])])
        # What the instrument was is not read: the generic terms say so.
        w.instrument_configuration_list([w.InstrumentConfiguration(
            id="IC1", params=["Thermo Fisher Scientific instrument model"],
            component_list=w.ComponentList([w.Source(1, ["ionization type"]), w.Analyzer(2, ["mass analyzer type"]),
                                            w.Detector(3, ["detector type"])]))])
        w.data_processing_list([w.DataProcessing(
            [{"order": 0, "software_reference": "velmaro", "params": ["Conversion to mzML"]}], id="export")])
        self.run = w.run(id=run_id(absolute.stem), start_time=start_time(reader))
        self.run.begin()
        self.spectra = w.spectrum_list(count=count) if count else None
        if self.spectra:
            self.spectra.begin()

    def add(self, scan: Scan, mz: MZ, intensity: INTENSITY) -> None:
        precursor = None
        if scan.ms_level >= 2:
            precursor = {
                "mz": scan.precursor_mz or None,
                "charge": scan.charge or None,
                "spectrum_reference": native_id(scan.master_scan) if scan.master_scan in self.done else None,
                "activation": ["beam-type collision-induced dissociation"] if scan.activation == HCD else {},
            }
        self.writer.write_spectrum(
            mz, intensity, id=native_id(scan.number), polarity=None, centroided=True, scan_start_time=scan.rt,
            params=[{"ms level": scan.ms_level}, "MS1 spectrum" if scan.ms_level == 1 else "MSn spectrum"],
            precursor_information=precursor,
            encoding={"m/z array": np.float64, "intensity array": np.float32})
        self.done.add(scan.number)
        self.written += 1

    def close(self) -> None:
        if self.spectra:
            self.spectra.end()
        self.run.end()
        self.writer.end()


def start_time(reader: RawFileReader) -> str | None:
    """The creation time as an XML date, if there is one it can hold."""
    created = int(reader.creation_date)
    try:
        moment = datetime.datetime.fromtimestamp(created, datetime.timezone.utc)
    except (ValueError, OverflowError, OSError):  # beyond year 9999
        return None
    return moment.strftime("%Y-%m-%dT%H:%M:%SZ") if created > 0 else None


def run_id(stem: str) -> str:
    """The file's stem made an XML ID."""
    cleaned = re.sub(r"[^A-Za-z0-9_.-]", "_", stem)
    return cleaned if re.match(r"[A-Za-z_]", cleaned) else "_" + cleaned


class MgfSink:
    def __init__(self, path: str, source: str) -> None:
        self.path, self.written = path, 0
        self.stem = os.path.splitext(os.path.basename(source))[0]
        self.file: IO[str] = open(path, "w", encoding="utf-8")

    def add(self, scan: Scan, mz: MZ, intensity: INTENSITY) -> None:
        if scan.ms_level != 2:
            return
        params: dict[str, Any] = {"title": f"{self.stem}.{scan.number}.{scan.number}.{scan.charge}"}
        if scan.precursor_mz:
            params["pepmass"] = scan.precursor_mz
        params["rtinseconds"] = scan.rt * 60
        if scan.charge:
            params["charge"] = scan.charge
        params["scans"] = scan.number
        # Python floats, whose text is the shortest that reads back as the
        # same double (savetxt would round).  An intensity goes as its exact
        # value widened to double, not as the shortest float32 text, which
        # a reader that parses doubles, as most do, would not get back.
        spectrum = {"m/z array": mz.tolist(), "intensity array": intensity.tolist(), "params": params}
        mgf.write([spectrum], output=self.file, fragment_format="{} {}", use_numpy=False)
        self.written += 1

    def close(self) -> None:
        self.file.close()


class ParquetSink:
    ROWS_PER_GROUP = 1 << 20

    def __init__(self, path: str, source: str) -> None:
        self.path, self.written, self.rows = path, 0, 0
        self.schema = pa.schema([
            pa.field("scan_number", pa.int32(), nullable=False),
            pa.field("mz", pa.float64(), nullable=False),
            pa.field("intensity", pa.float32(), nullable=False),
            pa.field("rt", pa.float64(), nullable=False, metadata={"unit": "minute"}),
            pa.field("ms_level", pa.int32(), nullable=False),
            pa.field("master_scan", pa.int32(), nullable=False),
            pa.field("precursor_mz", pa.float64(), nullable=False),
            pa.field("charge", pa.int32(), nullable=False),
        ], metadata={"source": os.path.basename(source)})
        self.writer = pq.ParquetWriter(path, self.schema)
        self.pending: list[pa.RecordBatch] = []
        self.pending_rows = 0

    def add(self, scan: Scan, mz: MZ, intensity: INTENSITY) -> None:
        n = mz.size
        self.pending.append(pa.RecordBatch.from_arrays([
            pa.array(np.full(n, scan.number, np.int32)), pa.array(mz), pa.array(intensity),
            pa.array(np.full(n, scan.rt)), pa.array(np.full(n, scan.ms_level, np.int32)),
            pa.array(np.full(n, scan.master_scan, np.int32)), pa.array(np.full(n, scan.precursor_mz)),
            pa.array(np.full(n, scan.charge, np.int32))], schema=self.schema))
        self.pending_rows += n
        self.written += 1
        self.rows += n
        if self.pending_rows >= self.ROWS_PER_GROUP:
            self.flush()

    def flush(self) -> None:
        if self.pending:
            self.writer.write_table(pa.Table.from_batches(self.pending), row_group_size=self.ROWS_PER_GROUP)
            self.pending, self.pending_rows = [], 0

    def close(self) -> None:
        self.flush()
        self.writer.close()


class WriteError(Exception):
    def __init__(self, path: str, reason: OSError) -> None:
        super().__init__(f"cannot write {path}: {reason}")


@contextlib.contextmanager
def writing(path: str) -> Iterator[None]:
    """Turns an OSError while writing `path` into a WriteError naming it."""
    try:
        yield
    except OSError as e:
        raise WriteError(path, e) from e


def export(reader: RawFileReader, path: str, scans: list[Scan], *, mzml: str | None = None,
           mgf: str | None = None, parquet: str | None = None, progress: Progress | None = None) -> list[Sink]:
    """Writes the outputs named, in one pass over `scans` (from read_scans);
    `path` is the file that `reader` was opened on."""
    openers: list[tuple[str | None, Callable[[str], Sink]]] = [
        (mzml, lambda out: MzMLSink(out, path, reader, scans)), (mgf, lambda out: MgfSink(out, path)),
        (parquet, lambda out: ParquetSink(out, path))]
    sinks: list[Sink] = []
    with contextlib.ExitStack() as stack:
        for out, opener in openers:
            if out:
                with writing(out):
                    sink = opener(out)
                sinks.append(sink)
                stack.callback(close, sink)
        for done, scan in enumerate(scans, 1):
            if scan.peaks:
                mz, intensity = reader.get_peaks(scan.number)
                for sink in sinks:
                    with writing(sink.path):
                        sink.add(scan, mz, intensity)
            if progress:
                progress.update(done)
    return sinks


def close(sink: Sink) -> None:
    with writing(sink.path):
        sink.close()


def summary(scans: list[Scan]) -> str:
    exported = [s for s in scans if s.peaks]
    levels = collections.Counter(s.ms_level for s in exported)
    by_level = ", ".join(f"{levels[k]} MS{k}" for k in sorted(levels))
    return (f"{len(scans)} scans: {len(exported)} exported ({by_level or 'none'}), "
            f"{len(scans) - len(exported)} without peaks left out")


class Progress:
    """Scans done, on standard error, once the export has taken `delay`
    seconds: redrawn in place on a terminal, a line per tenth in a log."""

    def __init__(self, total: int, stream: IO[str] | None = None, delay: float = 1.0) -> None:
        self.total, self.stream, self.delay = total, stream or sys.stderr, delay
        self.started = time.monotonic()
        self.shown = -1
        self.tty = self.stream.isatty()

    def update(self, done: int) -> None:
        elapsed = time.monotonic() - self.started
        if elapsed < self.delay:
            return
        tenth = done * 10 // max(self.total, 1)
        if not self.tty and tenth == self.shown and done != self.total:
            return
        self.shown = tenth
        filled = done * 30 // max(self.total, 1)
        line = f"[{'#' * filled}{'.' * (30 - filled)}] {done}/{self.total} scans  {elapsed:.1f} s"
        self.stream.write(("\r" + line) if self.tty else line + "\n")
        if self.tty and done == self.total:
            self.stream.write("\n")
        self.stream.flush()


def open_reader(path: str) -> tuple[RawFileReader, list[Scan]]:
    """The reader and its scans, or ReadError for a file it cannot read."""
    # The reader opens a device such as /dev/zero and fails inside; say why.
    if os.path.exists(path) and not os.path.isfile(path) and not os.path.isdir(path):
        raise ReadError(path, "OSError", "not a regular file")
    reader = read_errors.open_reader(path)
    return reader, read_scans(reader, path)


def one_line(error: BaseException) -> str:
    return " ".join(str(error).splitlines()).strip() or type(error).__name__


def main(argv: list[str] | None = None) -> int:
    parser = argparse.ArgumentParser(description=__doc__.split("\n")[0])
    parser.add_argument("path", help="the .raw file")
    parser.add_argument("--mzml", metavar="OUT.mzML", help="write the spectra as mzML (psims)")
    parser.add_argument("--mgf", metavar="OUT.mgf", help="write the MS2 spectra as MGF (pyteomics)")
    parser.add_argument("--parquet", metavar="OUT.parquet", help="write one row per peak as Parquet (pyarrow)")
    args = parser.parse_args(argv)
    outputs = {"mzml": args.mzml, "mgf": args.mgf, "parquet": args.parquet}
    paths = [p for p in outputs.values() if p]
    if not paths:
        parser.error("name at least one output: --mzml, --mgf or --parquet")
    real = [os.path.realpath(p) for p in paths]
    if len(set(real)) < len(real):
        parser.error("two outputs name the same file")
    if os.path.realpath(args.path) in real:
        parser.error("an output names the input file")

    try:
        reader, scans = open_reader(args.path)
    except ReadError as e:
        print(f"error: cannot read {e}", file=sys.stderr)
        return 1
    try:
        sinks = export(reader, args.path, scans, **outputs, progress=Progress(len(scans)))
    except BaseException as e:
        # No half-written file for a pipeline to pick up.
        for p in paths:
            if os.path.isfile(p):
                os.remove(p)
        if isinstance(e, WriteError):
            print(f"error: {one_line(e)}", file=sys.stderr)
            return 1
        raise
    for sink in sinks:
        peaks = f", {sink.rows} peaks" if isinstance(sink, ParquetSink) else ""
        print(f"wrote {sink.path}: {sink.written} spectra{peaks}, {os.path.getsize(sink.path) / 1e6:.1f} MB")
    print(summary(scans))
    return 0


if __name__ == "__main__":
    sys.exit(main())
