"""qelo.lib.py3compat: what qelo.lib.binary and qelo.lib.hex rely on."""

import binascii
import struct

import pytest
from hypothesis import given
from hypothesis import strategies as st

from qelo.lib import py3compat
from qelo.lib.py3compat import byte2int, bytes2str, bytestringtype, int2byte, integertypes, iterateints, trimstring


def test_all_names_exist():
    required = {"iterateints", "int2byte", "byte2int", "bytes2str", "bytestringtype", "integertypes", "trimstring"}
    assert required <= set(py3compat.__all__)
    for name in py3compat.__all__:
        assert hasattr(py3compat, name)


def test_types():
    assert bytestringtype is bytes
    assert integertypes[0] is int


def test_int2byte_and_byte2int_round_trip():
    for v in range(256):
        packed = int2byte(v)
        assert type(packed) is bytes and packed == bytes([v])
        assert byte2int(packed) == v


@pytest.mark.parametrize("value", [-1, 256, 1 << 70])
def test_int2byte_refuses_values_outside_a_byte(value):
    with pytest.raises(struct.error):
        int2byte(value)


def test_byte2int_of_empty_is_zero():
    assert byte2int(b"") == 0


@given(st.binary(max_size=64))
def test_iterateints_yields_each_byte_afresh(data):
    assert list(iterateints(data)) == list(data)
    assert list(iterateints(data)) == list(data)


def test_bytes2str_gives_one_character():
    for v in range(32, 128):
        assert bytes2str(int2byte(v)) == chr(v)


@given(st.binary(max_size=64))
def test_trimstring_makes_an_unhexlify_expression(data):
    text = "unhexlify(%s)" % trimstring(binascii.hexlify(data))
    assert eval(text, {"unhexlify": binascii.unhexlify}) == data
    assert text == "unhexlify('%s')" % data.hex()
