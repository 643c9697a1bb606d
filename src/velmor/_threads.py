"""Splitting one long loop over frames between the machine's cores.

numpy and scipy release the GIL inside their loops, so contiguous ranges of a long loop run in
threads side by side. Small inputs stay in the calling thread: starting threads costs more than it
saves there.
"""

from __future__ import annotations

import concurrent.futures
import os
import threading

_MAX_THREADS = 4
_lock = threading.Lock()
_pool = None


def cores() -> int:
    """Cores this process may run on (at most a few: the loops split here gain little beyond)."""
    try:
        n = len(os.sched_getaffinity(0))
    except (AttributeError, OSError):
        n = os.cpu_count() or 1
    return max(1, min(n, _MAX_THREADS))


def _executor():
    """The threads of this process; a child made by fork() has none of its parent's threads, so
    it makes its own pool instead of queueing work that nobody would take."""
    global _pool
    with _lock:
        if _pool is None or _pool[0] != os.getpid():
            _pool = (os.getpid(), concurrent.futures.ThreadPoolExecutor(max_workers=_MAX_THREADS - 1,
                                                                        thread_name_prefix="velmor"))
        return _pool[1]


def split(work, n, *, minimum):
    """Run ``work(start, stop)`` over ``range(n)`` in contiguous pieces of at least ``minimum``
    items, one per core, the last in the calling thread. Exceptions propagate; every piece has
    finished when this returns."""
    parts = min(cores(), n // max(1, minimum))
    if parts <= 1:
        work(0, n)
        return
    bounds = [n * i // parts for i in range(parts + 1)]
    futures = [_executor().submit(work, a, b) for a, b in zip(bounds[:-2], bounds[1:-1])]
    try:
        work(bounds[-2], bounds[-1])
    finally:
        for f in futures:
            f.result()
