"""Builds synthetic acquisition files for the tests, the demo and the benchmarks.

A file is a length plus structures planted at absolute offsets; it is written
sparse, so a file of several GB costs only the bytes that were planted.
"""

import os
import struct

# Header fields.
VERSION_OFFSET = 36
VERSION_FALLBACK_OFFSET = 12
CREATION_TIME_OFFSET = 16

# Per-scan tables; index i belongs to scan number i + 1.
SMALL_RT_START, SMALL_RT_STRIDE = 1481842, 72
ORBITRAP_RT_START, ORBITRAP_RT_STRIDE = 6464174, 88
ORBITRAP_FIRST_OFFSET = 3666
TRAILER_START, TRAILER_STRIDE = 6514414, 558
INJECTION_START, INJECTION_STRIDE = 1492161, 254
SMALL_SCAN_OFFSETS = (88820, 118112, 105244, 109492, 117780, 124332, 129828, 135892, 295708, 146733)

# Field offsets inside a trailer slot.
TRAILER_FIELDS = {
    "agc": (0, "13s"),
    "injection": (12, "f"),
    "elapsed": (16, "f"),
    "resolution": (21, "I"),
    "ms_order_byte": (29, "B"),
    "master": (62, "i"),
    "mono": (66, "d"),
    "charge": (74, "B"),
    "collision": (75, "16s"),
    "hcd": (100, "16s"),
    "isolation": (125, "f"),
}


# Where the file-level texts are sought.
METHOD_PREFIX = 4194304
METHOD_WINDOW = 200000
LABELS_ANCHOR = "Coulombmeter"
ERRORS_ANCHOR = "Possible spray instability"


def padded(text, width, fill=b" "):
    """A fixed-width text field: `text` (str as UTF-8, or bytes) filled out to `width`."""
    data = text.encode("utf-8") if isinstance(text, str) else bytes(text)
    return data.ljust(width, fill)


def utf16(text):
    """UTF-16LE with lone surrogates kept, as a damaged file would hold them."""
    return text.encode("utf-16-le", "surrogatepass")


def scan_count(version):
    return {57: 48, 66: 145}.get(version, 100)


def orbitrap_min_length(version):
    """The shortest file whose orbitrap-layout length words all lie inside it."""
    return ORBITRAP_RT_START + ORBITRAP_RT_STRIDE * (scan_count(version) - 1)


class RawImage:
    """A file under construction: a length and planted byte strings."""

    def __init__(self, length=40):
        self.length = length
        self.pieces = []

    def put(self, offset, data):
        self.pieces.append((offset, bytes(data)))
        self.length = max(self.length, offset + len(data))
        return self

    def pack(self, offset, fmt, *values):
        return self.put(offset, struct.pack("<" + fmt, *values))

    def header(self, version=None, fallback_version=None, filetime=None):
        if version is not None:
            self.pack(VERSION_OFFSET, "I", version)
        if fallback_version is not None:
            self.pack(VERSION_FALLBACK_OFFSET, "I", fallback_version)
        if filetime is not None:
            self.pack(CREATION_TIME_OFFSET, "Q", filetime)
        return self

    def rt(self, i, minutes, small=False):
        start, stride = (SMALL_RT_START, SMALL_RT_STRIDE) if small else (ORBITRAP_RT_START, ORBITRAP_RT_STRIDE)
        return self.pack(start + stride * i, "d", minutes)

    def length_word(self, i, nbytes):
        """The byte length of scan i's data in the orbitrap layout."""
        return self.pack(ORBITRAP_RT_START - 4 + ORBITRAP_RT_STRIDE * i, "I", nbytes)

    def injection(self, i, ms):
        return self.pack(INJECTION_START + INJECTION_STRIDE * i, "f", ms)

    def trailer(self, i, **fields):
        """Fields of scan i's trailer slot; text fields take bytes, or str,
        which is written as UTF-8 and filled out with spaces."""
        slot = TRAILER_START + TRAILER_STRIDE * i
        for name, value in fields.items():
            offset, fmt = TRAILER_FIELDS[name]
            if isinstance(value, str):
                value = padded(value, int(fmt[:-1]))
            self.pack(slot + offset, fmt, value)
        return self

    def text16(self, offset, *runs, sep="\0"):
        """UTF-16LE runs at a byte offset (which may be odd), joined by `sep`."""
        return self.put(offset, utf16(sep.join(runs)))

    def units(self, offset, units):
        """Raw 16-bit code units at a byte offset."""
        return self.put(offset, struct.pack("<%dH" % len(units), *units))

    def read(self):
        """The whole file as bytes (for models; keep such files small)."""
        data = bytearray(self.length)
        for offset, piece in self.pieces:
            data[offset:offset + len(piece)] = piece
        return bytes(data[:self.length])

    def write(self, path):
        os.makedirs(os.path.dirname(os.path.abspath(path)), exist_ok=True)
        with open(path, "wb") as f:
            f.truncate(self.length)
            for offset, piece in self.pieces:
                if offset < self.length:
                    f.seek(offset)
                    f.write(piece[:self.length - offset])
        return str(path)


def orbitrap_image(version=66, length=None, scan_bytes=1000):
    """The orbitrap layout with every scan `scan_bytes` long, long enough for
    every trailer slot unless `length` says otherwise."""
    image = RawImage(length or TRAILER_START + TRAILER_STRIDE * scan_count(version)).header(version=version)
    for i in range(scan_count(version)):
        image.length_word(i, scan_bytes)
    return image


def peak_block(mz, intensity, layout, count=None):
    """A peak count and its records: layout 12 (double m/z, single intensity,
    format version 66) or 8 (single m/z and intensity)."""
    record = "df" if layout == 12 else "ff"
    body = b"".join(struct.pack("<" + record, m, i) for m, i in zip(mz, intensity))
    return struct.pack("<I", len(mz) if count is None else count) + body


def ramp(count, first=100.0, step=1.25):
    """An acceptable peak list: ascending m/z from `first`."""
    return [first + step * k for k in range(count)], [1000.0 + k for k in range(count)]
