"""`map_runs`: a function over many runs, in threads, processes or on Dask,
with one answer per file and no hang."""

from __future__ import annotations

import concurrent.futures
import multiprocessing.context
import os
from collections.abc import Callable, Iterable
from concurrent.futures.process import BrokenProcessPool
from typing import TYPE_CHECKING, Any, TypeVar

import cloudpickle

from .errors import CRASHED, INTERNAL, TASK, RunError, is_panic, one_line
from .run import PathArg, Run, absolute

if TYPE_CHECKING:
    from distributed import Client

T = TypeVar("T")
P = TypeVar("P", bound=PathArg)

Outcome = tuple[Any, RunError | None]


def run_task(fn: Callable[[Run], T], path: PathArg, layout: str = "auto", strict: bool = True) -> tuple[T | None,
                                                                                                        RunError | None]:
    """(fn(Run(path)), None), or (None, the RunError) if opening, reading or
    fn fails; KeyboardInterrupt and SystemExit pass through.  fn's own
    exceptions become RunError of kind "task" with their class and message
    (or "internal" for the module's internal failure)."""
    where = absolute(path)
    error: RunError | None = None
    try:
        with Run(path, layout, strict=strict) as run:
            return fn(run), None
    except RunError as e:
        error = e
    except (KeyboardInterrupt, SystemExit):
        raise
    except BaseException as e:
        # The module failing inside fn is still the module's failure.
        error = RunError(where, INTERNAL, one_line(e)) if is_panic(e) else \
            RunError(where, TASK, f"{type(e).__name__}: {one_line(e)}")
    # Returned outside the handler, so that it carries no __context__: a
    # process that pickles exceptions with their context (Dask) would try the
    # original, which may not pickle.
    error.__context__ = None
    error.__traceback__ = None
    return None, error


def _pickled_task(fn_bytes: bytes, path: PathArg, layout: str, strict: bool) -> Outcome:
    """run_task in a pool worker, with fn sent by value (so that a function of
    the caller's __main__ or notebook reaches any worker)."""
    try:
        fn = cloudpickle.loads(fn_bytes)
    except BaseException as e:
        if isinstance(e, (KeyboardInterrupt, SystemExit)):
            raise
        return None, RunError(absolute(path), TASK, f"the function could not be unpickled: {one_line(e)}")
    return run_task(fn, path, layout, strict)


Progress = Callable[[int], None]


def map_runs(fn: Callable[[Run], T], paths: Iterable[P], *, processes: int | None = None,
             client: Client | None = None, layout: str = "auto", strict: bool = True,
             progress: Progress | None = None,
             mp_context: multiprocessing.context.BaseContext | None = None) -> list[tuple[P, T | None,
                                                                                          RunError | None]]:
    """Calls fn(run) on a `Run` of each path and returns, in the order given,
    one (path, value, error) per path: error is None where fn returned, else
    the `RunError` (kinds as `Run` raises them, "task" for an exception of fn,
    "crashed" for a worker that died).

    It runs in threads of this process by default, in a process pool of
    `processes` workers, or on a Dask `client`'s cluster.  fn may be defined
    in __main__ or a notebook: it is sent by value.  A file that fails never
    stops the others, and no failure hangs the call.  `layout` and `strict`
    go to each `Run`; `progress`, if given, is called in this thread with the
    number of files done each time one is; `mp_context` is the process pool's
    multiprocessing context (default: the platform's)."""
    items = list(paths)
    if processes is not None and client is not None:
        raise ValueError("give processes or client, not both")
    if processes is not None and processes < 1:
        raise ValueError(f"processes must be at least 1, not {processes}")
    done = _Counter(progress)
    if client is not None:
        outcomes = _on_dask(client, fn, items, layout, strict, done)
    elif processes is not None:
        outcomes = _in_processes(processes, fn, items, layout, strict, done, mp_context)
    else:
        outcomes = _in_threads(fn, items, layout, strict, done)
    return [(path, value, error) for path, (value, error) in zip(items, outcomes)]


class _Counter:
    def __init__(self, report: Progress | None) -> None:
        self.report, self.done = report, 0

    def __call__(self) -> None:
        self.done += 1
        if self.report is not None:
            self.report(self.done)


def _in_threads(fn: Callable[[Run], Any], paths: list[Any], layout: str, strict: bool,
                done: _Counter) -> list[Outcome]:
    # A call into the module holds the interpreter lock: more threads than
    # cores only help where fn itself waits.
    with concurrent.futures.ThreadPoolExecutor(max_workers=min(len(paths), os.cpu_count() or 1) or 1) as pool:
        futures = [pool.submit(run_task, fn, p, layout, strict) for p in paths]
        try:
            for _ in concurrent.futures.as_completed(futures):
                done()
            return [f.result() for f in futures]
        except BaseException:
            for f in futures:
                f.cancel()
            raise


