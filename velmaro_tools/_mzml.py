"""The indexed mzML writer: a stream of text around base64 arrays whose
compression runs in worker threads, with the offset index and SHA-1 that
readers check, kept as it is written."""

from __future__ import annotations

import array
import base64
import collections
import concurrent.futures
import datetime
import importlib.metadata
import os
import pathlib
import re
import zlib
from typing import Callable, Deque, Literal, Union

import numpy as np
import numpy.typing as npt

from ._files import PendingFile, Stream
from .records import Spectrum


Compressor = Literal["isal", "zlib"]
Compression = Literal["zlib", "none"]

HCD = "HigherEnergyCollisionalDissociation"
# Arrays smaller than this are encoded on the calling thread: handing them
# to a worker costs more than the work.
THREADED_BYTES = 32 << 10
# Spectra whose arrays may be in the workers' hands at once, per worker.
DEPTH_PER_WORKER = 3

# The vocabulary versions the terms below were checked against.
CV_LIST = (
    '<cvList count="2">\n'
    '{i}  <cv fullName="PSI-MS" URI="http://purl.obolibrary.org/obo/ms/psi-ms.obo" version="4.1.258" id="PSI-MS"/>\n'
    '{i}  <cv fullName="UNIT-ONTOLOGY" URI="http://purl.obolibrary.org/obo/uo.obo" version="releases/2026-07-31"'
    ' id="UO"/>\n'
    "{i}</cvList>\n")


def cv(accession: str, name: str, value: str = "", unit: tuple[str, str, str] | None = None) -> str:
    """A cvParam element (unit: cv, accession, name)."""
    text = f'<cvParam cvRef="PSI-MS" accession="{accession}" name="{name}" value="{value}"'
    if unit:
        text += f' unitCvRef="{unit[0]}" unitAccession="{unit[1]}" unitName="{unit[2]}"'
    return text + "/>"


MZ_UNIT = ("PSI-MS", "MS:1000040", "m/z")
MINUTE = ("UO", "UO:0000031", "minute")
COUNTS = ("PSI-MS", "MS:1000131", "number of detector counts")
MS1 = cv("MS:1000579", "MS1 spectrum")
MSN = cv("MS:1000580", "MSn spectrum")
HCD_PARAM = cv("MS:1000422", "beam-type collision-induced dissociation")
COMPRESSION_PARAMS = {"zlib": cv("MS:1000574", "zlib compression"), "none": cv("MS:1000576", "no compression")}

# Characters XML 1.0 cannot hold at all.
NOT_XML = re.compile("[^\t\n\r\x20-\ud7ff\ue000-\ufffd\U00010000-\U0010ffff]")
ATTRIBUTE_ESCAPES = str.maketrans({"&": "&amp;", "<": "&lt;", ">": "&gt;", '"': "&quot;", "\t": "&#9;",
                                   "\n": "&#10;", "\r": "&#13;"})


def attribute(text: str) -> str:
    """`text` as an attribute value; what XML cannot hold becomes U+FFFD."""
    return NOT_XML.sub("\ufffd", text).translate(ATTRIBUTE_ESCAPES)


def native_id(scan: int) -> str:
    return f"controllerType=0 controllerNumber=1 scan={scan}"


def run_id(stem: str) -> str:
    """The file's stem made an XML ID."""
    cleaned = re.sub(r"[^A-Za-z0-9_.-]", "_", stem)
    return cleaned if re.match(r"[A-Za-z_]", cleaned) else "_" + cleaned


def timestamp(moment: datetime.datetime) -> str:
    """An xs:dateTime in UTC, to the second."""
    if moment.utcoffset() is None:
        raise ValueError("the creation time must be timezone-aware")
    t = moment.astimezone(datetime.timezone.utc)
    return f"{t.year:04d}-{t.month:02d}-{t.day:02d}T{t.hour:02d}:{t.minute:02d}:{t.second:02d}Z"


def version_of(package: str) -> str:
    try:
        return importlib.metadata.version(package)
    except importlib.metadata.PackageNotFoundError:
        return "unknown"


