"""qelo.lib.binary against its pure-Python transcription and the fastest existing tools."""

from __future__ import annotations

import os
from functools import partial

import qelo.lib.binary as binary
from benchmarks import pure_binary as pure
from benchmarks.harness import Case

try:
    import numpy
except ImportError:
    numpy = None
try:
    import bitarray
except ImportError:
    bitarray = None

MIB = 1 << 20
_REVERSED_BITS = bytes(int(f"{v:08b}"[::-1], 2) for v in range(256))


def _peers_missing(*wanted: str) -> list[str]:
    present = {"numpy": numpy, "bitarray": bitarray}
    return [name for name in wanted if present[name] is None]


def _bulk_cases() -> list[Case]:
    data = os.urandom(MIB)
    bits = binary.bytes2bits(data)
    bits_1mib = bits[:MIB]
    cases = []

    impls = {"qelo": lambda: binary.bytes2bits(data), "pure": lambda: pure.bytes2bits(data)}
    if numpy is not None:
        array = numpy.frombuffer(data, dtype=numpy.uint8)
        impls["numpy unpackbits"] = lambda: numpy.unpackbits(array).tobytes()
    if bitarray is not None:
        impls["bitarray unpack"] = lambda: _bitarray_unpack(data)
    cases.append(Case("bytes2bits 1 MiB", impls, ">= fastest peer, >= 50x pure", skipped=_peers_missing("numpy", "bitarray")))

    impls = {"qelo": lambda: binary.bits2bytes(bits_1mib), "pure": lambda: pure.bits2bytes(bits_1mib)}
    if numpy is not None:
        impls["numpy packbits"] = lambda: numpy.packbits(numpy.frombuffer(bits_1mib, dtype=numpy.uint8)).tobytes()
    if bitarray is not None:
        impls["bitarray pack"] = lambda: _bitarray_pack(bits_1mib)
    cases.append(Case("bits2bytes 1 MiB", impls, ">= fastest peer, >= 50x pure", skipped=_peers_missing("numpy", "bitarray")))

    impls = {
        "qelo": lambda: binary.swapbitsinbytes(data),
        "pure": lambda: pure.swapbitsinbytes(data),
        "bytes.translate": lambda: data.translate(_REVERSED_BITS),
    }
    cases.append(Case("swapbitsinbytes 1 MiB", impls, ">= fastest peer, >= 50x pure"))

    impls = {"qelo": lambda: binary.swapbytesinbits(data), "pure": lambda: pure.swapbytesinbits(data)}
    if numpy is not None:
        impls["numpy uint64[::-1]"] = lambda: numpy.frombuffer(data, dtype=numpy.uint64)[::-1].tobytes()
    cases.append(Case("swapbytesinbits 1 MiB", impls, ">= fastest peer, >= 50x pure", skipped=_peers_missing("numpy")))
    return cases


def _bitarray_unpack(data: bytes) -> bytes:
    a = bitarray.bitarray(endian="big")
    a.frombytes(data)
    return a.unpack()


def _bitarray_pack(bits: bytes) -> bytes:
    a = bitarray.bitarray(endian="big")
    a.pack(bits)
    return a.tobytes()


def _integer_cases() -> list[Case]:
    n8 = 0x0123456789ABCDEF
    b8 = n8.to_bytes(8, "big")
    bits64 = binary.integer2bits(n8, 64)
    return [
        Case(
            "integer2bytes 8 bytes",
            {"qelo": partial(binary.integer2bytes, n8, 8), "pure": partial(pure.integer2bytes, n8, 8),
             "int.to_bytes": partial(n8.to_bytes, 8, "big")},
            "within 1.5x int.to_bytes",
        ),
        Case(
            "bytes2integer 8 bytes",
            {"qelo": partial(binary.bytes2integer, b8), "pure": partial(pure.bytes2integer, b8),
             "int.from_bytes": partial(int.from_bytes, b8, "big")},
            "within 1.5x int.from_bytes",
        ),
        Case(
            "integer2bits 64 bits",
            {"qelo": partial(binary.integer2bits, n8, 64), "pure": partial(pure.integer2bits, n8, 64)},
            ">= 20x pure",
        ),
        Case(
            "bits2integer 64 bits",
            {"qelo": partial(binary.bits2integer, bits64), "pure": partial(pure.bits2integer, bits64)},
            ">= 20x pure",
        ),
    ]


# Every implementation of a small case is the same call with the same arguments (the harness times a
# partial as the statement it stands for).
def _small_cases() -> list[Case]:
    data = bytes(range(0x41, 0x51))  # 16 bytes
    bits = binary.bytes2bits(data[:2])  # 16 bytes of bits
    hexed = binary.hexlify(data[:8])  # 16 hex digits
    calls = {
        "integer2bits": ((0x9234, 16), {}),
        "integer2bytes": ((int.from_bytes(data, "big"), 16), {}),
        "bits2integer": ((bits, True), {}),
        "bytes2integer": ((data, True), {}),
        "bytes2bits": ((data,), {}),
        "bits2bytes": ((bits,), {}),
        "swapbytes": ((data,), {}),
        "swapbytesinbits": ((data,), {}),
        "swapbitsinbytes": ((data,), {}),
        "hexlify": ((data,), {}),
        "unhexlify": ((hexed,), {}),
    }
    cases = []
    for name, (args, kwargs) in calls.items():
        ours, theirs = getattr(binary, name), getattr(pure, name)
        cases.append(
            Case(
                f"{name} 16 bytes",
                {"qelo": partial(ours, *args, **kwargs), "pure": partial(theirs, *args, **kwargs)},
                ">= 10x pure",
            )
        )
    return cases


def cases() -> list[Case]:
    return _bulk_cases() + _integer_cases() + _small_cases()
