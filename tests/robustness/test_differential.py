"""Fast paths against the general path: every operation runs on random input twice, once as
shipped and once with the fast path defeated (a helper rebound to an equivalent Python function,
a table replaced by an equal copy, a subclass of the input type), with identical results and
identical exceptions required."""

from __future__ import annotations

import contextlib
import io
import operator

import pytest
from hypothesis import given, settings, strategies as st

binary = pytest.importorskip("qelo.lib.binary")
expr = pytest.importorskip("qelo.expr")
hexmod = pytest.importorskip("qelo.lib.hex")
bitstream = pytest.importorskip("qelo.lib.bitstream")

SETTINGS = settings(max_examples=150, deadline=None)


class Bytes(bytes):
    pass


@contextlib.contextmanager
def rebound(module, **names):
    saved = {name: getattr(module, name) for name in names}
    for name, value in names.items():
        setattr(module, name, value)
    try:
        yield
    finally:
        for name, value in saved.items():
            setattr(module, name, value)


def outcome(fn, *args):
    try:
        return ("ok", fn(*args))
    except Exception as exc:  # compared, not swallowed
        return ("error", type(exc), exc.args)


def py_iterateints(data):
    return iter(data)


def py_int2byte(value):
    return bytes((value,))


def py_byte2int(data):
    return data[0] if data else 0


bit_strings = st.lists(st.sampled_from([0, 1]), max_size=200).map(bytes)
almost_bits = st.binary(max_size=64).map(lambda b: bytes(x % 3 for x in b))


def defeated_binary():
    """Every way of leaving the fast path of qelo.lib.binary, one at a time."""
    yield rebound(binary, iterateints=py_iterateints)
    yield rebound(binary, int2byte=py_int2byte, byte2int=py_byte2int)
    yield rebound(
        binary,
        BYTES2BITS_CACHE=dict(binary.BYTES2BITS_CACHE),
        BITS2BYTES_CACHE=dict(binary.BITS2BYTES_CACHE),
        SWAPBITSINBYTES_CACHE=dict(binary.SWAPBITSINBYTES_CACHE),
    )


BYTE_FUNCTIONS = ["bytes2bits", "swapbitsinbytes", "swapbytesinbits", "bits2bytes", "swapbytes"]


@SETTINGS
@given(data=st.one_of(st.binary(max_size=300), bit_strings, almost_bits), name=st.sampled_from(BYTE_FUNCTIONS))
def test_binary_byte_functions(data, name):
    fn = getattr(binary, name)
    expected = outcome(fn, data)
    assert outcome(fn, Bytes(data)) == expected
    for context in defeated_binary():
        with context:
            assert outcome(getattr(binary, name), data) == expected


