"""The Parquet writer: one row per peak, in row groups of a fixed size.
The spectra's own arrays are gathered, not copied; each row group is built
from them here and encoded by pyarrow on a worker thread (which needs no
interpreter lock for it) while the next is gathered."""

from __future__ import annotations

import collections
import concurrent.futures
import os
import re
from typing import Any, Deque

import numpy as np

from ._files import Behind, PendingFile
from .records import Spectrum

COLUMNS = (("scan_number", np.int32), ("mz", np.float64), ("intensity", np.float32), ("rt", np.float64),
           ("ms_level", np.int32), ("master_scan", np.int32), ("precursor_mz", np.float64), ("charge", np.int32))
PEAKS = ("mz", "intensity")
# Row groups waiting for the encoder at most, beside the one it encodes.
GROUP_QUEUE = 1
# Bytes of a file name that were not UTF-8 (os.fsdecode's surrogates).
UNDECODED = re.compile("[\ud800-\udfff]")
# Columns that repeat one value over each scan's rows.  Written plain, as
# the peaks' unique floats are, for dictionary encoding would hash every
# row: LZ4 shrinks their runs to 0.1% of the file, and is the fastest of
# the codecs at it (they are two thirds of pyarrow's encoding time).
PER_SCAN = ("scan_number", "rt", "ms_level", "master_scan", "precursor_mz", "charge")


def schema(source: str) -> Any:
    import pyarrow as pa  # type: ignore[import-untyped, unused-ignore]

    return pa.schema([
        pa.field("scan_number", pa.int32(), nullable=False),
        pa.field("mz", pa.float64(), nullable=False),
        pa.field("intensity", pa.float32(), nullable=False),
        pa.field("rt", pa.float64(), nullable=False, metadata={"unit": "minute"}),
        pa.field("ms_level", pa.int32(), nullable=False),
        pa.field("master_scan", pa.int32(), nullable=False),
        pa.field("precursor_mz", pa.float64(), nullable=False),
        pa.field("charge", pa.int32(), nullable=False),
    ], metadata={"source": UNDECODED.sub("\ufffd", os.path.basename(source))})


class ParquetWriter:
    """Writes one row per peak to a Parquet file; see `export`."""

    format = "Parquet"

    def __init__(self, path: str, source: str, *, compression: str = "snappy", compression_level: int | None = None,
                 scan_compression: str = "lz4", scan_compression_level: int | None = None,
                 row_group_size: int = 1 << 19, executor: concurrent.futures.Executor | None = None) -> None:
        import pyarrow.parquet as pq  # type: ignore[import-untyped, unused-ignore]

        if row_group_size < 1:
            raise ValueError(f"row group size {row_group_size}: must be at least 1")
        self.schema = schema(source)
        self.row_group_size = row_group_size
        self.encoding = Behind(executor, GROUP_QUEUE)
        self.written = 0
        self.peaks = 0
        self.file = PendingFile(path)
        self.path = self.file.path
        if scan_compression_level is None and scan_compression.lower() == "zstd":
            scan_compression_level = 1  # runs of one value need no effort
        codecs = {**{c: compression for c in PEAKS}, **{c: scan_compression for c in PER_SCAN}}
        levels = {**{c: compression_level for c in PEAKS}, **{c: scan_compression_level for c in PER_SCAN}}
        self.writer = pq.ParquetWriter(
            self.file.temp, self.schema, compression=codecs, use_dictionary=False,
            compression_level={c: level for c, level in levels.items() if level is not None} or None)
        # The spectra of the row group being gathered; the first may have
        # given its first `taken` rows to the group before.
        self.pending: Deque[Spectrum] = collections.deque()
        self.taken = 0
        self.rows = 0

    def write(self, spectrum: Spectrum) -> None:
        self.written += 1
        self.peaks += spectrum.mz.size
        self.pending.append(spectrum)
        self.rows += spectrum.mz.size
        while self.rows >= self.row_group_size:
            self.flush(self.row_group_size)

    def flush(self, rows: int) -> None:
        """Hands the first `rows` rows gathered to the encoder as one row group."""
        parts = []
        while rows:
            spectrum = self.pending[0]
            start = self.taken
            take = min(spectrum.mz.size - start, rows)
            parts.append((spectrum, start, start + take))
            rows -= take
            self.rows -= take
            if start + take == spectrum.mz.size:
                self.pending.popleft()
                self.taken = 0
            else:
                self.taken = start + take
        self.encoding(self.write_group, self.table(parts))

    def table(self, parts: list[tuple[Spectrum, int, int]]) -> Any:
        """One row group: the peaks as the spectra hold them, each scan's
        values repeated over its rows (the file's 0 for a value not read)."""
        import pyarrow as pa  # type: ignore[import-untyped, unused-ignore]

        counts = [end - start for _, start, end in parts]
        spectra = [s for s, _, _ in parts]
        per_scan = {
            "scan_number": [s.scan for s in spectra], "rt": [float(s.rt) for s in spectra],
            "ms_level": [s.ms_level for s in spectra], "master_scan": [s.master_scan or 0 for s in spectra],
            "precursor_mz": [float(s.precursor_mz or 0.0) for s in spectra], "charge": [s.charge or 0 for s in spectra],
        }
        columns = []
        for name, kind in COLUMNS:
            if name in PEAKS:
                columns.append(pa.chunked_array([getattr(s, name)[start:end] for s, start, end in parts],
                                                type=pa.from_numpy_dtype(kind)))
            else:
                columns.append(pa.array(np.repeat(np.array(per_scan[name], kind), counts)))
        return pa.Table.from_arrays(columns, schema=self.schema)

    def write_group(self, table: Any) -> None:
        # pyarrow would cut a table of more than 1048576 rows in two.
        self.writer.write_table(table, row_group_size=self.row_group_size)

    def finish(self) -> None:
        if self.rows:
            self.flush(self.rows)
        self.encoding.wait()
        self.writer.close()

    def commit(self) -> None:
        """Gives the finished file its final name."""
        self.file.commit()

    def discard(self) -> None:
        try:
            self.encoding.wait()
        except Exception:
            pass
        try:
            self.writer.close()
        except Exception:
            pass
        self.file.discard()
