"""Every public entry point, on success and on its error paths, called thousands of times: the
Python heap and the resident size must not grow beyond a small constant. On a debug interpreter the
references are counted instead, and not a single one may be left behind."""

from __future__ import annotations

import copy
import io
import operator
import pickle

import pytest

from leakcheck import HAS_TOTALREFCOUNT, UNDER_SANITIZER, reference_growth, resident_growth, traced_growth

binary = pytest.importorskip("qelo.lib.binary")
expr = pytest.importorskip("qelo.expr")
hexmod = pytest.importorskip("qelo.lib.hex")
bitstream = pytest.importorskip("qelo.lib.bitstream")

this, len_, list_ = expr.this, expr.len_, expr.list_
BIG = ((this.a + len_(this.items) * 2) - expr.abs_(this.x - this.y) / (this.c + 1)
       + expr.max_(expr.obj_.vals))


def rewritten():
    node = this.a + this.b
    node({"a": 1, "b": 2})
    object.__setattr__(node, "rhs", 5)
    node.__dict__ = dict(vars(node))
    return node


CALLS = 2000
# Exact counts need far fewer calls: one reference per call already shows as REFERENCE_CALLS.
REFERENCE_CALLS = 200
REFERENCE_SLACK = 2
# A leak of one small object per call costs at least 32 bytes * CALLS.
TRACED_LIMIT = 24 * 1024


class Boom(Exception):
    pass


class BadIndex:
    """A width that compares fine but fails when used as a size or shift count."""

    def __lt__(self, other):
        return False

    def __gt__(self, other):
        return False

    def __index__(self):
        raise Boom

    def __int__(self):
        raise Boom

    def __mul__(self, other):
        raise Boom

    __rmul__ = __mul__


class BadEq:
    """Collides with operator.add in a dict and fails to compare."""

    def __hash__(self):
        return hash(operator.add)

    def __eq__(self, other):
        raise Boom

    def __call__(self, *args):
        return 0


class TripleItems:
    def items(self):
        return [("a", 1, 2)]


def raiser(*args, **kwargs):
    raise Boom


class BadRepr:
    __repr__ = __str__ = raiser


class Chunks:
    """A substream serving fixed data in pieces, then b'' for good."""

    def __init__(self, data=b"abcdefgh" * 64):
        self.data = data
        self.pos = 0

    def read(self, n):
        piece = self.data[self.pos:self.pos + n]
        self.pos += len(piece)
        return piece

    def write(self, data):
        return len(data)


class FailingStream:
    def read(self, n):
        raise Boom

    def write(self, data):
        raise Boom


def restreamed(**overrides):
    args = dict(substream=Chunks(), decoder=bytes, decoderunit=4, encoder=bytes, encoderunit=2)
    args.update(overrides)
    return bitstream.RestreamedBytesIO(**args)


def rebuffered_read():
    stream = bitstream.RebufferedBytesIO(Chunks(), tailcutoff=8)
    stream.read(16)
    stream.seek(10)
    return stream.read(4)


DUMP = hexmod.hexdump(bytes(range(40)), 16)

