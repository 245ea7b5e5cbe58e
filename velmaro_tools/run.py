"""`Run`: one acquisition, read right whatever its name."""

from __future__ import annotations

import atexit
import datetime
import fcntl
import operator
import os
import shutil
import stat
import tempfile
import warnings
import weakref
from collections.abc import Callable, Iterable, Iterator
from typing import TYPE_CHECKING, Any, SupportsIndex, TypeVar

import numpy as np

import velmaro

from . import _layout
from ._layout import LAYOUTS, Layout
from .errors import (INTERNAL, NOT_A_FILE, NOT_AN_ACQUISITION, TRUNCATED, LayoutWarning, RunError, is_panic,
                     kind_of_os_error, one_line, os_error_text)
from .records import Spectrum

if TYPE_CHECKING:
    import pandas as pd

T = TypeVar("T")

PathArg = str | bytes | os.PathLike[str] | os.PathLike[bytes]

# A header the toolkit takes for an acquisition's: a version of at most 65535
# (the format's versions are two-digit numbers; 0 is a version word left
# unset) and a creation time that is either not recorded or between these two
# moments (Unix seconds).
MAX_VERSION = 65535
EARLIEST = 315532800  # 1980-01-01
LATEST = 4102444800  # 2100-01-01
# A file whose first bytes hold no NUL byte is text, not a binary header.
TEXT_PROBE = 4096

_EMPTY_MZ = np.empty(0, np.float64)
_EMPTY_INTENSITY = np.empty(0, np.float32)
_NAMES: dict[Layout, str] = {"orbitrap": "orbitrap.raw", "small": "small.RAW", "both": "orbitrap.small.RAW",
                             "plain": "plain.raw"}


def absolute(path: PathArg) -> str:
    """`path` made absolute, as str (undecodable bytes kept as surrogates)."""
    return os.fsdecode(os.path.abspath(os.fspath(path)))


def _call(path: str, make: Callable[[], T]) -> tuple[T | None, RunError | None]:
    """make(), or the RunError its failure means.  The error is made here and
    raised by the caller outside any handler, so that it carries no
    __context__ holding the module's exception, which does not pickle."""
    try:
        return make(), None
    except OSError as e:
        return None, RunError(path, kind_of_os_error(e), one_line(e))
    except BaseException as e:
        if not is_panic(e):
            raise
        return None, RunError(path, INTERNAL, one_line(e))


def _checked(path: str, make: Callable[[], T]) -> T:
    result, error = _call(path, make)
    if error is not None:
        raise error
    return result  # type: ignore[return-value]  # set whenever error is None


class _Links:
    """A private folder of symbolic links to one file, each named so that the
    module takes the layout wanted; removed when the run is closed or
    collected (by the process that made it, not by a forked child)."""

    def __init__(self, target: str) -> None:
        self.target = target
        self.folder = tempfile.mkdtemp(prefix="run-", dir=_home())
        pid = os.getpid()
        self._finalizer = weakref.finalize(self, _remove_folder, self.folder, pid)

    def path(self, layout: Layout) -> str:
        link = os.path.join(self.folder, _NAMES[layout])
        if not os.path.lexists(link):
            os.symlink(os.fsencode(self.target), link)
        return link

    def keep_only(self, layout: Layout | None) -> None:
        for name in _NAMES.values():
            if layout is None or name != _NAMES[layout]:
                try:
                    os.remove(os.path.join(self.folder, name))
                except FileNotFoundError:
                    pass

    def close(self) -> None:
        self._finalizer()


def _remove_folder(folder: str, pid: int) -> None:
    if os.getpid() == pid:
        shutil.rmtree(folder, ignore_errors=True)


# This process's folder for its runs' link folders, and the descriptor of the
# lock it holds on the folder's lock file for as long as it lives.  A process
# that cannot clean up (killed, crashed, or a forked worker that leaves by
# os._exit) leaves a folder whose lock anyone can take: the next process to
# make its own folder removes it.
_HOME_BASES = (None, "/dev/shm", "/var/tmp", "/tmp")
_LOCK = ".lock"
_home_of: tuple[int, str, int] | None = None  # pid, folder, lock descriptor