def compressor(kind: Compressor, level: int | None) -> Callable[[memoryview], bytes]:
    if kind == "zlib":
        chosen = zlib.Z_DEFAULT_COMPRESSION if level is None else level
        if not -1 <= chosen <= 9:
            raise ValueError(f"zlib compression level {chosen}: must be -1 to 9")
        return lambda data: zlib.compress(data, chosen)
    if kind == "isal":
        from isal import isal_zlib

        chosen = isal_zlib.ISAL_DEFAULT_COMPRESSION if level is None else level
        if not 0 <= chosen <= 3:
            raise ValueError(f"ISA-L compression level {chosen}: must be 0 to 3")
        return lambda data: isal_zlib.compress(data, chosen)
    raise ValueError(f"unknown compressor {kind!r}: 'isal' or 'zlib'")


def encode(values: npt.NDArray[np.float64] | npt.NDArray[np.float32], compress: Callable[[memoryview], bytes] | None) -> bytes:
    data = values.data.cast("B")
    return base64.b64encode(compress(data) if compress else data)


def encode_both(spectrum: Spectrum, compress: Callable[[memoryview], bytes] | None) -> Pair:
    # One task a spectrum: each task's end costs a wait for the interpreter
    # lock.
    return encode(spectrum.mz, compress), encode(spectrum.intensity, compress)


Pair = tuple[bytes, bytes]
Encoded = Union[Pair, "concurrent.futures.Future[Pair]"]


