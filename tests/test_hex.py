"""qelo.lib.hex: the hex dump text format, its reader, and the display classes."""

import os
import subprocess
import sys
import textwrap

import pytest
from hypothesis import given, settings
from hypothesis import strategies as st

import qelo.lib.hex as qhex
import qelo.lib.py3compat as py3compat
from qelo.lib.hex import hexdump, hexundump

HEADER, CLOSING = 'hexundump("""', '""")'


def dump_lines(*data_lines):
    return "\n".join([HEADER, *data_lines, CLOSING, ""])


@pytest.fixture
def restore_namespace():
    saved = dict(vars(qhex))
    hexprint, printable = list(qhex.HEXPRINT), list(qhex.PRINTABLE)
    yield qhex
    vars(qhex).clear()
    vars(qhex).update(saved)
    qhex.HEXPRINT[:] = hexprint
    qhex.PRINTABLE[:] = printable


def run_isolated(code):
    """Runs code in a fresh interpreter; returns its completed process (crashes fail one test)."""
    return subprocess.run([sys.executable, "-c", textwrap.dedent(code)], capture_output=True, text=True, timeout=120)


# ---- module namespace and tables ----


def test_namespace_is_bound_in_import_order():
    names = [n for n in vars(qhex) if not n.startswith("__")]
    assert names == [
        *py3compat.__all__, "binascii",
        "HexDisplayedInteger", "HexDisplayedBytes", "HexDisplayedDict", "HexDumpDisplayedBytes", "HexDumpDisplayedDict",
        "PRINTABLE", "HEXPRINT", "hexdump", "hexundump",
        "_HexWriter", "_HexReader",  # private to the package: the command-line tool's incremental core
    ]  # fmt: skip
    assert qhex.binascii is __import__("binascii")
    assert qhex.__doc__ is None


def test_tables():
    assert qhex.HEXPRINT == [f"{v:02X}" for v in range(256)]
    assert qhex.PRINTABLE[32] == " " and qhex.PRINTABLE[127] == "\x7f" and qhex.PRINTABLE[ord("A")] == "A"
    assert [v for v in range(256) if qhex.PRINTABLE[v] == "."] == [*range(32), ord("."), *range(128, 256)]


def test_docstrings():
    body = ["hexundump(\\\"\\\"\\\""]
    body += [f"{o:04X}   {' '.join(['30'] * 16)}   {'0' * 16}" for o in range(0, 96, 16)]
    body += ["0060   " + "30 30 30 30".ljust(47) + "   0000", "\\\"\\\"\\\")"]
    expected = "\n    Turns bytes into a unicode string of the format:\n\n    ::\n\n"
    expected += "".join(f"        {line}\n" for line in [">>>print(hexdump(b'0' * 100, 16))", *body]) + "    "
    assert hexdump.__doc__ == expected
    assert hexundump.__doc__ == "\n    Reverse of `hexdump`.\n    "


# ---- the dump text ----


def test_worked_example():
    assert hexdump(b"Hi!\n\x00\xffxyz", 8) == dump_lines(
        "0000   48 69 21 0A 00 FF 78 79   Hi!...xy", "0008   7A                        z"
    )


def test_hundred_zeros():
    lines = hexdump(b"0" * 100, 16).split("\n")
    assert len(lines) == 10 and lines[-1] == ""
    assert all(len(line) == 73 for line in lines[1:7])
    assert lines[6] == "0050   " + " ".join(["30"] * 16) + "   " + "0" * 16
    assert lines[7] == "0060   30 30 30 30" + " " * 36 + "   0000"


@pytest.mark.parametrize("data", [b"", bytearray()])
@pytest.mark.parametrize("linesize", [1, 16, 2**80])
def test_empty_data(data, linesize):
    assert hexdump(data, linesize) == HEADER + "\n" + CLOSING + "\n"
    assert hexundump(HEADER + "\n" + CLOSING + "\n", 16) == b""


