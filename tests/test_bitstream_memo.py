"""qelo.lib.bitstream remembers what an adapter's instance dict binds between calls and keeps that
memo up to date through its own stores. These tests change the state every other way a program
can (attribute assignment, the dict itself, a new dict, callbacks amid a read, other adapters,
watchers of the dict) and compare every step with the pure-Python transcription."""

from __future__ import annotations

import gc
import io
import os
import pathlib
import subprocess
import sys
import textwrap

import pytest
from hypothesis import given, settings
from hypothesis import strategies as st

from qelo.lib import binary
from qelo.lib import bitstream as native

# The benchmarks' pure-Python transcription of the module, from the checkout.
pure = pytest.importorskip("benchmarks.pure_bitstream")

DATA = bytes(range(256)) * 1200  # 300 KiB: every rebuffered position used below stays inside it


def outcome(call):
    try:
        return call()
    except (OSError, ValueError, TypeError, AttributeError, BufferError) as exc:
        return f"{type(exc).__name__}: {exc}"


class Count(int):
    """A count whose comparison with 0 rebinds the adapter's read buffer and counter first."""

    def __new__(cls, value, target):
        self = super().__new__(cls, value)
        self.target = target
        return self

    def __lt__(self, other):
        self.target.rbuffer = b"<" * 7
        self.target.sincereadwritten = 3
        return int(self) < other


# --------------------------------------------------------------------------------------------------
# RestreamedBytesIO

DECODERS = {"bytes": bytes, "bits": binary.bytes2bits}

restreamed_ops = st.lists(
    st.one_of(
        st.tuples(st.just("read"), st.one_of(st.integers(0, 200), st.sampled_from([63, 64, 65, 512, 4096, 4097, -1, True]))),
        st.tuples(st.just("read count"), st.integers(-2, 100)),
        st.tuples(st.just("rbuffer"), st.binary(max_size=80)),
        st.tuples(st.just("sincereadwritten"), st.sampled_from([0, 5, 300, 2**30 - 1, 2**30 + 5, 2**70])),
        st.tuples(st.just("decoderunit"), st.sampled_from([1, 2, 7, 64, 512])),
        st.tuples(st.just("decoder"), st.sampled_from(["bytes", "bits", "wrapped", "hostile"])),
        st.tuples(st.just("substream"), st.integers(0, 5000)),
        st.tuples(st.just("through dict"), st.binary(max_size=20)),
        st.tuples(st.just("new dict"), st.none()),
        st.tuples(st.just("other adapter"), st.integers(1, 100)),
        st.tuples(st.just("write"), st.binary(max_size=20)),
    ),
    max_size=25,
)


def run_restreamed(module, ops, unit):
    s = module.RestreamedBytesIO(io.BytesIO(DATA), bytes, unit, bytes, 3)
    other = module.RestreamedBytesIO(io.BytesIO(DATA), bytes, 16, bytes, 3)
    calls = []

    def hostile(chunk):
        # Amid a read: the next steps of this read, and the next reads, see these.
        calls.append(len(chunk))
        if len(calls) % 3 == 0:
            s.sincereadwritten = s.sincereadwritten + 100
            s.decoderunit = 5
        return bytes(chunk) + b"!"

    decoders = dict(DECODERS, wrapped=lambda chunk: binary.bytes2bits(chunk), hostile=hostile)
    trace = []
    for name, arg in ops:
        if name == "read":
            trace.append(outcome(lambda: s.read(arg)))
        elif name == "read count":
            trace.append(outcome(lambda: s.read(Count(arg, s))))
        elif name == "decoder":
            s.decoder = decoders[arg]
        elif name == "substream":
            s.substream = io.BytesIO(DATA[arg:])
        elif name == "through dict":
            vars(s)["rbuffer"] = arg
        elif name == "new dict":
            s.__dict__ = dict(s.__dict__)
        elif name == "other adapter":
            trace.append(other.read(arg))
        elif name == "write":
            trace.append(outcome(lambda: s.write(arg)))
        else:
            setattr(s, name, arg)
        trace.append((s.rbuffer, s.sincereadwritten, s.decoderunit, s.substream.tell(), len(calls)))
    return trace


