"""The MGF writer: one block per spectrum, its peaks as text whose every
number reads back as the same double."""

from __future__ import annotations

import concurrent.futures
import re

import numpy as np
import numpy.typing as npt
import orjson

from ._files import PendingFile, Stream
from .records import Spectrum

# Between these bounds Python's repr writes a double without an exponent,
# and orjson writes the same shortest round-trip text; outside them (where
# orjson's exponents differ from repr's, and from one version to another),
# repr is asked itself.
SMALLEST_PLAIN = 1e-4
LARGEST_PLAIN = 1e16
UNSAFE_IN_TITLE = re.compile("[\r\n\ud800-\udfff]")


def peak_lines(mz: npt.NDArray[np.float64], intensity: npt.NDArray[np.float32]) -> bytes:
    """`m/z intensity` lines, each number the repr of its double (an
    intensity is its float32 value widened exactly)."""
    pairs = np.empty(2 * mz.size)
    pairs[0::2] = mz
    with np.errstate(invalid="ignore"):  # a signalling NaN, widened
        pairs[1::2] = intensity
        size = np.abs(pairs)
        odd = ~(((size >= SMALLEST_PLAIN) & (size < LARGEST_PLAIN)) | (pairs == 0.0))
    if not odd.any():
        return plain_lines(pairs)
    # Rows that need repr: NaN, infinities, and numbers written with an
    # exponent.
    rows = np.flatnonzero(odd.reshape(-1, 2).any(axis=1))
    pieces = []
    start = 0
    for row in rows.tolist():
        if row > start:
            pieces.append(plain_lines(pairs[2 * start:2 * row]))
        pieces.append(f"{float(pairs[2 * row])!r} {float(pairs[2 * row + 1])!r}\n".encode())
        start = row + 1
    if start < mz.size:
        pieces.append(plain_lines(pairs[2 * start:]))
    return b"".join(pieces)


def plain_lines(pairs: npt.NDArray[np.float64]) -> bytes:
    """orjson writes the numbers as one JSON list, `[m,i,m,i]`: every other
    comma becomes the space inside a line, the others line ends."""
    if not pairs.size:
        return b""
    text = bytearray(orjson.dumps(pairs, option=orjson.OPT_SERIALIZE_NUMPY))
    chars = np.frombuffer(text, np.uint8)
    commas = np.flatnonzero(chars == ord(","))
    chars[commas[0::2]] = ord(" ")
    chars[commas[1::2]] = ord("\n")
    chars[-1] = ord("\n")
    del chars
    return bytes(memoryview(text)[1:])


def title_text(stem: str) -> str:
    """The stem as the TITLE can carry it: on one line, and UTF-8."""
    return UNSAFE_IN_TITLE.sub("\ufffd", stem)


class MgfWriter:
    """Writes the spectra of the chosen MS levels to an MGF file; see `export`."""

    format = "MGF"

    def __init__(self, path: str, *, stem: str, ms_levels: frozenset[int] = frozenset({2}),
                 writer: concurrent.futures.Executor | None = None) -> None:
        self.stem = title_text(stem)
        self.levels = ms_levels
        self.written = 0
        self.peaks = 0
        self.file = PendingFile(path)
        self.path = self.file.path
        self.out = Stream(self.file.open(), writer)

    def write(self, spectrum: Spectrum) -> None:
        if spectrum.ms_level not in self.levels:
            return
        n = spectrum.scan
        # 0 is what the file holds when nothing was read.
        charge = spectrum.charge or None
        head = f"BEGIN IONS\nTITLE={self.stem}.{n}.{n}.{charge or 0}\n"
        if spectrum.precursor_mz:
            head += f"PEPMASS={float(spectrum.precursor_mz)!r}\n"
        head += f"RTINSECONDS={float(spectrum.rt) * 60!r}\n"
        if charge is not None:
            head += f"CHARGE={abs(charge)}{'+-'[charge < 0]}\n"
        head += f"SCANS={n}\n"
        self.out.write(head.encode())
        self.out.write(peak_lines(spectrum.mz, spectrum.intensity))
        self.out.write(b"END IONS\n\n")
        self.written += 1
        self.peaks += spectrum.mz.size

    def finish(self) -> None:
        self.out.drain()
        self.file.close()

    def commit(self) -> None:
        """Gives the finished file its final name."""
        self.file.commit()

    def discard(self) -> None:
        self.file.discard()
