"""The peak block search, the peak arrays and the scan list."""

import gc
import os
import random
import struct

import pytest

import model
import rawbuilder as rb
from conftest import SANITIZED, float_bits, rss_bytes, velmaro

np = pytest.importorskip("numpy")
RawFileReader = velmaro.RawFileReader

SCAN1 = rb.ORBITRAP_FIRST_OFFSET  # where scan 1's data starts in the orbitrap layout
SCAN_BYTES = 30000


def block(count, layout, first=100.0, second=None):
    mz, intensity = rb.ramp(count, first)
    if second is not None and count > 1:
        mz[1] = second
    return rb.peak_block(mz, intensity, layout)


def scan_reader(write, version, blocks, length=None):
    """A reader whose scan 1 holds `blocks`: (offset from the scan start, bytes)."""
    image = rb.orbitrap_image(version, scan_bytes=SCAN_BYTES)
    for offset, data in blocks:
        image.put(SCAN1 + offset, data)
    if length is not None:
        image.length = length
    return RawFileReader(write(image, "orbitrap/peaks.raw"))


def found(reader, scan=1):
    """(first m/z, count) of the block found, or None."""
    peaks = reader.native_get_peaks(scan)
    return None if peaks is None else (peaks[0][0], len(peaks[0]))


@pytest.mark.parametrize(
    "blocks,expected",
    [
        ([(0, block(30, 12, 100.0)), (1000, block(20, 12, 200.0))], (200.0, 20)),
        ([(0, block(30, 12, 100.0)), (400, block(60, 12, 300.0)), (2000, block(70, 12, 400.0))], (300.0, 60)),
        ([(0, block(51, 12, 100.0)), (1000, block(20, 12, 200.0))], (100.0, 51)),
        ([(0, block(50, 12, 100.0)), (1000, block(20, 12, 200.0))], (200.0, 20)),
        ([(9999, block(20, 12))], (100.0, 20)),
        ([(10000, block(20, 12))], None),
        ([(0, block(20, 12, 50.0))], None),
        ([(0, block(20, 12, 5000.0))], None),
        ([(0, block(20, 12, 50.000001))], (50.000001, 20)),
        ([(0, block(20, 12, 4999.999))], (4999.999, 20)),
        ([(0, block(20, 12, 300.0, second=300.0 - 0.0005))], (300.0, 20)),
        ([(0, block(20, 12, 300.0, second=300.0 - 0.002))], None),
        ([(0, block(20, 12, float("nan")))], None),
        ([(0, block(20, 12, 300.0, second=float("nan")))], (300.0, 20)),
        ([(0, block(10, 12))], None),
        ([(0, block(11, 12))], (100.0, 11)),
        ([(0, rb.peak_block([100.0, 101.0], [1.0, 1.0], 12, count=200000))], None),
        # A block inside an accepted block of 50 peaks or fewer replaces it.
        ([(0, block(20, 12, 100.0)), (4 + 12 * 5, block(12, 12, 700.0))], (700.0, 12)),
    ],
)
def test_12_byte_search(write, blocks, expected):
    assert found(scan_reader(write, 66, blocks)) == expected


def test_12_byte_search_takes_the_largest_count(write):
    assert found(scan_reader(write, 66, [(0, block(199999, 12))])) == (100.0, 199999)


@pytest.mark.parametrize(
    "blocks,expected",
    [
        # Blocks at 124 and 190 overlap: the later one overwrites the tail of the earlier.
        ([(124, block(20, 8, 124.0)), (190, block(20, 8, 190.0)), (0, block(11, 8, 100.0))], (190.0, 20)),
        ([(124, block(20, 8, 124.0)), (0, block(11, 8, 100.0))], (124.0, 20)),
        ([(190, block(20, 8, 20.0)), (0, block(11, 8, 100.0))], (100.0, 11)),
        ([(300, block(50, 8))], None),
        ([(124, block(50, 8))], (100.0, 50)),
        ([(300, block(100, 8))], None),
        ([(300, block(101, 8))], (100.0, 101)),
        ([(511, block(101, 8))], (100.0, 101)),
        ([(512, block(101, 8))], None),
        ([(0, block(10, 8))], None),
        ([(0, block(11, 8))], (100.0, 11)),
        ([(0, block(20, 8, 50.0))], None),
        ([(0, block(20, 8, 5000.0))], None),
        ([(0, block(20, 8, float("nan")))], None),
        # No second-m/z test in this layout: a descending block is taken.
        ([(0, block(20, 8, 300.0, second=20.0))], (300.0, 20)),
        ([(0, rb.peak_block([100.0], [1.0], 8, count=200000))], None),
    ],
)
def test_8_byte_search(write, blocks, expected):
    assert found(scan_reader(write, 57, blocks)) == expected


