"""What one line says about a run: the summary of `velmaro info` and of each
row of `velmaro batch`."""

from __future__ import annotations

import statistics
from typing import Any

from .run import Run

COLUMNS = ["file", "version", "layout", "scans", "ms1_scans", "ms2_scans", "rt_first", "rt_last", "created",
           "median_injection_ms", "peaks", "base_peak_mz", "base_peak_intensity", "error"]


def summarise(run: Run, *, peaks: bool = True) -> dict[str, Any]:
    """The run's summary: version, layout, scans and MS1/MS2 counts,
    retention-time range (minutes), creation time (ISO 8601, UTC) and median
    injection time; with `peaks`, also the peak count and base peak, which
    read every scan's peaks."""
    rows = run.reader.list_spectra()
    levels = [run.ms_level(n) for n in range(1, run.num_scans + 1)]
    created = run.creation_time
    summary: dict[str, Any] = {
        "file": run.path, "version": run.version, "layout": run.layout, "scans": run.num_scans,
        "ms1_scans": levels.count(1), "ms2_scans": levels.count(2),
        "rt_first": rows[0]["rt"] if rows else None, "rt_last": rows[-1]["rt"] if rows else None,
        "created": created.isoformat() if created is not None else None,
        "median_injection_ms": statistics.median(r["injection_time"] for r in rows) if rows else None,
        "peaks": None, "base_peak_mz": None, "base_peak_intensity": None, "error": "",
    }
    if peaks:
        count, base_mz, base_intensity = 0, 0.0, 0.0
        for spectrum in run:
            count += spectrum.mz.size
            if spectrum.mz.size:
                top = int(spectrum.intensity.argmax())
                if spectrum.intensity[top] > base_intensity:
                    base_mz, base_intensity = float(spectrum.mz[top]), float(spectrum.intensity[top])
        summary.update(peaks=count, base_peak_mz=base_mz, base_peak_intensity=base_intensity)
    return summary


def summarise_with_peaks(run: Run) -> dict[str, Any]:
    """summarise(run) with the peaks: a task function for map_runs."""
    return summarise(run)
