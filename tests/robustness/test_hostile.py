"""Hostile callbacks: substreams, decoders, encoders, operands and helpers that mutate or delete
the object's attributes, rebind module names or raise mid-call. The interpreter survives, the
exception propagates, and the object stays usable afterwards."""

from __future__ import annotations

import operator
import os

import pytest

from forked import in_child

binary = pytest.importorskip("qelo.lib.binary")
expr = pytest.importorskip("qelo.expr")
hexmod = pytest.importorskip("qelo.lib.hex")
bitstream = pytest.importorskip("qelo.lib.bitstream")


class Boom(Exception):
    pass


class Feed:
    """Serves `data` in pieces; `hook(adapter, call_number)` runs inside every read."""

    def __init__(self, data, hook=None, piece=7):
        self.data, self.hook, self.piece, self.pos, self.calls, self.adapter = data, hook, piece, 0, 0, None

    def read(self, n):
        self.calls += 1
        if self.hook is not None:
            self.hook(self.adapter, self.calls)
        chunk = self.data[self.pos:self.pos + min(n, self.piece)]
        self.pos += len(chunk)
        return chunk

    def write(self, data):
        if self.hook is not None:
            self.hook(self.adapter, -1)
        return len(data)


def rebuffered(hook, data=bytes(range(200))):
    feed = Feed(data, hook)
    adapter = bitstream.RebufferedBytesIO(feed)
    feed.adapter = adapter
    return adapter


@in_child
def test_rebuffered_substream_replaces_window_mid_read():
    def hook(adapter, call):
        if call == 2:
            adapter.rwbuffer = b"replaced"
    adapter = rebuffered(hook)
    result = adapter.read(20)
    assert isinstance(result, bytes) and len(result) == 20
    assert adapter.rwbuffer.startswith(b"replaced")
    adapter.seek(0)
    assert adapter.read(8) == b"replaced"


@pytest.mark.parametrize("name", ["rwbuffer", "offset", "moved", "substream", "tailcutoff"])
@in_child
def test_rebuffered_substream_deletes_attribute(name):
    saved = {}

    def hook(adapter, call):
        if call == 1 and name in vars(adapter):
            saved[name] = vars(adapter).pop(name)
    adapter = rebuffered(hook)
    with pytest.raises(AttributeError):
        adapter.read(10)
    setattr(adapter, name, saved[name])
    adapter.seek(0)
    assert isinstance(adapter.read(3), bytes)


@pytest.mark.parametrize("value", [None, 5, "text", bytearray(b"xy")])
@in_child
def test_rebuffered_window_of_wrong_type(value):
    def hook(adapter, call):
        if call == 1:
            adapter.rwbuffer = value
    adapter = rebuffered(hook)
    try:
        adapter.read(10)
    except TypeError:
        pass
    adapter.rwbuffer, adapter.moved, adapter.offset = b"", 0, 0
    adapter.substream = Feed(b"fresh data")
    assert adapter.read(5) == b"fresh"


@in_child
def test_restreamed_decoder_and_encoder_mutate_the_adapter():
    source = Feed(b"abcdefghijklmnop")
    adapter = bitstream.RestreamedBytesIO(source, None, 4, None, 2)

    def decoder(chunk):
        del adapter.decoderunit  # the next poll needs it
        return chunk

    def encoder(unit):
        del adapter.wbuffer
        return unit

    adapter.decoder, adapter.encoder = decoder, encoder
    with pytest.raises(AttributeError):
        adapter.read(6)
    assert adapter.rbuffer == b"abcd"  # the unit decoded before the failure is kept
    adapter.decoderunit, adapter.decoder = 4, bytes
    assert adapter.read(6) == b"abcdef"
    with pytest.raises(AttributeError):
        adapter.write(b"xyz")
    adapter.wbuffer, adapter.encoder = b"", bytes
    assert adapter.write(b"xy") == 2


@in_child
def test_restreamed_decoder_returning_wrong_types():
    for result in (None, 3, "str", [1, 2]):
        adapter = bitstream.RestreamedBytesIO(Feed(b"abcdefgh"), lambda chunk, r=result: r, 4, bytes, 1)
        with pytest.raises(TypeError):
            adapter.read(2)
        assert adapter.rbuffer == b""


@in_child
def test_operand_rebinds_module_names_and_mutates_its_node():
    node = expr.BinExpr(operator.add, None, 1)

    def operand(ctx):
        node.lhs = "gone"
        expr.BinExpr = None
        expr.opnames.clear()
        return 41

    node.lhs = operand
    original_binexpr = expr.BinExpr
    opnames = dict(expr.opnames)
    try:
        assert node({}) == 42
        with pytest.raises(TypeError):
            expr.this.a + 1  # BinExpr is None now
    finally:
        expr.BinExpr = original_binexpr
        expr.opnames.update(opnames)
    assert (expr.this.a + 1)({"a": 1}) == 2


@in_child
def test_path_parent_replaced_during_evaluation():
    path = expr.this.a.b

    class Ctx(dict):
        def __getitem__(self, key):
            vars(path)["_Path__parent"] = None
            return dict.__getitem__(self, key)

    assert path(Ctx(a={"b": 3})) == 3
    assert path({"x": 1}) == {"x": 1}  # now a root


