"""
What each layout reads of one file
==================================

The module reads a file's per-scan values from places that depend on its layout, which it takes from
the file's name. Read in another layout than its own, a file gives zeros, or values no run holds.
`Run` reads it in every layout that can apply and takes the one its data supports. Here a generated
acquisition in the "both" layout (retention times in the small layout's table, trailer values in the
orbitrap layout's slots), under a name that says nothing, read in each layout.
"""

# %%
import os
import random
import tempfile

import matplotlib.pyplot as plt
from samples import random_acquisition

from velmaro_tools import LAYOUTS, Run, RunError

folder = tempfile.TemporaryDirectory()
path = random_acquisition(random.Random(7), "both", version=66).write(os.path.join(folder.name, "run.raw"))

with Run(path) as run:
    print("chosen:", run.layout)
    print(run.layout_reason)

# %%
# Each layout forced in turn: the retention time and the charge of every scan, as read.
fig, panels = plt.subplots(2, len(LAYOUTS), figsize=(12, 5), sharex=True, sharey="row")
for column, layout in enumerate(LAYOUTS):
    try:
        with Run(path, layout=layout) as run:
            rows = run.reader.list_spectra()
    except RunError as e:
        panels[0, column].text(0.5, 0.5, e.kind, ha="center", transform=panels[0, column].transAxes)
        continue
    scans = [r["scan_number"] for r in rows]
    panels[0, column].plot(scans, [r["rt"] for r in rows], ".", markersize=3)
    panels[1, column].plot(scans, [r["charge"] for r in rows], ".", markersize=3, color="tab:orange")
    panels[0, column].set_title(f'layout="{layout}"')
    panels[1, column].set_xlabel("scan number")
panels[0, 0].set_ylabel("retention time (min)")
panels[1, 0].set_ylabel("charge")
fig.tight_layout()

folder.cleanup()
