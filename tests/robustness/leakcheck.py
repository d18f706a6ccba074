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


def traced_growth(fn: Callable[[], object], calls: int, expected=()) -> int:
    """Bytes still held on the Python heap after `calls` more calls, once warmed up."""
    expected = tuple(expected)
    # Warm up as long as the measurement, so one-time caches (type caches, interned strings,
    # allocator arenas) are filled before counting.
    for _ in range(calls):
        call_ignoring(fn, expected)
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
