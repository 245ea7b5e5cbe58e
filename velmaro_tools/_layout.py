"""Which of the module's layouts a file is in, judged from its data.

velmaro chooses a file's layout by two substrings of its path: "small.RAW" and
"orbitrap".  So a renamed file reads silently wrong.  Here each layout that can
apply is read (through a link whose name carries the layout's words) and
judged by what it yields; the layout whose tables hold the most plausible
values wins.  `choose` documents the rules.
"""

from __future__ import annotations

import dataclasses
import math
import struct
from collections.abc import Mapping, Sequence
from typing import Any, Literal

import numpy as np
import numpy.typing as npt

Layout = Literal["orbitrap", "small", "both", "plain"]
LAYOUTS: tuple[Layout, ...] = ("orbitrap", "small", "both", "plain")

# The format's fixed places that the judgement needs: where each table starts,
# its stride, and the bytes of a record that must lie in the file.
SMALL_RT = (1481842, 72, 8)
ORBITRAP_RT = (6464174, 88, 8)
TRAILER = (6514414, 558, 76)
INJECTION = (1492161, 254, 40)
ORBITRAP_FIRST_SCAN = 3666
SMALL_OFFSETS = 10  # scans with a fixed offset of their own; the rest start at 0
HEADER_BYTES = 40

# What a plausible run holds (minutes, milliseconds, m/z, charges).
MAX_RT = 1e4
MAX_FIRST_RT = 60.0
MAX_INJECTION = 1e5
MAX_MZ = 1e5
MAX_CHARGE = 100


def scan_count(version: int) -> int:
    return 48 if version == 57 else 145 if version == 66 else 100


def path_layout(path: str) -> Layout:
    """The layout the module takes for this path text."""
    small, orbitrap = "small.RAW" in path, "orbitrap" in path
    return "both" if small and orbitrap else "small" if small else "orbitrap" if orbitrap else "plain"


def orbitrap_min_length(version: int) -> int:
    """The shortest file the orbitrap layout can read: its last scan-length
    word must lie inside it."""
    start, stride, _ = ORBITRAP_RT
    return start + stride * (scan_count(version) - 1)


