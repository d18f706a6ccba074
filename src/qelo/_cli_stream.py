"""Chunked hexdump/hexundump for the command-line tool.

Large inputs are dumped or restored a few MiB at a time with the native functions, so neither the
whole text nor the whole byte string is ever held in memory. The result is byte-identical to one
call on the whole input, errors included (a fault names the line's number in the whole text).

Offsets are the only thing a chunk gets wrong when handled alone: it starts them at 0 and picks
their width from its own length. Chunks start at multiples of 16**k, so the low k digits of every
offset are already right and only the high digits need rewriting; lines in a run that share those
digits are patched with one strided slice assignment per digit, at C speed.
"""

from __future__ import annotations

import math
import os
import re
from collections.abc import Iterator
from typing import BinaryIO, Protocol

from qelo.lib.hex import hexdump, hexundump


class Writable(Protocol):
    """Where results go: anything with a write method taking bytes."""

    def write(self, data: bytes, /) -> object: ...

MIB = 1 << 20
# Inputs above this size are streamed; the chunk size is what is held at a time. Both can be
# lowered through hidden environment variables so the tests reach the chunked paths cheaply.
STREAM_THRESHOLD = 64 * MIB
CHUNK_SIZE = 4 * MIB

HEADER = 'hexundump("""'
CLOSING = '""")'
HEAD = len(HEADER) + 1
TAIL = len(CLOSING) + 1
LIMIT = 1 << 32
LIMIT_MESSAGE = "hexdump cannot process more than 16**8 or 4294967296 bytes"
# The reader looks at no more than 9 leading hex digits to find an offset field of 4 or 8.
_LEADING_HEX_TEXT = re.compile(r"[0-9A-Fa-f]{0,9}")
_LEADING_HEX_BYTES = re.compile(rb"[0-9A-Fa-f]{0,9}")


def stream_threshold() -> int:
    return int(os.environ.get("QELO_CLI_STREAM_THRESHOLD", STREAM_THRESHOLD))


def chunk_size() -> int:
    return max(1, int(os.environ.get("QELO_CLI_CHUNK_SIZE", CHUNK_SIZE)))


def tables_are_standard() -> bool:
    """The chunked writer relies on one ASCII character per printable entry and two per hex pair."""
    from qelo.lib import hex as module

    return getattr(module, "HEXPRINT", None) == ["%02X" % v for v in range(256)] and getattr(
        module, "PRINTABLE", None
    ) == [chr(v) if 32 <= v < 128 else "." for v in range(256)]


class Progress:
    """One updating line on standard error, only when it is a terminal."""

    def __init__(self, command: str, total: int | None, stream) -> None:
        self.command, self.total, self.stream = command, total, stream
        self.enabled = bool(getattr(stream, "isatty", lambda: False)())
        self.shown = False

    def update(self, done: int) -> None:
        if not self.enabled:
            return
        text = f"{self.command}: {done // MIB} MiB"
        if self.total:
            text += f" of {self.total // MIB} MiB ({100 * done // self.total}%)"
        self.stream.write("\r" + text)
        self.stream.flush()
        self.shown = True

    def finish(self) -> None:
        if self.shown:
            self.stream.write("\n")
            self.stream.flush()
            self.shown = False


def _valuation16(value: int, cap: int) -> int:
    """The largest k <= cap with 16**k dividing value (cap for 0)."""
    k = 0
    while k < cap and value % (16 ** (k + 1)) == 0:
        k += 1
    return k


