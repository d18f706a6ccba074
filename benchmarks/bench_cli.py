"""The qelo command on a large file of random bytes, against xxd, run separately:

    python -m benchmarks.bench_cli [--mib 128] [--repeat 3]

Times whole runs (process start included) of `qelo hexdump` and `qelo hexundump` (the command
installed beside this interpreter, else `python -m qelo`) and of `xxd` / `xxd -r` when xxd is
installed (skipped with a note otherwise), each writing to a file in a temporary folder and to
/dev/null, and reports MB of input per second (the restore counted in MB of restored bytes, as
its input is the dump of the same file), the ratio against xxd, and the peak memory of each
run. The best of the repeats is kept. The restores are checked against the original bytes.
"""

from __future__ import annotations

import argparse
import filecmp
import os
import shutil
import subprocess
import sys
import tempfile
import time
from collections.abc import Sequence


def cases() -> list[object]:
    """None for benchmarks.run: whole runs of a command on a large file are timed by main()."""
    return []


def qelo_command() -> list[str]:
    found = shutil.which("qelo", path=os.path.dirname(sys.executable))
    return [found] if found else [sys.executable, "-m", "qelo"]


def timed(command: Sequence[str], output: str) -> tuple[float, int]:
    """Seconds and peak resident memory (KiB) of one run writing its standard output to output."""
    with open(output, "wb") as out:
        start = time.perf_counter()
        child = subprocess.Popen(list(command), stdout=out)
        _, status, usage = os.wait4(child.pid, 0)
        elapsed = time.perf_counter() - start
    if os.waitstatus_to_exitcode(status) != 0:
        raise SystemExit(f"{' '.join(command)} failed")
    return elapsed, usage.ru_maxrss


def best(command: Sequence[str], output: str, repeat: int) -> tuple[float, int]:
    runs = [timed(command, output) for _ in range(repeat)]
    return min(r[0] for r in runs), max(r[1] for r in runs)


def main(argv: list[str] | None = None) -> int:
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--mib", type=int, default=128, help="size of the random input in MiB (default 128)")
    parser.add_argument("--repeat", type=int, default=3, help="runs per command; the fastest is kept")
    args = parser.parse_args(argv)
    size = args.mib << 20
    qelo = qelo_command()
    xxd = shutil.which("xxd")
    with tempfile.TemporaryDirectory() as folder:
        source = os.path.join(folder, "random.bin")
        with open(source, "wb") as stream:
            for _ in range(args.mib):
                stream.write(os.urandom(1 << 20))
        paths = {name: os.path.join(folder, name) for name in ("qelo.txt", "qelo.bin", "xxd.txt", "xxd.bin")}
        rows = []
        for where, sink in (("file", None), ("/dev/null", os.devnull)):
            qd = best([*qelo, "hexdump", source], sink or paths["qelo.txt"], args.repeat)
            # The restore reads the dump written to a file in either case.
            if sink:
                timed([*qelo, "hexdump", source], paths["qelo.txt"])
            qr = best([*qelo, "hexundump", paths["qelo.txt"]], sink or paths["qelo.bin"], args.repeat)
            if not sink and not filecmp.cmp(source, paths["qelo.bin"], shallow=False):
                raise SystemExit("qelo hexundump did not restore the input")
            xd = xr = None
            if xxd:
                xd = best([xxd, source], sink or paths["xxd.txt"], args.repeat)
                if sink:
                    timed([xxd, source], paths["xxd.txt"])
                xr = best([xxd, "-r", paths["xxd.txt"]], sink or paths["xxd.bin"], args.repeat)
            rows.append((where, "dump", qd, xd))
            rows.append((where, "restore", qr, xr))
    print(f"Python {sys.version.split()[0]}; {args.mib} MiB of random bytes; best of {args.repeat}; "
          f"qelo = {' '.join(os.path.basename(p) for p in qelo)}")
    if not xxd:
        print("note: xxd is not installed (Debian package xxd); its columns are left empty")
    print()
    print("| output to | step | qelo s | qelo MB/s | qelo peak MiB | xxd s | xxd MB/s | xxd/qelo time |")
    print("|---|---|---|---|---|---|---|---|")
    for where, step, (qs, qmem), peer in rows:
        line = f"| {where} | {step} | {qs:.2f} | {size / qs / 1e6:.0f} | {qmem / 1024:.0f} |"
        if peer is None:
            line += " - | - | - |"
        else:
            xs, _ = peer
            line += f" {xs:.2f} | {size / xs / 1e6:.0f} | {xs / qs:.2f}x |"
        print(line)
    return 0


if __name__ == "__main__":
    raise SystemExit(main())
