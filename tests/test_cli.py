"""python -m qelo: the hexdump / hexundump command-line tool."""

import subprocess
import sys

import pytest

from qelo.lib.hex import hexdump


def qelo(*args, stdin=b""):
    return subprocess.run([sys.executable, "-m", "qelo", *args], input=stdin, capture_output=True, timeout=60)


DATA = bytes(range(256)) + b"tail"


@pytest.fixture
def data_file(tmp_path):
    path = tmp_path / "data.bin"
    path.write_bytes(DATA)
    return path


@pytest.mark.parametrize("linesize", [None, "1", "7", "16"])
def test_hexdump_then_hexundump(data_file, tmp_path, linesize):
    options = [] if linesize is None else ["--linesize", linesize]
    dumped = qelo("hexdump", str(data_file), *options)
    assert dumped.returncode == 0 and dumped.stderr == b""
    assert dumped.stdout.decode() == hexdump(DATA, int(linesize or 16))
    dump_path = tmp_path / "dump.txt"
    dump_path.write_bytes(dumped.stdout)
    restored = qelo("hexundump", str(dump_path), *options)
    assert restored.returncode == 0 and restored.stdout == DATA


def test_standard_input_and_output_file(tmp_path):
    out = tmp_path / "out.txt"
    assert qelo("hexdump", "-", "-o", str(out), stdin=DATA).returncode == 0
    assert out.read_text() == hexdump(DATA, 16)
    restored = tmp_path / "restored.bin"
    result = qelo("hexundump", "-", "-o", str(restored), stdin=out.read_bytes())
    assert (result.returncode, result.stdout) == (0, b"") and restored.read_bytes() == DATA


@pytest.mark.parametrize(
    ("args", "stdin", "status", "message"),
    [
        (["hexdump", "/nonexistent/file"], b"", 1, b"cannot read /nonexistent/file"),
        (["hexundump", "-"], b"not a dump\n", 1, b"line 1 is not the header line"),
        (["hexundump", "-", "--linesize", "8"], hexdump(DATA, 16).encode(), 1, b"line 2 is not a data line"),
        (["hexundump", "-"], b'hexundump("""\n\xff\n', 1, b"not a UTF-8 text"),
        (["hexdump", "-", "--linesize", "0"], b"", 2, b"must be at least 1"),
        (["hexdump", "-", "--linesize", "x"], b"", 2, b"invalid int value"),
        (["hexdump", "-", "-o", "/nonexistent/dir/out"], b"a", 1, b"cannot write /nonexistent/dir/out"),
        ([], b"", 2, b"usage"),
    ],
)
def test_failures_are_reported(args, stdin, status, message):
    result = qelo(*args, stdin=stdin)
    assert result.returncode == status
    assert message in result.stderr and result.stdout == b""
