"""qelo.lib.bitstream against its pure-Python transcription (benchmarks/pure_bitstream.py) and
io.BufferedReader where it does the same job."""

from __future__ import annotations

import io
import sys

from benchmarks import pure_bitstream as pure
from benchmarks.harness import Case
from qelo.lib import bitstream as native

MIB = 1 << 20
SMALL = 64


def _payload(size: int) -> bytes:
    return bytes(range(256)) * (size // 256)


def _read_whole_window(module, data: bytes):
    """Reads all of data through RebufferedBytesIO in reads of 1 MiB, no tailcutoff."""

    def run():
        stream = module.RebufferedBytesIO(io.BytesIO(data))
        for _ in range(len(data) // MIB):
            stream.read(MIB)
        return stream.cachedto()

    return run


def _read_whole_bytesio(data: bytes):
    """The same 1 MiB reads straight from the substream: the memory-bound floor of the case."""

    def run():
        stream = io.BytesIO(data)
        for _ in range(len(data) // MIB):
            stream.read(MIB)
        return stream.tell()

    return run


def _read_whole_bytearray(data: bytes):
    """The same reads from a bytearray window grown by 131072-byte polls: the floor of keeping the
    whole stream in memory (for windows above the allocator's mmap threshold, mostly page faults)."""

    def run():
        stream = io.BytesIO(data)
        window = bytearray()
        for start in range(0, len(data), MIB):
            while len(window) < start + MIB:
                window += stream.read(131072)
            bytes(memoryview(window)[start : start + MIB])
        return len(window)

    return run


def _small_reads_rebuffered(module, data: bytes, tailcutoff):
    def run():
        stream = module.RebufferedBytesIO(io.BytesIO(data), tailcutoff)
        read = stream.read
        for _ in range(len(data) // SMALL):
            read(SMALL)
        return stream.tell()

    return run


def _small_reads_buffered(data: bytes):
    def run():
        stream = io.BufferedReader(io.BytesIO(data), 131072)
        read = stream.read
        for _ in range(len(data) // SMALL):
            read(SMALL)
        return stream.tell()

    return run


def _small_reads_restreamed(module, data: bytes, unit: int):
    def run():
        stream = module.RestreamedBytesIO(io.BytesIO(data), bytes, unit, bytes, unit)
        read = stream.read
        for _ in range(len(data) // SMALL):
            read(SMALL)
        return stream.tell()

    return run


def _decode_bits(module, data: bytes, bytes2bits, count: int):
    """Decodes data one source byte per unit, reading `count` decoded bytes (bits) per call."""

    def run():
        stream = module.RestreamedBytesIO(io.BytesIO(data), bytes2bits, 1, None, 1)
        read = stream.read
        for _ in range(len(data) * 8 // count):
            read(count)
        return stream.tell()

    return run


def _decode_bits_at_once(module, data: bytes, bytes2bits, whole: bool):
    """Decodes all of data with a single read() (whole) or read(count of all decoded bytes), as a
    caller that wants the whole result does. The pure transcription grows its buffer by
    concatenation, one unit at a time, which is quadratic."""

    def run():
        stream = module.RestreamedBytesIO(io.BytesIO(data), bytes2bits, 1, None, 1)
        bits = stream.read() if whole else stream.read(len(data) * 8)
        return len(bits), stream.tell()

    return run


def _encode_bits(module, bits: bytes, bits2bytes, count: int):
    """Encodes a bit string eight bits per unit into an io.BytesIO, writing `count` bytes per call
    (cut beforehand, so that the loop times the writes, not the slicing)."""
    chunks = [bits[start : start + count] for start in range(0, len(bits), count)]

    def run():
        target = io.BytesIO()
        stream = module.RestreamedBytesIO(target, None, 1, bits2bytes, 8)
        write = stream.write
        for chunk in chunks:
            write(chunk)
        return target.tell()

    return run


class _PackingWriter(io.RawIOBase):
    """A raw writer that packs whole groups of 8 bits of each chunk it is given into its target."""

    def __init__(self, target, bits2bytes):
        self.target = target
        self.bits2bytes = bits2bytes

    def writable(self):
        return True

    def write(self, chunk):
        whole = len(chunk) - len(chunk) % 8
        self.target.write(self.bits2bytes(bytes(chunk[:whole])))
        return whole


def _encode_bits_buffered(bits: bytes, bits2bytes, count: int):
    """The same writes through an io.BufferedWriter (8 KiB) over a raw writer that packs each chunk."""
    chunks = [bits[start : start + count] for start in range(0, len(bits), count)]

    def run():
        target = io.BytesIO()
        stream = io.BufferedWriter(_PackingWriter(target, bits2bytes), 8192)
        write = stream.write
        for chunk in chunks:
            write(chunk)
        stream.flush()
        return target.tell()

    return run


def cases() -> list[Case]:
    found = []
    for size in (4, 16, 64):
        data = _payload(size * MIB)
        impls = {"qelo": _read_whole_window(native, data)}
        if size <= 16:  # the transcription copies the whole window at every poll: 64 MiB takes seconds
            impls["pure"] = _read_whole_window(pure, data)
        impls["io.BytesIO"] = _read_whole_bytesio(data)
        impls["bytearray window"] = _read_whole_bytearray(data)
        found.append(
            Case(
                f"bitstream rebuffered read {size} MiB in 1 MiB reads",
                impls,
                target="at most ~4x the time of a quarter of the size",
            )
        )
    data = _payload(MIB)
    found.append(
        Case(
            "bitstream rebuffered 64-byte reads of 1 MiB",
            {
                "qelo": _small_reads_rebuffered(native, data, None),
                "pure": _small_reads_rebuffered(pure, data, None),
                "io.BufferedReader": _small_reads_buffered(data),
            },
            target="pure >= 5x",
        )
    )
    found.append(
        Case(
            "bitstream rebuffered 64-byte reads of 1 MiB, tailcutoff 4096",
            {
                "qelo": _small_reads_rebuffered(native, data, 4096),
                "pure": _small_reads_rebuffered(pure, data, 4096),
            },
            target="pure >= 1x",
        )
    )
    for unit in (512, 4096):
        found.append(
            Case(
                f"bitstream restreamed 64-byte reads of 1 MiB, decoderunit {unit}",
                {
                    "qelo": _small_reads_restreamed(native, data, unit),
                    "pure": _small_reads_restreamed(pure, data, unit),
                },
                target="pure >= 5x",
            )
        )
    try:
        # Built from its own sources; a checkout without it skips this case.
        from qelo.lib.binary import bytes2bits
        from qelo.lib.binary import bits2bytes
    except ImportError:
        print("skipping bitstream restreamed bytes2bits: qelo.lib.binary is not built", file=sys.stderr)
    else:
        bits = bytes2bits(data[: MIB // 8])  # 1 MiB of bits
        found.append(
            Case(
                "bitstream restreamed bits2bytes 1 MiB, encoderunit 8, 64-byte writes",
                {
                    "qelo": _encode_bits(native, bits, bits2bytes, SMALL),
                    "pure": _encode_bits(pure, bits, bits2bytes, SMALL),
                    "io.BufferedWriter": _encode_bits_buffered(bits, bits2bytes, SMALL),
                },
                target="pure >= 10x",
            )
        )
        # The pure transcription's single read is quadratic: 1 MiB would take minutes, so the
        # side-by-side cases use 64 KiB and the 1 MiB case shows that qelo's stays linear.
        small = data[: 64 * 1024]
        for whole, how in ((True, "read()"), (False, "read(count)")):
            found.append(
                Case(
                    f"bitstream restreamed bytes2bits 64 KiB, decoderunit 1, one {how}",
                    {
                        "qelo": _decode_bits_at_once(native, small, bytes2bits, whole),
                        "pure": _decode_bits_at_once(pure, small, bytes2bits, whole),
                    },
                    target="pure >= 5x",
                )
            )
        found.append(
            Case(
                "bitstream restreamed bytes2bits 1 MiB, decoderunit 1, one read()",
                {"qelo": _decode_bits_at_once(native, data, bytes2bits, True)},
                target="linear: ~16x the 64 KiB time",
            )
        )
        for count in (8192, 64):  # 64: reads of 64 decoded bytes
            found.append(
                Case(
                    f"bitstream restreamed bytes2bits 1 MiB, decoderunit 1, {count}-bit reads",
                    {
                        "qelo": _decode_bits(native, data, bytes2bits, count),
                        "pure": _decode_bits(pure, data, bytes2bits, count),
                    },
                    target="pure >= 5x",
                )
            )
    return found
