"""Small byte/str helpers shared by qelo.lib.binary and qelo.lib.hex."""

from collections.abc import Callable, Iterable, Iterator
from typing import Literal, Protocol, SupportsIndex, type_check_only
from typing_extensions import Buffer

__all__ = [
    "bytestringtype",
    "integertypes",
    "int2byte",
    "byte2int",
    "iterateints",
    "bytes2str",
    "trimstring",
]

bytestringtype: type[bytes]
integertypes: tuple[type[int]]

# The bound pack method of a compiled struct.Struct(">B").
int2byte: Callable[[int], bytes]

@type_check_only
class _FromBytes(Protocol):
    def __call__(
        self, bytes: Buffer | Iterable[SupportsIndex], byteorder: Literal["little", "big"] = "big", *, signed: bool = False
    ) -> int: ...

# int.from_bytes: an empty string gives 0.
byte2int: _FromBytes
def iterateints(object: Buffer, /) -> Iterator[int]: ...
def bytes2str(data: Buffer) -> str: ...
def trimstring(data: object) -> str: ...
