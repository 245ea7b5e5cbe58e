"""Straightforward whole-file models of the reader's algorithms.

They read the file as one bytes object and follow each rule literally; the
tests compare the module, which reads only the ranges it needs, with them.
"""

import re
import struct

import rawbuilder as rb


class ModelPanic(Exception):
    pass


def _unpack(fmt, data, offset):
    return struct.unpack_from("<" + fmt, data, offset)[0]


def build_caches(data, path, version):
    """num_scans and the six caches, as lists, or ModelPanic(message)."""
    length = len(data)
    n = rb.scan_count(version)
    small = "small.RAW" in path
    orbitrap = "orbitrap" in path

    offsets = []
    if small:
        offsets = list(rb.SMALL_SCAN_OFFSETS) + [0] * (n - 10)
    elif orbitrap:
        running = rb.ORBITRAP_FIRST_OFFSET
        for i in range(n):
            p = rb.ORBITRAP_RT_START + rb.ORBITRAP_RT_STRIDE * i
            if p > length:
                if length < p - 4:
                    raise ModelPanic(f"range start index {p - 4} out of range for slice of length {length}")
                raise ModelPanic(f"range end index {p} out of range for slice of length {length}")
            offsets.append(running)
            running += _unpack("I", data, p - 4)

    caches = {
        "num_scans": n,
        "rt": [0.0] * n,
        "injection_time": [0.0] * n,
        "scan_offsets": [0] * n,
        "master_scan": [0] * n,
        "charge": [0] * n,
        "monomz": [0.0] * n,
    }
    for i in range(n):
        if orbitrap:
            slot = rb.TRAILER_START + rb.TRAILER_STRIDE * i
            if slot + 76 <= length:
                caches["injection_time"][i] = _unpack("f", data, slot + 12)
                caches["master_scan"][i] = _unpack("i", data, slot + 62)
                caches["monomz"][i] = _unpack("d", data, slot + 66)
                caches["charge"][i] = data[slot + 74]
        elif version == 57 and small:
            record = rb.INJECTION_START + rb.INJECTION_STRIDE * i
            if record + 40 <= length:
                caches["injection_time"][i] = _unpack("f", data, record)
                caches["master_scan"][i] = -1
    if small or orbitrap:
        start, stride = (
            (rb.SMALL_RT_START, rb.SMALL_RT_STRIDE) if small else (rb.ORBITRAP_RT_START, rb.ORBITRAP_RT_STRIDE)
        )
        for i in range(n):
            if start + stride * i + 8 <= length:
                caches["rt"][i] = _unpack("d", data, start + stride * i)
    for k in range(min(len(offsets), n)):
        caches["scan_offsets"][k] = offsets[k]
    return caches


def _peaks_12(data, start):
    length = len(data)
    limit = min(start + 10000, length)
    held = None
    p = start
    while p < limit and p + 12 < length:
        count = _unpack("I", data, p)
        if 11 <= count <= 199999 and p + 4 + 12 * count <= length:
            m1 = _unpack("d", data, p + 4)
            m2 = _unpack("d", data, p + 16)
            if 50.0 < m1 < 5000.0 and not m2 < m1 + (-0.001):
                held = ([_unpack("d", data, p + 4 + 12 * i) for i in range(count)],
                        [_unpack("f", data, p + 12 + 12 * i) for i in range(count)])
                if count > 50:
                    return held
        p += 1
    return held


def _accept_8(data, p, minimum):
    length = len(data)
    count = _unpack("I", data, p)
    if not (minimum <= count <= 199999 and p + 4 + 8 * count <= length):
        return None
    if not 50.0 < _unpack("f", data, p + 4) < 5000.0:
        return None
    return ([_unpack("f", data, p + 4 + 8 * i) for i in range(count)],
            [_unpack("f", data, p + 8 + 8 * i) for i in range(count)])


def _peaks_8(data, start):
    for offset in (190, 124, 0):
        if start + offset + 4 <= len(data):
            found = _accept_8(data, start + offset, 11)
            if found:
                return found
    for p in range(start, start + 512):
        if p + 4 > len(data):
            return None
        found = _accept_8(data, p, 101)
        if found:
            return found
    return None


def native_get_peaks(data, caches, version, scan_num):
    """(m/z list, intensity list) of a scan, or None."""
    index = (scan_num - 1) & 0xFFFFFFFF
    if index >= caches["num_scans"] or index >= len(caches["scan_offsets"]):
        return None
    start = caches["scan_offsets"][index]
    if start >= len(data):
        return None
    return _peaks_12(data, start) if version == 66 else _peaks_8(data, start)
