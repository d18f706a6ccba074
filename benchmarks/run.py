"""Runs the side-by-side benchmarks: python -m benchmarks.run [-k SUBSTRING] [--rounds N].

Each benchmarks/bench_*.py module offers cases() -> list[Case]; a module whose qelo extension is
not built is skipped with a note.
"""

from __future__ import annotations

import argparse
import importlib
import pkgutil
import sys

from benchmarks.harness import report


def main(argv: list[str] | None = None) -> int:
    parser = argparse.ArgumentParser(description=__doc__)
    parser.add_argument("-k", dest="keyword", default="", help="only cases whose name contains this")
    parser.add_argument("--rounds", type=int, default=5, help="interleaved rounds per case (best is kept)")
    parser.add_argument("--budget", type=float, default=0.05, help="seconds per timing batch")
    args = parser.parse_args(argv)
    import benchmarks

    cases = []
    for info in sorted(pkgutil.iter_modules(benchmarks.__path__), key=lambda m: m.name):
        if not info.name.startswith("bench_"):
            continue
        try:
            module = importlib.import_module(f"benchmarks.{info.name}")
        except ImportError as exc:
            print(f"skipping {info.name}: {exc}", file=sys.stderr)
            continue
        cases.extend(c for c in module.cases() if args.keyword in c.name)
    print(f"Python {sys.version.split()[0]}; ratios above 1 mean qelo is faster.\n")
    report(cases, args.rounds, args.budget)
    return 0


if __name__ == "__main__":
    raise SystemExit(main())
