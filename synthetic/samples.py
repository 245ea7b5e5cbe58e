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


def random_acquisition(rng, layout, version=None):
    """A plausible acquisition in `layout` ("orbitrap", "small" or "both"),
    drawn from `rng`: rising retention times, trailer slots or injection
    times where the layout has them, and peak blocks at its scan offsets."""
    version = version or rng.choice([57, 66, 63] if layout == "orbitrap" else [57, 66])
    n = rb.scan_count(version)
    record = 12 if version == 66 else 8
    start_rt, step = rng.uniform(0, 30), rng.uniform(0.005, 0.5)
    if layout == "orbitrap":
        scan_bytes = rng.randrange(800, 4000)
        image = rb.orbitrap_image(version, scan_bytes=scan_bytes)
        # Some files hold no retention times or no trailer values: the peaks
        # and the other table must tell the layout then.
        with_rt, with_trailer = rng.choice([(True, True), (True, False), (False, True)])
        for i in range(n):
            if with_rt:
                image.rt(i, start_rt + step * i)
            count = rng.randrange(11, (scan_bytes - 4) // record)
            mz = sorted(rng.uniform(60, 4000) for _ in range(count))
            image.put(rb.ORBITRAP_FIRST_OFFSET + scan_bytes * i,
                      rb.peak_block(mz, [rng.uniform(1, 1e6) for _ in mz], record))
    else:
        image = rb.RawImage().header(version=version)
        with_trailer = layout == "both"
        for i in range(n):
            image.rt(i, start_rt + step * i, small=True)
            if version == 57 and layout == "small":
                image.injection(i, rng.uniform(1, 100))
        # Far enough apart for blocks of up to 20 records.
        for offset in rng.sample(sorted(rb.SMALL_SCAN_OFFSETS)[::2], rng.randrange(1, 6)):
            count = rng.randrange(101, 120) if version != 66 else rng.randrange(11, 20)
            image.put(offset, rb.peak_block(*rb.ramp(count, first=rng.uniform(60, 1000)), record))
    if with_trailer:
        for i in range(n):
            ms1 = i % 4 == 0
            image.trailer(i, injection=rng.uniform(1, 100), master=0 if ms1 else i - i % 4 + 1,
                          charge=0 if ms1 else rng.randrange(1, 5), mono=0.0 if ms1 else rng.uniform(300, 1500),
                          ms_order_byte=0 if ms1 else 1, hcd="" if ms1 else "30.00")
    if version not in (57, 66):  # read from the second place only
        image.header(fallback_version=version)
    return image.header(filetime=rng.randrange(125000000000000000, 135000000000000000))


def large_sample(peaks, scans=SCANS, seed=None):
    """The orbitrap layout with `peaks` peaks in every scan: an MS1 scan and
    four MS2 scans of its precursors, over and over.  The first scan's data
    reaches past the tables, so that the blocks after it can be as large as
    they like."""
    import numpy as np

    rng = np.random.default_rng(peaks if seed is None else seed)
    block_bytes = 4 + 12 * peaks
    image = rb.orbitrap_image(66).header(filetime=133000000000000000)
    after_tables = rb.TRAILER_START + rb.TRAILER_STRIDE * SCANS
    offset = rb.ORBITRAP_FIRST_OFFSET
    for i in range(scans):
        ms1 = i % 5 == 0
        image.rt(i, 0.5 + 0.02 * i).trailer(
            i, ms_order_byte=0 if ms1 else 1, master=0 if ms1 else i - i % 5 + 1, charge=0 if ms1 else 2 + i % 3,
            mono=0.0 if ms1 else float(rng.uniform(400, 1200)), hcd="" if ms1 else "30.00")
        table = np.zeros(peaks, [("mz", "<f8"), ("intensity", "<f4")])
        table["mz"] = np.sort(rng.uniform(150, 2000, peaks))
        table["intensity"] = rng.lognormal(8, 1.5, peaks)
        image.put(offset, np.uint32(peaks).tobytes() + table.tobytes())
        length = after_tables - offset if i == 0 else block_bytes
        image.length_word(i, length)
        offset += length
    assert rb.ORBITRAP_FIRST_OFFSET + block_bytes < rb.ORBITRAP_RT_START - 4, "too many peaks for scan 1"
    return image
