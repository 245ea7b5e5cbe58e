"""The folder the pages' samples run in: generated acquisitions under the
names the samples use.

- HeLa_QE_01.raw: the demo's sample (version 66, orbitrap layout: 145 scans,
  an MS1 scan then four MS2 scans of its precursors, over and over);
- orbitrap/run42.raw: the same file in a folder whose name gives the module
  its layout;
- runs/: three plausible acquisitions in the three layouts with tables,
  under names that say nothing of their layout, and cut.raw, the sample cut
  short at 3,000,000 bytes.

Made once per process, removed when it ends.
"""

from __future__ import annotations

import atexit
import os
import random
import shutil
import tempfile

_made: str | None = None


def make(where: str) -> str:
    from samples import random_acquisition, sample_image

    sample = sample_image()
    sample.write(os.path.join(where, "HeLa_QE_01.raw"))
    sample.write(os.path.join(where, "orbitrap", "run42.raw"))
    rng = random.Random(21)
    for k, layout in enumerate(["orbitrap", "small", "both"], 1):
        random_acquisition(rng, layout, version=66).write(os.path.join(where, "runs", f"run{k}.raw"))
    with open(os.path.join(where, "HeLa_QE_01.raw"), "rb") as f:
        head = f.read(3_000_000)
    with open(os.path.join(where, "runs", "cut.raw"), "wb") as f:
        f.write(head)
    return where


def workspace() -> str:
    """The folder, made on the first call; the working directory moves there."""
    global _made
    if _made is None:
        _made = make(tempfile.mkdtemp(prefix="velmaro-docs-"))
        atexit.register(shutil.rmtree, _made, True)
    os.chdir(_made)
    return _made