@settings(max_examples=300, deadline=None)
@given(restreamed_ops, st.sampled_from([1, 3, 512, 4096]))
def test_restreamed_state_changed_every_way_agrees_with_the_transcription(ops, unit):
    assert run_restreamed(native, ops, unit) == run_restreamed(pure, ops, unit)


@pytest.mark.parametrize(
    "decoder, per_unit, unit",
    [(binary.bytes2bits, 8, 1), (bytes, 1, 4096), (bytes, 1, 1), (bytes, 1, 32768), (bytes, 1, 32769)],
)
@pytest.mark.parametrize("have", [0, 5])
@pytest.mark.parametrize("extra", [-1, 0, 1])
def test_restreamed_reads_at_the_sizes_where_one_bulk_round_stops_serving(decoder, per_unit, unit, have, extra):
    # One bulk round reads at most 65536 source bytes (units up to half that): just below, at and
    # above what that decodes to, and one unit, are the sizes where a read changes route.
    data = bytes(range(256)) * 1024 + b"tail"
    for missing in (65536 * per_unit + extra, unit * per_unit + extra, per_unit + extra):
        count = have + missing

        def run(wrap):
            source = io.BytesIO(data)
            s = native.RestreamedBytesIO(source, wrap(decoder), unit, None, 1)
            s.rbuffer = b"h" * have
            return [(s.read(count), s.rbuffer, s.tell(), source.tell()) for _ in range(2)]

        assert run(lambda d: d) == run(lambda d: (lambda chunk: d(chunk)))


def test_restreamed_steady_reads_see_each_attribute_rebound_between_them():
    s = native.RestreamedBytesIO(io.BytesIO(DATA), bytes, 8, bytes, 8)
    for _ in range(3):
        s.read(5)
    s.rbuffer = b"ABCDEFGH"
    assert s.read(5) == b"ABCDE" and s.rbuffer == b"FGH"
    s.sincereadwritten = 1000
    assert s.read(3) == b"FGH" and s.tell() == 1003
    s.substream = io.BytesIO(b"0123456789")
    s.decoderunit = 4
    assert s.read(6) == b"012345" and s.rbuffer == b"67" and s.substream.tell() == 8
    s.decoder = binary.bytes2bits
    assert s.read(10) == b"67" + binary.bytes2bits(b"8")
    vars(s)["rbuffer"] = b"xyz"
    assert s.read(2) == b"xy"
    s.__dict__ = {**s.__dict__, "rbuffer": b"new dict"}
    assert s.read(3) == b"new"
    del s.rbuffer
    with pytest.raises(AttributeError):
        s.read(1)


def test_restreamed_subclass_and_instance_shadowing_are_honoured():
    class Counted(native.RestreamedBytesIO):
        reads = 0

        @property
        def rbuffer(self):
            Counted.reads += 1
            return self.__dict__["rbuffer"]

        @rbuffer.setter
        def rbuffer(self, value):
            self.__dict__["rbuffer"] = value

    s = Counted(io.BytesIO(DATA), bytes, 8, bytes, 8)
    assert [s.read(5) for _ in range(4)] == [DATA[i : i + 5] for i in range(0, 20, 5)]
    assert Counted.reads >= 4  # every read went through the property


# --------------------------------------------------------------------------------------------------
# RebufferedBytesIO

rebuffered_ops = st.lists(
    st.one_of(
        st.tuples(st.just("read"), st.one_of(st.integers(0, 300), st.sampled_from([64, 131072, 131073]))),
        st.tuples(st.just("seek"), st.integers(0, 150000)),
        st.tuples(st.just("offset"), st.integers(0, 150000)),
        st.tuples(st.just("moved"), st.integers(0, 3000)),
        st.tuples(st.just("tailcutoff"), st.sampled_from([None, 0, 100, 4096])),
        st.tuples(st.just("rwbuffer"), st.integers(0, 140000)),
        st.tuples(st.just("new dict"), st.none()),
        st.tuples(st.just("other adapter"), st.integers(1, 100)),
        st.tuples(st.just("write"), st.binary(max_size=20)),
    ),
    max_size=25,
)