CASES = [
    # qelo.lib.binary, success
    ("integer2bits", lambda: binary.integer2bits(-19, 64), ()),
    ("integer2bytes", lambda: binary.integer2bytes(-70000, 8), ()),
    ("bits2integer", lambda: binary.bits2integer(b"\x01\x00\x01" * 20, signed=True), ()),
    ("bytes2integer", lambda: binary.bytes2integer(b"\xff\x00\x13", True), ()),
    ("bytes2bits", lambda: binary.bytes2bits(b"ab" * 40), ()),
    ("bits2bytes", lambda: binary.bits2bytes(b"\x00\x01" * 40), ()),
    ("swapbytes", lambda: binary.swapbytes([1, 2, 3]), ()),
    ("swapbytesinbits", lambda: binary.swapbytesinbits(b"01234567" * 5), ()),
    ("swapbitsinbytes", lambda: binary.swapbitsinbytes(b"\x01\xf0" * 30), ()),
    ("hexlify", lambda: binary.hexlify(b"\x01\xab"), ()),
    # qelo.lib.binary, errors
    ("integer2bits negative width", lambda: binary.integer2bits(5, -1), (ValueError,)),
    ("integer2bits bad number", lambda: binary.integer2bits("x", 8), (ValueError,)),
    ("integer2bits __index__ raises", lambda: binary.integer2bits(5, BadIndex()), (Boom, TypeError)),
    ("integer2bytes __index__ raises", lambda: binary.integer2bytes(-5, BadIndex()), (Boom, TypeError)),
    ("integer2bits missing argument", lambda: binary.integer2bits(1), (TypeError,)),
    ("integer2bits surplus argument", lambda: binary.integer2bits(1, 2, 3), (TypeError,)),
    ("integer2bits bad keyword", lambda: binary.integer2bits(1, widht=2), (TypeError,)),
    ("integer2bits repeated keyword", lambda: binary.integer2bits(1, 2, width=3), (TypeError,)),
    ("bits2bytes short", lambda: binary.bits2bytes(b"\x00" * 7), (ValueError,)),
    ("bits2bytes not bits", lambda: binary.bits2bytes(b"0" * 8), (KeyError,)),
    ("bits2bytes bytearray", lambda: binary.bits2bytes(bytearray(8)), (TypeError,)),
    ("bytes2bits None", lambda: binary.bytes2bits(None), (TypeError,)),
    ("bytes2bits str", lambda: binary.bytes2bits("ab"), (TypeError, KeyError)),
    ("swapbytesinbits short", lambda: binary.swapbytesinbits(b"\x00" * 7), (ValueError,)),
    ("unhexlify odd", lambda: binary.unhexlify(b"0"), (binary.binascii.Error,)),
    # qelo.expr, success
    ("build", lambda: this.a + 1, ()),
    ("build reflected", lambda: 1 - this.a, ()),
    ("evaluate", lambda: ((this.a + this.b) * 2 - len_(this.items))({"a": 1, "b": 2, "items": [1]}), ()),
    ("evaluate list path", lambda: list_[1]({}, [1, 2]), ()),
    ("repr/str", lambda: (repr(-this.a.b + len_(this.c)), str(this[0] // 2)), ()),
    ("getattr path", lambda: this.some.deeper.path, ()),
    ("contains by name", lambda: this.items.__contains__(3), ()),
    ("getstate/setstate", lambda: copy.copy(this.x + 1), ()),
    ("pickle", lambda: pickle.loads(pickle.dumps(this.x * 2 + len_(this.y))), ()),
    # qelo.expr, errors
    ("evaluate missing key", lambda: (this.a + 1)({}), (KeyError,)),
    ("evaluate failing operand", lambda: expr.BinExpr(operator.add, raiser, 1)({}), (Boom,)),
    ("evaluate failing op", lambda: expr.BinExpr(raiser, 1, 2)({}), (Boom,)),
    ("repr unknown op", lambda: repr(expr.BinExpr(max, 1, 2)), (KeyError,)),
    ("repr op with failing __eq__", lambda: repr(expr.BinExpr(BadEq(), 1, 2)), (Boom,)),
    ("repr failing operand", lambda: repr(expr.UniExpr(operator.neg, BadRepr())), (Boom,)),
    ("pow with modulo", lambda: pow(this.x, 2, 7), (TypeError,)),
    ("setstate triples", lambda: (this.x + 1).__setstate__(TripleItems()), (ValueError,)),
    ("setstate not a mapping", lambda: (this.x + 1).__setstate__(5), (AttributeError,)),
    ("list path too few args", lambda: list_({}), (IndexError,)),
    ("iterate path", lambda: list(this), (TypeError,)),
    ("deepcopy path", lambda: copy.deepcopy(this.a), (KeyError,)),
    ("constructor surplus", lambda: expr.BinExpr(1, 2, 3, 4), (TypeError,)),
    ("method by keyword", lambda: expr.ExprMixin.__add__(self=this.x, other=1)({"x": 1}), ()),
    ("method missing self", lambda: expr.ExprMixin.__add__(other=1), (TypeError,)),
    ("method repeated self", lambda: expr.ExprMixin.__neg__(this.x, self=this.x), (TypeError,)),
    ("call by name on a stranger", lambda: expr.BinExpr.__call__(object(), {}), (AttributeError,)),
    ("text of a 22-node tree", lambda: (repr(BIG), str(BIG)), ()),
    ("field written then evaluated", lambda: rewritten()({"a": 1, "b": 2}), ()),
    # qelo.lib.hex
    ("hexdump", lambda: hexmod.hexdump(bytes(range(100)), 16), ()),
    ("hexundump", lambda: hexmod.hexundump(DUMP, 16), ()),
    ("hexdump None", lambda: hexmod.hexdump(None, 16), (TypeError,)),
    ("hexdump zero linesize", lambda: hexmod.hexdump(b"abc", 0), (ValueError,)),
    ("hexundump bytes", lambda: hexmod.hexundump(DUMP.encode(), 16), (TypeError,)),
    ("hexundump wrong linesize", lambda: hexmod.hexundump(DUMP, 8), (ValueError,)),
    ("hexundump garbage", lambda: hexmod.hexundump('hexundump("""\nzz\n""")\n', 16), (ValueError,)),
    ("display integer", lambda: str(hexmod.HexDisplayedInteger.new(255, "04x")), ()),
    ("display bytes", lambda: str(hexmod.HexDisplayedBytes(b"\x01\x02")), ()),
    ("display dump dict", lambda: str(hexmod.HexDumpDisplayedDict(data=b"abc")), ()),
    ("display dict without data", lambda: str(hexmod.HexDisplayedDict()), (KeyError,)),
    ("display integer without fmtstr", lambda: str(hexmod.HexDisplayedInteger(5)), (AttributeError,)),
    ("writer in pieces", lambda: (lambda w: (w.write(bytes(70000)), w.write(b"abc"), w.close()))(hexmod._HexWriter(16)), ()),
    ("writer over the limit", lambda: hexmod._HexWriter(16, 1 << 40), (ValueError,)),
    ("reader in pieces", lambda: (lambda r: (r.feed(DUMP.encode()[:50]), r.feed(DUMP.encode()[50:]), r.finish()))(hexmod._HexReader(16)), ()),
    ("reader dump fault", lambda: (lambda r: (r.feed(b"nonsense\n" + "\u00e9".encode()), r.finish()))(hexmod._HexReader(16)), (ValueError,)),
    ("reader UTF-8 fault", lambda: hexmod._HexReader(16).feed(b'hexundump("""\n\xff\n'), (ValueError,)),
    # qelo.lib.bitstream
    ("restreamed read", lambda: restreamed().read(10), ()),
    ("restreamed read all", lambda: restreamed().read(), ()),
    ("restreamed write", lambda: restreamed().write(b"abcde"), ()),
    ("restreamed negative count", lambda: restreamed().read(-1), (ValueError,)),
    ("restreamed failing decoder", lambda: restreamed(decoder=raiser).read(3), (Boom,)),
    ("restreamed failing substream", lambda: restreamed(substream=FailingStream()).read(3), (Boom,)),
    ("restreamed failing encoder", lambda: restreamed(encoder=raiser).write(b"abcd"), (Boom,)),
    ("restreamed close leftovers", lambda: (lambda s: (s.write(b"a"), s.close()))(restreamed()), (ValueError,)),
    ("restreamed seek", lambda: restreamed().seek(0), (OSError,)),
    ("restreamed bulk write", lambda: bitstream.RestreamedBytesIO(io.BytesIO(), None, 1, binary.bits2bytes, 8).write(b"\x01" * 75), ()),
    ("restreamed bulk write, bad unit", lambda: bitstream.RestreamedBytesIO(io.BytesIO(), None, 1, binary.bits2bytes, 8).write(b"\x01" * 16 + b"\x02" * 8), (KeyError,)),
    ("restreamed bulk write, closed", lambda: bitstream.RestreamedBytesIO(closed_bytesio(), None, 1, bytes, 2).write(b"abcde"), (ValueError,)),
    ("restreamed bulk read", lambda: bitstream.RestreamedBytesIO(io.BytesIO(b"abcdefgh"), binary.bytes2bits, 1, None, 1).read(20), ()),
    ("rebuffered read", rebuffered_read, ()),
    ("rebuffered write", lambda: bitstream.RebufferedBytesIO(Chunks()).write(b"xyz"), ()),
    ("rebuffered read past end", lambda: bitstream.RebufferedBytesIO(Chunks(b"abc")).read(10), (OSError,)),
    ("rebuffered read None", lambda: bitstream.RebufferedBytesIO(Chunks()).read(), (ValueError,)),
    ("rebuffered failing substream", lambda: bitstream.RebufferedBytesIO(FailingStream()).read(1), (Boom,)),
    ("rebuffered bad whence", lambda: bitstream.RebufferedBytesIO(Chunks()).seek(0, 2), (ValueError,)),
    ("rebuffered wrong arguments", lambda: bitstream.RebufferedBytesIO(), (TypeError,)),
    ("adapters copied", lambda: (copy.copy(restreamed()).read(3), copy.deepcopy(bitstream.RebufferedBytesIO(io.BytesIO(b"abcdef"), 2)).read(4)), ()),
    ("adapters pickled", lambda: [pickle.loads(pickle.dumps(bitstream.RebufferedBytesIO(io.BytesIO(b"abc")), p)).read(2) for p in (2, 5)], ()),
    ("adapters pickled, protocol 0", lambda: pickle.loads(pickle.dumps(bitstream.RestreamedBytesIO(None, bytes, 1, bytes, 1), 0)).tell(), ()),
    ("adapter unpicklable substream", lambda: pickle.dumps(bitstream.RebufferedBytesIO(io.BytesIO(b"abc")), 0), (TypeError,)),
    ("adapter __getnewargs__ argument", lambda: restreamed().__getnewargs__(1), (TypeError,)),
]

def closed_bytesio():
    source = io.BytesIO()
    source.close()
    return source


# Every operator method of the expression classes, called by name.
BINARY_METHODS = ["__add__", "__sub__", "__mul__", "__floordiv__", "__truediv__", "__div__", "__mod__",
                  "__pow__", "__xor__", "__rshift__", "__lshift__", "__and__", "__or__", "__radd__",
                  "__rsub__", "__rmul__", "__rfloordiv__", "__rtruediv__", "__rdiv__", "__rmod__",
                  "__rpow__", "__rxor__", "__rrshift__", "__rlshift__", "__rand__", "__ror__",
                  "__contains__", "__gt__", "__ge__", "__lt__", "__le__", "__eq__", "__ne__"]
UNARY_METHODS = ["__neg__", "__pos__", "__invert__", "__inv__"]
CASES += [(f"operator {name}", (lambda name=name: getattr(this.x, name)(2)), ()) for name in BINARY_METHODS]
CASES += [(f"operator {name}", (lambda name=name: getattr(this.x, name)()), ()) for name in UNARY_METHODS]
CASES += [(f"evaluate {name}", (lambda name=name: getattr(this.x, name)(3)({"x": 7})), (TypeError,))
          for name in BINARY_METHODS]
CASES += [(f"operator {name} surplus argument", (lambda name=name: getattr(this.x, name)(1, 2)), (TypeError,))
          for name in ("__add__", "__neg__", "__contains__")]

# Every method of the stream adapters, and every display class.
STREAM_METHODS = [("tell", ()), ("tellable", ()), ("seekable", ()), ("seek", (3,)), ("seek", (1, 1)),
                  ("cachedfrom", ()), ("cachedto", ())]
CASES += [(f"rebuffered {name}{args}", (lambda name=name, args=args: getattr(bitstream.RebufferedBytesIO(Chunks()), name)(*args)), ())
          for name, args in STREAM_METHODS]
CASES += [(f"restreamed {name}", (lambda name=name: getattr(restreamed(), name)()), ())
          for name in ("tell", "tellable", "seekable", "close")]
DISPLAY = [hexmod.HexDisplayedBytes, hexmod.HexDumpDisplayedBytes]
CASES += [(f"display {cls.__name__}", (lambda cls=cls: str(cls(b"\x00\x7fA" * 5))), ()) for cls in DISPLAY]
CASES += [(f"display {cls.__name__}", (lambda cls=cls: str(cls(data=b"\x00\x7fA" * 5))), ())
          for cls in (hexmod.HexDisplayedDict, hexmod.HexDumpDisplayedDict)]


@pytest.mark.parametrize("fn, expected", [c[1:] for c in CASES], ids=[c[0] for c in CASES])
def test_no_reference_leak(fn, expected):
    if HAS_TOTALREFCOUNT:
        growth = reference_growth(fn, REFERENCE_CALLS, expected)
        # A leak grows with the calls (REFERENCE_CALLS // k for one reference in k calls); a pool
        # that settles by a reference between windows (expr's reused node dicts, after the
        # tests before this one) does not.
        assert growth <= REFERENCE_SLACK, f"{growth} references left behind over {REFERENCE_CALLS} calls"
    else:
        growth = traced_growth(fn, CALLS, expected)
        assert growth < TRACED_LIMIT, f"Python heap grew by {growth} bytes over {CALLS} calls"


@pytest.mark.parametrize("every", [1, 7])
def test_the_check_sees_a_leak(every):
    # The measurement itself must catch what it is there for: one object kept per `every` calls.
    kept = []
    counter = iter(range(10**9))

    def leaky():
        if next(counter) % every == 0:
            kept.append([])

    if HAS_TOTALREFCOUNT:
        assert reference_growth(leaky, REFERENCE_CALLS) >= REFERENCE_CALLS // every > REFERENCE_SLACK
    else:
        assert traced_growth(leaky, CALLS) >= TRACED_LIMIT // every


MIB = b"\x5a" * (1 << 20)
BIG_CASES = [
    ("bytes2bits 1 MiB", lambda: binary.bytes2bits(MIB)),
    ("bits2bytes 1 MiB", lambda: binary.bits2bytes(b"\x01" * (1 << 20))),
    ("swapbitsinbytes 1 MiB", lambda: binary.swapbitsinbytes(MIB)),
    ("hexdump 1 MiB", lambda: hexmod.hexdump(MIB, 16)),
    ("rebuffered 1 MiB", lambda: bitstream.RebufferedBytesIO(io.BytesIO(MIB)).read(1 << 20)),
    ("restreamed bulk write 1 MiB", lambda: bitstream.RestreamedBytesIO(io.BytesIO(), None, 1, binary.bits2bytes, 8).write(b"\x01" * (1 << 20))),
]


@pytest.mark.skipif(UNDER_SANITIZER, reason="the sanitizer's quarantine holds freed memory")
@pytest.mark.parametrize("fn", [c[1] for c in BIG_CASES], ids=[c[0] for c in BIG_CASES])
def test_no_native_growth_on_large_inputs(fn):
    # 60 calls leaking their 1+ MiB result would add 60+ MiB; allow allocator slack only.
    growth = resident_growth(fn, 60)
    assert growth < 24 * (1 << 20), f"resident size grew by {growth >> 20} MiB"
