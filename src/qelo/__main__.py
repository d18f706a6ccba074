"""Command-line tool: python -m qelo hexdump FILE | hexundump FILE [--linesize N] [-o OUT].

hexdump writes the hex dump text of a file's bytes; hexundump reads such a text back and writes
the bytes it holds. FILE "-" is standard input; the result goes to standard output unless -o
names a file.

Inputs over 64 MiB are processed in chunks: the output is written as it is made (identical to a
single call of the library function) and progress is shown on standard error when that is a
terminal. A failure part-way leaves no -o file behind; standard output may have received part of
the result by then.
"""

from __future__ import annotations

import argparse
import contextlib
import os
import stat
import sys
import tempfile
from collections.abc import Iterator
from typing import BinaryIO

from qelo import _cli_stream


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
    parser.epilog = (
        "Inputs over 64 MiB (standard input: once 64 MiB have arrived) are processed in chunks "
        "and the result is written as it is made, with progress on standard error when that is "
        "a terminal. If such a run fails part-way, standard output may already hold part of the "
        "result; an -o file is only put in place on success."
    )
    return parser


@contextlib.contextmanager
def _input(path: str) -> Iterator[tuple[BinaryIO, int | None]]:
    """The input stream and its remaining length when known (a regular file)."""
    if path == "-":
        stream, own = sys.stdin.buffer, False
    else:
        stream, own = open(path, "rb"), True
    try:
        size = None
        with contextlib.suppress(OSError, ValueError, AttributeError):
            info = os.fstat(stream.fileno())
            if stat.S_ISREG(info.st_mode):
                size = max(0, info.st_size - stream.tell())
        yield stream, size
    finally:
        if own:
            stream.close()


def _read_up_to(stream: BinaryIO, count: int) -> bytes:
    pieces, have = [], 0
    while have < count:
        piece = stream.read(count - have)
        if not piece:
            break
        pieces.append(piece)
        have += len(piece)
    return b"".join(pieces)


class _WriteFailed(Exception):
    """An OSError while writing the result, told apart from one while reading the input."""

    def __init__(self, error: OSError) -> None:
        super().__init__(error)
        self.error = error


class _Sink:
    def __init__(self, stream: BinaryIO) -> None:
        self.stream = stream

    def write(self, data) -> None:
        try:
            self.stream.write(data)
        except OSError as exc:
            raise _WriteFailed(exc) from exc


@contextlib.contextmanager
def _output(path: str | None) -> Iterator[BinaryIO]:
    """Standard output, or OUT written through a temporary file beside it that replaces OUT only
    on success, so a failed run never leaves a partial OUT (a device or pipe is written as is)."""
    if path is None:
        sys.stdout.flush()
        yield sys.stdout.buffer
        try:
            sys.stdout.buffer.flush()
        except OSError as exc:
            raise _WriteFailed(exc) from exc
        return
    target = os.path.realpath(path)  # through a symbolic link, as opening OUT would
    try:
        mode: int | None = os.stat(target).st_mode
    except OSError:
        mode = None
    if mode is not None and not stat.S_ISREG(mode):
        with open(path, "wb") as stream:
            yield stream
        return
    directory, name = os.path.split(target)
    handle, temporary = tempfile.mkstemp(prefix=f".{name}.", suffix=".part", dir=directory)
    try:
        with os.fdopen(handle, "wb") as stream:
            yield stream
        if mode is None:
            umask = os.umask(0)
            os.umask(umask)
            os.chmod(temporary, 0o666 & ~umask)
        else:
            os.chmod(temporary, stat.S_IMODE(mode))
        os.replace(temporary, target)
    except BaseException:
        with contextlib.suppress(OSError):
            os.unlink(temporary)
        raise


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


def _convert(
    command: str, source: BinaryIO, size: int | None, linesize: int, out: _cli_stream.Writable
) -> None:
    threshold = _cli_stream.stream_threshold()
    if size is not None:
        # Read a little past the size in case the file grew; a large one only needs its start.
        head = _read_up_to(source, size + 1 if size <= threshold else 1 << 16)
    else:
        # A pipe is read whole up to the threshold; past it, the dump's offset width is settled
        # once 64 KiB have arrived, and an input that ended early has its length known.
        wanted = max(threshold, 1 << 16) + 1
        head = _read_up_to(source, wanted)
        if len(head) < wanted:
            size = len(head)
    whole = size is not None and size <= threshold
    if whole or command == "hexdump" and not _cli_stream.tables_are_standard():
        out.write(_run(command, head + source.read(), linesize))
        return
    progress = _cli_stream.Progress(command, size, sys.stderr)
    stream = _cli_stream.dump_stream if command == "hexdump" else _cli_stream.undump_stream
    try:
        stream(source, head, size, linesize, out, progress)
    finally:
        progress.finish()


def main(argv: list[str] | None = None) -> int:
    parser = _parser()
    args = parser.parse_args(argv)
    where = "standard input" if args.file == "-" else args.file
    prefix = f"{parser.prog} {args.command}"
    try:
        with _input(args.file) as (source, size):
            try:
                with _output(args.output) as out:
                    _convert(args.command, source, size, args.linesize, _Sink(out))
            except _WriteFailed as failure:
                raise failure.error from None
            except OSError as exc:
                if exc.filename is None or exc.filename == args.file:
                    print(f"{prefix}: cannot read {where}: {exc.strerror or exc}", file=sys.stderr)
                    return 1
                raise
    except ValueError as exc:
        print(f"{prefix}: {where}: {exc}", file=sys.stderr)
        return 1
    except OSError as exc:
        if exc.filename is not None and exc.filename == args.file:
            print(f"{prefix}: cannot read {where}: {exc.strerror or exc}", file=sys.stderr)
        else:
            print(f"{prefix}: cannot write {args.output or 'standard output'}: {exc.strerror or exc}", file=sys.stderr)
        return 1
    return 0


if __name__ == "__main__":
    raise SystemExit(main())
