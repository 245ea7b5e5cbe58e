"""get_trailer_extra: the cached values and the decoded trailer slot."""

import os
import random
import struct

import pytest

import model
import rawbuilder as rb
from conftest import bytes_read, replace_with_directory, replace_with_fifo, velmaro

RawFileReader = velmaro.RawFileReader
CACHE_KEYS = ["Ion Injection Time (ms)", "Master Scan Number", "Charge State", "Monoisotopic M/Z", "Precursor Mass"]
SLOT_KEYS = ["Elapsed Scan Time (sec)", "Orbitrap Resolution", "MS Order", "HCD Energy eV", "Activation Type",
             "Collision Energy", "Isolation Width", "AGC"]
NAN = float("nan")
INF = float("inf")


def slot_end(i):
    return rb.TRAILER_START + rb.TRAILER_STRIDE * i + 140


def by_bits(extra):
    """Items in order, floats by their bits, so that NaN equals NaN and -0.0 is not 0.0."""
    return [(k, struct.pack("<d", v) if isinstance(v, float) else v) for k, v in extra.items()]


def extra_of(write, name="orbitrap/x.raw", scan=1, length=None, **fields):
    image = rb.orbitrap_image(66).trailer(scan - 1, **fields)
    if length is not None:
        image.length = length
    return RawFileReader(write(image, name)).get_trailer_extra(scan)


def test_every_key_in_order(write):
    image = rb.orbitrap_image(66).trailer(2, agc="on", injection=12.5, elapsed=0.25, resolution=120000,
                                          ms_order_byte=1, master=1, mono=445.125, charge=2, collision="35.0",
                                          hcd="27", isolation=1.5)
    extra = RawFileReader(write(image, "orbitrap/x.raw")).get_trailer_extra(3)
    # The AGC text is 13 bytes wide and its last byte is the injection time's first (0x00).
    assert list(extra.items()) == [
        ("Ion Injection Time (ms)", 12.5), ("Master Scan Number", 1), ("Charge State", 2),
        ("Monoisotopic M/Z", 445.125), ("Precursor Mass", 445.125), ("Elapsed Scan Time (sec)", 0.25),
        ("Orbitrap Resolution", 120000), ("MS Order", 2), ("HCD Energy eV", "27"),
        ("Activation Type", "HigherEnergyCollisionalDissociation"), ("Collision Energy", 35.0),
        ("Isolation Width", 1.5), ("AGC", "on" + " " * 10 + "\0")]


@pytest.mark.parametrize("version,name", [(57, "orbitrap/x.raw"), (66, "Orbitrap/x.raw"), (66, "plain.raw"),
                                          (1234, "orbitrap/x.raw")])
def test_other_files_give_the_cached_values_and_ms_order_1(write, version, name):
    image = rb.orbitrap_image(version).trailer(0, injection=3.5, master=9, charge=4, mono=512.25, ms_order_byte=7)
    path = write(image, name)
    reader = RawFileReader(path)
    os.remove(path)  # the file is not read again
    cached = [reader.get_injection_time(1), reader.get_master_scan(1), reader.get_charge_state(1),
              reader.get_monoisotopic_mz(1), reader.get_monoisotopic_mz(1), 1]
    assert list(reader.get_trailer_extra(1).items()) == list(zip(CACHE_KEYS + ["MS Order"], cached))


@pytest.mark.parametrize("version,scans", [(66, [0, 146, 2**32 - 1]), (57, [0, 49, 146])])
def test_scans_out_of_range_give_an_empty_dict(write, version, scans):
    reader = RawFileReader(write(rb.orbitrap_image(version), "orbitrap/x.raw"))
    assert [reader.get_trailer_extra(s) for s in scans] == [{}] * len(scans)


@pytest.mark.parametrize("change", [os.remove, replace_with_directory, replace_with_fifo,
                                    lambda path: os.truncate(path, slot_end(4) - 1)])
