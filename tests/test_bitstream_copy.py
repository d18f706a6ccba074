"""qelo.lib.bitstream: copying and pickling the adapters. They copy and pickle as ordinary classes
do, through their instance dict, and every copy is a working adapter of its own; the reference
for every route is the pure-Python transcription of the module (an ordinary class)."""

from __future__ import annotations

import copy
import copyreg
import io
import pickle

import pytest

from qelo.lib import binary
from qelo.lib import bitstream as native

pure = pytest.importorskip("benchmarks.pure_bitstream")

# A substream that pickles with every protocol (an io.BytesIO needs protocol 2).
from test_bitstream_warm import Source  # noqa: E402

DATA = bytes(range(256)) * 1200  # 300 KiB: more than two polls of RebufferedBytesIO
PROTOCOLS = range(pickle.HIGHEST_PROTOCOL + 1)


class Sub(native.RebufferedBytesIO):
    pass


class PureSub(pure.RebufferedBytesIO):
    pass


class Slotted(native.RestreamedBytesIO):
    __slots__ = ("extra",)


class PureSlotted(pure.RestreamedBytesIO):
    __slots__ = ("extra",)


def outcome(call):
    try:
        return call()
    except (OSError, ValueError, TypeError, AttributeError, pickle.PicklingError) as exc:
        return f"{type(exc).__name__}: {exc}"


def warm_restreamed(module, substream, reads=300):
    """Past every threshold the adapter remembers anything at: many small reads and writes."""
    s = module.RestreamedBytesIO(substream, binary.bytes2bits, 3, bytes, 4)
    for i in range(reads):
        s.read(5 + i % 7)
    s.write(b"abcdefg")  # three bytes stay in wbuffer
    return s


def warm_rebuffered(module, substream, tailcutoff=1000, reads=300, cls=None):
    r = (cls or module.RebufferedBytesIO)(substream, tailcutoff)
    for i in range(reads):
        r.read(7 + i % 5)
        if i % 50 == 49:
            r.seek(-20, 1)
            r.write(b"w" * 9)
    return r


def restreamed_state(s):
    return (s.rbuffer, s.wbuffer, s.sincereadwritten, s.decoderunit, s.encoderunit)


def rebuffered_state(r):
    return (r.offset, r.moved, r.rwbuffer, r.tailcutoff, r.cachedto())


def same_reduction(got, expected, cls, pure_cls):
    """An adapter's reduction equals an ordinary class's, but for the class itself."""
    swap = {pure_cls: cls, pure.RebufferedBytesIO: native.RebufferedBytesIO, pure.RestreamedBytesIO: native.RestreamedBytesIO}

    def norm(value):
        if isinstance(value, tuple):
            return tuple(norm(v) for v in value)
        if isinstance(value, type):
            return swap.get(value, value)
        return value

    return norm(got) == norm(expected)


# --- what the reduction is ------------------------------------------------------------------------


@pytest.mark.parametrize("protocol", PROTOCOLS)
@pytest.mark.parametrize("emptied", [False, True])
def test_the_reduction_is_an_ordinary_classs(protocol, emptied):
    for make in (warm_restreamed, warm_rebuffered):
        fast, plain = make(native, Source(DATA)), make(pure, Source(DATA))
        if emptied:  # no state at all: an ordinary class then gives None
            vars(fast).clear()
            vars(plain).clear()
        got, expected = fast.__reduce_ex__(protocol), plain.__reduce_ex__(protocol)
        assert got[0] is expected[0] is (copyreg.__newobj__ if protocol >= 2 else copyreg._reconstructor)
        assert same_reduction(got[1], expected[1], type(fast), type(plain))
        state = got[2] if len(got) > 2 else None
        expected_state = expected[2] if len(expected) > 2 else None
        if emptied:
            assert state is expected_state is None
        else:
            # The instance dict itself: its keys in order, its very values.
            assert state is vars(fast)
            assert list(state) == list(expected_state)
        assert got[3:] == expected[3:]


