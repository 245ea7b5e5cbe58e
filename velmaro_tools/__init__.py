"""velmaro_tools: the layer users work in over the `velmaro` module.

- `Run(path)`: one acquisition, read in the layout its data shows whatever its
  name, iterated as `Spectrum` records, failing only with `RunError`;
- `map_runs(fn, paths)`: `fn(run)` over many files in threads, processes or
  on Dask, one `(path, value, error)` per file and never a hang.
"""

from ._layout import LAYOUTS
from .errors import KINDS, LayoutWarning, RunError
from .parallel import map_runs
from .records import Spectrum
from .run import Run

__all__ = ["KINDS", "LAYOUTS", "LayoutWarning", "Run", "RunError", "Spectrum", "map_runs"]
