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
    """Bytes still held on the Python heap after `calls` more calls, once warmed up.

    The smaller of two consecutive windows is reported: a leak grows in every window, while the
    interpreter's free lists and caches settle once (and can make one window look bigger)."""
    expected = tuple(expected)
    for _ in range(calls):
        call_ignoring(fn, expected)
    return min(_traced_window(fn, calls, expected) for _ in range(2))


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
