"""Growth measurement for reference-leak tests: the traced Python heap (tracemalloc) and the
process's resident size, before and after many calls; on a debug interpreter (sys.gettotalrefcount),
the exact number of references left behind."""

from __future__ import annotations

import gc
import itertools
import os
import sys
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


# A debug interpreter (Py_DEBUG) counts every reference it hands out and takes back.
HAS_TOTALREFCOUNT = hasattr(sys, "gettotalrefcount")


def _reference_window(fn: Callable[[], object], calls: int, expected: tuple) -> int:
    gc.collect()
    before = sys.gettotalrefcount()
    for _ in itertools.repeat(None, calls):
        call_ignoring(fn, expected)
    gc.collect()
    return sys.gettotalrefcount() - before


def reference_growth(fn: Callable[[], object], calls: int, expected=(), attempts: int = 3) -> int:
    """References left behind per `calls` calls, exactly (debug interpreters only).

    The difference between a window of 2 * calls and one of `calls` calls after a warm-up, so what
    the measurement itself holds, and a cache that fills once per window, cancel out. A cache that
    happens to fill inside one window can make one attempt non-zero, so up to `attempts` are made
    and the one closest to 0 is returned; a leak of one reference in k calls shows in every one."""
    expected = tuple(expected)
    for _ in itertools.repeat(None, calls):
        call_ignoring(fn, expected)
    closest = None
    for _ in range(attempts):
        short = _reference_window(fn, calls, expected)
        long = _reference_window(fn, 2 * calls, expected)
        growth = long - short
        if closest is None or abs(growth) < abs(closest):
            closest = growth
        if closest == 0:
            break
    return closest
