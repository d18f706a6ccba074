"""Command-line tool: qelo hexdump FILE | hexundump FILE [--linesize N] [-o OUT].

hexdump writes the hex dump text of a file's bytes; hexundump reads such a text back and writes
the bytes it holds. FILE "-" is standard input; the result goes to standard output unless -o
names a file. Also run as ``python -m qelo``.

Every input is streamed through the incremental writer and reader of qelo.lib.hex, which own the
format, its limits and its messages: the output is that of one library call on the whole input
(errors included) while memory stays bounded. This module only moves bytes between files, puts
an -o file in place on success, and shows progress on a terminal.
"""

from __future__ import annotations

import argparse
import contextlib
import os
import stat
import sys
import tempfile
from collections.abc import Callable, Iterator
from typing import BinaryIO

MIB = 1 << 20
# Bytes read at a time, and the input size from which progress is shown on a terminal. Both can
# be changed through environment variables that the tests use to reach small pieces cheaply.
CHUNK_SIZE = 256 << 10  # stays in cache between the read and the conversion
PROGRESS_THRESHOLD = 64 * MIB
SIGINT_STATUS = 130  # 128 + SIGINT, as a shell reports a program ended by Ctrl-C
SIGPIPE_STATUS = 141  # 128 + SIGPIPE: the reader of standard output went away


def _setting(name: str, default: int) -> int:
    return max(1, int(os.environ.get(name, default)))


class _Failure(Exception):
    """A one-line message for standard error; the run ends with status 1."""


class _Closed(Exception):
    """Standard output was closed by its reader."""


def _positive_int(text: str) -> int:
    try:
        value = int(text, 10)
    except ValueError:
        raise argparse.ArgumentTypeError(f"invalid int value: {text!r}") from None
    if value < 1:
        raise argparse.ArgumentTypeError(f"must be at least 1, not {value}")
    return value


def _parser(prog: str) -> argparse.ArgumentParser:
    parser = argparse.ArgumentParser(prog=prog, description="Write or read the qelo hex dump text format.")
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
        "The result is written as it is made. If a run fails part-way, standard output may "
        "already hold part of the result; an -o file is only put in place on success."
    )
    return parser


class _Progress:
    """One updating line on standard error, only when it is a terminal and the input is large."""

    def __init__(self, command: str, total: int | None, stream: object) -> None:
        self.command, self.total, self.stream = command, total, stream
        isatty = getattr(stream, "isatty", None)
        self.enabled = bool(isatty and isatty())
        self.threshold = _setting("QELO_CLI_STREAM_THRESHOLD", PROGRESS_THRESHOLD)
        self.shown = False

    def update(self, done: int) -> None:
        if not self.enabled or (self.total or done) <= self.threshold:
            return
        text = f"{self.command}: {done // MIB} MiB"
        if self.total:
            text += f" of {self.total // MIB} MiB ({100 * done // self.total}%)"
        self.stream.write("\r" + text)  # type: ignore[attr-defined]
        self.stream.flush()  # type: ignore[attr-defined]
        self.shown = True

    def finish(self) -> None:
        if self.shown:
            self.stream.write("\n")  # type: ignore[attr-defined]
            self.stream.flush()  # type: ignore[attr-defined]


@contextlib.contextmanager
def _input(path: str, where: str) -> Iterator[tuple[BinaryIO, int | None]]:
    """The unbuffered input stream and its size when it is a regular file. Each read is then one
    system call, so Ctrl-C is seen as soon as that call returns (a buffered read of several
    calls would only see it when it ends, or never if it then waits on a pipe)."""
    try:
        stream: BinaryIO = open(sys.stdin.fileno(), "rb", buffering=0, closefd=False) if path == "-" else open(path, "rb", buffering=0)
    except OSError as exc:
        raise _Failure(f"cannot read {where}: {exc.strerror or exc}") from None
    try:
        size = None
        with contextlib.suppress(OSError, ValueError, AttributeError):
            info = os.fstat(stream.fileno())
            if stat.S_ISREG(info.st_mode):
                size = max(0, info.st_size - stream.tell())
        yield stream, size
    finally:
        stream.close()