def run_rebuffered(module, ops):
    r = module.RebufferedBytesIO(io.BytesIO(DATA))
    other = module.RebufferedBytesIO(io.BytesIO(DATA))
    trace = []
    for name, arg in ops:
        if name == "read":
            if r.offset + arg > len(DATA) - 1000:  # a read past the end would poll forever
                continue
            trace.append(outcome(lambda: r.read(arg)))
        elif name == "seek":
            trace.append(r.seek(arg))
        elif name == "rwbuffer":
            r.rwbuffer = DATA[r.moved : r.moved + arg]  # the same bytes, a new object of another length
        elif name == "new dict":
            r.__dict__ = dict(r.__dict__)
        elif name == "other adapter":
            trace.append(other.read(arg))
        elif name == "write":
            if r.offset > r.cachedto():
                continue  # its polls would stop at the end only in qelo
            trace.append(outcome(lambda: r.write(arg)))
        else:
            setattr(r, name, arg)
        trace.append((r.offset, r.moved, r.tailcutoff, len(r.rwbuffer), r.rwbuffer[:8], r.rwbuffer[-8:]))
    return trace


@settings(max_examples=200, deadline=None)
@given(rebuffered_ops)
def test_rebuffered_state_changed_every_way_agrees_with_the_transcription(ops):
    assert run_rebuffered(native, ops) == run_rebuffered(pure, ops)


def test_rebuffered_steady_reads_see_each_attribute_rebound_between_them():
    r = native.RebufferedBytesIO(io.BytesIO(DATA))
    for _ in range(3):
        r.read(64)
    r.offset = 1000
    assert r.read(4) == DATA[1000:1004]
    r.rwbuffer = b"abcdefgh" + r.rwbuffer[8:]
    r.offset = 2
    assert r.read(4) == b"cdef"
    r.moved = 2
    assert r.read(2) == b"ef"  # the window now starts at position 2
    r.tailcutoff = 0
    assert r.read(1) == b"g" and r.cachedfrom() == 9
    r.__dict__ = dict(r.__dict__, offset=3)
    with pytest.raises(OSError, match="tail was cut off"):
        r.read(1)


# --------------------------------------------------------------------------------------------------
# The memo's bookkeeping


def test_adapters_freed_amid_reads_leave_the_others_right():
    keep = native.RebufferedBytesIO(io.BytesIO(DATA))
    steady = native.RestreamedBytesIO(io.BytesIO(DATA), bytes, 512, bytes, 512)
    got, expected = [], []
    for round_ in range(50):
        temporary = native.RestreamedBytesIO(io.BytesIO(DATA), bytes, 8, bytes, 8)
        temporary.read(10)
        cycle = native.RebufferedBytesIO(io.BytesIO(DATA))
        cycle.substream = cycle  # garbage only the collector frees
        cycle.read  # noqa: B018
        del temporary, cycle
        if round_ % 10 == 0:
            gc.collect()
        got.append((keep.read(64), steady.read(64)))
        expected.append((DATA[64 * round_ : 64 * round_ + 64],) * 2)
    assert got == expected


def test_a_dict_the_adapter_no_longer_binds_is_no_longer_its_state():
    s = native.RestreamedBytesIO(io.BytesIO(DATA), bytes, 8, bytes, 8)
    s.read(3)
    old = s.__dict__
    s.__dict__ = dict(old)
    assert s.read(3) == DATA[3:6]
    old["rbuffer"] = b"stale"
    old["sincereadwritten"] = 99
    assert s.read(2) == DATA[6:8] and s.tell() == 8


