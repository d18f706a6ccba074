"""Small byte/str helpers shared by qelo.lib.binary and qelo.lib.hex.

The native modules star-import these names and look them up at call time. Where a helper is a
C-level callable that does exactly the job (``iter``, ``int.from_bytes``, a compiled ``struct``
packer), the native code recognises the original object and takes a direct route; rebinding a name
in the importing module switches it back to calling whatever is bound there.
"""

import struct as _struct

__all__ = [
    "bytestringtype",
    "integertypes",
    "int2byte",
    "byte2int",
    "iterateints",
    "bytes2str",
    "trimstring",
]

#: The byte string type.
bytestringtype = bytes

#: Integer types; element 0 is the one to subclass.
integertypes = (int,)

#: int2byte(v) -> bytes of length 1 holding v (0 <= v <= 255; struct.error otherwise).
int2byte = _struct.Struct(">B").pack

#: byte2int(b) -> the value of a one-byte string; an empty string gives 0.
byte2int = int.from_bytes

#: iterateints(data) -> iterator over the byte values of data, front to back.
iterateints = iter


def bytes2str(data):
    """Decodes a byte string one character per byte (latin-1): bytes2str(b'A') == 'A'."""
    return bytes(data).decode("latin-1")


def trimstring(data):
    """Quotes hexadecimal digits as Python text: trimstring(b'0aff') == "'0aff'"."""
    if isinstance(data, (bytes, bytearray, memoryview)):
        data = bytes(data).decode("latin-1")
    return repr(data)
