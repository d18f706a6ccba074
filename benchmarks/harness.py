"""Side-by-side timing: every implementation of a case runs interleaved in one process, and the
table reports each alternative's time as a multiple of qelo's (above 1 means qelo is faster).

Each candidate is a zero-argument callable timed in a Python loop. The loop and the call of that
callable cost the same for every candidate (tens of nanoseconds), which would squeeze the ratios of
small calls toward 1, so an empty function is timed in the same rounds and its time is subtracted:
the reported times are those of the candidates' own statements.

That subtraction is sound only when every candidate is called the way the empty function is: as a
Python function whose body is the statement. A functools.partial or a bound C method is called
without a Python frame, more cheaply than the empty function, and subtracting the empty function's
cost from it would remove more than its wrapper cost. So such a candidate is timed through a Python
function whose body is its own call: partial(f, a, b, k=c) as `lambda: f(a, b, k=c)` (arguments
held in closure cells, as timeit's setup names would be), any other callable c as `lambda: c()`."""

from __future__ import annotations

import functools
import gc
import time
import types
from dataclasses import dataclass, field
from typing import Callable


@dataclass
class Case:
    name: str
    # "qelo" first, then the alternatives (pure-Python transcription, stdlib or third-party peers).
    impls: dict[str, Callable[[], object]]
    # What the case is held to, printed beside the ratios.
    target: str = ""
    # Check that every implementation gives qelo's result before timing.
    same_result: bool = True
    skipped: list[str] = field(default_factory=list)


def _calibrate(fn: Callable[[], object], budget: float) -> int:
    number = 1
    while True:
        start = time.perf_counter()
        for _ in range(number):
            fn()
        elapsed = time.perf_counter() - start
        if elapsed >= budget or number >= 1 << 24:
            return number
        number *= 2 if elapsed > budget / 10 else 10


def _empty() -> None:
    return None


def as_statement(fn: Callable[[], object]) -> Callable[[], object]:
    """A Python function whose body is the call that `fn` stands for (see the module docstring)."""
    if isinstance(fn, types.FunctionType):
        return fn
    if isinstance(fn, functools.partial):
        positional = [f"a{i}" for i in range(len(fn.args))]
        keywords = [f"k{i}" for i in range(len(fn.keywords))]
        arguments = positional + [f"{name}={cell}" for name, cell in zip(fn.keywords, keywords)]
        source = f"def make(f, {', '.join(positional + keywords)}):\n    return lambda: f({', '.join(arguments)})\n"
        namespace: dict[str, object] = {}
        exec(source, namespace)
        return namespace["make"](fn.func, *fn.args, *fn.keywords.values())  # type: ignore[operator]
    return lambda: fn()


_BASELINE = "(empty call)"


def measure(case: Case, rounds: int = 5, budget: float = 0.05) -> dict[str, float]:
    """Best time per call of each implementation's own statement, rounds interleaved across
    implementations, less the best time of an empty call timed the same way."""
    if case.same_result:
        expected = case.impls["qelo"]()
        for label, fn in case.impls.items():
            got = fn()
            if got != expected:
                raise AssertionError(f"{case.name}: {label} disagrees with qelo")
    impls = {**{label: as_statement(fn) for label, fn in case.impls.items()}, _BASELINE: _empty}
    numbers = {label: _calibrate(fn, budget) for label, fn in impls.items()}
    best = {label: float("inf") for label in impls}
    gc_was_enabled = gc.isenabled()
    gc.disable()
    try:
        for _ in range(rounds):
            for label, fn in impls.items():
                number = numbers[label]
                start = time.perf_counter()
                for _ in range(number):
                    fn()
                best[label] = min(best[label], (time.perf_counter() - start) / number)
    finally:
        if gc_was_enabled:
            gc.enable()
    overhead = best.pop(_BASELINE)
    # A statement never costs less than a hundredth of its raw time (noise can make the
    # difference tiny or negative for the very cheapest calls).
    return {label: max(t - overhead, t / 100) for label, t in best.items()}


def format_time(seconds: float) -> str:
    for unit, scale in (("s", 1.0), ("ms", 1e-3), ("us", 1e-6)):
        if seconds >= scale:
            return f"{seconds / scale:.3g} {unit}"
    return f"{seconds / 1e-9:.3g} ns"


def report(cases: list[Case], rounds: int, budget: float, out=print) -> None:
    out("| case | qelo | alternatives: time (alternative / qelo) | target |")
    out("|---|---|---|---|")
    for case in cases:
        best = measure(case, rounds, budget)
        ours = best["qelo"]
        others = ", ".join(
            f"{label} {format_time(t)} ({t / ours:.2f}x)" for label, t in best.items() if label != "qelo"
        )
        if case.skipped:
            others += "; not installed: " + ", ".join(case.skipped)
        out(f"| {case.name} | {format_time(ours)} | {others} | {case.target} |")
