"""The status-log labels, the error-log messages and the instrument method."""

import gc
import os
import random
import tracemalloc

import pytest

import model
import rawbuilder as rb
from conftest import replace_with_directory, replace_with_fifo, run_python, velmaro

RawFileReader = velmaro.RawFileReader
L, E = rb.LABELS_ANCHOR, rb.ERRORS_ANCHOR
CHUNK = 256 << 10  # the reader's read size; boundaries around its multiples are tested
KEPT = 4 << 20  # the longest run the reader keeps in memory rather than reading again
PREFIX, WINDOW = rb.METHOD_PREFIX, rb.METHOD_WINDOW


def texts(reader):
    return reader.get_status_log_labels(), reader.get_error_logs(), reader.get_instrument_method(0)


def read_back(write, image):
    return texts(RawFileReader(write(image.header(version=57))))


def image_with(*pieces, length=None):
    image = rb.RawImage(40)
    for offset, data in pieces:
        image.put(offset, rb.utf16(data) if isinstance(data, str) else data)
    if length is not None:
        image.length = length
    return image


@pytest.mark.parametrize(
    "pieces,labels",
    [
        ([(1000, L + "\0Temp")], [L, "Temp"]),
        ([(1001, L + "\0Temp")], []),
        ([(1000, (L + "\0Temp").encode())], []),
        ([(1001, L), (3000, L + "\0Temp")], [L, "Temp"]),
        ([(CHUNK - 10, L + "\0Temp")], [L, "Temp"]),
        ([(CHUNK - 11, L + "\0Temp")], []),
        # The anchor's last code unit is the first of the next chunk.
        ([(CHUNK - 22, L + "\0Temp")], [L, "Temp"]),
        ([(3 * CHUNK - 22, L + "\0Temp")], [L, "Temp"]),
        ([(1000, L + "\0\0\0A1\0B2")], [L, "A1", "B2"]),
        ([(1000, L + "\0Temp \u00b0C\0Next")], [L, "Temp \u00b0C", "Next"]),
        ([(1000, L + "\0\u00b0\u4e00\x7fTemp")], [L, "Temp"]),
        ([(1000, L + "\0Aa\0Aa")], [L, "Aa", "Aa"]),
        ([(1000, L + "\0Aa\U0001F600")], [L, "Aa\U0001F600"]),
        ([(1000, L + "\0x\0More")], [L, "x"]),
        ([(1000, L + "\0x\0")], [L, "x"]),
        ([(1000, L + "\ud800\0x\0More\0y\0Z")], ["x", "More", "y"]),
        ([(1000, L + "\0Aa\udc00b\0Cc")], [L, "Cc"]),
        ([(1000, L + "\0Aa\ud83d")], [L]),
        ([(1000, L + "\0\u00e9\0Cc")], [L, "Cc"]),
    ],
)
def test_status_log_labels(write, pieces, labels):
    image = image_with(*pieces)
    assert read_back(write, image)[0] == labels == model.status_log_labels(image.read())


@pytest.mark.parametrize(
    "pieces,messages",
    [
        ([(2000, E + "\0Oops\0Oops\0Other")], [E, "Oops", "Other"]),
        ([(2001, E + "\0Oops")], []),
        ([(CHUNK - 50, E + "\0Oops")], [E, "Oops"]),
        ([(2000, E + "\0Oops\0\u4e00Next")], [E, "Oops"]),
        ([(2000, E + "\0Oops\0\u0100Next")], [E, "Oops", "\u0100Next"]),
        ([(2000, E + "\0\u00b0C\x01\x1fx\0y")], [E, "\u00b0C", "x", "y"]),
        ([(2000, E + "\0a\x7fb")], [E, "a\x7fb"]),
        ([(2000, E + "\0bad\udc00\0good\0\ud83d\ude00")], [E, "good"]),
        ([(2000, E + "\0Oops\0"), (6000, "Later")], [E, "Oops", "Later"]),
    ],
)
def test_error_logs(write, pieces, messages):
    image = image_with(*pieces)
    assert read_back(write, image)[1] == messages == model.error_logs(image.read())