def test_8_byte_values_are_widened_singles(write):
    mz = [445.12, 500.5, 600.25] * 5
    reader = scan_reader(write, 1234, [(0, rb.peak_block(mz, [0.1] * 15, 8))])
    peaks = reader.native_get_peaks(1)
    assert peaks[0][0] == 445.1199951171875
    assert peaks[1][0] == struct.unpack("<f", struct.pack("<f", 0.1))[0]


@pytest.mark.parametrize("version,layout", [(66, 12), (57, 8)])
@pytest.mark.parametrize("short", [0, 1])
def test_records_must_end_inside_the_file(write, version, layout, short):
    data = block(30, layout)
    path = write(rb.RawImage(rb.SMALL_SCAN_OFFSETS[0]).header(version=version), "small.RAW")
    with open(path, "ab") as f:
        f.write(data[:len(data) - short])
    peaks = RawFileReader(path).native_get_peaks(1)
    assert (peaks is None) == bool(short)


def test_scan_numbers_outside_the_file(write):
    reader = scan_reader(write, 66, [(0, block(20, 12))])
    for scan in [0, reader.num_scans + 1, 4294967295]:
        assert reader.native_get_peaks(scan) is None
        mz, intensity = reader.get_peaks(scan)
        assert (mz.dtype, intensity.dtype, mz.tolist(), intensity.tolist()) == (
            np.float64, np.float32, [0.0], [0.0])


def test_scans_without_an_offset_all_search_from_zero(write):
    image = rb.RawImage(50000).header(version=57)
    image.put(124, block(20, 8, 321.0))
    reader = RawFileReader(write(image, "plain.raw"))
    results = {tuple(map(tuple, reader.native_get_peaks(s))) for s in range(1, 49)}
    assert len(results) == 1 and next(iter(results))[0][0] == 321.0


def test_file_changes_are_seen_by_the_next_call(write, tmp_path):
    reader = scan_reader(write, 66, [(0, block(20, 12, 100.0))])
    path = os.path.join(tmp_path, "orbitrap/peaks.raw")
    with open(path, "r+b") as f:
        f.seek(SCAN1)
        f.write(block(25, 12, 222.0))
    assert found(reader) == (222.0, 25)
    os.remove(path)
    assert reader.native_get_peaks(1) is None
    assert reader.get_peaks(1)[0].tolist() == [0.0]


def test_arrays_share_the_decoded_values(write):
    mz, intensity = rb.ramp(120, 150.0, 0.37)
    reader = scan_reader(write, 66, [(0, rb.peak_block(mz, intensity, 12))])
    arrays = reader.get_peaks(1)
    lists = reader.native_get_peaks(1)
    for array, values, dtype in zip(arrays, lists, [np.float64, np.float32]):
        assert type(array) is np.ndarray and array.dtype == dtype and array.shape == (120,)
        assert array.flags.c_contiguous and array.flags.writeable and not array.flags.owndata
        assert array.base is not None and not isinstance(array.base, np.ndarray)
        assert float_bits(array.tolist()) == float_bits(values)
    arrays[0][:] = 0.0
    assert reader.get_peaks(1)[0][0] == 150.0


