"""The sample acquisition of the demo: a version-66 file in the orbitrap
layout, with peaks, trailer values, both logs and an instrument method.

The demo prints it; tests, examples' tests and the benchmark read it.
"""

import random
import struct

import rawbuilder as rb

SCANS = 145  # a version-66 file
SCAN_BYTES = 12000

STATUS_LOG = ["Coulombmeter (uA)", "Ion Gauge (E-5 Torr)", "Convectron Gauge (Torr)", "Source Temp (\u00b0C)",
              "Capillary Temp (\u00b0C)", "Spray Voltage (kV)", "Sheath Gas Flow", "Aux Gas Flow", "FT Vacuum (E-10 Torr)"]
ERROR_LOG = ["Possible spray instability", "Spray current out of range", "Possible spray instability",
             "Ambient temperature above 30 \u00b0C"]
METHOD = ('<?xml version="1.0" encoding="utf-8"?>\n<InstrumentMethod>\n  <CmData>\n'
          '    <Experiment name="Top4 DDA" duration="3.05 min"/>\n    <Scan type="Full MS" resolution="120000"/>\n'
          '    <Scan type="dd-MS2" activation="HCD" nce="30" isolation="1.6"/>\n  </CmData>\n</InstrumentMethod>\n')


def space_in_low_byte(value):
    """The AGC text's last byte is the injection time's first: a space there
    keeps the text clean, at the cost of a change far below the shown digits."""
    bits = struct.unpack("<I", struct.pack("<f", value))[0]
    return struct.unpack("<f", struct.pack("<I", bits & ~0xFF | 0x20))[0]


def sample_image():
    """A version-66 file in the orbitrap layout: one MS1 scan, then four MS2
    scans of its precursors, over and over; then the texts."""
    rng = random.Random(66)
    image = rb.orbitrap_image(66, scan_bytes=SCAN_BYTES).header(filetime=133000000000000000)
    for i in range(SCANS):
        ms1 = i % 5 == 0
        image.rt(i, 0.5 + 0.021 * i)
        image.trailer(
            i,
            agc="Target 1.0e6" if ms1 else "Target 5.0e4",
            injection=space_in_low_byte(rng.uniform(5, 50) if ms1 else rng.uniform(20, 100)),
            elapsed=rng.uniform(0.03, 0.3),
            resolution=120000 if ms1 else 30000,
            ms_order_byte=0 if ms1 else 1,
            master=0 if ms1 else i - i % 5 + 1,
            mono=0.0 if ms1 else round(rng.uniform(400, 1200), 4),
            charge=0 if ms1 else rng.choice([2, 2, 3, 4]),
            collision="" if ms1 else "30.00",
            hcd="" if ms1 else f"{rng.uniform(25, 45):.2f}",
            isolation=0.0 if ms1 else 1.6,
        )
    # Every scan's data starts with its peak block (12-byte records in version 66).
    for i in range(SCANS):
        count = rng.randrange(60, 400)
        mz = sorted(rng.uniform(150, 2000) for _ in range(count))
        intensity = [rng.lognormvariate(8, 1.5) for _ in range(count)]
        image.put(rb.ORBITRAP_FIRST_OFFSET + SCAN_BYTES * i, rb.peak_block(mz, intensity, 12))
    # After the peak blocks, well inside the first 4 MiB that the method search reads.
    image.put(2000000, METHOD.encode("utf-8"))
    # The error log ends where binary data begins (a unit above 0x100); the
    # status log runs to the end of the file.
    image.text16(image.length + 4096, *ERROR_LOG)
    image.pack(image.length + 2, "I", 0xFFFFFFFF)
    image.text16(image.length + 4096, *STATUS_LOG)
    return image