def test_unreadable_slot_gives_the_five_cached_keys(write, change):
    path = write(rb.orbitrap_image(66).trailer(4, charge=3, ms_order_byte=1), "orbitrap/x.raw")
    reader = RawFileReader(path)
    change(path)
    extra = reader.get_trailer_extra(5)
    assert list(extra) == CACHE_KEYS and extra["Charge State"] == 3


@pytest.mark.parametrize("scan", [1, 145])
@pytest.mark.parametrize("short,keys", [(0, CACHE_KEYS + SLOT_KEYS), (1, CACHE_KEYS)])
def test_the_file_must_hold_the_whole_slot(write, scan, short, keys):
    fields = dict(agc="AGC", hcd="27", collision="30", isolation=2.0)
    assert list(extra_of(write, scan=scan, length=slot_end(scan - 1) - short, **fields)) == keys


@pytest.mark.parametrize(
    "fields,key,value",
    [
        ({"ms_order_byte": 0}, "MS Order", 1),
        ({"ms_order_byte": 255}, "MS Order", 256),
        ({"resolution": 0xFFFFFFFF}, "Orbitrap Resolution", 4294967295),
        ({"elapsed": -INF}, "Elapsed Scan Time (sec)", -INF),
        ({"isolation": 0.0}, "Isolation Width", None),
        ({"isolation": -0.0}, "Isolation Width", None),
        ({"isolation": -1.0}, "Isolation Width", None),
        ({"isolation": NAN}, "Isolation Width", None),
        ({"isolation": INF}, "Isolation Width", INF),
        ({"isolation": 1e-45}, "Isolation Width", 1.401298464324817e-45),
        ({"hcd": " " * 16}, "HCD Energy eV", None),
        ({"hcd": "\t\n\x0b\x0c\r\x85\xa0 27 "}, "HCD Energy eV", "27"),
        ({"hcd": "\u1680\u2000\u200a27\u2028"}, "HCD Energy eV", "27"),
        ({"hcd": "\u2029 2\u20077"}, "HCD Energy eV", "2\u20077"),
        ({"hcd": "\u202f\u205f27 eV\u3000"}, "HCD Energy eV", "27 eV"),
        # Not White_Space, though some libraries trim them.
        ({"hcd": "\x1c27\x1f"}, "HCD Energy eV", "\x1c27\x1f"),
        ({"hcd": "\u200b27\ufeff"}, "HCD Energy eV", "\u200b27\ufeff"),
        ({"hcd": "\u180e27"}, "HCD Energy eV", "\u180e27"),
        ({"hcd": b"27"}, "HCD Energy eV", "27" + "\0" * 14),
        ({"hcd": "\U0001F600"}, "HCD Energy eV", "\U0001F600"),
        ({"hcd": b"27 \xff"}, "HCD Energy eV", None),
        ({"hcd": b"x" * 15 + b"\xe2"}, "HCD Energy eV", None),
        ({"hcd": b"\xed\xa0\x80"}, "HCD Energy eV", None),
        ({"hcd": b"\xc0\xaf"}, "HCD Energy eV", None),
        ({"hcd": b"\xf4\x90\x80\x80"}, "HCD Energy eV", None),
        ({"agc": b"x" * 11 + b"\xc3"}, "AGC", None),
        ({"agc": b"x" * 11 + b"\xc3\xa9"}, "AGC", "x" * 11 + "\xe9"),
    ],
)
def test_slot_fields(write, fields, key, value):
    extra = extra_of(write, **fields)
    assert by_bits({key: extra[key]} if key in extra else {}) == by_bits({key: value} if value is not None else {})
    assert ("Activation Type" in extra) == ("HCD Energy eV" in extra)