def _home() -> str:
    global _home_of
    pid = os.getpid()
    if _home_of is not None and _home_of[0] == pid:
        return _home_of[1]
    failures = []
    for base in _HOME_BASES:
        where = base or tempfile.gettempdir()
        if _layout.path_layout(where) != "plain":  # its own text would change the layout
            continue
        try:
            folder = tempfile.mkdtemp(prefix="velmaro-", dir=where)
        except OSError as e:
            failures.append(f"{where}: {e.strerror}")
            continue
        # Locked under another name, then renamed: a sweep never finds the
        # lock file of a folder being made unlocked.
        fd = -1
        try:
            fd = os.open(os.path.join(folder, _LOCK + ".new"), os.O_RDWR | os.O_CREAT | os.O_EXCL, 0o600)
            fcntl.flock(fd, fcntl.LOCK_EX)
            os.rename(os.path.join(folder, _LOCK + ".new"), os.path.join(folder, _LOCK))
        except BaseException:
            if fd >= 0:
                os.close(fd)
            shutil.rmtree(folder, ignore_errors=True)
            raise
        _sweep(where, folder)
        _home_of = (pid, folder, fd)
        atexit.register(_remove_folder, folder, pid)
        return folder
    raise OSError(f"no private folder for the run's links ({'; '.join(failures) or 'none fits'})")


def _sweep(where: str, own: str) -> None:
    """Removes the folders in `where` that processes of this user left behind."""
    try:
        names = [n for n in os.listdir(where) if n.startswith("velmaro-")]
    except OSError:
        return
    for name in names:
        folder = os.path.join(where, name)
        try:
            info = os.lstat(folder)
            if folder == own or not stat.S_ISDIR(info.st_mode) or info.st_uid != os.getuid():
                continue
            fd = os.open(os.path.join(folder, _LOCK), os.O_RDWR | os.O_NOFOLLOW)
        except OSError:  # gone, or not one of these folders: left alone
            continue
        try:
            fcntl.flock(fd, fcntl.LOCK_EX | fcntl.LOCK_NB)
        except OSError:  # held: its process lives
            pass
        else:
            shutil.rmtree(folder, ignore_errors=True)
        finally:
            os.close(fd)


def _encodable(path: str) -> bool:
    try:
        path.encode("utf-8")
    except UnicodeEncodeError:
        return False
    return True


def _os_failure(path: str, error: OSError) -> RunError:
    """The RunError of an OSError of the toolkit's own, worded as the module words its own."""
    return RunError(path, kind_of_os_error(error), os_error_text(error.errno) if error.errno else one_line(error))


def _foreseen(path: str, strict: bool) -> tuple[int, RunError | None]:
    """The file's size, or the failure its type, size or first bytes foretell,
    found without asking the module."""
    try:
        info = os.stat(path)
    except OSError as e:
        return 0, _os_failure(path, e)
    if not stat.S_ISREG(info.st_mode):
        what = ("a directory" if stat.S_ISDIR(info.st_mode) else "a FIFO" if stat.S_ISFIFO(info.st_mode)
                else "a socket" if stat.S_ISSOCK(info.st_mode) else "a device")
        return 0, RunError(path, NOT_A_FILE, f"{what}, not a regular file")
    size = info.st_size
    if size == 0:
        return 0, RunError(path, NOT_AN_ACQUISITION, "the file is empty")
    if strict:
        try:
            with open(path, "rb") as f:
                head = f.read(TEXT_PROBE)
        except OSError as e:
            return size, _os_failure(path, e)
        if b"\0" not in head:
            return size, RunError(path, NOT_AN_ACQUISITION, "text, not a binary acquisition header "
                                                            "(no NUL byte in its first bytes)")
    if size < _layout.HEADER_BYTES:
        return size, RunError(path, TRUNCATED, f"the file ends at byte {size}, inside the "
                                               f"{_layout.HEADER_BYTES}-byte header")
    return size, None


def _implausible_header(version: int, created: int) -> str | None:
    if version > MAX_VERSION:
        return f"format version {version} (an acquisition's is at most {MAX_VERSION})"
    if created and not EARLIEST <= created <= LATEST:
        return f"creation time {created} s after 1970 (an acquisition's is 0 or 1980 to 2100)"
    return None


