"""An output written under a temporary name beside its final one, so that
nothing incomplete ever carries the final name."""

from __future__ import annotations

import collections
import concurrent.futures
import contextlib
import hashlib
import os
import secrets
import threading
from collections.abc import Iterator
from typing import TYPE_CHECKING, BinaryIO, Callable, Deque, TypeVar

if TYPE_CHECKING:
    from hashlib import _Hash

# Bytes gathered before they go to the writing thread as one task, and tasks
# queued there at most: a few MiB in flight per output.
BATCH_BYTES = 1 << 20
QUEUED = 4

T = TypeVar("T")


class Behind:
    """Calls run on one worker thread while the caller goes on, at most
    `depth` of them waiting; the caller waits when it gets further ahead, and
    a call's error comes back then or at `wait`.  Without a worker, each call
    runs at once."""

    def __init__(self, worker: concurrent.futures.Executor | None, depth: int) -> None:
        self.worker, self.depth = worker, depth
        self.pending: Deque[concurrent.futures.Future[None]] = collections.deque()

    def __call__(self, call: Callable[[T], None], argument: T) -> None:
        if self.worker is None:
            call(argument)
            return
        self.pending.append(self.worker.submit(call, argument))
        while len(self.pending) > self.depth:
            self.pending.popleft().result()

    def wait(self) -> None:
        """Waits until every call made so far has returned."""
        while self.pending:
            self.pending.popleft().result()


# The temporary files made on this thread while `tracking` is active.
_made = threading.local()


@contextlib.contextmanager
def tracking() -> Iterator[list[PendingFile]]:
    """Every PendingFile made on this thread inside the block, listed before
    its file exists: a failure (or Ctrl-C) after the file is made but before
    its writer is returned can still remove it."""
    made: list[PendingFile] = []
    _made.files = made
    try:
        yield made
    finally:
        _made.files = None


class PendingFile:
    """The temporary file of the output `path`: `open` makes it, `commit`
    gives it the final name, `discard` removes whichever of the two exists.

    Errors name the final path, never the temporary one."""

    def __init__(self, path: str) -> None:
        self.path = path
        folder, name = os.path.split(os.path.abspath(path))
        self.temp = os.path.join(folder, f".{name}.{secrets.token_hex(4)}.part")
        self.file: BinaryIO | None = None
        self.committed = False
        made = getattr(_made, "files", None)
        if made is not None:
            made.append(self)
        try:
            # Created here, with the permissions umask gives a new file, and
            # never over a file that exists.
            os.close(os.open(self.temp, os.O_WRONLY | os.O_CREAT | os.O_EXCL | os.O_CLOEXEC, 0o666))
        except OSError as e:
            raise renamed(e, path) from None

    def open(self) -> BinaryIO:
        # Large writes go through the buffer straight to the file.
        self.file = open(self.temp, "wb", buffering=1 << 20)
        return self.file

    def close(self) -> None:
        if self.file is not None:
            file, self.file = self.file, None
            file.close()

    def commit(self) -> None:
        os.replace(self.temp, self.path)
        self.committed = True

    def discard(self) -> None:
        """Closes and removes the file; never raises."""
        try:
            self.close()
        except OSError:
            pass
        try:
            os.remove(self.path if self.committed else self.temp)
        except OSError:
            pass


def renamed(error: OSError, path: str) -> OSError:
    """`error` naming `path` instead of the temporary file it was about."""
    if error.errno is None:
        return OSError(f"{path}: {error}")
    return type(error)(error.errno, error.strerror, path)


class Stream:
    """Writes byte strings to `file` in order, keeping the offset reached
    and, if `hashed`, the SHA-1 of what was written until `checksum`.

    With a `writer` (a thread of its own), the hashing and the writing,
    which release the interpreter lock, go on there while the caller
    carries on; its errors come back at a later `write`, or at `drain`."""

    def __init__(self, file: BinaryIO, writer: concurrent.futures.Executor | None = None,
                 hashed: bool = False) -> None:
        self.file = file
        self.sha1: _Hash | None = hashlib.sha1() if hashed else None
        self.offset = 0
        self.batch: list[bytes] = []
        self.batch_bytes = 0
        self.behind = Behind(writer, QUEUED)

    def write(self, data: bytes) -> None:
        self.batch.append(data)
        self.batch_bytes += len(data)
        self.offset += len(data)
        if self.batch_bytes >= BATCH_BYTES:
            self.send()

    def send(self) -> None:
        batch, self.batch, self.batch_bytes = self.batch, [], 0
        if batch:
            self.behind(self.put, batch)

    def put(self, batch: list[bytes]) -> None:
        for data in batch:
            if self.sha1 is not None:
                self.sha1.update(data)
            self.file.write(data)

    def drain(self) -> None:
        """Waits until everything written so far is in the file."""
        self.send()
        self.behind.wait()

    def checksum(self) -> str:
        """The SHA-1 of everything written so far; nothing written after
        it is hashed."""
        self.drain()
        assert self.sha1 is not None
        digest, self.sha1 = self.sha1.hexdigest(), None
        return digest
