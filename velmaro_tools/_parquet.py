"""The Parquet writer: one row per peak, in row groups of a fixed size,
each encoded by pyarrow on a worker thread while the next is gathered."""

from __future__ import annotations

import concurrent.futures
import os
import re
from typing import Any

import numpy as np
import numpy.typing as npt

from ._files import Behind, PendingFile
from .records import Spectrum

COLUMNS = (("scan_number", np.int32), ("mz", np.float64), ("intensity", np.float32), ("rt", np.float64),
           ("ms_level", np.int32), ("master_scan", np.int32), ("precursor_mz", np.float64), ("charge", np.int32))
PEAKS = ("mz", "intensity")
# Spectra queued for the filler at most.
FILL_QUEUE = 4
# Bytes of a file name that were not UTF-8 (os.fsdecode's surrogates).
UNDECODED = re.compile("[\ud800-\udfff]")
# Columns that repeat one value over each scan's rows.  Written plain, as
# the peaks' unique floats are, for dictionary encoding would hash every
# row: zstd shrinks their runs to what the dictionary did (0.1% of the
# file) in a tenth of its time.
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
                 scan_compression: str = "zstd", scan_compression_level: int | None = None,
                 row_group_size: int = 1 << 20, executor: concurrent.futures.Executor | None = None,
                 filler: concurrent.futures.Executor | None = None) -> None:
        import pyarrow.parquet as pq  # type: ignore[import-untyped, unused-ignore]

        if row_group_size < 1:
            raise ValueError(f"row group size {row_group_size}: must be at least 1")
        self.schema = schema(source)
        self.row_group_size = row_group_size
        self.executor = executor
        self.filling = Behind(filler, FILL_QUEUE)
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
        self.rows = 0
        # Two sets of columns, taking turns: one filled as the spectra come
        # while the worker encodes the other.  Pages never filled are never
        # touched.
        self.group = self.new_group()
        self.spare: list[npt.NDArray[Any]] | None = None
        self.writing: concurrent.futures.Future[None] | None = None

    def new_group(self) -> list[npt.NDArray[Any]]:
        return [np.empty(self.row_group_size, kind) for _, kind in COLUMNS]

    def write(self, spectrum: Spectrum) -> None:
        """Copies the spectrum's rows into the row group, on the filler's
        thread if there is one (the copies release the interpreter lock)."""
        self.written += 1
        self.peaks += spectrum.mz.size
        self.filling(self.fill, spectrum)

    def fill(self, spectrum: Spectrum) -> None:
        # The file's 0 stands for a value that was not read.
        per_scan = ((0, spectrum.scan), (3, float(spectrum.rt)), (4, spectrum.ms_level),
                    (5, spectrum.master_scan or 0), (6, float(spectrum.precursor_mz or 0.0)), (7, spectrum.charge or 0))
        mz, intensity = spectrum.mz, spectrum.intensity
        done = 0
        while done < mz.size:
            take = min(mz.size - done, self.row_group_size - self.rows)
            rows = slice(self.rows, self.rows + take)
            group = self.group
            group[1][rows] = mz[done:done + take]
            group[2][rows] = intensity[done:done + take]
            for column, value in per_scan:
                group[column][rows] = value
            self.rows += take
            done += take
            if self.rows == self.row_group_size:
                self.flush()

    def flush(self) -> None:
        """Hands the rows gathered to the worker as one row group, once it
        is done with the previous one."""
        import pyarrow as pa  # type: ignore[import-untyped, unused-ignore]

        if not self.rows:
            return
        table = pa.Table.from_arrays([pa.array(column[:self.rows]) for column in self.group], schema=self.schema)
        self.wait()  # the spare set is free once the worker is done with it
        filled = self.group
        self.group, self.rows = self.spare or self.new_group(), 0
        self.spare = filled
        if self.executor is None:
            self.writer.write_table(table, row_group_size=self.row_group_size)
        else:
            self.writing = self.executor.submit(self.writer.write_table, table, row_group_size=self.row_group_size)

    def wait(self) -> None:
        if self.writing is not None:
            writing, self.writing = self.writing, None
            writing.result()

    def finish(self) -> None:
        self.filling.wait()
        self.flush()
        self.wait()
        self.writer.close()

    def commit(self) -> None:
        """Gives the finished file its final name."""
        self.file.commit()

    def discard(self) -> None:
        try:
            self.wait()
        except Exception:
            pass
        try:
            self.writer.close()
        except Exception:
            pass
        self.file.discard()