@pytest.mark.parametrize(
    "text,value",
    [
        ("35.0", 35.0), ("+35", 35.0), ("-1.5e3", -1500.0), (".5", 0.5), ("5.", 5.0), ("1E+2", 100.0),
        ("007", 7.0), ("-0", -0.0), ("0.1", 0.1), ("9007199254740993", 9007199254740992.0),
        ("1e400", INF), ("-1e-400", -0.0), ("2.4e-324", 0.0), ("2.5e-324", 5e-324),
        ("1.797693135e308", INF), ("17976931348e298", float("17976931348e298")),
        ("inf", INF), ("-Infinity", -INF), ("+iNf", INF), ("NaN", NAN), ("-nan", -NAN),
        (".", None), ("", None), ("+", None), ("e5", None), ("1e", None), ("1e+", None), ("1.2.3", None),
        ("1_000", None), ("1 0", None), ("0x10", None), ("1,5", None), ("nan(1)", None), ("infin", None),
        ("\u0663", None), ("\uff11", None), ("--1", None), ("1e5.0", None), ("35.0\0", None),
    ],
)
def test_collision_energy(write, text, value):
    extra = extra_of(write, collision=text)
    expected = {} if value is None else {"Collision Energy": value}
    assert by_bits({k: v for k, v in extra.items() if k == "Collision Energy"}) == by_bits(expected)


def test_collision_energy_padded_with_nul_does_not_parse(write):
    assert "Collision Energy" not in extra_of(write, collision=rb.padded("35.0", 16, b"\0"))


def test_invalid_agc_leaves_only_its_own_key_out(write):
    assert list(extra_of(write, agc=b"\xff", hcd="27", collision="1", isolation=1.0)) == CACHE_KEYS + SLOT_KEYS[:-1]


def random_number(rng):
    text = rng.choice(["", "+", "-"]) + rng.choice(["", "0", "12", "007", "31415926535"])
    text += rng.choice(["", ".", ".5", ".000001"]) + rng.choice(["", "e", "E-", "e+3", "e308", "e-320", "e99"])
    if rng.random() < 0.2:
        at = rng.randrange(len(text) + 1)
        text = text[:at] + rng.choice(["_", " ", "x", "\u0663", "inf", "nan", "\0"]) + text[at:]
    return text


def random_field(rng, width):
    pad = ["\t", " ", "\u3000", "\u00a0", "\u2009", "\r\n"] + ["\x1c", "\0", "\u200b"] * (rng.random() < 0.2)
    text = "".join(rng.choice(pad) for _ in range(rng.randrange(3))) + random_number(rng)
    text += "".join(rng.choice(pad) for _ in range(rng.randrange(3)))
    data = text.encode("utf-8")
    if rng.random() < 0.15:
        data = rng.randbytes(width)
    return rb.padded(data, width, rng.choice([b" ", b" ", b" ", b"\0"]))[:width]


@pytest.mark.parametrize("seed", range(30))
def test_random_slots_match_the_model(write, seed):
    rng = random.Random(seed)
    version = rng.choice([66, 66, 66, 57])
    name = rng.choice(["orbitrap/x.raw", "orbitrap/x.raw", "Orbitrap/x.raw"])
    image = rb.orbitrap_image(version)
    scans = [1, 145] + [rng.randrange(1, 146) for _ in range(6)]
    for scan in scans:
        image.put(rb.TRAILER_START + rb.TRAILER_STRIDE * (scan - 1), rng.randbytes(140))
        image.trailer(scan - 1, collision=random_field(rng, 16), hcd=random_field(rng, 16),
                      agc=random_field(rng, 13))
    image.length = rng.choice([image.length, slot_end(rng.randrange(145)) - rng.randrange(2)])
    path = write(image, name)
    data = image.read()
    caches = model.build_caches(data, path, version)
    reader = RawFileReader(path)
    for scan in scans + [0, 146]:
        assert by_bits(reader.get_trailer_extra(scan)) == by_bits(model.trailer_extra(data, path, version, caches,
                                                                                      scan)), scan


def test_reads_only_the_slot(write):
    image = rb.orbitrap_image(66, length=1 << 30).trailer(144, hcd="27")
    reader = RawFileReader(write(image, "orbitrap/huge.raw"))
    before = bytes_read()
    assert reader.get_trailer_extra(145)["HCD Energy eV"] == "27"
    assert bytes_read() - before < 4096