def test_the_class_makes_its_instances_with_object_new():
    for cls in (native.RestreamedBytesIO, native.RebufferedBytesIO):
        assert cls.__new__ is object.__new__
        blank = object.__new__(cls)  # what the protocol 0 and 1 reconstructor calls
        assert vars(blank) == {}
        with pytest.raises(AttributeError):  # state is only what the dict holds
            blank.tell()


@pytest.mark.parametrize("protocol", PROTOCOLS)
def test_pickling_outcomes_match_an_ordinary_class_for_every_substream(protocol):
    # io.BytesIO cannot be pickled with protocols 0 and 1, nor a local class with any: neither then
    # can an adapter over it.
    class Local(Source):
        pass

    for substream in (lambda: Source(DATA), lambda: io.BytesIO(DATA), lambda: Local(DATA)):
        for make in (warm_restreamed, warm_rebuffered):
            plain = make(pure, substream(), reads=0)
            fast = make(native, substream(), reads=0)
            expected = outcome(lambda: type(pickle.loads(pickle.dumps(plain, protocol))).__name__)
            assert outcome(lambda: type(pickle.loads(pickle.dumps(fast, protocol))).__name__) == expected


# --- shallow copies -------------------------------------------------------------------------------


@pytest.mark.parametrize("make, state", [(warm_restreamed, restreamed_state), (warm_rebuffered, rebuffered_state)])
def test_a_shallow_copy_holds_the_very_same_values(make, state):
    original = make(native, io.BytesIO(DATA))
    twin = copy.copy(original)
    assert type(twin) is type(original) and twin is not original
    assert vars(twin) is not vars(original)
    assert list(vars(twin)) == list(vars(original))
    assert all(vars(twin)[k] is v for k, v in vars(original).items())
    assert state(twin) == state(original)


def test_shallow_copies_read_in_turn_like_an_ordinary_class():
    # Both share one substream; what one takes from it the other does not see.
    for make, state, step in (
        (warm_restreamed, restreamed_state, lambda a, i: (a.read(3 + i % 40), a.write(b"xy" * (i % 3)))),
        (warm_rebuffered, rebuffered_state, lambda a, i: (a.read(5 + i * 37 % 300), a.seek(-(i % 11), 1))),
    ):
        runs = []
        for module in (native, pure):
            original = make(module, io.BytesIO(DATA))
            twin = copy.copy(original)
            trace = []
            for i in range(400):
                adapter = (original, twin)[i % 3 == 0]
                trace.append(outcome(lambda: step(adapter, i)))
                trace.append((state(original), state(twin), adapter.substream.tell()))
            runs.append(trace)
        assert runs[0] == runs[1]


def test_growing_the_original_never_changes_what_a_shallow_copy_holds():
    # The original's window and counters, grown or moved in place when only its dict holds them, are
    # shared with the copy after copying: they must be replaced instead.
    original = native.RebufferedBytesIO(io.BytesIO(DATA))
    for _ in range(100):
        original.read(100)
    twin = copy.copy(original)
    held = rebuffered_state(twin)
    kept = bytes(bytearray(twin.rwbuffer))
    for _ in range(3000):  # polls again, past the end of the first chunk
        original.read(64)
    assert rebuffered_state(twin) == held and twin.rwbuffer == kept
    assert twin.read(5) == DATA[10000:10005] and original.tell() == 10000 + 3000 * 64

    s = native.RestreamedBytesIO(io.BytesIO(DATA), bytes, 512, bytes, 4)
    for _ in range(20):
        s.read(7)
    twin = copy.copy(s)
    held = restreamed_state(twin)
    for _ in range(200):  # trims and refills rbuffer, moves the counter
        s.read(7)
    assert restreamed_state(twin) == held
    assert twin.read(3) == DATA[140:143] and twin.tell() == 143


