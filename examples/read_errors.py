"""The reader's failures made ordinary, for process pools, Dask and command
lines.

velmaro reports an internal failure (a file too short for its layout, a
device, a file that cannot be read whole) as PanicException.  That class
derives from BaseException and belongs to a module, pyo3_runtime, that no
other process can import, so where a task ends in another process:

- `except Exception:` does not catch it: a multiprocessing.Pool worker dies
  of it and its task is lost, so Pool.map never returns;
- it does not pickle: concurrent.futures hands the caller a PicklingError
  instead of it and its message;
- a Dask worker reports it, but the client's Future.result() never returns.

Convert it where the task ends, inside the worker, into ReadError: an
ordinary exception that pickles wherever this module can be imported (or
is sent by value, as batch_summary.py sends it).  Every other failure of a
task becomes a ReadError too, so that the caller has one class to catch and
the path with it; KeyboardInterrupt and SystemExit pass through.

- reads_file: a decorator for task functions, which then raise ReadError;
- outcome: a call that returns (result, None) or (None, ReadError);
- open_reader: RawFileReader(path) for a command line, failing with
  ReadError and without the module's diagnostic on standard error.
"""

from __future__ import annotations

import functools
import os
import re
import sys
import tempfile
import threading
from collections.abc import Callable
from typing import Any, TypeVar, cast

import velmaro

# They end a process on purpose, so they are not a file's failure.
STOPPING = (KeyboardInterrupt, SystemExit)

T = TypeVar("T")


class ReadError(Exception):
    """A file that could not be read: its path, the class name of the
    original exception and its message."""

    def __init__(self, path: str, kind: str, message: str) -> None:
        # The arguments are what unpickling passes back to __init__.
        super().__init__(path, kind, message)
        self.path, self.kind, self.message = path, kind, message

    def __str__(self) -> str:
        return f"{self.path}: {self.kind}: {self.message}"

    @classmethod
    def of(cls, path: str, error: BaseException) -> ReadError:
        return cls(path, type(error).__name__, str(error))


def outcome(function: Callable[..., T], path: str, *args: Any, **kwargs: Any) -> tuple[T | None, ReadError | None]:
    """(function(path, ...), None), or (None, the ReadError) if it fails:
    for Pool.map, which gives up at the first exception of any task, or
    wherever each file should get its answer.  KeyboardInterrupt and
    SystemExit pass through."""
    try:
        return function(path, *args, **kwargs), None
    except STOPPING:
        raise
    except BaseException as e:
        error = ReadError.of(path, e)
    # Made outside the handler, it has no __context__: a process that has
    # imported distributed pickles exceptions with their context, and the
    # PanicException there would not pickle.
    return None, error


def reads_file(function: Callable[..., T]) -> Callable[..., T]:
    """Decorates a task function whose first argument is a path, so that it
    raises only ReadError (or KeyboardInterrupt and SystemExit)."""

    @functools.wraps(function)
    def task(path: str, *args: Any, **kwargs: Any) -> T:
        result, error = outcome(function, path, *args, **kwargs)
        if error is not None:
            raise error
        return cast(T, result)

    return task


# Written by the module to file descriptor 2 before it raises PanicException.
DIAGNOSTIC = rb"velmaro: internal failure at [^\n]*:\n"
_held = threading.Lock()


def open_reader(path: str) -> velmaro.RawFileReader:
    """RawFileReader(path), failing with ReadError, and without the
    module's two-line diagnostic on standard error (the ReadError carries
    its message).  Other output to descriptor 2 meanwhile is held back and
    written out afterwards; threads take turns here."""
    with _held:
        try:
            if sys.stderr is not None:
                sys.stderr.flush()
            saved = os.dup(2)
        except (OSError, ValueError):  # no standard error to hold back
            saved = -1
        if saved < 0:
            reader, error = outcome(velmaro.RawFileReader, path)
        else:
            with tempfile.TemporaryFile() as held:
                os.dup2(held.fileno(), 2)
                error = None
                try:
                    reader, error = outcome(velmaro.RawFileReader, path)
                finally:
                    os.dup2(saved, 2)
                    os.close(saved)
                    held.seek(0)
                    text = held.read()
                    if error is not None:
                        text = re.sub(DIAGNOSTIC + re.escape(error.message.encode()) + rb"\n", b"", text, count=1)
                    if text:
                        with open(2, "wb", closefd=False) as stderr:
                            stderr.write(text)
    if error is not None:
        raise error
    assert reader is not None
    return reader
