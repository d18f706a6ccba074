"""Growth measurement for reference-leak tests: the traced Python heap (tracemalloc) and the
process's resident size, before and after many calls."""

from __future__ import annotations

import gc
import os
import tracemalloc
from typing import Callable

PAGE = os.sysconf("SC_PAGE_SIZE")


def resident_bytes() -> int:
    with open("/proc/self/statm") as statm:
        return int(statm.read().split()[1]) * PAGE


def call_ignoring(fn: Callable[[], object], expected: tuple[type[BaseException], ...]) -> None:
    try:
        fn()
    except expected:
        pass


def _traced_window(fn: Callable[[], object], calls: int, expected: tuple) -> int:
    gc.collect()
    tracemalloc.start()
    try:
        before = tracemalloc.get_traced_memory()[0]
        for _ in range(calls):
            call_ignoring(fn, expected)
        gc.collect()
        return tracemalloc.get_traced_memory()[0] - before
    finally:
        tracemalloc.stop()


def traced_growth(fn: Callable[[], object], calls: int, expected=()) -> int:
    """Bytes the Python heap grows by per `calls` calls, once warmed up.

    Measured as the difference between a window of 3 * calls and one of `calls` calls: a leak grows
    with the number of calls, while what the interpreter settles once per window (free lists,
    caches of the pickle machinery under some allocators) cancels out."""
    expected = tuple(expected)
    for _ in range(calls):
        call_ignoring(fn, expected)
    short = _traced_window(fn, calls, expected)
    long = _traced_window(fn, 3 * calls, expected)
    return (long - short) // 2


# ASan keeps freed memory in quarantine, so resident size says nothing under the sanitizer.
UNDER_SANITIZER = "libasan" in os.environ.get("LD_PRELOAD", "")


def resident_growth(fn: Callable[[], object], calls: int, expected=()) -> int:
    """Growth of the resident size over `calls` calls (catches native allocations too)."""
    expected = tuple(expected)
    for _ in range(max(calls // 5, 10)):
        call_ignoring(fn, expected)
    gc.collect()
    before = resident_bytes()
    for _ in range(calls):
        call_ignoring(fn, expected)
    gc.collect()
    return resident_bytes() - before