WHITE_SPACE = "\t\n\x0b\x0c\r \x85\xa0\u1680" + "".join(map(chr, range(0x2000, 0x200B))) + "\u2028\u2029\u202f\u205f\u3000"
NUMBER = re.compile(r"[+-]?(?:(?:[0-9]+\.?[0-9]*|\.[0-9]+)(?:[eE][+-]?[0-9]+)?|(?i:inf|infinity|nan))")


def _text_field(data, offset, width):
    try:
        text = data[offset:offset + width].decode("utf-8")
    except UnicodeDecodeError:
        return None
    return text.strip(WHITE_SPACE) or None


def trailer_extra(data, path, version, caches, scan_number):
    """The dict of get_trailer_extra, for a file read in full without error."""
    i = scan_number - 1
    if not 0 <= i < caches["num_scans"]:
        return {}
    extra = {
        "Ion Injection Time (ms)": caches["injection_time"][i],
        "Master Scan Number": caches["master_scan"][i],
        "Charge State": caches["charge"][i],
        "Monoisotopic M/Z": caches["monomz"][i],
        "Precursor Mass": caches["monomz"][i],
    }
    if not (version == 66 and "orbitrap" in path):
        extra["MS Order"] = 1
        return extra
    s = rb.TRAILER_START + rb.TRAILER_STRIDE * i
    if s + 140 > len(data):
        return extra
    extra["Elapsed Scan Time (sec)"] = _unpack("f", data, s + 16)
    extra["Orbitrap Resolution"] = _unpack("I", data, s + 21)
    extra["MS Order"] = data[s + 29] + 1
    hcd = _text_field(data, s + 100, 16)
    if hcd is not None:
        extra["HCD Energy eV"] = hcd
        extra["Activation Type"] = "HigherEnergyCollisionalDissociation"
    collision = _text_field(data, s + 75, 16)
    if collision is not None and NUMBER.fullmatch(collision):
        extra["Collision Energy"] = float(collision)
    isolation = _unpack("f", data, s + 125)
    if isolation > 0:
        extra["Isolation Width"] = isolation
    agc = _text_field(data, s, 13)
    if agc is not None:
        extra["AGC"] = agc
    return extra


class _CodeUnits:
    def __init__(self, data):
        self.view = data[:len(data) // 2 * 2]
        self.units = memoryview(self.view).cast("H")

    def anchor(self, word):
        needle = word.encode("utf-16-le")
        at = self.view.find(needle)
        while at >= 0 and at % 2:
            at = self.view.find(needle, at + 1)
        return None if at < 0 else at // 2

    def run(self, q):
        """The run's end and its text, or None if it does not decode."""
        e = q
        while e < len(self.units) and self.units[e] >= 0x20:
            e += 1
        try:
            return e, self.view[2 * q:2 * e].decode("utf-16-le")
        except UnicodeDecodeError:
            return e, None

    def skip(self, k, skipped):
        while k < len(self.units) and skipped(self.units[k]):
            k += 1
        return k


def status_log_labels(data):
    units = _CodeUnits(data)
    q = units.anchor(rb.LABELS_ANCHOR)
    labels = []
    if q is None:
        return labels
    for _ in range(300):
        e, text = units.run(q)
        if text:
            labels.append(text)
        k = units.skip(e + 1, lambda u: not 0x20 <= u <= 0x7E)
        if k >= len(units.units):
            break
        if len(labels) >= 2 and len(labels[-1].encode("utf-8")) < 2:
            break
        q = k
    return labels


def error_logs(data):
    units = _CodeUnits(data)
    q = units.anchor(rb.ERRORS_ANCHOR)
    messages = []
    if q is None:
        return messages
    for _ in range(100):
        e, text = units.run(q)
        if text and text not in messages:
            messages.append(text)
        k = units.skip(e + 1, lambda u: u < 0x20)
        if k >= len(units.units) or units.units[k] > 0x100:
            break
        q = k
    return messages


def instrument_method(data):
    if len(data) < 5:
        return ""
    s = data[:rb.METHOD_PREFIX].find(b"<?xml")
    if s < 0:
        return ""
    try:
        text = data[s:min(s + rb.METHOD_WINDOW, len(data))].decode("utf-8")
    except UnicodeDecodeError:
        return ""
    for tag in ["</InstrumentMethod>", "</CmData>"]:
        end = text.find(tag)
        if end >= 0:
            return text[:end + len(tag)]
    return text
