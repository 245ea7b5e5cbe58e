"""Straightforward whole-file models of the reader's algorithms.

They read the file as one bytes object and follow each rule literally; the
tests compare the module, which reads only the ranges it needs, with them.
"""

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