@SETTINGS
@given(number=st.integers(min_value=-(1 << 80), max_value=1 << 80), width=st.integers(min_value=-2, max_value=80))
def test_binary_integer_functions(number, width):
    results = [outcome(binary.integer2bits, number, width), outcome(binary.integer2bytes, number, width // 8)]
    for context in defeated_binary():
        with context:
            again = [outcome(binary.integer2bits, number, width), outcome(binary.integer2bytes, number, width // 8)]
        assert again == results


@SETTINGS
@given(data=st.one_of(st.binary(max_size=40), bit_strings, almost_bits), signed=st.booleans())
def test_binary_decoding_functions(data, signed):
    expected = [outcome(binary.bits2integer, data, signed), outcome(binary.bytes2integer, data, signed)]
    assert [outcome(binary.bits2integer, Bytes(data), signed), outcome(binary.bytes2integer, Bytes(data), signed)] == expected
    for context in defeated_binary():
        with context:
            assert [outcome(binary.bits2integer, data, signed), outcome(binary.bytes2integer, data, signed)] == expected


# Expression trees: operators from the original `operator` module take the fast route; the same
# operators wrapped in Python functions take the general one.
BINARY_OPS = [operator.add, operator.sub, operator.mul, operator.floordiv, operator.truediv, operator.mod,
              operator.xor, operator.and_, operator.or_, operator.lt, operator.le, operator.eq, operator.ne,
              operator.gt, operator.ge, operator.lshift, operator.rshift]
UNARY_OPS = [operator.neg, operator.pos, operator.not_]


def wrapped(op):
    return lambda *args: op(*args)


leaves = st.one_of(st.integers(-50, 50), st.sampled_from(["a", "b", "c"]))


def trees(max_leaves=12):
    return st.recursive(
        leaves,
        lambda children: st.one_of(
            st.tuples(st.sampled_from(BINARY_OPS), children, children),
            st.tuples(st.sampled_from(UNARY_OPS), children),
        ),
        max_leaves=max_leaves,
    )


class SubPath(expr.Path):
    pass


def build(shape, wrap, root):
    if isinstance(shape, str):
        return getattr(root, shape)
    if isinstance(shape, int):
        return shape
    op = wrap(shape[0])
    if len(shape) == 3:
        return expr.BinExpr(op, build(shape[1], wrap, root), build(shape[2], wrap, root))
    return expr.UniExpr(op, build(shape[1], wrap, root))


@SETTINGS
@given(shape=trees(), a=st.integers(-9, 9), b=st.integers(-9, 9), c=st.integers(0, 9))
def test_expression_evaluation(shape, a, b, c):
    ctx = {"a": a, "b": b, "c": c}
    fast = build(shape, lambda op: op, expr.this)
    expected = outcome(fast, ctx)
    assert outcome(build(shape, wrapped, expr.this), ctx) == expected
    assert outcome(build(shape, lambda op: op, SubPath("this")), ctx) == expected


@SETTINGS
@given(data=st.binary(max_size=200), linesize=st.integers(1, 40))
def test_hexdump_and_hexundump(data, linesize):
    text = hexmod.hexdump(data, linesize)
    assert hexmod.hexundump(text, linesize) == data
    assert hexmod.hexdump(Bytes(data), linesize) == text
    with rebound(hexmod, HEXPRINT=list(hexmod.HEXPRINT), PRINTABLE=list(hexmod.PRINTABLE)):
        assert hexmod.hexdump(data, linesize) == text
    with rebound(hexmod, iterateints=py_iterateints):
        assert hexmod.hexdump(data, linesize) == text
    with rebound(hexmod, int2byte=py_int2byte):
        assert hexmod.hexundump(text, linesize) == data


class Trickle:
    """A substream that answers reads in random-sized pieces, with "no data yet" (None) polls in
    between, and b'' once it has ended."""

    def __init__(self, data, sizes):
        self.data, self.sizes, self.pos, self.calls = data, sizes, 0, 0

    def read(self, n):
        self.calls += 1
        size = self.sizes[self.calls % len(self.sizes)]
        if size < 0:
            return None
        piece = self.data[self.pos:self.pos + min(n, size)]
        self.pos += len(piece)
        return piece


@SETTINGS
@given(
    data=st.binary(min_size=1, max_size=3000),
    sizes=st.lists(st.one_of(st.just(-1), st.integers(1, 700)), min_size=1, max_size=8).filter(lambda s: max(s) > 0),
    reads=st.lists(st.tuples(st.integers(0, 3000), st.integers(0, 400)), max_size=12),
)
def test_rebuffered_window_with_and_without_other_holders(data, sizes, reads):
    """Growing the window in place must not show: a caller that keeps the old `rwbuffer` objects
    sees them unchanged, and both adapters return the same bytes."""
    plain = bitstream.RebufferedBytesIO(Trickle(data, sizes))
    holder = bitstream.RebufferedBytesIO(Trickle(data, sizes))
    kept = []
    for at, count in reads:
        at = min(at, len(data))
        count = min(count, len(data) - at)
        plain.seek(at)
        holder.seek(at)
        kept.append((holder.rwbuffer, bytes(holder.rwbuffer)))
        assert plain.read(count) == holder.read(count) == data[at:at + count]
        assert plain.rwbuffer == holder.rwbuffer == data[: len(plain.rwbuffer)]
    for obj, snapshot in kept:
        assert obj == snapshot


@SETTINGS
@given(data=st.binary(max_size=500), unit=st.integers(1, 17), counts=st.lists(st.integers(0, 60), max_size=10))
def test_restreamed_decoders(data, unit, counts):
    fast = bitstream.RestreamedBytesIO(io.BytesIO(data), bytes, unit, bytes, unit)
    slow = bitstream.RestreamedBytesIO(io.BytesIO(data), lambda b: bytes(b), unit, bytes, unit)
    for count in counts:
        assert outcome(fast.read, count) == outcome(slow.read, count)
        assert fast.rbuffer == slow.rbuffer and fast.tell() == slow.tell()
    assert fast.read() == slow.read()
