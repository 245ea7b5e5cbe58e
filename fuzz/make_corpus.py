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
    yield "orbitrap_short", seed(cut(orbitrap, begin, begin + 4000), ("B", 2), ("I", 6468309), ("I", begin))

    small = rb.RawImage(40).header(version=57)
    for i in range(48):
        small.rt(i, 1.0 + i, small=True).injection(i, 3.0 + i)
    yield "small_57", seed(cut(small, rb.SMALL_RT_START, small.length), ("B", 1), ("I", small.length),
                           ("I", rb.SMALL_RT_START))
    yield "both_layouts", seed(cut(small, rb.SMALL_RT_START, small.length), ("B", 3 | 16), ("I", 6600000),
                               ("I", rb.SMALL_RT_START))


def peaks_seeds():
    mz, intensity = rb.ramp(60)
    block12 = rb.peak_block(mz, intensity, 12)
    yield "block12", seed(bytes(10) + block12, ("B", 1), ("I", 10 + len(block12) + 6), ("H", 90), ("H", 80))
    small12 = rb.peak_block(*rb.ramp(20), 12)
    yield "held12", seed(small12 + bytes(900) + small12, ("B", 1), ("I", 3000), ("H", 0), ("H", 0))
    block8 = rb.peak_block(*rb.ramp(120, 445.12), 8)
    yield "fixed8", seed(bytes(190) + block8, ("B", 0), ("I", 190 + len(block8)), ("H", 0), ("H", 0))
    yield "scan8", seed(bytes(300) + block8, ("B", 0), ("I", 2000), ("H", 7), ("H", 7))


def trailer_seeds():
    image = rb.RawImage(rb.TRAILER_START + 140).trailer(0, agc=rb.padded("Target 5.0e4", 13), elapsed=0.25,
                                                        resolution=60000, ms_order_byte=1,
                                                        collision=rb.padded("35.0", 16), hcd=rb.padded("30", 16),
                                                        isolation=1.6)
    yield "slot", cut(image, rb.TRAILER_START, rb.TRAILER_START + 140)
    for k, text in enumerate(["35.0", "-1.5e3", "+.5", "5.", "INFINITY", "nan", "3e-324", "1e400",
                              "2.4703282292062327e-324", "0.1E-5"]):
        yield f"number{k}", text.encode()


def texts_seeds():
    labels = rb.utf16("\0".join(["Coulombmeter", "Ion Gauge (E-5 Torr)", "Source Temp (\u00b0C)", "X"]))
    messages = rb.utf16("\0".join(["Possible spray instability", "Spray current low", "Possible spray instability"]))
    method = b'<?xml version="1.0"?><InstrumentMethod><CmData>x</CmData></InstrumentMethod>'
    data = labels + bytes(6) + messages + b"\0\0\xff\xff" + method
    yield "all_three", seed(data, ("B", 0), ("I", 3), ("I", 1))
    yield "odd_offset", seed(data, ("B", 0), ("I", 0), ("I", 1001))
    # Straddling the first 512 KiB chunk boundary and the end of the 4 MiB prefix.
    yield "straddle_chunk", seed(data, ("B", 7), ("I", 2 << 20), ("I", (1 << 19) - 10))
    yield "prefix_end", seed(method, ("B", 7), ("I", 5 << 20), ("I", 4194304 - 3))


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
