"""
An MS1 spectrum and one of its MS2 spectra
==========================================

A `Spectrum` holds a scan's peaks as NumPy arrays, m/z as float64 and intensity as float32, with what
the file says of the scan: its MS level, retention time, and for an MS2 scan its precursor m/z, charge
and master scan. Here the MS2 scan 2 of the demo's sample and the MS1 scan its precursor was picked
from.
"""

# %%
# The sample: a version-66 acquisition in the orbitrap layout, 145 scans, an MS1 scan then four MS2
# scans of its precursors, over and over. `Run` reads it in that layout whatever its name.
import os
import tempfile

import matplotlib.pyplot as plt
from samples import sample_image

from velmaro_tools import Run

folder = tempfile.TemporaryDirectory()
path = sample_image().write(os.path.join(folder.name, "sample.raw"))

with Run(path) as run:
    ms2 = run.spectrum(2)
    ms1 = run.spectrum(ms2.master_scan)
print(ms1.scan, ms1.ms_level, ms1.mz.size, ms1.mz.dtype, ms1.intensity.dtype)
print(ms2.scan, ms2.ms_level, ms2.precursor_mz, ms2.charge, ms2.activation)

# %%
# Peaks as sticks, the five most intense labelled with their m/z; the MS1 panel marks the precursor.
fig, (top, bottom) = plt.subplots(2, 1, figsize=(9, 6.5), sharex=True)
for axes, s in ((top, ms1), (bottom, ms2)):
    axes.vlines(s.mz, 0, s.intensity, linewidth=0.7, color="tab:blue")
    for k in s.intensity.argsort()[::-1][:5]:
        axes.annotate(f"{s.mz[k]:.4f}", (s.mz[k], s.intensity[k]), xytext=(0, 3), textcoords="offset points",
                      ha="center", fontsize=7)
    axes.set_ylim(0, float(s.intensity.max()) * 1.15)
    axes.set_ylabel("intensity")
top.set_title(f"scan {ms1.scan}: MS1, {ms1.rt:.3f} min, {ms1.mz.size} peaks")
top.axvline(ms2.precursor_mz, color="tab:red", linestyle="--", linewidth=1,
            label=f"precursor of scan {ms2.scan}: m/z {ms2.precursor_mz:.4f}")
top.legend(loc="upper right", fontsize=8)
bottom.set_title(f"scan {ms2.scan}: MS2 of m/z {ms2.precursor_mz:.4f} ({ms2.charge}+), {ms2.rt:.3f} min, "
                 f"{ms2.mz.size} peaks")
bottom.set_xlabel("m/z")
fig.tight_layout()

folder.cleanup()
