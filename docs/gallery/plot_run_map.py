"""
Retention time and injection time of every scan
===============================================

`Run.scan_table()` gives one row per scan: the module's per-scan values (retention time, injection
time, master scan, charge, precursor m/z), the MS level, and from the peaks their count, the total ion
current and the base peak. Drawn against retention time, it is a map of the run: when each scan was
taken, how long its ions were gathered, and how much signal it holds.
"""

# %%
import os
import tempfile

import matplotlib.pyplot as plt
from samples import sample_image

from velmaro_tools import Run

folder = tempfile.TemporaryDirectory()
path = sample_image().write(os.path.join(folder.name, "sample.raw"))

with Run(path) as run:
    table = run.scan_table()
print(table.head())

# %%
# Top: the injection time of each scan at its retention time; bottom: the total ion current. MS1 scans
# gather ions for a shorter time than the MS2 scans of their precursors.
ms1, ms2 = table[table.ms_level == 1], table[table.ms_level == 2]
fig, (top, bottom) = plt.subplots(2, 1, figsize=(9, 6.5), sharex=True)
top.scatter(ms2.rt, ms2.injection_time, s=14, color="tab:orange", label=f"MS2 ({len(ms2)} scans)")
top.scatter(ms1.rt, ms1.injection_time, s=22, marker="s", color="tab:blue", label=f"MS1 ({len(ms1)} scans)")
top.set_ylabel("injection time (ms)")
top.set_title("Injection time of each scan")
top.legend(fontsize=8)
bottom.vlines(ms2.rt, 0, ms2.tic, color="tab:orange", linewidth=1, label="MS2")
bottom.plot(ms1.rt, ms1.tic, "s-", color="tab:blue", markersize=4, label="MS1")
bottom.set_xlabel("retention time (min)")
bottom.set_ylabel("total ion current")
bottom.set_title("Total ion current of each scan")
bottom.legend(fontsize=8)
fig.tight_layout()

# %%
# The retention time of each scan against its number: the scans come at an even pace here.
fig, axes = plt.subplots(figsize=(9, 3))
axes.plot(table.index, table.rt, ".", color="tab:gray")
axes.set_xlabel("scan number")
axes.set_ylabel("retention time (min)")
fig.tight_layout()

folder.cleanup()
