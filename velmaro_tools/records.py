"""One scan's spectrum, as the toolkit hands it out."""

from __future__ import annotations

import dataclasses

import numpy as np
import numpy.typing as npt


@dataclasses.dataclass(frozen=True, eq=False)
class Spectrum:
    """A scan's peaks and what the file says about it.

    `mz` is float64 and `intensity` float32, both empty for a scan without peaks;
    `precursor_mz`, `charge` and `master_scan` are None where the file holds none;
    `activation` is the trailer's "Activation Type" where the file gives one."""

    scan: int
    ms_level: int
    rt: float  # minutes
    mz: npt.NDArray[np.float64]
    intensity: npt.NDArray[np.float32]
    precursor_mz: float | None = None
    charge: int | None = None
    master_scan: int | None = None
    activation: str | None = None
