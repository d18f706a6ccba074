"""A user's typed program: checked with `mypy --strict` against the installed stubs in CI."""

from __future__ import annotations

import io

from qelo.expr import BinExpr, len_, list_, this
from qelo.lib.binary import bits2bytes, bits2integer, bytes2bits, integer2bits, integer2bytes
from qelo.lib.bitstream import RebufferedBytesIO, RestreamedBytesIO
from qelo.lib.hex import HexDisplayedInteger, hexdump, hexundump


def payload_size(header: dict[str, object]) -> object:
    size: BinExpr = (this.count + 1) * 4 - len_(this.items)
    return size(header)


def second_item(items: list[int]) -> object:
    return list_[1]({}, items)


def round_trip(value: int, width: int) -> int:
    bits: bytes = integer2bits(value, width)
    raw: bytes = bits2bytes(bytes2bits(integer2bytes(value, width // 8)))
    return bits2integer(bits, signed=True) + len(raw)


def dump_and_restore(data: bytes) -> bytes:
    text: str = hexdump(data, 16)
    return hexundump(text, 16)


def label(value: int) -> str:
    return str(HexDisplayedInteger.new(value, "04x"))


def window(data: bytes) -> tuple[bytes, int, int]:
    stream = RebufferedBytesIO(io.BytesIO(data), tailcutoff=16)
    head = stream.read(4)
    stream.seek(0)
    return head, stream.cachedfrom(), stream.cachedto()


def decode_bits(data: bytes) -> bytes:
    stream = RestreamedBytesIO(io.BytesIO(data), bytes2bits, 1, bits2bytes, 8)
    return stream.read(8 * len(data))


node: BinExpr = BinExpr(max, 1, 2)


def compat_helpers(data: bytes) -> tuple[bytes, int, list[int], str, str]:
    from qelo.lib.py3compat import byte2int, bytes2str, int2byte, iterateints, trimstring

    return int2byte(65), byte2int(data[:1]), list(iterateints(data)), bytes2str(data), trimstring(data)
