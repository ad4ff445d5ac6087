"""Running one job per archive on several processes.

Workers receive what names the work (paths, names), never file contents, and return
small results; results come back in the order of the inputs whatever the number of
workers, so every output is the same for every `jobs`. With one job (or one input)
the work runs in this process. Workers ignore Ctrl-C: the interrupted parent stops
them and cleans up, so no output is left half-written.
"""
from __future__ import annotations

import gc
import itertools
import multiprocessing
import os
import signal
import sys
import threading
from collections import deque
from concurrent.futures import Future, ProcessPoolExecutor
from typing import Any, Callable, Deque, Generator, List, Optional, Sequence, Tuple, TypeVar

from tqdm import tqdm

__all__ = ["default_jobs", "run_jobs"]

T = TypeVar("T")
R = TypeVar("R")


def default_jobs() -> int:
    """The number of cores this process may run on."""
    try:
        return max(1, len(os.sched_getaffinity(0)))  # type: ignore[attr-defined,unused-ignore]
    except (AttributeError, OSError):
        return max(1, os.cpu_count() or 1)


def _ignore_interrupts(initializer: Optional[Callable[..., None]], arguments: Tuple[Any, ...]) -> None:
    signal.signal(signal.SIGINT, signal.SIG_IGN)
    if initializer is not None:
        initializer(*arguments)


def _pool(workers: int, initializer: Optional[Callable[..., None]],
          arguments: Tuple[Any, ...]) -> ProcessPoolExecutor:
    """A pool of `workers` processes that ignore Ctrl-C.

    Workers are forked where that is safe, which spares each the start of an
    interpreter and the import of the package: on Linux (macOS's system libraries do
    not survive a fork), while this process runs one thread, and where the pool forks
    all its workers at once before starting its own threads (Python 3.8, and the
    releases that know it must: https://github.com/python/cpython/issues/90622). A
    child forked while another thread holds a lock could wait on it forever.
    Elsewhere workers start fresh interpreters.
    """
    initargs = (initializer, arguments)
    if sys.platform.startswith("linux") and threading.active_count() == 1:
        pool = ProcessPoolExecutor(workers, mp_context=multiprocessing.get_context("fork"),
                                   initializer=_ignore_interrupts, initargs=initargs)
        if sys.version_info < (3, 9) or \
                getattr(pool, "_safe_to_dynamically_spawn_children", True) is False:
            return pool
        pool.shutdown(wait=False)  # started nothing yet
    return ProcessPoolExecutor(workers, mp_context=multiprocessing.get_context("spawn"),
                               initializer=_ignore_interrupts, initargs=initargs)


def _bar(total: int, what: str) -> Optional["tqdm[Any]"]:
    if total > 1 and sys.stderr.isatty():
        return tqdm(total=total, desc=what, unit="archive", file=sys.stderr, leave=False)
    return None


def _total(items: Sequence[T], weight: Optional[Callable[[T], int]]) -> int:
    return len(items) if weight is None else sum(map(weight, items))


def _batch(work: Callable[[T], R], items: Sequence[T]) -> List[R]:
    return [work(item) for item in items]


def run_jobs(work: Callable[[T], R], items: Sequence[T], jobs: int, what: str = "",
             initializer: Optional[Callable[..., None]] = None,
             arguments: Tuple[Any, ...] = (),
             discard: Optional[Callable[[R], None]] = None,
             weight: Optional[Callable[[T], int]] = None) -> Generator[R, None, None]:
    """work(item) for every item, yielded in the order of `items`.

    `work` and `initializer` must be module-level functions; `initializer(*arguments)`
    runs once in each worker (and once here when the work runs here). A progress bar
    counts the items on a terminal (each as `weight(item)`, when given). When the
    caller stops early (an error, Ctrl-C; close the iterator, as `contextlib.closing`
    does), work in progress is finished and `discard` is given every result not
    yielded, and the last one yielded.
    """
    bar = None
    try:
        if jobs <= 1 or len(items) <= 1:
            bar = _bar(_total(items, weight), what)
            if initializer is not None:
                initializer(*arguments)
            for item in items:
                result = work(item)
                if bar is not None:
                    bar.update(weight(item) if weight is not None else 1)
                try:
                    yield result
                except GeneratorExit:
                    if discard is not None:
                        discard(result)
                    raise
            return
        # Items go to the workers in batches: a task costs the pool about a millisecond
        # in this process (its threads take turns with the caller for the interpreter),
        # more than a small archive's work.
        size = max(1, min(16, len(items) // (8 * jobs)))
        batches = [items[k:k + size] for k in range(0, len(items), size)]
        pool = _pool(min(jobs, len(batches)), initializer, arguments)
        futures: Deque["Future[List[R]]"] = deque()
        # Results received and not yet the caller's (the one being yielded included).
        held: Deque[R] = deque()
        try:
            # Submitted a window ahead of what is consumed, so results do not pile up.
            pending = iter(batches)
            # Forked workers start at the first submit. The objects they inherit are
            # kept out of their garbage collector's reach: a collection would go over
            # every one and so copy every page of this process into the worker.
            gc.freeze()
            try:
                for batch in itertools.islice(pending, 4 * jobs):
                    futures.append(pool.submit(_batch, work, batch))
            finally:
                gc.unfreeze()
            # The bar's thread starts once the workers are started.
            bar = _bar(_total(items, weight), what)
            done = iter(items)
            while futures:
                held.extend(futures[0].result())
                futures.popleft()
                for batch in itertools.islice(pending, 1):
                    futures.append(pool.submit(_batch, work, batch))
                while held:
                    item = next(done)
                    if bar is not None:
                        bar.update(weight(item) if weight is not None else 1)
                    yield held[0]
                    held.popleft()  # only now is the result the caller's
        finally:
            # The few batches still out are let finish rather than cancelled: on Python
            # 3.8 and 3.9, shutting the pool down after cancelling its futures can wait
            # forever.
            pool.shutdown(wait=True)
            if discard is not None:
                for result in held:
                    discard(result)
                for future in futures:
                    if future.exception() is None:
                        for result in future.result():
                            discard(result)
    finally:
        if bar is not None:
            bar.close()
