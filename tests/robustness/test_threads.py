"""Threads sharing trees, tables and module names: no crash, and every result is the one that the
old or the new binding gives, never a mixture."""

from __future__ import annotations

import io
import sys
import threading

import pytest

binary = pytest.importorskip("qelo.lib.binary")
expr = pytest.importorskip("qelo.expr")
hexmod = pytest.importorskip("qelo.lib.hex")
bitstream = pytest.importorskip("qelo.lib.bitstream")

ROUNDS = 300


@pytest.fixture(autouse=True)
def fast_switching():
    old = sys.getswitchinterval()
    sys.setswitchinterval(1e-6)
    yield
    sys.setswitchinterval(old)


def run_threads(workers, mutator=None):
    """Runs the workers (and a mutator until they finish); re-raises the first failure."""
    errors = []
    done = threading.Event()

    def guarded(fn):
        def body():
            try:
                fn()
            except BaseException as exc:  # reported below, in the main thread
                errors.append(exc)
        return body

    threads = [threading.Thread(target=guarded(w)) for w in workers]
    if mutator is not None:
        def mutate_until_done():
            while not done.is_set():
                mutator()
        helper = threading.Thread(target=guarded(mutate_until_done))
        helper.start()
    for t in threads:
        t.start()
    for t in threads:
        t.join()
    done.set()
    if mutator is not None:
        helper.join()
    if errors:
        raise errors[0]


def test_shared_expression_trees():
    this, len_ = expr.this, expr.len_
    tree = (this.a + this.b) * 2 - len_(this.items)
    text = repr(tree)

    def worker(seed):
        def body():
            for i in range(ROUNDS):
                ctx = {"a": i, "b": seed, "items": [0] * (i % 5)}
                assert tree(ctx) == (i + seed) * 2 - i % 5
                assert repr(tree) == text
        return body

    run_threads([worker(s) for s in range(4)])


def test_expression_while_opnames_changes():
    node = expr.this.x + 1
    symbols = {"(this.x + 1)", "(this.x plus 1)"}
    import operator

    def mutator():
        expr.opnames[operator.add] = "plus"
        expr.opnames[operator.add] = "+"

    def worker():
        for _ in range(ROUNDS):
            assert repr(node) in symbols
            assert node({"x": 1}) == 2

    try:
        run_threads([worker, worker], mutator)
    finally:
        expr.opnames[operator.add] = "+"


def test_conversions_while_tables_are_rebound_and_mutated():
    data = b"a" * 64 + bytes(range(256))
    original = binary.bytes2bits(data)
    table = binary.BYTES2BITS_CACHE
    changed = dict(table)
    changed[0x61] = b"\x01" * 8
    alternative = b"".join(changed[b] for b in data)

    def mutator():
        binary.BYTES2BITS_CACHE = changed
        binary.BYTES2BITS_CACHE = table
        table[0x61] = b"\x01" * 8
        table[0x61] = original[:8]

    def worker():
        for _ in range(ROUNDS):
            assert binary.bytes2bits(data) in (original, alternative)
            assert binary.bits2bytes(original) == data

    try:
        run_threads([worker, worker], mutator)
    finally:
        binary.BYTES2BITS_CACHE = table
        table[0x61] = original[:8]
    assert binary.bytes2bits(data) == original


def test_hexdump_while_hexprint_changes():
    data = bytes(range(256))
    original = hexmod.hexdump(data, 16)
    hexprint = hexmod.HEXPRINT
    lower = [h.lower() for h in hexprint]
    one_changed = list(hexprint)
    one_changed[0xAB] = "ab"
    hexmod.HEXPRINT = lower
    expected = {original, hexmod.hexdump(data, 16)}
    hexmod.HEXPRINT = one_changed
    expected.add(hexmod.hexdump(data, 16))
    hexmod.HEXPRINT = hexprint
    assert len(expected) == 3

    def mutator():
        hexmod.HEXPRINT = lower
        hexmod.HEXPRINT = hexprint
        hexprint[0xAB] = "ab"
        hexprint[0xAB] = "AB"

    def worker():
        for _ in range(ROUNDS // 3):
            assert hexmod.hexdump(data, 16) in expected

    try:
        run_threads([worker, worker], mutator)
    finally:
        hexmod.HEXPRINT = hexprint
        hexprint[0xAB] = "AB"
    assert hexmod.hexdump(data, 16) == original


def test_separate_stream_adapters():
    payload = bytes(range(256)) * 1024

    def worker():
        stream = bitstream.RebufferedBytesIO(io.BytesIO(payload), tailcutoff=4096)
        out = []
        for _ in range(len(payload) // 1000):
            out.append(stream.read(1000))
        assert b"".join(out) == payload[: len(out) * 1000]
        restreamed = bitstream.RestreamedBytesIO(io.BytesIO(payload), bytes, 100, bytes, 100)
        assert restreamed.read(len(payload)) == payload

    run_threads([worker] * 4)
