"""Files that change under a reader, odd paths, and many threads on one
reader: neutral results or the documented exceptions, never a crash, a hang
or a reader left half changed."""

import os
import subprocess
import sys
import threading

import pytest

import rawbuilder as rb
from conftest import PanicException, float_bits, replace_with_directory, replace_with_fifo, run_python, velmaro

RawFileReader = velmaro.RawFileReader
np = pytest.importorskip("numpy")


def sample(version=66):
    image = rb.orbitrap_image(version, scan_bytes=20000)
    for i in range(rb.scan_count(version)):
        image.rt(i, 1.0 + i).trailer(i, master=i, charge=2, hcd=b"30".ljust(16), agc=b"On".ljust(13))
        image.put(rb.ORBITRAP_FIRST_OFFSET + 20000 * i, rb.peak_block(*rb.ramp(60, 100.0 + i), 12))
    return image


def file_results(reader):
    """Everything that reads the file at each call."""
    return {
        "native_get_peaks": reader.native_get_peaks(3),
        "get_peaks": [a.tolist() for a in reader.get_peaks(3)],
        "get_trailer_extra": reader.get_trailer_extra(3),
        "get_status_log_labels": reader.get_status_log_labels(),
        "get_error_logs": reader.get_error_logs(),
        "get_instrument_method": reader.get_instrument_method(0),
    }


def cache_results(reader):
    return [reader.num_scans, float_bits(s["rt"] for s in reader.list_spectra()), reader.get_master_scan(7)]


NEUTRAL = {
    "native_get_peaks": None,
    "get_peaks": [[0.0], [0.0]],
    "get_status_log_labels": [],
    "get_error_logs": [],
    "get_instrument_method": "",
}
CACHE_KEYS = ["Ion Injection Time (ms)", "Master Scan Number", "Charge State", "Monoisotopic M/Z", "Precursor Mass"]


def delete(path):
    os.remove(path)


def empty(path):
    os.truncate(path, 0)


def to_device(path):
    os.remove(path)
    os.symlink("/dev/zero", path)


@pytest.mark.parametrize("change", [delete, empty, replace_with_directory, replace_with_fifo, to_device])
def test_file_gone_or_unreadable_after_construction(tmp_path, change):
    path = sample().write(str(tmp_path / "orbitrap" / "f.raw"))
    reader = RawFileReader(path)
    caches = cache_results(reader)
    change(path)
    results = file_results(reader)
    assert list(results.pop("get_trailer_extra")) == CACHE_KEYS
    assert results == NEUTRAL
    with pytest.raises(PanicException):
        reader.initialize_caches()
    assert cache_results(reader) == caches


def test_file_replaced_after_construction(tmp_path):
    path = sample().write(str(tmp_path / "orbitrap" / "f.raw"))
    reader = RawFileReader(path)
    caches = cache_results(reader)
    replacement = sample().rt(0, 99.0).put(rb.ORBITRAP_FIRST_OFFSET + 40000, rb.peak_block(*rb.ramp(70, 777.0), 12))
    replacement.write(path + ".new")
    os.replace(path + ".new", path)
    assert reader.native_get_peaks(3)[0][0] == 777.0  # the file as it is now
    assert cache_results(reader) == caches  # the caches as built
    reader.initialize_caches()
    assert reader.get_rt(1) == 99.0


@pytest.mark.parametrize("fill", [b"\x00", b"\xff"])
@pytest.mark.parametrize("name", ["orbitrap/x.raw", "small.RAW", "plain.raw"])
def test_uniform_files(tmp_path, fill, name):
    path = str(tmp_path / name)
    os.makedirs(os.path.dirname(path), exist_ok=True)
    with open(path, "wb") as f:
        f.write(fill * rb.TRAILER_START)
    reader = RawFileReader(path)
    assert reader.version == (0 if fill == b"\x00" else 0xFFFFFFFF) and reader.num_scans == 100
    results = file_results(reader)
    del results["get_trailer_extra"]
    assert results == NEUTRAL
    assert len(reader.list_spectra()) == 100


@pytest.mark.parametrize(
    "path,error,message",
    [
        ("x" * 300, OSError, "File name too long (os error 36)"),
        ("/" + "a/" * 3000, OSError, "File name too long (os error 36)"),
        ("bad\0path", OSError, "file name contained an unexpected NUL byte"),
        ("\ud800.raw", UnicodeEncodeError, None),
    ],
)
def test_odd_paths(path, error, message):
    with pytest.raises(error) as caught:
        RawFileReader(path)
    assert type(caught.value) is error
    if message:
        assert str(caught.value) == message


def test_fifo_path_never_blocks(tmp_path):
    good = sample().write(str(tmp_path / "orbitrap" / "g.raw"))
    fifo = str(tmp_path / "orbitrap" / "fifo")
    os.mkfifo(fifo)
    code = f"""
import os, velmaro
r = velmaro.RawFileReader({good!r})
os.remove({good!r}); os.mkfifo({good!r})
print(r.native_get_peaks(1), r.get_status_log_labels(), repr(r.get_instrument_method(0)), len(r.get_trailer_extra(1)))
try:
    velmaro.RawFileReader({fifo!r})
except OSError as e:
    print(e)
"""
    result = run_python(code, timeout=30)
    assert result.stdout.split("\n")[:2] == ["None [] '' 5", "Illegal seek (os error 29)"], result.stderr


def test_file_shrinking_while_calls_read(tmp_path):
    path = sample().write(str(tmp_path / "orbitrap" / "s.raw"))
    reader = RawFileReader(path)
    full = reader.native_get_peaks(3)
    size = os.path.getsize(path)
    # Another process cuts the file down and grows it back, as fast as it can.
    toggler = subprocess.Popen([sys.executable, "-c", f"""
import os, sys
data = open({path!r}, 'rb').read()
fd = os.open({path!r}, os.O_WRONLY)
while True:
    os.ftruncate(fd, {rb.ORBITRAP_FIRST_OFFSET + 40000 + 100})
    os.ftruncate(fd, 0)
    os.pwrite(fd, data, 0)
"""])
    try:
        for _ in range(1000):
            peaks = reader.native_get_peaks(3)
            assert peaks is None or peaks == full
            reader.get_trailer_extra(2)
            reader.get_error_logs()
            try:
                reader.initialize_caches()
            except PanicException:
                pass
            assert reader.num_scans == 145 and len(reader.list_spectra()) == 145
    finally:
        toggler.kill()
        toggler.wait()
    assert os.path.getsize(path) <= size


def test_many_threads_on_one_reader(tmp_path):
    path = sample().write(str(tmp_path / "orbitrap" / "t.raw"))
    reader = RawFileReader(path)
    expected = (file_results(reader), cache_results(reader))
    failures = []

    def work():
        try:
            for k in range(40):
                if k % 5 == 0:
                    try:
                        reader.initialize_caches()
                    except RuntimeError as e:
                        assert str(e) == "Already borrowed"
                got = (file_results(reader), cache_results(reader))
                assert got == expected
        except BaseException as e:  # report, do not lose, a thread's failure
            failures.append(e)

    threads = [threading.Thread(target=work) for _ in range(8)]
    for t in threads:
        t.start()
    for t in threads:
        t.join()
    assert not failures, failures[0]