class MzMLWriter:
    """Writes spectra to an indexed mzML file, in order; see `export`.

    `spectra` and `ms_levels` are the count and the MS levels of the
    spectra with peaks that will be written: the document states them
    before the first spectrum, and `finish` checks them."""

    format = "mzML"

    def __init__(self, path: str, source: str, *, spectra: int, ms_levels: frozenset[int],
                 creation_time: datetime.datetime | None, stem: str, compression: Compression = "zlib",
                 compressor_kind: Compressor = "isal", level: int | None = None,
                 executor: concurrent.futures.Executor | None = None, workers: int = 0,
                 writer: concurrent.futures.Executor | None = None) -> None:
        if compression not in COMPRESSION_PARAMS:
            raise ValueError(f"unknown mzML compression {compression!r}: 'zlib' or 'none'")
        self.compress = compressor(compressor_kind, level) if compression == "zlib" else None
        self.compression_param = COMPRESSION_PARAMS[compression]
        self.expected, self.levels = spectra, ms_levels
        self.seen_levels: set[int] = set()
        self.executor, self.depth = executor, max(1, workers) * DEPTH_PER_WORKER
        self.pending: Deque[tuple[Spectrum, Encoded]] = collections.deque()
        self.written = 0
        self.peaks = 0
        self.scans = array.array("q")
        self.offsets = array.array("q")
        self.done: set[int] = set()
        self.file = PendingFile(path)
        self.out = Stream(self.file.open(), writer, hashed=True)
        self.path = self.file.path
        self.out.write(self.header(source, creation_time, stem).encode())

    def header(self, source: str, creation_time: datetime.datetime | None, stem: str) -> str:
        namespaces = ('xmlns="http://psi.hupo.org/ms/mzml" xmlns:xsi="http://www.w3.org/2001/XMLSchema-instance"'
                      ' xsi:schemaLocation="http://psi.hupo.org/ms/mzml http://psidev.info/files/ms/mzML/xsd/')
        content = ([MS1] if 1 in self.levels else []) + ([MSN] if self.levels - {1} else [])
        absolute = pathlib.Path(os.path.abspath(source))
        n = "\n  "
        head = (
            "<?xml version='1.0' encoding='utf-8'?>\n"
            f'<indexedmzML {namespaces}mzML1.1.3_idx.xsd">\n'
            f'  <mzML xmlns="http://psi.hupo.org/ms/mzml" version="1.1.0" {namespaces.split(" ", 1)[1]}mzML1.1.1.xsd">\n'
            + "    " + CV_LIST.format(i="    ")
            + "    <fileDescription>\n      <fileContent>\n"
            + "".join(f"        {param}\n" for param in content)
            + f'      </fileContent>{n}    <sourceFileList count="1">'
            f'{n}      <sourceFile location="{attribute(absolute.parent.as_uri())}" '
            f'name="{attribute(absolute.name)}" id="RAW1">'
            f'{n}        {cv("MS:1000563", "Thermo RAW format")}'
            f'{n}        {cv("MS:1000768", "Thermo nativeID format")}'
            f"{n}      </sourceFile>{n}    </sourceFileList>{n}  </fileDescription>"
            f'{n}  <softwareList count="1">{n}    <software version="{attribute(version_of("velmaro"))}" id="velmaro">'
            f'{n}      {cv("MS:1000799", "custom unreleased software tool", "velmaro")}'
            f"{n}    </software>{n}  </softwareList>"
            # What the instrument was is not read: the generic terms say so.
            f'{n}  <instrumentConfigurationList count="1">{n}    <instrumentConfiguration id="IC1">'
            f'{n}      {cv("MS:1000483", "Thermo Fisher Scientific instrument model")}'
            f'{n}      <componentList count="3">'
            f'{n}        <source order="1">{n}          {cv("MS:1000008", "ionization type")}{n}        </source>'
            f'{n}        <analyzer order="2">{n}          {cv("MS:1000443", "mass analyzer type")}{n}        </analyzer>'
            f'{n}        <detector order="3">{n}          {cv("MS:1000026", "detector type")}{n}        </detector>'
            f"{n}      </componentList>{n}    </instrumentConfiguration>{n}  </instrumentConfigurationList>"
            f'{n}  <dataProcessingList count="1">{n}    <dataProcessing id="export">'
            f'{n}      <processingMethod order="0" softwareRef="velmaro">'
            f'{n}        {cv("MS:1000544", "Conversion to mzML")}'
            f"{n}      </processingMethod>{n}    </dataProcessing>{n}  </dataProcessingList>{n}  <run ")
        if creation_time is not None:
            head += f'startTimeStamp="{timestamp(creation_time)}" '
        # Without spectra, the list and the index are empty: the schema
        # allows it, and readers take it (pymzml fails on an mzML without
        # a spectrum list).
        return head + (f'defaultInstrumentConfigurationRef="IC1" id="{run_id(stem)}">\n'
                       f'      <spectrumList count="{self.expected}" defaultDataProcessingRef="export">\n')

    def encoded(self, spectrum: Spectrum) -> Encoded:
        if self.executor is not None and spectrum.mz.nbytes + spectrum.intensity.nbytes >= THREADED_BYTES:
            return self.executor.submit(encode_both, spectrum, self.compress)
        return encode_both(spectrum, self.compress)

    def write(self, spectrum: Spectrum) -> None:
        """Queues one spectrum with peaks; it reaches the file once its
        arrays are encoded and every spectrum before it is written."""
        if self.written + len(self.pending) >= self.expected:
            raise ValueError(f"more spectra with peaks than the {self.expected} announced")
        if spectrum.ms_level not in self.levels:
            raise ValueError(f"scan {spectrum.scan}: MS level {spectrum.ms_level} is not among those announced, "
                             f"{sorted(self.levels)}")
        self.pending.append((spectrum, self.encoded(spectrum)))
        while len(self.pending) > self.depth:
            self.put(*self.pending.popleft())

    def put(self, spectrum: Spectrum, encoded: Encoded) -> None:
        mz_text, intensity_text = encoded if isinstance(encoded, tuple) else encoded.result()
        n = spectrum.scan
        level = spectrum.ms_level
        self.scans.append(n)
        self.offsets.append(self.out.offset + 8)
        text = (
            f'        <spectrum index="{self.written}" defaultArrayLength="{spectrum.mz.size}" id="{native_id(n)}">\n'
            f'          {cv("MS:1000511", "ms level", str(level))}\n'
            f"          {MS1 if level == 1 else MSN}\n"
            f'          {cv("MS:1000127", "centroid spectrum")}\n'
            '          <scanList count="1">\n'
            f'            {cv("MS:1000795", "no combination")}\n'
            "            <scan>\n"
            f'              {cv("MS:1000016", "scan start time", repr(float(spectrum.rt)), MINUTE)}\n'
            "            </scan>\n"
            "          </scanList>\n")
        if level >= 2:
            text += self.precursor(spectrum)
        text += (
            '          <binaryDataArrayList count="2">\n'
            f'            <binaryDataArray encodedLength="{len(mz_text)}">\n'
            f'              {cv("MS:1000514", "m/z array", unit=MZ_UNIT)}\n'
            f"              {self.compression_param}\n"
            f'              {cv("MS:1000523", "64-bit float")}\n'
            "              <binary>")
        self.out.write(text.encode())
        self.out.write(mz_text)
        self.out.write((
            "</binary>\n"
            "            </binaryDataArray>\n"
            f'            <binaryDataArray encodedLength="{len(intensity_text)}">\n'
            f'              {cv("MS:1000515", "intensity array", unit=COUNTS)}\n'
            f"              {self.compression_param}\n"
            f'              {cv("MS:1000521", "32-bit float")}\n'
            "              <binary>").encode())
        self.out.write(intensity_text)
        self.out.write(b"</binary>\n            </binaryDataArray>\n          </binaryDataArrayList>\n"
                       b"        </spectrum>\n")
        self.done.add(n)
        self.seen_levels.add(level)
        self.written += 1
        self.peaks += spectrum.mz.size

    def precursor(self, spectrum: Spectrum) -> str:
        master = spectrum.master_scan
        reference = f' spectrumRef="{native_id(master)}"' if master is not None and master in self.done else ""
        text = f"          <precursorList count=\"1\">\n            <precursor{reference}>\n"
        # 0 is what the file holds when nothing was read.
        mz = spectrum.precursor_mz or None
        charge = spectrum.charge or None
        if mz is not None or charge is not None:
            text += '              <selectedIonList count="1">\n                <selectedIon>\n'
            if mz is not None:
                text += f'                  {cv("MS:1000744", "selected ion m/z", repr(float(mz)), MZ_UNIT)}\n'
            if charge is not None:
                text += f'                  {cv("MS:1000041", "charge state", str(int(charge)))}\n'
            text += "                </selectedIon>\n              </selectedIonList>\n"
        text += "              <activation>\n"
        if spectrum.activation == HCD:
            text += f"                {HCD_PARAM}\n"
        return text + "              </activation>\n            </precursor>\n          </precursorList>\n"

    def finish(self) -> None:
        """Writes what is queued and the end of the document, with its index
        and checksum, and closes the file (still under its temporary name)."""
        while self.pending:
            self.put(*self.pending.popleft())
        if self.written != self.expected:
            raise ValueError(f"{self.written} spectra with peaks came, {self.expected} were announced")
        if self.seen_levels != self.levels:
            raise ValueError(f"the spectra's MS levels are {sorted(self.seen_levels)}, "
                             f"{sorted(self.levels)} were announced")
        self.out.write(b"      </spectrumList>\n    </run>\n  </mzML>\n")
        index_at = self.out.offset + 2
        lines = [f'  <indexList count="1">\n    <index name="spectrum">\n']
        lines += [f'      <offset idRef="{native_id(n)}">{at}</offset>\n' for n, at in zip(self.scans, self.offsets)]
        lines.append(f"    </index>\n  </indexList>\n  <indexListOffset>{index_at}</indexListOffset>\n"
                     "  <fileChecksum>")
        self.out.write("".join(lines).encode())
        self.out.write(f"{self.out.checksum()}</fileChecksum>\n</indexedmzML>".encode())
        self.out.drain()
        self.file.close()

    def commit(self) -> None:
        """Gives the finished file its final name."""
        self.file.commit()

    def discard(self) -> None:
        """Drops what is queued and removes the file."""
        for _, encoded in self.pending:
            if not isinstance(encoded, tuple):
                encoded.cancel()
        self.pending.clear()
        self.file.discard()
