"""Hex dump text format (writer and reader) and hex display types.

A dump text is a header line ``hexundump(\"\"\"``, one data line per ``linesize`` bytes and a closing
line ``\"\"\")``, each followed by a newline. A data line is the offset (4 hex digits when the
data is shorter than 65536 bytes, else 8), three spaces, the hex column (pairs separated by single
spaces, right-filled with spaces to ``3*linesize - 1`` characters on a short last line), three
spaces and the printable column (one character per byte). ``hexundump`` reads exactly such texts
(pairs in either case, the final newline optional) and raises ``ValueError`` naming the line for
anything else.
"""

from typing import Any, SupportsIndex, final

from typing_extensions import Buffer, Self, disjoint_base


from qelo.lib.py3compat import (
    byte2int as byte2int,
    bytes2str as bytes2str,
    bytestringtype as bytestringtype,
    int2byte as int2byte,
    integertypes as integertypes,
    iterateints as iterateints,
    trimstring as trimstring,
)
import binascii as binascii

PRINTABLE: list[str]
HEXPRINT: list[str]

def hexdump(data: bytes | bytearray, linesize: SupportsIndex) -> str: ...
def hexundump(data: str, linesize: SupportsIndex) -> bytes: ...

@disjoint_base
class HexDisplayedInteger(int):
    fmtstr: str
    @staticmethod
    def new(intvalue: Any, fmtstr: str) -> HexDisplayedInteger: ...

@disjoint_base
class HexDisplayedBytes(bytes):
    render: str

class HexDisplayedDict(dict[Any, Any]):
    render: str

@disjoint_base
class HexDumpDisplayedBytes(bytes):
    render: str

class HexDumpDisplayedDict(dict[Any, Any]):
    render: str

# Private to the package: the incremental core of the command-line tool.
@final
class _HexWriter:
    def __new__(cls, linesize: SupportsIndex, size: SupportsIndex | None = None) -> Self: ...
    def write(self, data: Buffer) -> bytes: ...
    def close(self) -> bytes: ...

@final
class _HexReader:
    def __new__(cls, linesize: SupportsIndex) -> Self: ...
    def feed(self, data: Buffer) -> bytes: ...
    def finish(self) -> bytes: ...