class _Probe:
    """The readers of one file under each layout that can apply, made lazily,
    each through the file's own path where its text already gives the layout."""

    def __init__(self, path: str, size: int) -> None:
        self.path, self.size = path, size
        self.links: _Links | None = None
        self.readers: dict[Layout, velmaro.RawFileReader] = {}

    def path_for(self, layout: Layout) -> str:
        if _layout.path_layout(self.path) == layout and _encodable(self.path):
            return self.path
        if self.links is None:
            self.links = _Links(self.path)
        return self.links.path(layout)

    def reader(self, layout: Layout) -> velmaro.RawFileReader:
        if layout not in self.readers:
            where = self.path_for(layout)
            self.readers[layout] = _checked(self.path, lambda: velmaro.RawFileReader(where))
        return self.readers[layout]

    def close(self, keep: Layout | None) -> None:
        if self.links is not None:
            self.links.keep_only(keep)
            if keep is None or self.path_for(keep) == self.path:
                self.links.close()
                self.links = None


def _peaks(reader: velmaro.RawFileReader, scans: Iterable[int]) -> list[bytes | None]:
    return [_layout.fingerprint(*reader.get_peaks(n)) for n in scans]


def _judge(probe: _Probe, version: int) -> _layout.Choice:
    """Reads the file in every layout that can apply and chooses (see
    `_layout.choose`)."""
    size, n = probe.size, _layout.scan_count(version)
    short = size < _layout.orbitrap_min_length(version)
    small, both, plain = probe.reader("small"), probe.reader("both"), probe.reader("plain")
    small_rows, both_rows = small.list_spectra(), both.list_spectra()
    small_rt = _layout.retention_times("retention times at 1481842", [r["rt"] for r in small_rows],
                                       _layout.records_inside(_layout.SMALL_RT, n, size))
    trailer = _layout.trailer_values(both_rows, _layout.records_inside(_layout.TRAILER, n, size))
    small_peaks = _layout.peak_blocks("peak blocks at the ten fixed offsets",
                                      _peaks(small, range(1, min(n, _layout.SMALL_OFFSETS + 1) + 1)))
    small_sources = [small_rt, small_peaks]
    if version == 57:
        small_sources.append(_layout.injection_records(small_rows,
                                                       _layout.records_inside(_layout.INJECTION, n, size)))
    candidates = [
        _layout.Candidate("small", tuple(small_sources)),
        _layout.Candidate("both", (small_rt, trailer, small_peaks) if trailer.status == "good"
                          else (small_rt, trailer, small_peaks, _layout.Source("trailer slots", "bad", why="empty"))),
        _layout.Candidate("plain", (_layout.peak_blocks("peak block at offset 0", _peaks(plain, [1])),),
                          needs_table=False),
    ]
    signature = False
    if short:
        start = _layout.ORBITRAP_FIRST_SCAN
        with open(probe.path, "rb") as f:
            f.seek(start)
            window = f.read(10000 + 24)
        signature = bool(window) and _layout.block_from(window, start, size, version)
    else:
        orbitrap = probe.reader("orbitrap")
        rows = orbitrap.list_spectra()
        candidates.insert(0, _layout.Candidate("orbitrap", (
            _layout.retention_times("retention times at 6464174", [r["rt"] for r in rows],
                                    _layout.records_inside(_layout.ORBITRAP_RT, n, size)),
            trailer,
            _layout.peak_blocks("peak blocks at the summed scan lengths", _peaks(orbitrap, range(1, n + 1))))))
    return _layout.choose(candidates, short_for_orbitrap=short, orbitrap_signature=signature, size=size,
                          version=version)


