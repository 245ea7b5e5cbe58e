# Type information for the velmaro extension module.  A single-file module
# cannot carry a py.typed marker, so the stubs ship as the stub-only package
# "velmaro-stubs" beside it.
from typing import TypedDict, final

import numpy as np
import numpy.typing as npt

__all__ = ["RawFileReader"]

# One entry of RawFileReader.list_spectra(); the keys are always all there.
class _ScanSummary(TypedDict):
    scan_number: int
    rt: float
    injection_time: float
    master_scan: int
    charge: int
    monomz: float

@final
class RawFileReader:
    """High-performance native reader for Thermo Fisher .raw files."""

    def __new__(cls, path: str) -> RawFileReader: ...
    @property
    def creation_date(self) -> str:
        """Returns the file creation date as a formatted UTC timestamp string."""
    @property
    def version(self) -> int:
        """Returns the Thermo RAW file version (e.g., 57 or 66)."""
    @property
    def num_scans(self) -> int:
        """Returns the total number of scans available in the file."""
    def initialize_caches(self) -> None:
        """Internal method to populate RT, scan offset, and diagnostic caches."""
    def get_rt(self, scan_number: int) -> float:
        """Returns the retention time (in minutes) for the specified scan number."""
    def get_injection_time(self, scan_number: int) -> float:
        """Returns the ion injection time (in milliseconds) for the specified scan number."""
    def get_master_scan(self, scan_number: int) -> int:
        """Returns the master scan number for the given MSn scan."""
    def get_charge_state(self, scan_number: int) -> int:
        """Returns the precursor charge state for the given scan."""
    def get_monoisotopic_mz(self, scan_number: int) -> float:
        """Returns the precursor monoisotopic m/z for the given scan."""
    def get_trailer_extra(self, scan_number: int) -> dict[str, float | int | str]:
        """Recovers diagnostic metadata from the scan trailer.
        Returns a dictionary of available fields (e.g., 'Ion Injection Time (ms)', 'MS Order')."""
    def get_instrument_method(self, _index: int) -> str:
        """Returns the instrument method report for the given index.
        In modern XML-based files, this typically contains the full CmData block."""
    def get_status_log_labels(self) -> list[str]:
        """Returns a list of labels for all parameters monitored in the instrument status log."""
    def get_error_logs(self) -> list[str]:
        """Returns a list of hardware and software warning messages captured during acquisition."""
    def get_peaks(self, scan_num: int) -> tuple[npt.NDArray[np.float64], npt.NDArray[np.float32]]:
        """Extracts spectral peaks (m/z and intensity) for a given scan number.
        Returns a tuple of (m/z_array, intensity_array)."""
    def native_get_peaks(self, scan_num: int) -> tuple[list[float], list[float]] | None:
        """Internal native implementation for spectral peak extraction."""
    def list_spectra(self) -> list[_ScanSummary]:
        """Returns a list of all scan summaries in the file.
        Each entry contains scan_number, rt, injection_time, master_scan, charge, and monomz."""