@in_child
def test_iterateints_mutates_tables_mid_conversion():
    table = binary.BYTES2BITS_CACHE
    saved = dict(table)

    def hostile(data):
        for i, b in enumerate(bytes(data)):
            if i == 2:
                table.clear()
            yield b

    binary.iterateints = hostile
    try:
        with pytest.raises(KeyError):
            binary.bytes2bits(b"abcd")
    finally:
        binary.iterateints = iter
        table.update(saved)
    assert binary.bytes2bits(b"ab") == saved[0x61] + saved[0x62]


@in_child
def test_hex_tables_and_helpers_turn_hostile():
    hexprint = hexmod.HEXPRINT
    hexprint[0x41] = 65
    try:
        with pytest.raises(TypeError):
            hexmod.hexdump(b"ABC", 16)
    finally:
        hexprint[0x41] = "41"

    def bad_ints(data):
        yield 300

    hexmod.iterateints = bad_ints
    try:
        with pytest.raises(IndexError):
            hexmod.hexdump(b"A", 16)
    finally:
        hexmod.iterateints = iter
    assert hexmod.hexundump(hexmod.hexdump(b"ABC", 16), 16) == b"ABC"


@in_child
def test_hexdisplayedinteger_with_empty_format_ends_in_recursion_error():
    value = hexmod.HexDisplayedInteger.new(5, "")
    with pytest.raises(RecursionError):
        str(value)
    assert str(hexmod.HexDisplayedInteger.new(5, "02x")) == "0x05"


class Sneaky:
    """An integer-like argument whose conversion runs `action` first."""

    def __init__(self, value, action):
        self.value, self.action = value, action

    def __index__(self):
        self.action()
        return self.value

    __int__ = __index__

    def __lt__(self, other):
        self.action()
        return self.value < other

    def __gt__(self, other):
        self.action()
        return self.value > other

    def __radd__(self, other):
        self.action()
        return other + self.value

    __add__ = __radd__

    def __sub__(self, other):
        self.action()
        return self.value - other

    def __mul__(self, other):
        self.action()
        return self.value * other

    __rmul__ = __mul__


@in_child
def test_conversions_whose_arguments_rebind_helpers_and_tables():
    def rebind_binary():
        binary.int2byte = lambda v: bytes((v,))
        binary.BYTES2BITS_CACHE = dict(binary.BYTES2BITS_CACHE)

    assert binary.integer2bits(Sneaky(19, rebind_binary), 8) == b"\x00\x00\x00\x01\x00\x00\x01\x01"
    assert binary.integer2bytes(19, Sneaky(2, rebind_binary)) == b"\x00\x13"
    assert binary.bytes2bits(b"\x01") == b"\x00" * 7 + b"\x01"

    def shrink_tables():
        hexmod.HEXPRINT = hexmod.HEXPRINT[:16]

    try:
        hexmod.hexdump(bytes(range(256)), Sneaky(16, shrink_tables))
    except IndexError:
        pass  # the shortened table is what the dump saw
    hexmod.HEXPRINT = ["%02X" % v for v in range(256)]
    assert hexmod.hexundump(hexmod.hexdump(b"xyz", 16), 16) == b"xyz"


@in_child
def test_stream_counts_that_rewrite_the_adapter():
    adapter = bitstream.RebufferedBytesIO(Feed(bytes(range(100))))
    adapter.read(10)

    def replace_window():
        adapter.rwbuffer = b"\xff" * 50

    result = adapter.read(Sneaky(5, replace_window))
    assert isinstance(result, bytes) and len(result) == 5
    adapter.seek(0)
    assert isinstance(adapter.read(5), bytes)

    restreamed = bitstream.RestreamedBytesIO(Feed(b"abcdefgh" * 4), bytes, 4, bytes, 2)

    def drop_buffer():
        restreamed.rbuffer = b""

    # Every comparison empties the buffer again, so the read runs the substream dry.
    assert restreamed.read(Sneaky(6, drop_buffer)) == b""
    restreamed.substream = Feed(b"more")
    assert restreamed.read(2) == b"mo"


class Chunks:
    """An endless substream of 131072-byte chunks of `byte`."""

    def __init__(self, byte=b"z"):
        self.chunk = byte * 131072

    def read(self, n):
        return self.chunk[:n]


def address_space_in_use():
    with open("/proc/self/statm") as statm:
        return int(statm.read().split()[0]) * os.sysconf("SC_PAGE_SIZE")


@pytest.mark.skipif(not os.path.exists("/proc/self/statm"), reason="needs /proc/self/statm")
@in_child
def test_rebuffered_window_survives_a_failed_growth():
    import resource

    window = bytes(range(256)) * (32 * 1024 * 1024 // 256)
    adapter = bitstream.RebufferedBytesIO(Chunks())
    adapter.rwbuffer = bytes(bytearray(window))  # held by the instance alone: grown in place
    adapter.seek(len(window) - 10)
    # Room for small objects, not for a window half as large again.
    limit = address_space_in_use() + 8 * 1024 * 1024
    resource.setrlimit(resource.RLIMIT_AS, (limit, resource.getrlimit(resource.RLIMIT_AS)[1]))
    with pytest.raises(MemoryError):
        adapter.read(20)
    assert adapter.rwbuffer == window
    assert (adapter.tell(), adapter.cachedfrom(), adapter.cachedto()) == (len(window) - 10, 0, len(window))
    adapter.seek(1000)
    assert adapter.read(300) == window[1000:1300]