def test_array_memory_lives_as_long_as_its_views(write):
    count = 199999
    reader = scan_reader(write, 66, [(0, block(count, 12, 60.0, 60.0))])
    mz, _ = reader.get_peaks(1)
    view = mz[count - 10:]
    del mz, _
    gc.collect()
    expected = rb.ramp(count, 60.0)[0][count - 10:]
    assert view.tolist() == expected

    before = rss_bytes()
    for _ in range(150):  # 2.4 MB a call: a leak would show as hundreds of MB
        reader.get_peaks(1)
    assert SANITIZED or rss_bytes() - before < 64 << 20


def test_list_spectra_matches_the_scalar_queries(write):
    rng = random.Random(5)
    image = rb.orbitrap_image(57)
    for i in range(48):
        image.rt(i, rng.uniform(0, 90)).trailer(i, injection=rng.uniform(1, 50), master=rng.randrange(-3, 48),
                                                mono=rng.uniform(300, 2000), charge=rng.randrange(256))
    reader = RawFileReader(write(image, "orbitrap/list.raw"))
    spectra = reader.list_spectra()
    assert [s["scan_number"] for s in spectra] == list(range(1, 49))
    for k, summary in enumerate(spectra):
        n = k + 1
        assert list(summary) == ["scan_number", "rt", "injection_time", "master_scan", "charge", "monomz"]
        assert list(summary.values()) == [n, reader.get_rt(n), reader.get_injection_time(n),
                                          reader.get_master_scan(n), reader.get_charge_state(n),
                                          reader.get_monoisotopic_mz(n)]
    assert spectra is not reader.list_spectra() and spectra == reader.list_spectra()


def random_peak_file(rng, version, name):
    """Random blocks, good and bad, near every scan start of a small layout."""
    layout = 12 if version == 66 else 8
    image = rb.RawImage(300000 + rng.randrange(2000)).header(version=version)
    for start in rb.SMALL_SCAN_OFFSETS + (0,):
        for _ in range(rng.randrange(6)):
            count = rng.choice([rng.randrange(5, 60), rng.randrange(90, 130), 10, 11, 50, 51, 100, 101])
            first = rng.choice([rng.uniform(40, 5100), 50.0, 5000.0, float("nan"), 100.0])
            mz, intensity = rb.ramp(count, first, rng.choice([1.0, -0.0005, -0.002, 0.0]))
            offset = start + rng.choice([0, 124, 190, 511, 512, rng.randrange(-20, 10030)])
            image.put(max(offset, 0), rb.peak_block(mz, intensity, layout))
    image.header(version=version)  # over any block planted at the start
    image.length = min(image.length, rng.choice([image.length, rng.randrange(88000, image.length)]))
    return image


@pytest.mark.parametrize("seed", range(16))
def test_random_files_match_the_model(write, seed):
    rng = random.Random(seed)
    version = [66, 57, 1][seed % 3]
    image = random_peak_file(rng, version, "small.RAW")
    path = write(image, "small.RAW")
    reader = RawFileReader(path)
    data = image.read()
    caches = model.build_caches(data, path, version)
    memo = {}
    for scan in range(0, reader.num_scans + 2):
        start = caches["scan_offsets"][scan - 1] if 1 <= scan <= reader.num_scans else None
        if start not in memo:
            memo[start] = model.native_get_peaks(data, caches, version, scan)
        expected = memo[start]
        actual = reader.native_get_peaks(scan)
        if expected is None:
            assert actual is None, scan
        else:
            assert actual is not None, scan
            assert float_bits(actual[0]) == float_bits(expected[0]) and float_bits(actual[1]) == float_bits(
                expected[1]), scan


def test_orbitrap_offsets_follow_the_length_words(write):
    lengths = [5000, 12000, 20000, 15000]
    image = rb.orbitrap_image(66)
    for i, n in enumerate(lengths):
        image.length_word(i, n)
    for k in range(5):
        image.put(SCAN1 + sum(lengths[:k]), block(60 + k, 12, 100.0 + k))
    reader = RawFileReader(write(image, "orbitrap/offsets.raw"))
    assert [found(reader, k + 1) for k in range(5)] == [(100.0 + k, 60 + k) for k in range(5)]