class Run:
    """One acquisition file, read in the layout its data shows.

    `path` may be str, bytes or any os.PathLike.  With `layout="auto"` the
    file is read in each of the module's layouts that can apply and the one
    its data supports is taken (a `LayoutWarning` says so when the evidence
    is weak or split); "orbitrap", "small", "both" or "plain" forces one.
    With `strict=False`, a file that does not look like an acquisition (its
    first bytes text, its header implausible, or no layout's tables in it)
    is opened all the same, with a warning where no layout fits.

    Every failure to open or read the file is a `RunError`.  A Run is a
    context manager, iterates over its spectra, and pickles by path and
    layout (the other process opens the file again)."""

    def __init__(self, path: PathArg, layout: str = "auto", *, strict: bool = True) -> None:
        if layout != "auto" and layout not in LAYOUTS:
            raise ValueError(f"layout must be 'auto' or one of {', '.join(LAYOUTS)}, not {layout!r}")
        self.path: str = absolute(path)
        self.strict = strict
        self._closed = False
        self._links: _Links | None = None
        reader, chosen, reason, warning = self._open(layout)
        self._reader: velmaro.RawFileReader = reader
        self.layout: Layout = chosen
        #: How the layout was chosen: forced, or the evidence of each layout.
        self.layout_reason: str = reason
        self._rows = reader.list_spectra()
        self._trailer_levels = reader.version == 66 and chosen in ("orbitrap", "both")
        if warning is not None:
            warnings.warn(LayoutWarning(f"{self.path}: {warning}"), stacklevel=2)

    def _open(self, layout: str) -> tuple[velmaro.RawFileReader, Layout, str, str | None]:
        size, error = _foreseen(self.path, self.strict)
        if error is not None:
            raise error
        probe = _Probe(self.path, size)
        try:
            plain = probe.reader("plain")
            version = plain.version
            if self.strict:
                why = _implausible_header(version, int(plain.creation_date))
                if why is not None:
                    raise RunError(self.path, NOT_AN_ACQUISITION, f"implausible header: {why}")
            short = size < _layout.orbitrap_min_length(version)
            if layout == "auto":
                choice = _judge(probe, version)
                if choice.layout is not None:
                    chosen, reason, warning = choice.layout, f"chosen by evidence, {choice.reason}", choice.warning
                elif self.strict:
                    raise RunError(self.path, TRUNCATED, choice.reason)
                else:
                    chosen, reason = "plain", f"not strict: {choice.reason}"
                    warning = f"read in the plain layout, which reads no table: {choice.reason}"
            else:
                chosen, reason, warning = layout, "forced", None  # type: ignore[assignment]
                if chosen == "orbitrap" and short:
                    raise RunError(self.path, TRUNCATED, f"the file ends at byte {size}, before the orbitrap "
                                   f"layout's scan table, which needs {_layout.orbitrap_min_length(version)} bytes")
            reader = probe.reader(chosen)
        except BaseException:
            probe.close(None)
            raise
        probe.close(chosen)
        self._links = probe.links
        return reader, chosen, reason, warning

    # ---- the run's values ----------------------------------------------------

    @property
    def reader(self) -> velmaro.RawFileReader:
        """The module's reader of this file in the chosen layout, for callers
        who need its exact surface; its path is the run's private link when
        the file's own name gives another layout."""
        self._check_open()
        return self._reader

    @property
    def version(self) -> int:
        return self._reader.version

    @property
    def num_scans(self) -> int:
        return self._reader.num_scans

    def __len__(self) -> int:
        return self._reader.num_scans

    @property
    def creation_time(self) -> datetime.datetime | None:
        """The file's creation time (UTC), to the second; 1970-01-01 when the
        header records none or a time before 1970; None when beyond what a
        datetime holds."""
        try:
            return datetime.datetime.fromtimestamp(int(self._reader.creation_date), datetime.timezone.utc)
        except (OverflowError, ValueError, OSError):
            return None

    def ms_level(self, scan: SupportsIndex) -> int:
        """The scan's MS level: the trailer's "MS Order" where the module
        decodes the trailer slots (version 66 in the orbitrap layouts),
        otherwise 2 for a scan with a master scan and 1 for one without."""
        number = self._check_scan(scan)
        return self._level(number, self._extra(number))

    def _extra(self, scan: int) -> dict[str, float | int | str] | None:
        return self._read(lambda: self._reader.get_trailer_extra(scan)) if self._trailer_levels else None

    def _level(self, scan: int, extra: dict[str, float | int | str] | None) -> int:
        order = extra.get("MS Order") if extra is not None else None
        if isinstance(order, int):
            return order
        return 2 if self._rows[scan - 1]["master_scan"] > 0 else 1

    def spectrum(self, scan: SupportsIndex) -> Spectrum:
        """Scan `scan` (counted from 1) as a `Spectrum`; IndexError outside
        1 to num_scans."""
        scan = self._check_scan(scan)
        extra = self._extra(scan)
        mz, intensity = self._read(lambda: self._reader.get_peaks(scan))
        if mz.size <= 1:  # no peak block: a real one holds at least 11 peaks
            mz, intensity = _EMPTY_MZ.copy(), _EMPTY_INTENSITY.copy()
        row = self._rows[scan - 1]
        activation = extra.get("Activation Type") if extra is not None else None
        return Spectrum(scan=scan, ms_level=self._level(scan, extra), rt=row["rt"], mz=mz, intensity=intensity,
                        precursor_mz=row["monomz"] or None, charge=row["charge"] or None,
                        master_scan=row["master_scan"] if row["master_scan"] > 0 else None,
                        activation=activation if isinstance(activation, str) else None)

    def spectra(self, ms_level: int | None = None) -> Iterator[Spectrum]:
        """The spectra in scan order, or those of one MS level; the peaks of
        a scan are read when it is reached."""
        self._check_open()
        for scan in range(1, self.num_scans + 1):
            if ms_level is None or self.ms_level(scan) == ms_level:
                yield self.spectrum(scan)

    def __iter__(self) -> Iterator[Spectrum]:
        return self.spectra()

    def scan_rows(self) -> Iterator[tuple[int, int, float, float, int, int, float, int, float, float, float]]:
        """The rows of `scan_table`, a tuple per scan, without pandas."""
        self._check_open()
        for row in self._rows:
            scan = row["scan_number"]
            mz, intensity = self._read(lambda: self._reader.get_peaks(scan))
            found = mz.size > 1
            top = int(intensity.argmax()) if found else 0
            yield (scan, self._level(scan, self._extra(scan)), row["rt"], row["injection_time"], row["master_scan"],
                   row["charge"], row["monomz"], int(mz.size) if found else 0,
                   float(intensity.sum(dtype=np.float64)) if found else 0.0,
                   float(mz[top]) if found else 0.0, float(intensity[top]) if found else 0.0)

    def scan_table(self) -> pd.DataFrame:
        """One row per scan, indexed by scan number: the module's scan summary
        (rt, injection_time, master_scan, charge, monomz, with 0 where
        nothing was read), the MS level, and from the peaks their count, the
        total ion current and the base peak.  Needs pandas."""
        import pandas as pd

        columns = ["scan_number", "ms_level", "rt", "injection_time", "master_scan", "charge", "monomz", "peaks",
                   "tic", "base_peak_mz", "base_peak_intensity"]
        frame = pd.DataFrame.from_records(list(self.scan_rows()), columns=columns, index="scan_number")
        return frame.astype({"ms_level": "int64", "master_scan": "int64", "charge": "int64", "peaks": "int64"})

    def trailer(self, scan: int) -> dict[str, float | int | str]:
        """The module's `get_trailer_extra` of the scan, in the chosen layout."""
        self._check_open()
        return self._read(lambda: self._reader.get_trailer_extra(scan))

    def status_log_labels(self) -> list[str]:
        self._check_open()
        return self._read(self._reader.get_status_log_labels)

    def error_log(self) -> list[str]:
        self._check_open()
        return self._read(self._reader.get_error_logs)

    def instrument_method(self) -> str:
        self._check_open()
        return self._read(lambda: self._reader.get_instrument_method(0))

    # ---- life ----------------------------------------------------------------

    def close(self) -> None:
        """Removes the run's private links; the run reads no more."""
        self._closed = True
        if self._links is not None:
            self._links.close()
            self._links = None

    @property
    def closed(self) -> bool:
        return self._closed

    def __enter__(self) -> Run:
        self._check_open()
        return self

    def __exit__(self, *exc: object) -> None:
        self.close()

    def __reduce__(self) -> tuple[Any, ...]:
        return (_reopen, (self.path, self.layout, self.strict))

    def __repr__(self) -> str:
        state = " closed" if self._closed else ""
        return f"<Run {self.path!r} layout={self.layout!r} scans={self._reader.num_scans}{state}>"

    def _check_open(self) -> None:
        if self._closed:
            raise ValueError("I/O operation on a closed Run")

    def _check_scan(self, scan: SupportsIndex) -> int:
        """The scan number as an int (any integer type will do)."""
        self._check_open()
        number = operator.index(scan)
        if not 1 <= number <= self._reader.num_scans:
            raise IndexError(f"scan {number} is outside this run's scans 1 to {self._reader.num_scans}")
        return number

    def _read(self, call: Callable[[], T]) -> T:
        return _checked(self.path, call)


def _reopen(path: str, layout: Layout, strict: bool) -> Run:
    return Run(path, layout, strict=strict)
