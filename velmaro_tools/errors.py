"""The toolkit's one exception, and the warning about an uncertain layout.

velmaro's own failures are of two families: the `OSError` family, raised when a
file cannot be opened, and `PanicException`, an internal failure that derives
from `BaseException` and belongs to a module no other process can import, so
that it passes `except Exception:` and does not pickle.  Here every failure of
opening or reading a run becomes a `RunError`: an ordinary exception that
names the file, says what kind of failure it was and carries the module's
message, and that pickles wherever `velmaro_tools` can be imported.
"""

from __future__ import annotations

import errno
import os

# The kinds of failure, a fixed vocabulary for callers to branch on.
MISSING = "missing"
PERMISSION = "permission"
NOT_A_FILE = "not a file"
TRUNCATED = "truncated"
NOT_AN_ACQUISITION = "not an acquisition"
UNREADABLE = "unreadable"
INTERNAL = "internal"
TASK = "task"
CRASHED = "crashed"

KINDS: tuple[str, ...] = (MISSING, PERMISSION, NOT_A_FILE, TRUNCATED, NOT_AN_ACQUISITION, UNREADABLE, INTERNAL,
                          TASK, CRASHED)


class RunError(Exception):
    """A run that could not be opened or read.

    `path` is the file's absolute path, `kind` one of `KINDS`, `message` what
    went wrong: the module's own message where the module raised it.  It
    pickles as its three fields, so it crosses process pools and Dask."""

    def __init__(self, path: str, kind: str, message: str) -> None:
        # The arguments are what unpickling passes back to __init__.
        super().__init__(path, kind, message)
        self.path = path
        self.kind = kind
        self.message = message

    def __str__(self) -> str:
        return f"{self.path}: {self.kind}: {self.message}"


class LayoutWarning(UserWarning):
    """The evidence for a run's layout was weak or split; the warning says
    which layout was chosen and why."""


def os_error_text(number: int) -> str:
    """An operating-system error as the module words it."""
    return f"{os.strerror(number)} (os error {number})"


def kind_of_os_error(error: OSError) -> str:
    """The kind of a failed file operation, from its class or number."""
    if isinstance(error, FileNotFoundError) or error.errno in (errno.ENOENT, errno.ENOTDIR):
        return MISSING
    if isinstance(error, PermissionError):
        return PERMISSION
    if isinstance(error, IsADirectoryError):
        return NOT_A_FILE
    # The module's errors carry no errno: its message ends "(os error N)".
    text = str(error)
    if text.endswith(f"(os error {errno.ENOTDIR})"):
        return MISSING
    if text.endswith(f"(os error {errno.EISDIR})"):
        return NOT_A_FILE
    return UNREADABLE


def is_panic(error: BaseException) -> bool:
    """Whether `error` is the module's internal failure; its class cannot be
    imported, so it is known by name."""
    cls = type(error)
    return cls.__name__ == "PanicException" and cls.__module__ == "pyo3_runtime"


def one_line(error: BaseException) -> str:
    """An exception's message on one line, or its class name if it has none."""
    return " ".join(str(error).split()) or type(error).__name__