def _in_processes(workers: int, fn: Callable[[Run], Any], paths: list[Any], layout: str, strict: bool,
                  done: _Counter, context: multiprocessing.context.BaseContext | None) -> list[Outcome]:
    fn_bytes = cloudpickle.dumps(fn)
    outcomes: dict[int, Outcome] = {}
    pending = list(range(len(paths)))
    # A worker that dies (killed, out of memory, a crash in native code)
    # breaks the whole pool and fails every task in it.  The tasks it had not
    # finished are then run again one at a time, each in a pool of its own,
    # so that only the file that kills its worker is reported so.
    alone = False
    while pending:
        batches = [[k] for k in pending] if alone else [pending]
        unfinished: list[int] = []
        for batch in batches:
            unfinished += _pool_pass(workers if not alone else 1, fn_bytes, paths, batch, layout, strict, outcomes,
                                     done, context)
        if alone:
            for k in unfinished:
                outcomes[k] = (None, RunError(absolute(paths[k]), CRASHED,
                                              "the worker process reading it ended abruptly"))
                done()
            break
        pending, alone = unfinished, True
    return [outcomes[k] for k in range(len(paths))]


def _pool_pass(workers: int, fn_bytes: bytes, paths: list[Any], batch: list[int], layout: str, strict: bool,
               outcomes: dict[int, Outcome], done: _Counter,
               context: multiprocessing.context.BaseContext | None) -> list[int]:
    """Runs a batch in one pool; returns the indexes a broken pool left without an answer."""
    pool = concurrent.futures.ProcessPoolExecutor(max_workers=min(workers, len(batch)), mp_context=context)
    try:
        futures = {pool.submit(_pickled_task, fn_bytes, paths[k], layout, strict): k for k in batch}
        broken = []
        for future in concurrent.futures.as_completed(futures):
            k = futures[future]
            try:
                outcomes[k] = future.result()
            except BrokenProcessPool:
                broken.append(k)
                continue
            except (KeyboardInterrupt, SystemExit):
                raise
            except BaseException as e:  # the value did not pickle, say
                outcomes[k] = (None, RunError(absolute(paths[k]), TASK, f"{type(e).__name__}: {one_line(e)}"))
            done()
        return broken
    except BaseException:
        pool.shutdown(wait=False, cancel_futures=True)
        raise
    finally:
        pool.shutdown(wait=True)


def _on_dask(client: Client, fn: Callable[[Run], Any], paths: list[Any], layout: str, strict: bool,
             done: _Counter) -> list[Outcome]:
    from distributed import as_completed

    # pure=False: a file may change between two calls; never reuse a result.
    # The paths go absolute, as the caller means them: a worker's working
    # directory is its own.
    futures = client.map(run_task, [fn] * len(paths), [absolute(p) for p in paths], layout=layout, strict=strict,
                         pure=False)
    position = {future.key: k for k, future in enumerate(futures)}
    outcomes: dict[int, Outcome] = {}
    waits = [0] * len(paths)
    try:
        # Each result is fetched as soon as it is ready: a result waits in its
        # worker's memory, and a worker that dies (its own task's fault, or
        # memory) loses those it held.  Dask computes a lost result again
        # while its future is held, so a lost one is waited for again.
        pending = as_completed(futures)  # type: ignore[no-untyped-call]
        for future in pending:
            k = position[future.key]
            if future.status == "finished":
                try:
                    outcomes[k] = future.result()
                    done()
                    continue
                except (KeyboardInterrupt, SystemExit):
                    raise
                except Exception:  # lost on its way here
                    pass
            elif future.status == "error":  # its worker died every time it ran it
                outcomes[k] = (None, RunError(absolute(paths[k]), CRASHED,
                                              f"the Dask task failed: {one_line(future.exception())}"))
                done()
                continue
            waits[k] += 1
            if waits[k] > MAX_DASK_WAITS:
                outcomes[k] = (None, RunError(absolute(paths[k]), CRASHED,
                                              f"the Dask task's result was lost {MAX_DASK_WAITS} times"))
                done()
                continue
            pending.add(future)  # type: ignore[no-untyped-call]
        return [outcomes[k] for k in range(len(paths))]
    finally:
        client.cancel(futures)  # type: ignore[no-untyped-call]


MAX_DASK_WAITS = 5
