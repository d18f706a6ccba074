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


# ---- the incremental writer and reader (private; the command-line tool streams through them) ----
# Their contract: pieces of any size give, joined, the UTF-8 text of one hexdump call on the
# whole data, and the bytes (or the ValueError text) of one hexundump call on the whole text
# decoded from UTF-8.

import mmap
import tracemalloc

from qelo.lib.hex import _HexReader, _HexWriter


def pieces(data, cuts):
    """data cut at the given positions (taken modulo its length, any order)."""
    points = sorted({c % (len(data) + 1) for c in cuts} | {0, len(data)})
    return [data[a:b] for a, b in zip(points, points[1:])]


def write_in_pieces(data, linesize, cuts, size=None):
    writer = _HexWriter(linesize, size)
    return b"".join(writer.write(piece) for piece in pieces(data, cuts)) + writer.close()


def read_in_pieces(text, linesize, cuts):
    """The bytes, or the ValueError text, of the reader fed text in pieces."""
    reader = _HexReader(linesize)
    try:
        return b"".join(reader.feed(piece) for piece in pieces(text, cuts)) + reader.finish()
    except ValueError as exc:
        return str(exc)


def read_whole(text, linesize):
    """What the reader must give: one library call on the whole text."""
    try:
        return hexundump(text.decode("utf-8"), linesize)
    except UnicodeDecodeError as exc:
        return f"the input is not a UTF-8 text: {exc}"
    except ValueError as exc:
        return str(exc)


cut_lists = st.lists(st.integers(0, 1 << 20), max_size=12)


@settings(max_examples=200, deadline=None)
@given(st.binary(max_size=400), st.integers(1, 20), cut_lists)
def test_writer_pieces_join_to_one_dump(data, linesize, cuts):
    text = write_in_pieces(data, linesize, cuts)
    assert text == hexdump(data, linesize).encode()
    assert read_in_pieces(text, linesize, cuts) == data


# Damage that the reader must report exactly as the whole text is reported: bytes of any value
# (cut UTF-8 sequences, stray newlines, bad digits) put in, taken out or changed anywhere.
damage = st.lists(
    st.tuples(
        st.sampled_from(["insert", "delete", "replace"]),
        st.integers(0, 1 << 20),
        st.sampled_from([b"\n", b" ", b"0", b"G", b"\xc3\xa9", b"\xc3", b"\xe2\x82", b"\xff", b"\xed\xa0\x80", b'"""', b"zz\n"]),
    ),
    min_size=1,
    max_size=3,
)


def damaged(text, edits):
    for kind, where, chunk in edits:
        at = where % (len(text) + 1)
        if kind == "insert":
            text = text[:at] + chunk + text[at:]
        elif kind == "delete":
            text = text[:at] + text[at + len(chunk) :]
        else:
            text = text[:at] + chunk + text[at + len(chunk) :]
    return text


@settings(max_examples=500, deadline=None)
@given(st.binary(max_size=200), st.integers(1, 12), st.one_of(st.none(), st.integers(1, 12)), damage, cut_lists)
def test_reader_in_pieces_agrees_with_one_call(data, written, read, edits, cuts):
    read = read or written  # mostly the writer's own linesize, so damage is what is found
    text = damaged(hexdump(data, written).encode(), edits)
    assert read_in_pieces(text, read, cuts) == read_whole(text, read)


@pytest.mark.parametrize("where", [-2, -5, -17])  # in the printable column of a full line
def test_a_line_as_many_bytes_long_as_a_full_one_but_fewer_characters(where):
    # Two bytes of one character in place of two one-byte characters: the line has the byte
    # length of a full line, which alone must not make it one.
    text = bytearray(hexdump(bytes(range(64, 96)), 16).encode())
    line_end = text.index(b"\n", 20)
    text[line_end + where : line_end + where + 2] = "\u00e9".encode()
    message = read_in_pieces(bytes(text), 16, [])
    assert message == read_whole(bytes(text), 16) and message.startswith("line 2 is not a data line")