@pytest.mark.parametrize("kind", ["restreamed", "rebuffered"])
def test_a_class_made_where_a_freed_plain_one_was_is_judged_on_its_own(kind):
    # Whether a class is plain is remembered under its version alone, with no reference keeping the
    # class alive: a class made at a freed plain one's address, shadowing a state name, is another.
    base, name, make = {
        "restreamed": (native.RestreamedBytesIO, "rbuffer", lambda cls: cls(io.BytesIO(DATA), bytes, 8, bytes, 8)),
        "rebuffered": (native.RebufferedBytesIO, "offset", lambda cls: cls(io.BytesIO(DATA))),
    }[kind]
    reads = []

    def get(self):
        reads.append(1)
        return self.__dict__[name]

    def set_(self, value):
        self.__dict__[name] = value

    reused = 0
    for _ in range(10):
        plain = type("Adapter", (base,), {})
        address = id(plain)
        adapter = make(plain)
        assert [adapter.read(5) for _ in range(3)] == [DATA[:5], DATA[5:10], DATA[10:15]]
        del adapter, plain
        gc.collect()
        shadowing = type("Adapter", (base,), {name: property(get, set_)})
        reused += id(shadowing) == address
        adapter = make(shadowing)
        del reads[:]
        assert adapter.read(5) == DATA[:5]
        assert reads  # the read went through the property
        del adapter, shadowing
        gc.collect()
    if not reused:
        pytest.skip("no class was made at a freed one's address")


def run_isolated(code: str) -> None:
    """Runs code in a fresh interpreter that imports `benchmarks` from where this process does."""
    root = str(pathlib.Path(pure.__file__).resolve().parent.parent)
    env = dict(os.environ, PYTHONPATH=os.pathsep.join(filter(None, [root, os.environ.get("PYTHONPATH")])))
    result = subprocess.run(
        [sys.executable, "-c", textwrap.dedent(code)], capture_output=True, text=True, timeout=120, env=env
    )
    assert result.returncode == 0, result.stdout + result.stderr


@pytest.mark.skipif(sys.version_info < (3, 12), reason="dict watchers are 3.12+")
def test_without_a_free_watcher_slot_the_adapters_still_agree_with_the_transcription():
    run_isolated(
        """
        import ctypes, io
        callback_type = ctypes.CFUNCTYPE(ctypes.c_int, ctypes.c_int, ctypes.py_object, ctypes.c_void_p, ctypes.c_void_p)
        keep = callback_type(lambda *args: 0)
        ctypes.pythonapi.PyDict_AddWatcher.argtypes = [callback_type]
        taken = 0
        try:
            while ctypes.pythonapi.PyDict_AddWatcher(keep) >= 0:  # every slot left
                taken += 1
        except (RuntimeError, ValueError):  # none is left
            pass
        assert taken > 0
        from benchmarks import pure_bitstream as pure
        from qelo.lib import bitstream as native

        DATA = bytes(range(256)) * 600

        def run(module):
            s = module.RestreamedBytesIO(io.BytesIO(DATA), bytes, 512, bytes, 8)
            r = module.RebufferedBytesIO(io.BytesIO(DATA), 100)
            out = []
            for step in range(300):
                out += [s.read(64), r.read(64)]
                if step % 50 == 7:
                    s.rbuffer, r.offset = b"rebound", r.offset - 50
            return out + [s.tell(), r.tell(), r.cachedfrom()]

        assert run(native) == run(pure)
        """
    )


