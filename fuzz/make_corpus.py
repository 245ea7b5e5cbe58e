"""Writes the seed corpus of each fuzz target from the test-file builder.

A seed is the target's data followed by its parameters, last-taken first
(fuzz_input.hpp takes parameters from the end of the input).
Usage: /usr/bin/python3 fuzz/make_corpus.py
"""

import os
import struct
import sys

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, os.path.join(HERE, "..", "synthetic"))

import rawbuilder as rb  # noqa: E402


def seed(data, *params):
    """params: (struct format, value) in the order the target takes them."""
    tail = b"".join(struct.pack("<" + fmt, value) for fmt, value in reversed(params))
    return bytes(data) + tail


def cut(image, begin, end):
    return image.read()[begin:end]


def caches_seeds():
    plain = rb.RawImage(40).header(version=57, filetime=133000000000000000)
    yield "plain_header", seed(plain.read(), ("B", 4), ("I", 40), ("I", 0))

    orbitrap = rb.orbitrap_image(66)
    for i in range(145):
        orbitrap.rt(i, 0.5 + i).trailer(i, injection=10.0 + i, master=i, mono=400.0 + i, charge=i % 5)
    begin = rb.ORBITRAP_RT_START - 4
    yield "orbitrap_66", seed(cut(orbitrap, begin, orbitrap.length), ("B", 2 | 8), ("I", orbitrap.length),
                              ("I", begin))
    # The file ends one byte before a slot's cached fields end, and right at their end.
    for name, cut_at in [("slot_head_short", 75), ("slot_head", 76)]:
        yield name, seed(cut(orbitrap, begin, orbitrap.length), ("B", 2 | 8),
                         ("I", rb.TRAILER_START + 3 * rb.TRAILER_STRIDE + cut_at), ("I", begin))
    yield "orbitrap_short", seed(cut(orbitrap, begin, begin + 4000), ("B", 2), ("I", 6468309), ("I", begin))

    small = rb.RawImage(40).header(version=57)
    for i in range(48):
        small.rt(i, 1.0 + i, small=True).injection(i, 3.0 + i)
    yield "small_57", seed(cut(small, rb.SMALL_RT_START, small.length), ("B", 1), ("I", small.length),
                           ("I", rb.SMALL_RT_START))
    yield "both_layouts", seed(cut(small, rb.SMALL_RT_START, small.length), ("B", 3 | 16), ("I", 6600000),
                               ("I", rb.SMALL_RT_START))


def peaks_seeds():
    # mode: bit 0 the 12-byte layout (version 66), else bit 1 version 57, else 100.
    mz, intensity = rb.ramp(60)
    block12 = rb.peak_block(mz, intensity, 12)
    yield "block12", seed(bytes(10) + block12, ("B", 1), ("I", 10 + len(block12) + 6), ("H", 90), ("H", 80),
                          ("H", 0))
    small12 = rb.peak_block(*rb.ramp(20), 12)
    yield "held12", seed(small12 + bytes(900) + small12, ("B", 1), ("I", 3000), ("H", 0), ("H", 0), ("H", 0))
    # A block of exactly 50 peaks is held, and a later one replaces it.
    held50 = rb.peak_block(*rb.ramp(50), 12)
    yield "held50", seed(held50 + bytes(300) + small12, ("B", 1), ("I", 3000), ("H", 0), ("H", 0), ("H", 0))
    # A block that runs past the search window: the rest is read separately.
    long12 = rb.peak_block(*rb.ramp(100), 12)
    yield "long12", seed(bytes(9000) + long12, ("B", 1), ("I", 9000 + len(long12) + 40), ("H", 0), ("H", 0),
                         ("H", 10100))
    # The last position of each search, with the first read no longer than it.
    yield "last12", seed(bytes(9999) + long12, ("B", 1), ("I", 9999 + len(long12)), ("H", 0), ("H", 0), ("H", 0))
    block8 = rb.peak_block(*rb.ramp(120, 445.12), 8)
    yield "last8", seed(bytes(511) + block8, ("B", 0), ("I", 511 + len(block8) + 8), ("H", 0), ("H", 0),
                        ("H", 0))
    yield "fixed8", seed(bytes(190) + block8, ("B", 2), ("I", 190 + len(block8)), ("H", 0), ("H", 0), ("H", 0))
    yield "scan8", seed(bytes(300) + block8, ("B", 0), ("I", 2000), ("H", 7), ("H", 7), ("H", 600))