def records_inside(table: tuple[int, int, int], n: int, size: int) -> int:
    """How many of a table's first n records lie wholly inside a file of `size` bytes."""
    start, stride, width = table
    if size < start + width:
        return 0
    return min(n, (size - start - width) // stride + 1)


@dataclasses.dataclass(frozen=True)
class Source:
    """What one of a layout's sources (a table, or the places its peaks are
    sought) yields: "good" with a strength (how many plausible values),
    "none" (nothing but zeros) or "bad" (values no run holds)."""

    name: str
    status: Literal["good", "none", "bad"]
    strength: int = 0
    why: str = ""

    def describe(self) -> str:
        return f"{self.name}: {self.why}"


def retention_times(name: str, rt: Sequence[float], inside: int) -> Source:
    """A retention-time table: finite, non-negative, non-decreasing, the
    first below an hour and none above 10^4 minutes."""
    values = list(rt[:inside])
    for k, v in enumerate(values, 1):
        if not math.isfinite(v) or v < 0 or v > MAX_RT:
            return Source(name, "bad", why=f"scan {k} at {v!r} min")
    for k in range(1, len(values)):
        if values[k] < values[k - 1]:
            return Source(name, "bad", why=f"falls from {values[k - 1]!r} to {values[k]!r} min at scan {k + 1}")
    distinct = {v for v in values if v != 0.0}
    if not distinct:
        return Source(name, "none", why="all zero")
    if values[0] >= MAX_FIRST_RT:
        return Source(name, "bad", why=f"starts at {values[0]!r} min")
    return Source(name, "good", len(distinct), f"{len(distinct)} distinct plausible values")


def trailer_values(rows: Sequence[Mapping[str, Any]], inside: int) -> Source:
    """The trailer slots' injection time, master scan, charge and precursor."""
    name = "trailer slots"
    n = len(rows)
    set_ = 0
    for row in rows[:inside]:
        k, injection, master, charge, mono = (row["scan_number"], row["injection_time"], row["master_scan"],
                                             row["charge"], row["monomz"])
        if not (math.isfinite(injection) and 0 <= injection <= MAX_INJECTION):
            return Source(name, "bad", why=f"scan {k}: injection time {injection!r} ms")
        if not -1 <= master <= n:
            return Source(name, "bad", why=f"scan {k}: master scan {master}")
        if charge > MAX_CHARGE:
            return Source(name, "bad", why=f"scan {k}: charge {charge}")
        if not (math.isfinite(mono) and 0 <= mono <= MAX_MZ):
            return Source(name, "bad", why=f"scan {k}: precursor m/z {mono!r}")
        set_ += bool(injection or master > 0 or charge or mono)
    if not set_:
        return Source(name, "none", why="all zero")
    return Source(name, "good", set_, f"{set_} scans with plausible values")


def injection_records(rows: Sequence[Mapping[str, Any]], inside: int) -> Source:
    """The version-57 injection-time records of the small layout."""
    name = "injection-time records"
    values = [row["injection_time"] for row in rows[:inside]]
    for k, v in enumerate(values, 1):
        if not (math.isfinite(v) and 0 <= v <= MAX_INJECTION):
            return Source(name, "bad", why=f"scan {k}: {v!r} ms")
    set_ = sum(1 for v in values if v)
    if not set_:
        return Source(name, "none", why="all zero")
    return Source(name, "good", set_, f"{set_} plausible values")


def peak_blocks(name: str, found: Sequence[bytes | None]) -> Source:
    """The peak blocks found at a layout's scan offsets, told apart by a
    fingerprint: the more distinct blocks, the more the offsets mean."""
    distinct = len({f for f in found if f is not None})
    if not distinct:
        return Source(name, "none", why="no peak block found")
    return Source(name, "good", distinct, f"{distinct} distinct peak blocks")


def fingerprint(mz: npt.NDArray[np.float64], intensity: npt.NDArray[np.float32]) -> bytes | None:
    """A block's identity, or None for the module's no-block result."""
    if mz.size <= 1:  # a real block holds at least 11 peaks
        return None
    return b"".join([struct.pack("<q", mz.size), mz[:2].tobytes(), mz[-1:].tobytes(), intensity[:2].tobytes()])


def block_from(window: bytes, start: int, size: int, version: int) -> bool:
    """Whether the module's peak search, started at file offset `start`,
    finds a block; `window` holds the file's bytes from `start` on (at least
    the search's reach, or up to the end of the file)."""
    data = np.array(bytearray(window), np.uint8)
    with np.errstate(invalid="ignore"):  # signalling NaNs among the bytes
        return _block_from(data, start, size, version)


def _at(data: npt.NDArray[Any], k: npt.NDArray[Any], dtype: str) -> npt.NDArray[Any]:
    """The little-endian numbers of `dtype` at byte positions k, as int64 or float64."""
    width = np.dtype(dtype).itemsize
    picked = np.stack([data[k + j] for j in range(width)], axis=1).copy()
    values: npt.NDArray[Any] = picked.view(dtype)[:, 0].astype(np.int64 if dtype == "<u4" else np.float64)
    return values


def _block_from(data: npt.NDArray[Any], start: int, size: int, version: int) -> bool:
    def u32(k: npt.NDArray[Any]) -> npt.NDArray[Any]:
        return _at(data, k, "<u4")

    def real(k: npt.NDArray[Any], width: int) -> npt.NDArray[Any]:
        return _at(data, k, "<f8" if width == 8 else "<f4")

    if version == 66:
        last = min(start + 10000, size - 12)  # positions p < limit with p + 12 < size
        p: npt.NDArray[np.int64] = np.arange(start, max(last, start), dtype=np.int64)
        p = p[p - start + 24 <= len(data)]
        if p.size == 0:
            return False
        k = p - start
        count = u32(k)
        ok = (count >= 11) & (count <= 199999) & (p + 4 + 12 * count <= size)
        first, second = real(k + 4, 8), real(k + 16, 8)
        ok &= (first > 50.0) & (first < 5000.0) & ~(second < first - 0.001)
        return bool(ok.any())
    for offset, minimum, positions in ((190, 11, [190]), (124, 11, [124]), (0, 11, [0]), (0, 101, range(512))):
        p = np.array([start + q for q in positions if start + q + 8 <= size and q + 8 <= len(data)], np.int64)
        if p.size == 0:
            continue
        k = p - start
        count = u32(k)
        first = real(k + 4, 4)
        ok = (count >= minimum) & (count <= 199999) & (p + 4 + 8 * count <= size) & (first > 50.0) & (first < 5000.0)
        if ok.any():
            return True
    return False


@dataclasses.dataclass(frozen=True)
class Candidate:
    """A layout as the evidence sees it."""

    layout: Layout
    sources: tuple[Source, ...]
    # A layout needs one plausible table of its own (the peaks' places alone
    # can be met by chance), except the plain layout, which has none.
    needs_table: bool = True

    @property
    def eligible(self) -> bool:
        return all(s.status != "bad" for s in self.sources)

    @property
    def score(self) -> int:
        return sum(s.strength for s in self.sources if s.status == "good")

    @property
    def has_table(self) -> bool:
        return any(s.status == "good" and s.strength >= 2 and not s.name.startswith("peak") for s in self.sources)

    @property
    def supported(self) -> bool:
        """A plausible table, or more distinct peak blocks than the small
        layout's eleven scan offsets could ever find."""
        return self.has_table or any(s.name.startswith("peak") and s.strength > SMALL_OFFSETS + 1
                                     for s in self.sources)

    def describe(self) -> str:
        return "; ".join(s.describe() for s in self.sources)


@dataclasses.dataclass(frozen=True)
class Choice:
    layout: Layout | None  # None: the file is an orbitrap-layout file cut short
    reason: str
    warning: str | None = None


# Preferred among equal scores: the layouts real files come in first.
PREFERENCE: tuple[Layout, ...] = ("orbitrap", "small", "both", "plain")


def exclusive_score(a: Candidate, b: Candidate) -> int:
    """The part of a's score that b does not share: evidence that tells them apart."""
    shared = {s.name for s in b.sources}
    return sum(s.strength for s in a.sources if s.status == "good" and s.name not in shared)


def choose(candidates: Sequence[Candidate], *, short_for_orbitrap: bool, orbitrap_signature: bool,
           size: int, version: int) -> Choice:
    """The layout the evidence supports.

    - A layout whose tables hold values no run holds (retention times that
      fall, exceed 10^4 minutes or start past an hour; injection times,
      master scans, charges or precursors out of range) is out.
    - Of the rest, each scores the plausible values of its tables (distinct
      retention times; scans with trailer values or injection times) plus the
      distinct peak blocks found at its scan offsets; "both" counts only if its
      trailer slots hold values, and every layout but "plain" needs one
      plausible table or more distinct peak blocks than the small layout's
      scan offsets could find (a few blocks can be met by chance).
    - The highest score wins (ties in the order orbitrap, small, both, plain).
      The choice is flagged as uncertain when no layout's tables hold
      plausible values, or when the runner-up's evidence that the winner does
      not share is at least half the winner's that the runner-up does not.
    - A file too short for the orbitrap layout's tables that holds no other
      layout's plausible table is a file cut short: no layout.  (Its data
      usually shows what it was: a peak block where the orbitrap layout's
      first scan starts.)"""
    ranked = sorted((c for c in candidates if c.eligible and (c.supported or not c.needs_table)),
                    key=lambda c: (-c.score, PREFERENCE.index(c.layout)))
    if short_for_orbitrap and not any(c.has_table for c in ranked):
        needs = (f"the orbitrap layout's scan table needs {orbitrap_min_length(version)} bytes, the small "
                 f"layout's retention times start at {SMALL_RT[0]}")
        if orbitrap_signature:
            return Choice(None, f"the file ends at byte {size}, but a peak block stands where the orbitrap "
                                f"layout's first scan starts ({ORBITRAP_FIRST_SCAN}): {needs}")
        return Choice(None, f"the file ends at byte {size}, before the tables of every layout: {needs}")
    if not ranked:  # unreachable while "plain" is among the candidates
        return Choice("plain", "no layout fits", "no layout's tables hold plausible values")
    best = ranked[0]
    others = [c for c in ranked[1:] if c.layout != best.layout]
    reason = f"score {best.score}: {best.describe()}" + (
        f" (next: {others[0].layout}, score {others[0].score})" if others else "")
    warning = None
    if best.score == 0 or not best.supported:
        warning = (f"no layout's tables hold plausible values; read in the {best.layout} layout, which reads "
                   f"none of them")
    elif others and 2 * exclusive_score(others[0], best) >= exclusive_score(best, others[0]):
        runner = others[0]
        warning = (f"read in the {best.layout} layout (score {best.score}: {best.describe()}), but the "
                   f"{runner.layout} layout scores {runner.score} ({runner.describe()})")
    if warning is None and short_for_orbitrap and orbitrap_signature:
        warning = (f"read in the {best.layout} layout, but the file also looks like an orbitrap-layout file cut "
                   f"short at byte {size}")
    return Choice(best.layout, reason, warning)