def test_a_shallow_copy_keeps_no_memo_of_the_originals_dict():
    for make, name, value in ((warm_restreamed, "rbuffer", b"rebound"), (warm_rebuffered, "offset", 70000)):
        original = make(native, io.BytesIO(DATA))
        twin = copy.copy(original)
        expected = copy.copy(make(pure, io.BytesIO(DATA)))
        # Rebound straight in the original's dict: the copy must not see it, nor ever have seen it.
        vars(original)[name] = value
        for _ in range(5):
            got = twin.read(9)
            assert got == expected.read(9)
        vars(twin)[name] = value
        setattr(expected, name, value)
        assert twin.read(9) == expected.read(9)


# --- deep copies and pickles ----------------------------------------------------------------------


def through_pickle(protocol):
    return lambda adapter: pickle.loads(pickle.dumps(adapter, protocol))


# (route, the substreams it can take along): io.BytesIO pickles with protocol 2 and up only.
ROUTES = {"deepcopy": (copy.deepcopy, (Source, io.BytesIO))}
ROUTES.update({f"pickle {p}": (through_pickle(p), (Source, io.BytesIO) if p >= 2 else (Source,)) for p in PROTOCOLS})


@pytest.mark.parametrize("name", list(ROUTES))
def test_a_deep_copy_reads_on_from_where_the_warm_original_was(name):
    route, substreams = ROUTES[name]
    for substream in substreams:
        for make, state, step in (
            (warm_restreamed, restreamed_state, lambda a, i: (a.read(1 + i % 50), a.write(b"q" * (i % 5)))),
            (warm_rebuffered, rebuffered_state, lambda a, i: (a.read(1 + i * 31 % 200), a.seek(-(i % 13), 1))),
        ):
            original, plain_original = make(native, substream(DATA)), make(pure, substream(DATA))
            reference = make(pure, substream(DATA))
            twin = route(original)
            assert type(twin) is type(original)
            assert twin.substream is not original.substream
            assert state(twin) == state(original) == state(reference)
            before = state(original)
            trace, expected = [], []
            for i in range(300):
                trace.append((outcome(lambda: step(twin, i)), state(twin)))
                expected.append((outcome(lambda: step(reference, i)), state(reference)))
            assert trace == expected
            # The original is untouched by its copy's reads and reads on by itself.
            assert state(original) == before
            assert [original.read(40) for _ in range(3)] == [plain_original.read(40) for _ in range(3)]


@pytest.mark.parametrize("route", [copy.copy, copy.deepcopy, through_pickle(2), through_pickle(0)])
def test_subclasses_copy_as_themselves(route):
    r = Sub(Source(DATA), 50)
    r.read(10)
    r.note = "kept"
    twin = route(r)
    assert type(twin) is Sub and twin.note == "kept"
    assert twin.read(5) == DATA[10:15] and twin.cachedfrom() == 0


@pytest.mark.parametrize("protocol", PROTOCOLS)
def test_a_subclass_with_slots_pickles_like_an_ordinary_one(protocol):
    # Protocols 0 and 1 refuse slots without a __getstate__ of the class's own; later ones keep them.
    def run(cls):
        s = cls(Source(DATA), bytes, 4, bytes, 4)
        s.extra = "slot"
        s.read(6)
        return outcome(lambda: (lambda t: (t.extra, t.read(3), vars(t)["rbuffer"]))(pickle.loads(pickle.dumps(s, protocol))))

    assert run(Slotted) == run(PureSlotted)


def test_pickled_decoders_and_encoders_from_qelo_lib_binary_still_work():
    s = native.RestreamedBytesIO(io.BytesIO(DATA[:64]), binary.bytes2bits, 2, binary.bits2bytes, 8)
    first = s.read(20)
    twin = pickle.loads(pickle.dumps(s, pickle.HIGHEST_PROTOCOL))
    assert twin.decoder is binary.bytes2bits and twin.encoder is binary.bits2bytes
    assert first + twin.read(44) == binary.bytes2bits(DATA[:8])[:64]
    assert twin.write(b"\x01" * 8 + b"\x00" * 9) == 17 and twin.wbuffer == b"\x00"
