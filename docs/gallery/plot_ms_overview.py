"""
An MS1/MS2 overview of a run
============================

Every MS1 peak at its retention time and m/z, its colour the intensity, and on top the precursor each
MS2 scan was taken of, at the MS2 scan's own retention time; beside it, the MS2 scans by precursor
charge. The generated sample picks its precursors at random, so they need not stand on MS1 peaks as a
real run's do.
"""

# %%
import os
import tempfile

import matplotlib.pyplot as plt
import numpy as np
from matplotlib.colors import LogNorm
from samples import sample_image

from velmaro_tools import Run

folder = tempfile.TemporaryDirectory()
path = sample_image().write(os.path.join(folder.name, "sample.raw"))

rts, mzs, intensities = [], [], []
precursors = []
with Run(path) as run:
    for spectrum in run:
        if spectrum.ms_level == 1:
            rts.append(np.full(spectrum.mz.size, spectrum.rt))
            mzs.append(spectrum.mz)
            intensities.append(spectrum.intensity)
        elif spectrum.precursor_mz is not None:
            precursors.append((spectrum.rt, spectrum.precursor_mz, spectrum.charge or 0))
rt, mz, intensity = np.concatenate(rts), np.concatenate(mzs), np.concatenate(intensities)
print(f"{len(rts)} MS1 scans, {mz.size} peaks; {len(precursors)} MS2 scans")

# %%
fig, (axes, charges) = plt.subplots(1, 2, figsize=(10, 5.5), width_ratios=[4, 1])
points = axes.scatter(rt, mz, c=intensity, s=4, cmap="viridis", norm=LogNorm())
fig.colorbar(points, ax=axes, label="MS1 intensity", pad=0.01)
p_rt, p_mz, p_charge = np.array(precursors).T
axes.scatter(p_rt, p_mz, marker="x", s=30, color="tab:red", label="MS2 precursor")
axes.set_xlabel("retention time (min)")
axes.set_ylabel("m/z")
axes.set_title("MS1 peaks and MS2 precursors")
axes.legend(loc="upper right", fontsize=8)
values, counts = np.unique(p_charge.astype(int), return_counts=True)
charges.bar([f"{v}+" for v in values], counts, color="tab:red")
charges.set_title("MS2 charge states")
charges.set_ylabel("scans")
fig.tight_layout()

folder.cleanup()
