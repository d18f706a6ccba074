"""Command-line tool: python -m qelo hexdump FILE | hexundump FILE [--linesize N] [-o OUT].

hexdump writes the hex dump text of a file's bytes; hexundump reads such a text back and writes
the bytes it holds. FILE "-" is standard input; the result goes to standard output unless -o
names a file.
"""

from __future__ import annotations

import argparse
import sys


def _positive_int(text: str) -> int:
    try:
        value = int(text, 10)
    except ValueError:
        raise argparse.ArgumentTypeError(f"invalid int value: {text!r}") from None
    if value < 1:
        raise argparse.ArgumentTypeError(f"must be at least 1, not {value}")
    return value


def _parser() -> argparse.ArgumentParser:
    parser = argparse.ArgumentParser(
        prog="python -m qelo", description="Write or read the qelo hex dump text format."
    )
    commands = parser.add_subparsers(dest="command", required=True, metavar="COMMAND")
    for name, help_text in (
        ("hexdump", "write the hex dump of FILE's bytes"),
        ("hexundump", "restore the bytes that the hex dump in FILE holds"),
    ):
        command = commands.add_parser(name, help=help_text, description=help_text)
        command.add_argument("file", metavar="FILE", help='input file, or "-" for standard input')
        command.add_argument(
            "--linesize", type=_positive_int, default=16, metavar="N", help="bytes per dump line (default 16)"
        )
        command.add_argument("-o", dest="output", metavar="OUT", help="write to OUT instead of standard output")
    return parser


def _read_input(path: str) -> bytes:
    if path == "-":
        return sys.stdin.buffer.read()
    with open(path, "rb") as stream:
        return stream.read()


def _write_output(path: str | None, payload: bytes) -> None:
    if path is None:
        sys.stdout.flush()
        sys.stdout.buffer.write(payload)
        sys.stdout.buffer.flush()
        return
    with open(path, "wb") as stream:
        stream.write(payload)


def _run(command: str, source: bytes, linesize: int) -> bytes:
    from qelo.lib.hex import hexdump, hexundump

    if command == "hexdump":
        # The dump is ASCII unless the tables were changed; UTF-8 keeps any text intact.
        return hexdump(source, linesize).encode("utf-8")
    try:
        text = source.decode("utf-8")
    except UnicodeDecodeError as exc:
        raise ValueError(f"the input is not a UTF-8 text: {exc}") from None
    return hexundump(text, linesize)


def main(argv: list[str] | None = None) -> int:
    parser = _parser()
    args = parser.parse_args(argv)
    where = "standard input" if args.file == "-" else args.file
    try:
        source = _read_input(args.file)
    except OSError as exc:
        print(f"{parser.prog} {args.command}: cannot read {where}: {exc.strerror or exc}", file=sys.stderr)
        return 1
    try:
        payload = _run(args.command, source, args.linesize)
    except ValueError as exc:
        print(f"{parser.prog} {args.command}: {where}: {exc}", file=sys.stderr)
        return 1
    try:
        _write_output(args.output, payload)
    except OSError as exc:
        print(f"{parser.prog} {args.command}: cannot write {args.output}: {exc.strerror or exc}", file=sys.stderr)
        return 1
    return 0


if __name__ == "__main__":
    raise SystemExit(main())