@pytest.mark.skipif(sys.version_info < (3, 12), reason="dict watchers are 3.12+")
def test_a_watcher_rebinding_the_state_amid_the_adapters_own_stores_is_seen():
    # Another extension's watcher runs code in the middle of each of the adapter's stores: what it
    # binds then must not be mistaken for what the adapter stored. The reference is the same class
    # through the generic attribute protocol (a subclass overriding it), which remembers nothing.
    run_isolated(
        """
        import ctypes, io
        from qelo.lib import bitstream as native

        MODIFIED = 1
        callback_type = ctypes.CFUNCTYPE(ctypes.c_int, ctypes.c_int, ctypes.py_object, ctypes.c_void_p, ctypes.c_void_p)
        rewrites = {}  # id of a key stored -> (name, value) bound in the callback
        hits = []

        def on_event(event, d, key, value):
            if event == MODIFIED and key in rewrites and d.get("armed"):
                name, make = rewrites[key]
                hits.append(name)
                d[name] = make(d)  # an existing key: the dict keeps its size
            return 0

        keep = callback_type(on_event)
        ctypes.pythonapi.PyDict_AddWatcher.argtypes = [callback_type]
        watcher = ctypes.pythonapi.PyDict_AddWatcher(keep)
        ctypes.pythonapi.PyDict_Watch.argtypes = [ctypes.c_int, ctypes.py_object]
        DATA = bytes(range(256)) * 600

        class Generic:
            def __getattribute__(self, name):
                return object.__getattribute__(self, name)

            def __setattr__(self, name, value):
                object.__setattr__(self, name, value)

        class GenericRestreamed(Generic, native.RestreamedBytesIO):
            pass

        class GenericRebuffered(Generic, native.RebufferedBytesIO):
            pass

        def restreamed(cls):
            rewrites.clear()
            rewrites[id("rbuffer")] = ("sincereadwritten", lambda d: d["sincereadwritten"] + 1000)
            # A decoder of its own: a bulk round would store once for the rounds it stands in for.
            s = cls(io.BytesIO(DATA), lambda chunk: bytes(chunk), 8, bytes, 8)
            s.armed = True
            ctypes.pythonapi.PyDict_Watch(watcher, s.__dict__)
            return [(s.read(5), s.tell(), s.rbuffer) for _ in range(40)]

        def rebuffered(cls):
            rewrites.clear()
            rewrites[id("offset")] = ("rwbuffer", lambda d: bytes(reversed(d["rwbuffer"][:300])))
            r = cls(io.BytesIO(DATA))
            r.armed = True
            ctypes.pythonapi.PyDict_Watch(watcher, r.__dict__)
            out = []
            for _ in range(30):
                try:
                    out.append((r.read(7), r.tell(), len(r.rwbuffer)))
                except OSError as exc:
                    out.append(str(exc))
            return out

        for run, fast_class, reference in ((restreamed, native.RestreamedBytesIO, GenericRestreamed),
                                           (rebuffered, native.RebufferedBytesIO, GenericRebuffered)):
            hits.clear()
            fast = run(fast_class)
            assert hits, run
            assert fast == run(reference), (run, fast, run(reference))
        """
    )


# --------------------------------------------------------------------------------------------------
# The substream an exact io.BytesIO: its bytes may be taken from its buffer without calling read.

substream_ops = st.lists(
    st.one_of(
        st.tuples(st.just("read"), st.sampled_from([0, 1, 7, 8, 9, 64, 65, 700])),
        st.tuples(st.just("seek"), st.sampled_from([0, 3, 999, 1000, 1001, 5000])),
        st.tuples(st.just("write"), st.binary(min_size=1, max_size=30)),
        st.tuples(st.just("truncate"), st.sampled_from([0, 10, 500])),
        st.tuples(st.just("export"), st.none()),
        st.tuples(st.just("release"), st.none()),
        st.tuples(st.just("close"), st.none()),
    ),
    max_size=20,
)


def run_over_bytesio(ops, decoder, unit, initial):
    source = io.BytesIO(initial)
    s = native.RestreamedBytesIO(source, decoder, unit, None, 1)
    views = []
    trace = []
    for name, arg in ops:
        if name == "read":
            trace.append(outcome(lambda: s.read(arg)))
        elif name == "export":
            trace.append(outcome(lambda: views.append(source.getbuffer())))
        elif name == "release":
            while views:
                views.pop().release()
        elif name == "close":
            while views:
                views.pop().release()
            source.close()
        else:
            trace.append(outcome(lambda: getattr(source, name)(arg)))
        trace.append((s.rbuffer, s.tell(), outcome(source.tell), outcome(source.getvalue)))
    while views:
        views.pop().release()
    return trace


@settings(max_examples=300, deadline=None)
@given(substream_ops, st.sampled_from(["bytes", "bits"]), st.sampled_from([1, 3, 8]), st.sampled_from([b"", b"xyz", DATA[:1000]]))
def test_reading_an_io_bytesio_in_every_state_agrees_with_calling_its_read(ops, decoder, unit, initial):
    # Closed, positioned past its end, written to after a read (its buffer copied or grown),
    # truncated, or with its buffer exported: the wrapped decoder makes every round call read.
    fast = run_over_bytesio(ops, DECODERS[decoder], unit, initial)
    rounds = run_over_bytesio(ops, lambda chunk, d=DECODERS[decoder]: d(chunk), unit, initial)
    assert fast == rounds