@pytest.mark.parametrize("size", [65535, 65536, 65537])
@pytest.mark.parametrize("cut", [1, 4096, 65535, 65536])
def test_offset_width_is_settled_by_the_whole_length(size, cut):
    # The width is known only once 65536 bytes have arrived or the data ends.
    data = bytes(range(256)) * (size // 256) + bytes(size % 256)
    assert write_in_pieces(data, 16, range(0, size, cut)) == hexdump(data, 16).encode()


@pytest.mark.parametrize("linesize", [1, 16, 17])
def test_writer_holds_back_at_most_the_width_decision(linesize):
    writer = _HexWriter(linesize)
    assert writer.write(b"a" * 65535) == b""  # width still open: 4 digits if the data ends now
    text = writer.write(b"b" * 100)
    assert text.startswith(b'hexundump("""\n00000000   61') and text.endswith(b"\n")
    assert len(text) > 65536 * 3  # everything complete so far is out


def test_writer_with_changed_tables_follows_them(restore_namespace):
    qhex.PRINTABLE[0x41] = "\u00e9"  # two bytes in UTF-8
    qhex.HEXPRINT[0x42] = "<>"
    data = b"ABC" * 30000
    assert write_in_pieces(data, 7, [5, 70000]) == hexdump(data, 7).encode("utf-8")
    text = hexdump(data, 7).encode("utf-8")
    qhex.HEXPRINT[0x42] = "42"
    assert read_in_pieces(text.replace(b"<>", b"42"), 7, [3, 1000, 99999]) == data


def test_reader_honours_a_rebound_int2byte(restore_namespace):
    qhex.int2byte = lambda v: bytes([v, v])
    assert read_in_pieces(hexdump(b"xy", 16).encode(), 16, [20]) == b"xxyy"


@pytest.mark.parametrize("reinit, expected", [(">H", "00780079"), (">B", "7879"), ("<B", "7879")])
def test_readers_follow_the_packer_reinitialised_in_place(reinit, expected):
    # The bound pack stays the same object while its Struct now packs another format.
    result = run_isolated(
        f"""
        import warnings
        import qelo.lib.hex as qhex
        warnings.simplefilter("ignore")
        text = qhex.hexdump(b"xy", 16)
        assert qhex.hexundump(text, 16) == b"xy"
        qhex.int2byte.__self__.__init__({reinit!r})
        reader = qhex._HexReader(16)
        pieces = reader.feed(text.encode()) + reader.finish()
        print(qhex.hexundump(text, 16).hex(), pieces.hex())
        """
    )
    assert result.returncode == 0, result.stderr
    assert result.stdout.split() == [expected, expected]


@pytest.mark.parametrize("size", [1 << 32, 1 << 64])
def test_writer_refuses_a_size_over_the_limit_before_any_data(size):
    with pytest.raises(ValueError, match=r"^hexdump cannot process more than 16\*\*8 or 4294967296 bytes$"):
        _HexWriter(16, size)
    with pytest.raises(ValueError, match="must not be negative"):
        _HexWriter(16, -1)
    assert _HexWriter(16, (1 << 32) - 1).close() == hexdump(b"", 16).encode()  # a hint, not a promise


def test_writer_refuses_data_past_the_limit():
    writer = _HexWriter(16)
    assert writer.write(b"x" * 10) == b""
    huge = mmap.mmap(-1, (1 << 32) - 10)  # never touched: the size alone is refused
    try:
        with pytest.raises(ValueError, match="cannot process more than 16"):
            writer.write(huge)
    finally:
        huge.close()
    assert writer.close() == hexdump(b"x" * 10, 16).encode()  # the refused piece left no trace


def test_an_over_long_line_is_reported_with_bounded_memory():
    text = b'hexundump("""\n0000   ' + b"y" * (40 << 20) + b"\n"
    tracemalloc.start()
    try:
        reader = _HexReader(16)
        for at in range(0, len(text), 1 << 20):
            assert reader.feed(memoryview(text)[at : at + (1 << 20)]) == b""
        peak = tracemalloc.get_traced_memory()[1]
        with pytest.raises(ValueError) as error:
            reader.finish()
    finally:
        tracemalloc.stop()
    assert str(error.value) == read_whole(text, 16)
    assert str(error.value).endswith("yyy'...")
    assert peak < 8 << 20  # the pieces fed in, not the 40 MiB line


def test_a_utf8_fault_wins_over_an_earlier_fault_of_the_dump():
    text = hexdump(bytes(300), 16).encode()
    text = text.replace(b"0010   ", b"0011   ", 1) + b"x" * 100 + b"\xe9\n"
    expected = read_whole(text, 16)
    assert expected.startswith("the input is not a UTF-8 text") and f"position {len(text) - 2}" in expected
    assert read_in_pieces(text, 16, [30, 500]) == expected
    cut_char = hexdump(b"", 16).encode() + b"\xe2\x82"  # a character cut by the end of the input
    assert read_in_pieces(cut_char, 16, [len(cut_char) - 1]) == read_whole(cut_char, 16)


def test_incremental_objects_follow_the_call_conventions():
    writer = _HexWriter(linesize=4, size=None)
    assert writer.write(data=bytearray(b"ab")) + writer.write(memoryview(b"cdef")) + writer.close() == hexdump(
        b"abcdef", 4
    ).encode()
    with pytest.raises(ValueError, match="closed"):
        writer.write(b"")
    with pytest.raises(ValueError, match="closed"):
        writer.close()
    reader = _HexReader(linesize=4)
    assert reader.feed(data=hexdump(b"abcdef", 4).encode()) + reader.finish() == b"abcdef"
    with pytest.raises(ValueError, match="finished"):
        reader.feed(b"")
    for make in (_HexWriter, _HexReader):
        with pytest.raises(ValueError, match="linesize must be a positive integer"):
            make(0)
        with pytest.raises(TypeError):
            make("16")
        with pytest.raises(TypeError):
            make(16).__class__.__new__(make)  # linesize is required
        with pytest.raises(TypeError):
            type("Sub", (make,), {})  # not a base class: the tool's core, not an extension point
    import copy
    import pickle

    for obj in (_HexWriter(16), _HexReader(16)):
        with pytest.raises(TypeError):  # state mid-stream is not something to copy or store
            pickle.dumps(obj)
        with pytest.raises(TypeError):
            copy.copy(obj)
        assert obj == obj and obj != _HexWriter(16) and isinstance(hash(obj), int)
        assert type(obj).__name__ in repr(obj) and type(obj).__module__ == "qelo.lib.hex"
    with pytest.raises(TypeError):
        _HexWriter(16).write("text")
    with pytest.raises(TypeError):
        _HexReader(16).feed(None)


class Index:
    def __init__(self, value):
        self.value = value

    def __index__(self):
        return self.value


def test_linesize_and_size_convert_through_index():
    data = bytes(range(40))
    assert write_in_pieces(data, Index(5), [7], size=Index(40)) == hexdump(data, 5).encode()
    assert read_in_pieces(hexdump(data, 5).encode(), Index(5), [9]) == data


class CallsBack(list):
    """A table whose lookups call back into the writer or reader that is running."""

    def __init__(self, table, callback):
        super().__init__(table)
        self.callback = callback

    def __getitem__(self, index):
        self.callback()
        return super().__getitem__(index)


def test_reentrant_calls_are_refused_not_obeyed(restore_namespace):
    writer = _HexWriter(4)
    qhex.PRINTABLE = CallsBack(qhex.PRINTABLE, lambda: writer.write(b"x" * 100000))
    with pytest.raises(RuntimeError, match="writer is already in use"):
        writer.write(b"abcdefgh" * 10000)
    qhex.PRINTABLE = list(qhex.PRINTABLE)
    assert writer.write(b"ab") == b""  # the failed call left nothing behind
    assert writer.close() == hexdump(b"ab", 4).encode()
    reader = _HexReader(4)
    qhex.int2byte = lambda v: reader.feed(b"0000") if v == 0x61 else bytes([v])
    with pytest.raises(RuntimeError, match="reader is already in use"):
        reader.feed(hexdump(b"abc", 4).encode())


@pytest.mark.parametrize("where", [1, 8, 16])  # a printable character of the second data line
def test_a_newline_inside_a_line_of_full_length_splits_it(where):
    # The text still has a newline where a full line would end, which alone must not make the
    # characters before it one line.
    text = hexdump(b"A" * 48, 16)
    lines = text.split("\n")
    lines[2] = lines[2][:-where] + "\n" + lines[2][len(lines[2]) - where + 1 :]
    broken = "\n".join(lines)
    with pytest.raises(ValueError, match="^line 3 is not a data line of a hex dump with linesize 16"):
        hexundump(broken, 16)
    assert read_in_pieces(broken.encode(), 16, [40]) == read_whole(broken.encode(), 16)