@contextlib.contextmanager
def _output(path: str | None) -> Iterator[BinaryIO]:
    """Standard output, or OUT written through a temporary file beside it that replaces OUT only
    on success, so a failed or interrupted run never leaves a partial OUT (a device or pipe is
    written as is)."""
    if path is None:
        yield sys.stdout.buffer
        sys.stdout.buffer.flush()
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


def _convert(
    command: str, linesize: int, size: int | None
) -> tuple[Callable[[memoryview], bytes], Callable[[], bytes]]:
    from qelo.lib.hex import _HexReader, _HexWriter

    if command == "hexdump":
        writer = _HexWriter(linesize, size)
        return writer.write, writer.close
    reader = _HexReader(linesize)
    return reader.feed, reader.finish


def _run(args: argparse.Namespace, where: str, written: str) -> None:
    chunk = _setting("QELO_CLI_CHUNK_SIZE", CHUNK_SIZE)

    def put(out: BinaryIO, data: bytes) -> None:
        try:
            out.write(data)
        except BrokenPipeError:
            if args.output is None:
                raise _Closed() from None
            raise _Failure(f"cannot write {written}: {os.strerror(32)}") from None
        except OSError as exc:
            raise _Failure(f"cannot write {written}: {exc.strerror or exc}") from None

    with _input(args.file, where) as (source, size):
        try:
            convert, finish = _convert(args.command, args.linesize, size)
        except ValueError as exc:
            raise _Failure(f"{where}: {exc}") from None
        try:
            context = _output(args.output)
            out = context.__enter__()
        except OSError as exc:
            raise _Failure(f"cannot write {written}: {exc.strerror or exc}") from None
        with contextlib.ExitStack() as stack:
            stack.push(context.__exit__)
            progress = _Progress(args.command, size, sys.stderr)
            stack.callback(progress.finish)
            done = 0
            buffer = memoryview(bytearray(chunk))  # reused: the converters copy what they keep
            while True:
                try:
                    count = source.readinto(buffer)  # type: ignore[attr-defined]
                except OSError as exc:
                    raise _Failure(f"cannot read {where}: {exc.strerror or exc}") from None
                if not count:
                    break
                try:
                    put(out, convert(buffer[:count]))
                except ValueError as exc:
                    raise _Failure(f"{where}: {exc}") from None
                done += count
                progress.update(done)
            try:
                put(out, finish())
            except ValueError as exc:
                raise _Failure(f"{where}: {exc}") from None
            try:
                out.flush()
            except BrokenPipeError:
                if args.output is None:
                    raise _Closed() from None
                raise
            except OSError as exc:
                raise _Failure(f"cannot write {written}: {exc.strerror or exc}") from None


def _silence_stdout() -> None:
    """Points standard output at the null device, so that the interpreter's final flush of what
    is still buffered does not fail again on the closed pipe."""
    with contextlib.suppress(OSError, ValueError, AttributeError):
        null = os.open(os.devnull, os.O_WRONLY)
        os.dup2(null, sys.stdout.fileno())
        os.close(null)


def main(argv: list[str] | None = None, prog: str = "python -m qelo") -> int:
    parser = _parser(prog)
    args = parser.parse_args(argv)
    where = "standard input" if args.file == "-" else args.file
    written = args.output or "standard output"
    try:
        _run(args, where, written)
    except _Failure as failure:
        print(f"{prog} {args.command}: {failure}", file=sys.stderr)
        return 1
    except _Closed:
        _silence_stdout()
        return SIGPIPE_STATUS
    except OSError as exc:  # putting the -o file in place (closing, renaming) failed
        print(f"{prog} {args.command}: cannot write {written}: {exc.strerror or exc}", file=sys.stderr)
        return 1
    except KeyboardInterrupt:
        return SIGINT_STATUS
    return 0


def console() -> int:
    """Entry point of the ``qelo`` command."""
    return main(prog="qelo")


if __name__ == "__main__":
    raise SystemExit(main())