def test_a_bytesio_made_from_a_bytes_object_leaves_that_object_alone():
    initial = bytes(range(256)) * 4
    source = io.BytesIO(initial)
    s = native.RestreamedBytesIO(source, bytes, 16, None, 1)
    assert s.read(100) == initial[:100] and source.tell() == 112
    source.write(b"written")  # the stream copies its buffer before changing it
    assert initial == bytes(range(256)) * 4
    assert s.read(20) == initial[100:112] + initial[119:127] and source.tell() == 135


class CalledBytesIO(io.BytesIO):
    """An io.BytesIO whose read is always called (a subclass: its buffer is not read directly)."""


window_ops = st.lists(
    st.one_of(
        st.tuples(st.just("read"), st.sampled_from([0, 1, 64, 131071, 131072, 131073, 200000])),
        st.tuples(st.just("seek"), st.sampled_from([0, 5, 131072, 300000])),
        st.tuples(st.just("substream seek"), st.sampled_from([0, 7, 250000, 400000])),
        st.tuples(st.just("substream write"), st.binary(min_size=1, max_size=30)),
        st.tuples(st.just("export"), st.none()),
        st.tuples(st.just("close"), st.none()),
    ),
    max_size=15,
)


def run_window(ops, cls, tailcutoff):
    source = cls(DATA)
    r = native.RebufferedBytesIO(source, tailcutoff)
    views, trace = [], []
    for name, arg in ops:
        if name == "read":
            trace.append(outcome(lambda: r.read(arg)))
        elif name == "seek":
            trace.append(r.seek(arg))
        elif name == "substream seek":
            trace.append(outcome(lambda: source.seek(arg)))
        elif name == "substream write":
            trace.append(outcome(lambda: source.write(arg)))
        elif name == "export":
            trace.append(outcome(lambda: views.append(source.getbuffer())))
        else:
            while views:
                views.pop().release()
            source.close()
        trace.append((r.tell(), r.cachedfrom(), r.cachedto(), r.rwbuffer[-16:], outcome(source.tell)))
    while views:
        views.pop().release()
    return trace


@settings(max_examples=150, deadline=None)
@given(window_ops, st.sampled_from([None, 0, 4096]))
def test_polling_an_io_bytesio_in_every_state_agrees_with_calling_its_read(ops, tailcutoff):
    # Exhausted (its end is the end of the stream here), positioned anywhere, written to, exported,
    # closed: the subclass has every poll call read.
    assert run_window(ops, io.BytesIO, tailcutoff) == run_window(ops, CalledBytesIO, tailcutoff)


@pytest.mark.parametrize("change", ["table entry", "table rebound", "helper rebound", "other table entry"])
def test_steady_bit_reads_see_qelo_lib_binary_changed_between_them(change):
    # Whether bytes2bits may be stood in for is remembered only while nothing it depends on moved.
    data = b"\x10\x20" * 256
    table = binary.BYTES2BITS_CACHE
    saved = {name: getattr(binary, name) for name in ("BYTES2BITS_CACHE", "iterateints")}
    saved_entry, saved_other = table[0x10], binary.BITS2BYTES_CACHE[b"\x00" * 8]

    def restore():
        for name, value in saved.items():
            setattr(binary, name, value)
        table[0x10], binary.BITS2BYTES_CACHE[b"\x00" * 8] = saved_entry, saved_other

    def run(decoder):
        s = native.RestreamedBytesIO(io.BytesIO(data), decoder, 2, None, 1)
        out = [s.read(64) for _ in range(4)]  # steady: one unit of 2 source bytes every other read
        if change == "table entry":
            table[0x10] = b"TTTTTTTT"
        elif change == "table rebound":
            binary.BYTES2BITS_CACHE = {k: v.replace(b"\x01", b"\x02") for k, v in table.items()}
        elif change == "helper rebound":
            binary.iterateints = lambda d: iter(bytes(d)[::-1])
        else:
            binary.BITS2BYTES_CACHE[b"\x00" * 8] = 0
        out += [s.read(64) for _ in range(4)]
        restore()
        return out

    try:
        fast = run(binary.bytes2bits)
        # The reference: a decoder of its own makes every round call bytes2bits.
        assert fast == run(lambda chunk: binary.bytes2bits(chunk))
        assert (fast[4:] == fast[:4]) == (change == "other table entry")
    finally:
        restore()