def trailer_seeds():
    # mode 3: version 66 with "orbitrap" in the path, the file readable; the
    # third parameter 8 ends the file at the slot's end.
    image = rb.RawImage(rb.TRAILER_START + 140).trailer(0, agc=rb.padded("Target 5.0e4", 13), elapsed=0.25,
                                                        resolution=60000, ms_order_byte=1,
                                                        collision=rb.padded("35.0", 16), hcd=rb.padded("30", 16),
                                                        isolation=1.6)
    slot = cut(image, rb.TRAILER_START, rb.TRAILER_START + 140)
    yield "slot", seed(slot, ("B", 3), ("B", 1), ("B", 8))
    odd = (rb.padded("\u3000A\u00a0", 13) + bytes(3) + slot[16:75] + rb.padded("\t+.5E-3", 16, b"\0")[:16]
           + slot[91:100] + rb.padded("\u2002x y\u200a", 16) + slot[116:])
    yield "texts", seed(odd, ("B", 4), ("B", 145), ("B", 9))
    for k, text in enumerate(["35.0", "-1.5e3", "+.5", "5.", "INFINITY", "nan", "3e-324", "1e400",
                              "2.4703282292062327e-324", "0.1E-5"]):
        yield f"number{k}", text.encode()


def texts_place(offset, slack, large=False):
    """The target's placement word: the data's offset (counted back from 4 MiB
    for a large file) and the file's length past the data."""
    if large:
        return slack // 16 << 18 | offset << 5 | 31
    return slack << 17 | offset << 5


def texts_seeds():
    # mode: bit 0 chunks of up to 4 KiB (else 64 bytes), bit 1 the SSE2 loop,
    # the rest how soon the pair search takes over.
    labels = rb.utf16("\0".join(["Coulombmeter", "Ion Gauge (E-5 Torr)", "Source Temp (\u00b0C)", "X"]))
    messages = rb.utf16("\0".join(["Possible spray instability", "Spray current low", "Possible spray instability"]))
    method = b'<?xml version="1.0"?><InstrumentMethod><CmData>x</CmData></InstrumentMethod>'
    data = labels + bytes(6) + messages + b"\0\0\xff\xff" + method
    yield "all_three", seed(data, ("B", 0), ("H", 5), ("B", 200), ("I", texts_place(3, 1)))
    yield "odd_offset", seed(data, ("B", 4), ("H", 30), ("B", 200), ("I", texts_place(1001, 0)))
    yield "short_runs_kept", seed(data, ("B", 0), ("H", 12), ("B", 6), ("I", texts_place(10, 3)))
    # Many first bytes of the anchors before them: the pair search takes over,
    # in both vector loops.
    crowd = rb.utf16("C" * 100 + "Coulomb" + "P" * 80 + "Coulombmeter\0Pressure\0Possible spray instability")
    crowd += b"<" * 300 + b"<?xm<?xml?></CmData>"
    for mode in (1, 3, 1 | 16 << 2, 3 | 16 << 2):
        yield f"crowd{mode}", seed(crowd, ("B", mode), ("H", 700), ("B", 200), ("I", texts_place(64, 2)))
    # Near the end of the method's 4 MiB prefix.
    yield "prefix_end", seed(method, ("B", 0), ("H", 0), ("B", 200), ("I", texts_place(3, 250000, large=True)))
    yield "prefix_last", seed(method, ("B", 0), ("H", 0), ("B", 200), ("I", texts_place(5, 16, large=True)))


def main():
    for target, seeds in [("caches_fuzz", caches_seeds()), ("peaks_fuzz", peaks_seeds()),
                          ("trailer_fuzz", trailer_seeds()), ("texts_fuzz", texts_seeds())]:
        directory = os.path.join(HERE, "corpus", target)
        os.makedirs(directory, exist_ok=True)
        for name, data in seeds:
            with open(os.path.join(directory, name), "wb") as f:
                f.write(data)


if __name__ == "__main__":
    main()