@pytest.mark.parametrize(
    "anchor,runs,method,expected",
    [
        (L, ["Label%03d" % k for k in range(350)], "get_status_log_labels", 300),
        # An invalid run counts as examined.
        (L, ["Label%03d" % k + "\udc00" * (k % 2) for k in range(350)], "get_status_log_labels", 151),
        (E, ["Warning %d" % k for k in range(150)], "get_error_logs", 100),
        (E, ["Warning %d" % (k // 2) for k in range(150)], "get_error_logs", 51),
    ],
)
def test_run_limits(write, anchor, runs, method, expected):
    image = image_with((CHUNK - 500, "\0".join([anchor] + runs)))
    result = getattr(RawFileReader(write(image.header(version=57))), method)()
    assert len(result) == expected
    assert result == (model.status_log_labels if anchor == L else model.error_logs)(image.read())


def method_image(offset, text, length=None):
    image = rb.RawImage(40).put(offset, text.encode("utf-8") if isinstance(text, str) else text)
    if length is not None:
        image.length = length
    return image


@pytest.mark.parametrize(
    "offset,text,length,expected",
    [
        (PREFIX - 5, "<?xml a", None, "<?xml a"),
        (PREFIX - 4, "<?xml a", None, ""),
        (CHUNK - 2, "<?xml<a/></CmData><b/></InstrumentMethod>tail", None, "<?xml<a/></CmData><b/></InstrumentMethod>"),
        # The declaration's last byte is the first of the next chunk.
        (CHUNK - 4, "<?xml<a/></CmData>", None, "<?xml<a/></CmData>"),
        (3 * CHUNK - 4, "<?xml<a/></CmData>", None, "<?xml<a/></CmData>"),
        (77, "<?xml<a/></CmData>tail</CmData>", None, "<?xml<a/></CmData>"),
        (77, "<?xml" + "x" * WINDOW, None, "<?xml" + "x" * (WINDOW - 5)),
        (77, "<?xml" + "x" * (WINDOW - 6) + "\u20ac", None, ""),
        (77, "<?xml" + "x" * (WINDOW - 8) + "\u20ac", None, "<?xml" + "x" * (WINDOW - 8) + "\u20ac"),
        # The cut splits a character after the closing tag: the window as a whole is not text.
        (77, "<?xml" + "x" * (WINDOW - 19) + "</CmData>\xe9\xe9\xe9", None, ""),
        (77, b"<?xml\xff</CmData>", None, ""),
        (77, b"<?xml</CmData>" + b"x" * WINDOW + b"\xff", None, "<?xml</CmData>"),
        (77, "<?xml \u00e9 end", 88, "<?xml \u00e9 en"),
        (77, "<?xml \u00e9 end", 84, ""),
        (77, "<?xm", None, ""),
    ],
)
def test_instrument_method(write, offset, text, length, expected):
    image = method_image(offset, text, length)
    reader = RawFileReader(write(image))
    assert reader.get_instrument_method(0) == reader.get_instrument_method(_index=7) == expected
    assert expected == model.instrument_method(image.read())


def test_instrument_method_index_must_be_u32(reader):
    with pytest.raises(OverflowError, match="^out of range integral type conversion attempted$"):
        reader.get_instrument_method(-1)


@pytest.mark.parametrize("change", [os.remove, replace_with_directory, replace_with_fifo,
                                    lambda path: os.truncate(path, 4), lambda path: os.truncate(path, 0)])
def test_unreadable_or_tiny_files_give_empty_results(write, change):
    image = image_with((100, b"<?xml</CmData>"), (200, L + "\0Temp\0x"), (400, E + "\0Oops"))
    path = write(image)
    reader = RawFileReader(path)
    assert texts(reader) == ([L, "Temp", "x"], [E, "Oops"], "<?xml</CmData>")
    change(path)
    assert texts(reader) == ([], [], "")


@pytest.mark.parametrize("end,labels", [("", [L + "a", "Next"]), ("\ud800", ["Next"])])
def test_runs_longer_than_the_reader_keeps_in_memory(write, end, labels):
    # Surrogate pairs straddle the file's chunk boundaries, and the pieces in
    # which a long run is read again.
    long_run = "a" + "\U0001F600" * (3 * KEPT // 8)  # 1.5 times KEPT, 4 bytes each
    # The second log starts past the first's end, 2 bytes into a chunk.
    image = image_with((CHUNK - 8, E + long_run + "\0Tail\0\u4e00"),
                       (2 * KEPT + 4 * CHUNK + 2, L + long_run + end + "\0Next"))
    labels = [label.replace(L + "a", L + long_run) for label in labels]
    assert read_back(write, image)[:2] == (labels, [E + long_run, "Tail"])


# What the random logs are drawn from: mostly plain runs and separators, and
# at a rate chosen per file, those that end a list or make a run invalid.
SEPARATORS = ["\0", "\0\0\0", "\x01", "\x1f", "\0\u00b0\0", "\0\x7f", "\0\u0085", "\0\u0100"]
RARE_SEPARATORS = ["\0\u4e00", "\0\ud800", "\0x\0"]
WORDS = ["Temp", "Ion Gauge (E-5 Torr)", "Vac \u00b0C", "\u0100mp", "ok\U0001F600", "x\x7fy", "Aux Gas Flow", "ab"]
RARE_WORDS = ["Aa\udc00", "\ud83dZ", "x", "\u4e00\u4e01"]


def random_log(rng, anchor):
    rare = rng.choice([0, 0.003, 0.03, 0.2])
    runs = [anchor + rng.choice(["", " (mA)", "\ud800" * (rng.random() < rare)])]
    for _ in range(rng.choice([2, 30, 120, 320])):
        separator = rng.choice(RARE_SEPARATORS if rng.random() < rare else SEPARATORS)
        runs.append(separator + rng.choice(RARE_WORDS if rng.random() < rare else WORDS + runs[-3:]))
    return "".join(runs)


def random_place(rng, width):
    """Near a chunk boundary or the method prefix's end, mostly at even offsets."""
    offset = max(40, rng.choice([CHUNK, 2 * CHUNK, 3 * CHUNK, PREFIX, 5 * CHUNK]) + rng.randrange(-width, 40))
    return offset & ~1 if rng.random() < 0.8 else offset | 1


def random_method(rng):
    rare = rng.choice([0, 0.01, 0.1])
    pieces = ["<a/>", "x" * rng.randrange(1, 5000), "</CmData>", "</InstrumentMethod>", "\u00e9", "\u20ac",
              "\U0001F600"]
    weights = [10, 10, 0.5, 0.5, rare, rare, rare]
    body = "".join(rng.choices(pieces, weights, k=rng.randrange(1, 120)))
    return b"<?xml" + body.encode("utf-8") + (rng.choice([b"\xff", b"\xe2\x82"]) if rng.random() < 0.2 else b"")


@pytest.mark.parametrize("seed", range(40))
def test_random_files_match_the_model(write, seed):
    rng = random.Random(seed)
    image = rb.RawImage(40)
    for anchor in rng.sample([L, E, L, E], rng.randrange(1, 5)):
        text = random_log(rng, anchor)
        if rng.random() < 0.3:  # copies that must not be found
            image.put(random_place(rng, 100) | 1, rb.utf16(text))
            image.put(random_place(rng, 100), text.encode("utf-8", "surrogatepass"))
        image.put(random_place(rng, 4 * len(text)), rb.utf16(text))
    for _ in range(rng.randrange(3)):
        method = random_method(rng)
        image.put(rng.choice([random_place(rng, 40), PREFIX - rng.randrange(10),
                              random_place(rng, WINDOW + len(method))]), method)
    image.length = rng.choice([image.length, image.length + 1, image.length - rng.randrange(1, 3000)])
    data = image.read()
    expected = (model.status_log_labels(data), model.error_logs(data), model.instrument_method(data))
    assert read_back(write, image) == expected


def test_one_streaming_read_in_bounded_memory(write):
    size = 1 << 30
    # A label run of 64 MiB that proves invalid at its end must not be held in memory.
    invalid = rb.utf16(L) + b"A\0" * (32 << 20) + rb.utf16("\ud800\0Next\0Ok\0x")
    image = rb.RawImage(size).put(100 << 20, invalid).put(size - 5000, rb.utf16(E + "\0Oops"))
    path = write(image)
    code = f"""if True:
        import velmaro
        from conftest import bytes_read
        def kib(field):
            with open("/proc/self/status") as f:
                return int(next(line for line in f if line.startswith(field)).split()[1])
        reader = velmaro.RawFileReader({path!r})
        for method in ["get_error_logs", "get_status_log_labels", "get_instrument_method"]:
            with open("/proc/self/clear_refs", "w") as f:
                f.write("5")
            rss, before = kib("VmRSS:"), bytes_read()
            result = getattr(reader, method)(*([0] if method == "get_instrument_method" else []))
            print(method, result, bytes_read() - before, kib("VmHWM:") - rss)
    """
    result = run_python(code, timeout=300)
    assert result.returncode == 0, result.stderr
    lines = [line.rsplit(" ", 2) for line in result.stdout.splitlines()]
    assert [line[0] for line in lines] == [f"get_error_logs {[E, 'Oops']}", "get_status_log_labels ['Next', 'Ok', 'x']",
                                           "get_instrument_method "]
    read = [int(line[1]) for line in lines]
    assert size <= read[0] < size + 4096 and read[1] < size and read[2] < PREFIX + 4096
    assert max(int(line[2]) for line in lines) < 16 << 10


def test_repeated_calls_do_not_leak(write):
    image = rb.orbitrap_image(66).trailer(0, hcd="27", collision="30", agc="on", isolation=1.0)
    image.put(100, b"<?xml</CmData>").text16(image.length + 2, E, "Oops").text16(image.length + 2, L, "Temp", "x")
    reader = RawFileReader(write(image, "orbitrap/x.raw"))
    calls = [lambda: reader.get_trailer_extra(1), reader.get_status_log_labels, reader.get_error_logs,
             lambda: reader.get_instrument_method(0)]

    def traced_after(rounds):
        for _ in range(rounds):
            for call in calls:
                assert call()
        gc.collect()
        return tracemalloc.get_traced_memory()[0]

    tracemalloc.start()
    try:
        baseline = traced_after(20)
        assert traced_after(300) - baseline < 4096
    finally:
        tracemalloc.stop()
