"""`python -m velmaro_tools`: the `velmaro` command."""

import sys

from .cli import main

# Guarded: worker processes started by spawn or forkserver import this
# module again.
if __name__ == "__main__":
    sys.exit(main())
