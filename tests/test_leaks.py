"""Calling every method many thousands of times, with valid arguments and
down every exception path, leaves references and memory flat."""

import sys
import tracemalloc

import pytest

import rawbuilder as rb
from conftest import SANITIZED, PanicException, rss_bytes, velmaro

RawFileReader = velmaro.RawFileReader


class Index:
    def __index__(self):
        return 2


class BadIndex:
    def __index__(self):
        raise TypeError("no")


@pytest.fixture(scope="module")
def paths(tmp_path_factory):
    directory = tmp_path_factory.mktemp("leaks")
    image = rb.orbitrap_image(66, scan_bytes=20000)
    image.put(rb.ORBITRAP_FIRST_OFFSET, rb.peak_block(*rb.ramp(200), 12)).trailer(0, hcd=b"35".ljust(16))
    return {
        "orbitrap": image.write(str(directory / "orbitrap" / "leak.raw")),
        "plain": rb.RawImage(100000).header(version=57).put(124, rb.peak_block(*rb.ramp(20), 8)).write(
            str(directory / "plain.raw")),
        "short": rb.RawImage(39).write(str(directory / "short.raw")),
        "truncated": rb.RawImage(1000).header(version=66).write(str(directory / "orbitrap" / "truncated.raw")),
    }


def expect(error, call, *args, **kwargs):
    try:
        call(*args, **kwargs)
    except error:
        return
    raise AssertionError(f"{call} did not raise {error}")


def calls(paths):
    r = RawFileReader(paths["orbitrap"])
    p = RawFileReader(paths["plain"])
    index, bad = Index(), BadIndex()
    return r, [index, bad], {
        "getters": lambda: (r.version, r.num_scans, r.creation_date),
        "scalars": lambda: (r.get_rt(1), r.get_injection_time(2), r.get_master_scan(3), r.get_charge_state(0),
                            r.get_monoisotopic_mz(scan_number=4)),
        "index argument": lambda: r.get_rt(index),
        "get_peaks": lambda: (r.get_peaks(1), p.get_peaks(5), r.get_peaks(0)),
        "native_get_peaks": lambda: (r.native_get_peaks(1), p.native_get_peaks(3), r.native_get_peaks(999)),
        "list_spectra": lambda: r.list_spectra(),
        "get_trailer_extra": lambda: (r.get_trailer_extra(1), p.get_trailer_extra(1), r.get_trailer_extra(0)),
        "texts": lambda: (p.get_status_log_labels(), p.get_error_logs(), p.get_instrument_method(0)),
        "initialize_caches": lambda: r.initialize_caches(),
        "constructor": lambda: RawFileReader(path=paths["plain"]),
        "binding errors": lambda: (expect(TypeError, r.get_rt), expect(TypeError, r.get_rt, 1, 2),
                                   expect(TypeError, r.get_rt, 1, scan_number=1),
                                   expect(TypeError, r.get_peaks, scan=1), expect(TypeError, r.list_spectra, 1)),
        "conversion errors": lambda: (expect(TypeError, r.get_rt, 1.5), expect(TypeError, r.get_rt, bad),
                                      expect(OverflowError, r.get_rt, -1), expect(OverflowError, r.get_rt, 2**70)),
        "constructor errors": lambda: (expect(FileNotFoundError, RawFileReader, paths["plain"] + ".missing"),
                                       expect(OSError, RawFileReader, paths["short"]),
                                       expect(TypeError, RawFileReader, 5),
                                       expect(UnicodeEncodeError, RawFileReader, "\udc80"),
                                       expect(PanicException, RawFileReader, paths["truncated"])),
    }


NAMES = ["getters", "scalars", "index argument", "get_peaks", "native_get_peaks", "list_spectra",
         "get_trailer_extra", "texts", "initialize_caches", "constructor", "binding errors", "conversion errors",
         "constructor errors"]


@pytest.mark.parametrize("name", NAMES)
def test_repeated_calls_leave_memory_and_references_flat(paths, name, capfd):
    if name == "get_peaks":
        pytest.importorskip("numpy")
    reader, arguments, table = calls(paths)
    call = table[name]
    rounds = 2000 if name in ("list_spectra", "texts", "constructor", "constructor errors") else 10000
    for _ in range(200):
        call()
    references = [sys.getrefcount(obj) for obj in [reader] + arguments]
    # A result of None must carry its own reference: one missing a call would
    # show as thousands here (where None is immortal, this is a constant).
    nones = sys.getrefcount(None)
    # The native memory in two halves: a leak grows both, while the heap's
    # one-time growth (as when earlier tests left it fragmented) lands in one.
    # Under CI's load both halves of one measurement once grew by 3 MB; a
    # leak grows every half of every measurement, so up to three are taken.
    native_growth = []
    tracemalloc.start()
    try:
        python_before = tracemalloc.get_traced_memory()[0]
        for _ in range(3):
            halves = []
            for _ in range(2):
                native_before = rss_bytes()
                for _ in range(rounds // 2):
                    call()
                halves.append(rss_bytes() - native_before)
            native_growth.append(halves)
            if SANITIZED or min(halves) < 1 << 20:
                break
        python_growth = tracemalloc.get_traced_memory()[0] - python_before
    finally:
        tracemalloc.stop()
    capfd.readouterr()  # the panics' diagnostics
    assert [sys.getrefcount(obj) for obj in [reader] + arguments] == references
    assert abs(sys.getrefcount(None) - nones) < 100
    # One leaked float a call would be 240 kB of Python memory.
    assert python_growth < 16 << 10, python_growth
    assert SANITIZED or min(native_growth[-1]) < 1 << 20, native_growth