@pytest.mark.parametrize(("length", "first", "last"), [(65535, "0000   ", "FFF0   "), (65536, "00000000   ", "0000FFF0   ")])
def test_offset_width_follows_total_length(length, first, last):
    data = bytes(range(256)) * (length // 256) + bytes(length % 256)
    lines = hexdump(data, 16).split("\n")
    assert lines[1].startswith(first) and lines[-3].startswith(last)
    assert hexundump("\n".join(lines), 16) == data


def test_printable_column_edges():
    assert hexdump(b"\x1f \x7f\x80\xff\na", 7).split("\n")[1] == "0000   1F 20 7F 80 FF 0A 61   . \x7f...a"
    assert hexdump(b"ab ", 3).split("\n")[1].endswith("ab ")


def general_path_dump(data, linesize):
    """The same dump through the literal per-byte algorithm (rebinding a helper turns the direct route off)."""
    qhex.iterateints = lambda line: iter(line)
    try:
        return hexdump(data, linesize)
    finally:
        qhex.iterateints = iter


@settings(max_examples=150, deadline=None)
@given(st.binary(max_size=300), st.integers(1, 40), st.sampled_from([bytes, bytearray]))
def test_round_trip_and_direct_route_agree(data, linesize, kind):
    text = hexdump(kind(data), linesize)
    assert text == general_path_dump(kind(data), linesize)
    assert hexundump(text, linesize) == data
    assert hexundump(text[:-1], linesize) == data  # final newline lost
    assert hexundump(text.lower(), linesize) == data  # hex digits of either case


def test_bytes_subclass_overriding_slicing_is_honoured():
    class Reversed(bytes):
        def __getitem__(self, key):
            return bytes(reversed(bytes(self)))[key]

    assert hexdump(Reversed(b"abc"), 16) == hexdump(b"cba", 16)
    assert hexdump(qhex.HexDumpDisplayedBytes(b"abc"), 2) == hexdump(b"abc", 2)


# ---- call-time lookups ----


def test_mutated_and_rebound_tables_change_output(restore_namespace):
    qhex.HEXPRINT[0x41] = "zz"
    qhex.PRINTABLE[0x41] = "#"
    assert hexdump(b"AB", 16).split("\n")[1] == "0000   zz 42" + " " * 42 + "   #B"
    qhex.HEXPRINT = [f"{v:02x}" for v in range(256)]
    text = hexdump(b"\xab\xcd", 2)
    assert "ab cd" in text and hexundump(text, 2) == b"\xab\xcd"  # lower-case pairs read back


def test_rebound_helpers_change_output(restore_namespace):
    qhex.iterateints = lambda line: reversed(list(line))
    assert hexdump(b"ab", 16).split("\n")[1].startswith("0000   62 61")
    qhex.iterateints = iter
    qhex.int2byte = lambda v: bytes([v, v])
    assert hexundump(hexdump(b"ab", 16), 16) == b"aabb"
    qhex.hexdump = lambda data, linesize: f"dump {linesize}"
    qhex.trimstring = lambda digits: digits.decode().upper()
    assert str(qhex.HexDumpDisplayedBytes(b"x")) == "dump 16"
    assert str(qhex.HexDisplayedBytes(b"\xab")) == "unhexlify(AB)"


@pytest.mark.parametrize("missing", ["HEXPRINT", "PRINTABLE", "iterateints"])
def test_missing_names_raise_name_error(restore_namespace, missing):
    del vars(qhex)[missing]
    assert hexdump(b"", 16) == HEADER + "\n" + CLOSING + "\n"  # nothing is looked up without data
    with pytest.raises(NameError, match=missing):
        hexdump(b"a", 16)


def test_missing_name_falls_back_to_builtins(restore_namespace):
    import builtins

    del vars(qhex)["int2byte"]
    with pytest.raises(NameError, match="int2byte"):
        hexundump(hexdump(b"a", 16), 16)
    builtins.int2byte = lambda v: b"<%d>" % v
    try:
        assert hexundump(hexdump(b"a", 16), 16) == b"<97>"
    finally:
        del builtins.int2byte


# ---- hexdump failures ----


class Huge:
    def __len__(self):
        return 2**32

    def __getitem__(self, key):
        raise AssertionError("the contents must not be touched")


@pytest.mark.parametrize(
    ("data", "linesize", "error", "match"),
    [
        (Huge(), 16, ValueError, r"hexdump cannot process more than 16\*\*8 or 4294967296 bytes"),
        (b"a", 0, ValueError, "linesize"),
        (b"a", -3, ValueError, "linesize"),
        (b"", -(2**70), ValueError, "linesize"),
        (b"a", 2**80, ValueError, "width too big"),
        (b"a", 1.5, TypeError, "integer"),
        (b"a", "16", TypeError, "integer"),
        (5, 16, TypeError, "len"),
        ({1, 2}, 16, TypeError, "not subscriptable"),
    ],
)
def test_hexdump_failures(data, linesize, error, match):
    with pytest.raises(error, match=match):
        hexdump(data, linesize)


@pytest.mark.parametrize(
    ("values", "error"), [([256], IndexError), (["x"], TypeError), ([2**70], IndexError), ([None], TypeError)]
)
def test_bad_values_from_iterateints(restore_namespace, values, error):
    qhex.iterateints = lambda line: iter(values)
    with pytest.raises(error):
        hexdump(b"a", 16)


def test_negative_values_index_from_the_end(restore_namespace):
    qhex.iterateints = lambda line: iter([-1])
    assert hexdump(b"a", 16).split("\n")[1].startswith("0000   FF")


def test_non_string_table_entry(restore_namespace):
    qhex.HEXPRINT[0x61] = 97
    with pytest.raises(TypeError, match="expected str instance, int found"):
        hexdump(b"a", 16)


@pytest.mark.parametrize(
    ("call", "match"),
    [
        (lambda: hexdump(b"a"), r"hexdump\(\) missing 1 required positional argument: 'linesize'"),
        (lambda: hexdump(b"a", 1, 2), r"hexdump\(\) takes 2 positional arguments but 3 were given"),
        (lambda: hexundump(data="", size=1), r"hexundump\(\) got an unexpected keyword argument 'size'"),
    ],
)
def test_argument_errors(call, match):
    with pytest.raises(TypeError, match=match):
        call()


def test_keyword_arguments():
    assert hexundump(linesize=4, data=hexdump(linesize=4, data=b"abcdefg")) == b"abcdefg"


# ---- hexundump: only valid dumps are read ----

GOOD = hexdump(b"Hi!\n\x00\xffxyz", 8)  # lines 2 and 3 are data lines, line 3 short


@pytest.mark.parametrize(
    ("text", "linesize", "match"),
    [
        (GOOD, 4, "line 2 is not a data line of a hex dump with linesize 4"),  # smaller linesize
        (GOOD, 9, "line 2 is not a data line of a hex dump with linesize 9"),  # larger: 'H' would be read
        (hexdump(b"\xab" * 4, 16), 17, "line 2 is not a data line"),  # one short line, larger linesize
        (hexdump(b"\xab" * 4, 16), 15, "line 2 is not a data line"),
        (hexdump(b"\x20" * 4, 16), 17, "line 2 is not a data line"),
        (GOOD.replace("0008", "0010"), 8, "line 3 does not hold the offset 0008"),
        (dump_lines(GOOD.split("\n")[2]), 8, "line 2 does not hold the offset 0000"),
        (GOOD.replace("0000", "00000"), 8, "line 2 is not a data line"),
        (GOOD.replace("0008", "00000008"), 8, "line 3 is not a data line"),  # mixed offset widths
        (GOOD.replace("48 69", "48 6G"), 8, "line 2 is not a data line"),
        (GOOD.replace("48 69", "48  69"), 8, "line 2 is not a data line"),
        (GOOD.replace("Hi!", "Hi"), 8, "line 2 is not a data line"),  # printable column too short
        (GOOD.replace("xy\n", "xy \n"), 8, "line 2 is not a data line"),
        (GOOD.replace("\n0008", "\n\n0008"), 8, "line 3 is not a data line"),
        (GOOD.replace("0000", " 0000"), 8, "line 2 is not a data line"),
        (dump_lines("0000   7A" + " " * 12 + "z", "0001   7A" + " " * 12 + "z"), 4, "line 3 is not the closing line"),
        (GOOD[1:], 8, "line 1 is not the header line"),
        (GOOD.replace(HEADER, HEADER + " "), 8, "line 1 is not the header line"),
        (GOOD[: -len(CLOSING) - 1], 8, "the dump ends after line 3 without the closing line"),
        (HEADER, 8, "the dump ends after line 1 without the closing line"),
        ("", 8, "line 1 is not the header line"),
        (GOOD + "\n", 8, "line 5 follows the closing line"),
        (GOOD + "junk", 8, "line 5 follows the closing line"),
        (GOOD.replace('""")', '""") '), 8, "line 4 is not the closing line"),
        (hexdump(b"0" * 32, 16).replace('""")', '""") '), 16, "line 4 is not a data line"),
        (GOOD.replace("\n", "\r\n"), 8, "line 1 is not the header line"),
    ],
)
def test_malformed_dumps_name_the_line(text, linesize, match):
    with pytest.raises(ValueError, match=match):
        hexundump(text, linesize)


def test_valid_variants():
    assert hexundump(GOOD.replace("Hi!...xy", "\u20ac\U0001f600!...xy"), 8) == b"Hi!\n\x00\xffxyz"
    assert hexundump(dump_lines("00000000   41   A"), 1) == b"A"
    very_long = "0000   " + "41 " * 199 + "41   " + "A" * 200
    with pytest.raises(ValueError, match=r"\.\.\.$"):
        hexundump(dump_lines(very_long), 100)


@pytest.mark.parametrize(("data", "error"), [(b'hexundump("""\n""")\n', TypeError), (5, AttributeError)])
def test_hexundump_non_text(data, error):
    with pytest.raises(error):
        hexundump(data, 16)


def test_hexundump_str_subclass_splits_through_its_method():
    class Text(str):
        def split(self, sep):
            return [HEADER, "0000   41   A", CLOSING, ""]

    assert hexundump(Text("anything"), 1) == b"A"


@pytest.mark.parametrize("linesize", [0, -1])
def test_hexundump_linesize_below_one(linesize):
    with pytest.raises(ValueError, match="linesize"):
        hexundump(GOOD, linesize)


def test_hexundump_huge_linesize():
    assert hexundump(HEADER + "\n" + CLOSING, 2**100) == b""
    with pytest.raises(ValueError, match="line 2"):
        hexundump(GOOD, 2**62)


# ---- display classes ----


@pytest.mark.parametrize(
    ("value", "fmtstr", "text"), [(255, "02x", "0xFF"), (10, "04x", "0x000A"), (255, "#x", "0x0XFF"), (-1, "x", "0x-1")]
)
def test_hex_displayed_integer(value, fmtstr, text):
    shown = qhex.HexDisplayedInteger.new(value, fmtstr)
    assert str(shown) == text and shown.fmtstr == fmtstr
    assert shown == value and hash(shown) == hash(value) and shown + 1 == value + 1 and repr(shown) == repr(value)
    assert qhex.HexDisplayedInteger.new(intvalue="12", fmtstr="x") == 12
    assert type(shown.new(1, "x")) is qhex.HexDisplayedInteger


def test_hex_displayed_integer_failures():
    with pytest.raises(AttributeError):
        str(qhex.HexDisplayedInteger(5))
    with pytest.raises(ValueError):
        str(qhex.HexDisplayedInteger.new(5, "q"))
    with pytest.raises(TypeError, match=r"__str__\(\) takes 1 positional argument but 2 were given"):
        qhex.HexDisplayedInteger.new(5, "x").__str__(1)


def test_empty_format_spec_ends_in_recursion_error():
    result = run_isolated(
        """
        from qelo.lib.hex import HexDisplayedInteger
        try:
            str(HexDisplayedInteger.new(5, ""))
        except RecursionError:
            print("RecursionError")
        """
    )
    assert result.returncode == 0, result.stderr
    assert result.stdout.strip() == "RecursionError"


@pytest.mark.parametrize(
    ("make", "expected"),
    [
        (lambda: qhex.HexDisplayedBytes(b"\x01\xab"), "unhexlify('01ab')"),
        (lambda: qhex.HexDisplayedDict(data=b"\x01\xab", render="no"), "unhexlify('01ab')"),
        (lambda: qhex.HexDumpDisplayedBytes(b"0" * 100), hexdump(b"0" * 100, 16)),
        (lambda: qhex.HexDumpDisplayedDict(data=b""), HEADER + "\n" + CLOSING + "\n"),
    ],
)
def test_cached_texts(make, expected):
    shown = make()
    assert not hasattr(shown, "render")  # a "render" key is not the attribute
    assert str(shown) == expected and shown.render is str(shown)
    if isinstance(shown, dict):
        shown["data"] = b"changed"
        assert str(shown) == expected
    fresh = make()
    fresh.render = "preset"
    assert str(fresh) == "preset"
    fresh.render = 5
    with pytest.raises(TypeError):
        str(fresh)


@pytest.mark.parametrize("cls", [qhex.HexDisplayedDict, qhex.HexDumpDisplayedDict])
def test_dicts_without_data(cls):
    shown = cls(other=1)
    with pytest.raises(KeyError):
        str(shown)
    assert not hasattr(shown, "render")  # nothing stored: the next str() tries again
    shown["data"] = b"\x00"
    assert "00" in str(shown)


def test_render_property_errors_propagate():
    class Strict(qhex.HexDisplayedBytes):
        @property
        def render(self):
            raise KeyError("not an AttributeError")

    with pytest.raises(KeyError):
        str(Strict(b"a"))


@pytest.mark.parametrize(
    ("name", "base"),
    [
        ("HexDisplayedInteger", int),
        ("HexDisplayedBytes", bytes),
        ("HexDisplayedDict", dict),
        ("HexDumpDisplayedBytes", bytes),
        ("HexDumpDisplayedDict", dict),
    ],
)
def test_classes_are_ordinary(name, base):
    cls = getattr(qhex, name)
    assert cls.__bases__ == (base,) and type(cls) is type
    assert (cls.__module__, cls.__qualname__, cls.__doc__) == ("qelo.lib.hex", name, "Used internally.")
    assert [k for k in vars(cls) if not k.startswith("__") or k == "__str__"] == (
        ["__str__", "new"] if base is int else ["__str__"]
    )
    obj = cls()
    obj.anything = 1
    assert vars(obj) == {"anything": 1}

    class Derived(cls):
        pass

    assert isinstance(Derived(), cls)


def test_hostile_callbacks_do_not_crash():
    result = run_isolated(
        """
        import gc
        import qelo.lib.hex as h
        outcomes = []

        def attempt(fn):
            try:
                fn()
                outcomes.append("ok")
            except Exception as exc:
                outcomes.append(type(exc).__name__)

        def clearing(line):
            h.HEXPRINT.clear(); h.PRINTABLE.clear(); gc.collect()
            return iter(line)
        saved = list(h.HEXPRINT), list(h.PRINTABLE)
        h.iterateints = clearing
        attempt(lambda: h.hexdump(b"abc", 2))
        h.iterateints = iter
        h.HEXPRINT[:], h.PRINTABLE[:] = saved

        class Shrinking(bytearray):
            def __getitem__(self, key):
                self.clear()
                return b"xy"
        attempt(lambda: h.hexdump(Shrinking(b"abcdef"), 2))

        buffer = bytearray(b"abcdefgh" * 100)
        class Shrinker:
            def __index__(self):
                buffer.clear()
                return 4
        attempt(lambda: h.hexdump(buffer, Shrinker()))

        def rebinding(v):
            h.int2byte = None
            return bytes([v])
        h.int2byte = rebinding
        attempt(lambda: h.hexundump(h.hexdump(b"ab", 16), 16))
        print(" ".join(outcomes))
        """
    )
    assert result.returncode == 0, result.stderr
    assert result.stdout.split() == ["IndexError", "ok", "ok", "TypeError"]