def _chunk_bytes(linesize: int) -> int:
    """A multiple of linesize near the chunk size, divisible by as high a power of 16 as fits."""
    target = chunk_size()
    for k in range(6, -1, -1):
        unit = math.lcm(linesize, 16**k)
        if unit <= target or k == 0:
            return unit * max(1, target // unit)
    raise AssertionError("unreachable")


def _runs(first: int, count: int, step: int, k: int) -> Iterator[tuple[int, int, int]]:
    """Ranges [a, b) of line indexes whose offsets first + i*step share offset >> 4k."""
    unit = 16**k
    a = 0
    while a < count:
        high = (first + a * step) // unit
        b = min(count, -(-((high + 1) * unit - first) // step))
        yield a, b, high
        a = b


def _line_length(width: int, linesize: int) -> int:
    return width + 3 + 3 * linesize - 1 + 3 + linesize


def _patch_high_digits(buf: bytearray, start: int, count: int, stride: int, width: int, k: int,
                       old_first: int, new_first: int, step: int, verify: bool) -> bool:
    """Rewrite the high width-k digits of count offset fields (line i at start + i*stride) from
    old_first + i*step to new_first + i*step; old_first - new_first must be a multiple of 16**k.
    With verify, first check that each field holds its old value (hex digits in either case)."""
    digits = width - k
    shift = (old_first - new_first) >> (4 * k)
    for a, b, high in _runs(old_first, count, step, k):
        if high >= 16**digits:
            return False  # beyond what the field can hold (16**digits is 1 when no digit is left)
        old = b"%0*X" % (digits, high)
        new = b"%0*X" % (digits, high - shift)
        for d in range(digits):
            if old[d] == new[d]:
                continue  # left as it stands; the reader checks it against the same digit
            where = slice(start + a * stride + d, start + b * stride, stride)
            if verify:
                want = old[d : d + 1] * (b - a)
                got = buf[where]
                if got != want and got.upper() != want:
                    return False
            buf[where] = new[d : d + 1] * (b - a)
    return True


# ---------------------------------------------------------------------------------------------
# hexdump


def _rebased_lines(text: str, linesize: int, base: int, own_width: int, width: int) -> bytes:
    """Data lines of a chunk's dump with each offset field rewritten (the chunk's own width
    differs from the whole dump's, which only happens for pieces under 64 KiB)."""
    lines = text[HEAD:-TAIL].split("\n")[:-1]
    return "".join(
        "%0*X%s\n" % (width, base + i * linesize, line[own_width:]) for i, line in enumerate(lines)
    ).encode("ascii")


def _dumped_chunk(chunk: bytes, linesize: int, base: int, width: int):
    text = hexdump(chunk, linesize)
    own_width = 8 if len(chunk) >= 1 << 16 else 4
    if own_width != width:
        return _rebased_lines(text, linesize, base, own_width, width)
    buf = bytearray(text.encode("ascii"))
    count = -(-len(chunk) // linesize)
    k = _valuation16(base, width)
    _patch_high_digits(buf, HEAD, count, _line_length(width, linesize) + 1, width, k, 0, base, linesize, False)
    return memoryview(buf)[HEAD:-TAIL]


def _chunks(source: BinaryIO, head: bytes, size: int) -> Iterator[bytes]:
    whole = len(head) - len(head) % size
    for start in range(0, whole, size):
        yield head[start : start + size]
    head = head[whole:]
    while True:
        piece = source.read(size - len(head))
        if not piece:
            break
        head += piece
        if len(head) == size:
            yield head
            head = b""
    if head:
        yield head


def dump_stream(source: BinaryIO, head: bytes, total: int | None, linesize: int, out: Writable,
                progress: Progress) -> None:
    """Write the dump of head + the rest of source. total is the whole length when known (a
    regular file); otherwise head already holds at least 64 KiB, so offsets have 8 digits."""
    if total is not None and total >= LIMIT:
        raise ValueError(LIMIT_MESSAGE)
    width = 4 if total is not None and total < 1 << 16 else 8
    done = 0
    out.write((HEADER + "\n").encode("ascii"))
    for chunk in _chunks(source, head, _chunk_bytes(linesize)):
        if done + len(chunk) >= LIMIT:
            raise ValueError(LIMIT_MESSAGE)
        out.write(_dumped_chunk(chunk, linesize, done, width))
        done += len(chunk)
        progress.update(done)
    if (4 if done < 1 << 16 else 8) != width:
        raise ValueError("the input changed size while it was read")
    out.write((CLOSING + "\n").encode("ascii"))


# ---------------------------------------------------------------------------------------------
# hexundump


def _utf8_fault(exc: UnicodeDecodeError, at: int) -> ValueError:
    start, end = at + exc.start, at + exc.end
    if exc.end - exc.start == 1:
        detail = f"'{exc.encoding}' codec can't decode byte 0x{exc.object[exc.start]:02x} in position {start}: {exc.reason}"
    else:
        detail = f"'{exc.encoding}' codec can't decode bytes in position {start}-{end - 1}: {exc.reason}"
    return ValueError(f"the input is not a UTF-8 text: {detail}")


def _read_at_least(source: BinaryIO, count: int) -> bytes:
    """count bytes, fewer only at the end; a single read (no copy) when the source allows."""
    data = source.read(count)
    while 0 < len(data) < count:
        more = source.read(count - len(data))
        if not more:
            break
        data += more
    return data


def _cut_blocks(source: BinaryIO, head: bytes, targets: Iterator[int]) -> Iterator[bytes]:
    """The input cut right after the last newline within each target size (or the first one
    after it for a longer line). UTF-8 never uses the newline byte inside a character, so every
    block decodes on its own."""
    rest = head
    for target in targets:
        data = rest + _read_at_least(source, target - len(rest)) if len(rest) < target else rest
        if not data:
            return
        cut = data.rfind(b"\n", 0, target) + 1
        while cut == 0:
            more = _read_at_least(source, max(target, 1 << 16))
            if not more:
                cut = len(data)
                break
            found = more.find(b"\n")
            data += more
            if found >= 0:
                cut = len(data) - len(more) + found + 1
        # A block of whole target size is the common case: slicing all of it copies nothing.
        block, rest = data[:cut], data[cut:]
        yield block


def _blocks(source: BinaryIO, head: bytes, targets: Iterator[int]) -> Iterator[tuple[int, bytes, bool]]:
    """(position, block, is_last), one block read ahead so that the last one is known."""
    position, previous = 0, None
    for block in _cut_blocks(source, head, targets):
        if previous is not None:
            yield position, previous, False
            position += len(previous)
        previous = block
    if previous is not None:
        yield position, previous, True


def _quote(line: str) -> str:
    return repr(line[:120]) + ("..." if len(line) > 120 else "")


def _hex_digits(line) -> int:
    pattern = _LEADING_HEX_BYTES if isinstance(line, (bytes, bytearray)) else _LEADING_HEX_TEXT
    found = pattern.match(line)  # the pattern matches the empty string, so never None
    return len(found.group()) if found is not None else 0


class _Undumper:
    """Feeds the native reader one block of whole lines at a time. A block other than the first
    gets a header line, offsets relative to its first line and, unless it ends the input, a
    closing line; so the strict reader checks every line as it would in the whole text. The
    state between blocks is carried by the last line read: after a short data line or the
    closing line, the next block is preceded by such a line."""

    def __init__(self, linesize: int) -> None:
        self.linesize = linesize
        self.width: int | None = None  # offset digits, set by the first data line
        self.produced = 0  # bytes restored, all from full lines while reading goes on
        self.state = "header"  # what the last line read was: header, full, short, closing
        self.line = 0  # number of lines read so far
        # The framed text of a block is built in one buffer kept from block to block: fresh
        # buffers of several MiB each cost more in page faults than the copying itself.
        self.buffer = bytearray()
        self.used = 0

    def _put(self, data) -> None:
        """Append data at self.used, overwriting in place while the buffer is long enough."""
        end = self.used + len(data)
        if end <= len(self.buffer):
            self.buffer[self.used : end] = data
        else:
            del self.buffer[self.used :]
            self.buffer += data
        self.used = end

    def line_length(self) -> int | None:
        return None if self.width is None else _line_length(self.width, self.linesize)

    def _fast_lines(self, block: bytes) -> int:
        """Append the leading run of lines of block that are as many bytes long as a full line
        to the buffer, with their offsets made relative to the block; the number of lines."""
        width = self.width
        if width is None:
            return 0
        length = _line_length(width, self.linesize)
        stride = length + 1
        ends = block[length::stride]
        count = len(ends) - len(ends.lstrip(b"\n"))
        if count == 0:
            return 0
        # Every field patched starts right after a newline, so it is a line's offset field.
        start = self.used
        self._put(memoryview(block)[: count * stride])
        k = _valuation16(self.produced, width)
        if not _patch_high_digits(self.buffer, start, count, stride, width, k, self.produced, 0, self.linesize, True):
            self.used = start
            return 0
        return count

    def _slow_line(self, line: str, index: int) -> str:
        """line (the index-th of the block) with its offset made relative to the block."""
        digits = _hex_digits(line)
        if digits != self.width:
            return line
        relative = index * self.linesize
        if int(line[:digits], 16) != self.produced + relative:
            relative = (relative + 1) % 16**digits  # still wrong, so the reader reports this line
        return "%0*X%s" % (digits, relative, line[digits:])

    def feed(self, raw: bytes, last: bool, position: int) -> bytes:
        """Restore one block (whole lines; the last one may lack its newline when last)."""
        first_block = self.line == 0
        prefix: list[str] = []
        if self.state == "short":
            prefix = ["0000   00" + " " * (3 * self.linesize - 3) + "   ."]
        elif self.state == "closing":
            prefix = [CLOSING]
        self.used = 0
        if not first_block:
            self._put("\n".join([HEADER, *prefix, ""]).encode("ascii"))
        skipped = 0 if first_block else 1 + len(prefix)  # framing lines before the block
        body_start = self.used
        rebase = not prefix and self.produced > 0
        fast_count = self._fast_lines(raw) if rebase else 0
        fast_end = fast_count * ((self.line_length() or 0) + 1)
        rest = memoryview(raw)[fast_end:]
        if rebase:
            try:
                lines = str(rest, "utf-8").split("\n")
            except UnicodeDecodeError:
                _check_utf8(raw, position)
                raise
            self._put("\n".join([self._slow_line(line, fast_count + i) for i, line in enumerate(lines)]).encode("utf-8"))
        else:
            self._put(rest)
        if not prefix and self.width is not None and _hex_digits(raw) in (4, 8) and _hex_digits(raw) != self.width:
            # The whole dump's offset width is already fixed; a block read alone would take its
            # width from this line instead.
            self.buffer[body_start] = ord("x")
        lines_only = raw[:-1] if raw.endswith(b"\n") else raw
        last_line = lines_only[lines_only.rfind(b"\n") + 1 :]
        closes = last_line == CLOSING.encode()
        if not (last or closes):
            self._put((CLOSING + "\n").encode("ascii"))
        del self.buffer[self.used :]  # a small cut, which keeps the buffer's memory
        try:
            # The framed text differs from the block only in ASCII digits and framing lines, so
            # it decodes exactly when the block does.
            text = str(self.buffer, "utf-8")
        except UnicodeDecodeError:
            _check_utf8(raw, position)
            raise
        try:
            result = hexundump(text, self.linesize)
        except ValueError as exc:
            raise self._absolute(exc, text, raw.decode("utf-8"), skipped) from None
        # A block read without fault has newlines only at line ends in its full-length run,
        # except when it ends with the closing line (a short line may sit inside that run).
        newlines = raw.count(b"\n") if closes else fast_count + raw.count(b"\n", fast_end)
        block_lines = newlines + (0 if raw.endswith(b"\n") else 1)
        if first_block and block_lines > 1 and _hex_digits(raw.split(b"\n", 2)[1]) in (4, 8):
            self.width = _hex_digits(raw.split(b"\n", 2)[1])  # the first data line's, as read
        self.line += block_lines
        if prefix:
            result = b""
        if closes:
            self.state = "closing"
        elif block_lines == 1 and first_block:
            self.state = "header"
        elif self.width is not None and len(last_line.decode("utf-8")) == _line_length(self.width, self.linesize):
            self.state = "full"
        else:
            self.state = "short"
        self.produced += len(result)
        return result

    def _absolute(self, exc: ValueError, fed: str, text: str, skipped: int) -> ValueError:
        """The reader's message for the block, with line number, line text and offset as they
        stand in the whole dump."""
        message = str(exc)
        found = re.search(r"line (\d+)", message)
        if found is None:
            return exc
        fed_number = int(found.group(1))
        index = fed_number - 1 - skipped  # of the line within the block
        number = self.line + index + 1
        message = message[: found.start(1)] + str(number) + message[found.end(1) :]
        if index >= 0:
            fed_line = fed.split("\n")[fed_number - 1]
            original = text.split("\n")[index]
            if fed_line != original and message.endswith(_quote(fed_line)):
                message = message[: -len(_quote(fed_line))] + _quote(original)
            if self.width is not None:
                relative = "%0*X" % (self.width, index * self.linesize)
                absolute = "%0*X" % (self.width, self.produced + index * self.linesize)
                message = message.replace(f"offset {relative} (", f"offset {absolute} (", 1)
        return ValueError(message)


def undump_stream(source: BinaryIO, head: bytes, total: int | None, linesize: int, out: Writable,
                  progress: Progress) -> None:
    """Write the bytes that the dump in head + the rest of source holds."""
    undumper = _Undumper(linesize)
    lines = _chunk_bytes(linesize) // linesize

    guess = _line_length(_guess_width(head), linesize)

    def targets() -> Iterator[int]:
        # Blocks of whole full lines keep every block's first offset a multiple of 16**k.
        yield len(HEADER) + 1 + lines * (guess + 1)
        while True:  # asked one block ahead, so the width may still be a guess
            yield lines * ((undumper.line_length() or guess) + 1)

    blocks = _blocks(source, head, targets())
    for position, block, last in blocks:
        try:
            out.write(undumper.feed(block, last, position))
        except ValueError:
            # Reading the whole text would have failed on its encoding first.
            for later_position, later, _ in blocks:
                _check_utf8(later, later_position)
            raise
        progress.update(position + len(block))


def _check_utf8(block: bytes, position: int) -> bool:
    """Whether block is ASCII; raises the whole text's error if it is not UTF-8."""
    if block.isascii():
        return True
    try:
        block.decode("utf-8")
    except UnicodeDecodeError as exc:
        raise _utf8_fault(exc, position) from None
    return False


def _guess_width(head: bytes) -> int:
    second = head.split(b"\n", 2)[1:2]
    digits = _hex_digits(second[0]) if second else 8
    return digits if digits in (4, 8) else 8
