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


# --- Large inputs: chunked processing, progress, output only on success -----------------------
# The hidden environment variables lower the 64 MiB threshold and the chunk size, so the chunked
# paths run on small inputs; the results must not depend on them.

import io
import os
import stat

from qelo.__main__ import main
from qelo.lib.hex import hexundump

THRESHOLD = 1000


class Terminal(io.StringIO):
    def isatty(self):
        return True


def sized(size, seed=0):
    block = bytes((seed + 7 * i * i + i // 5) % 256 for i in range(509))
    return (block * (size // len(block) + 1))[:size]


def run_main(monkeypatch, args, chunk=256, terminal=False):
    monkeypatch.setenv("QELO_CLI_STREAM_THRESHOLD", str(THRESHOLD))
    monkeypatch.setenv("QELO_CLI_CHUNK_SIZE", str(chunk))
    stderr = Terminal() if terminal else io.StringIO()
    monkeypatch.setattr("sys.stderr", stderr)
    return main(args), stderr.getvalue()


def library_error(text, linesize):
    try:
        hexundump(text.decode("utf-8"), linesize)
    except UnicodeDecodeError as exc:
        return f"the input is not a UTF-8 text: {exc}"
    except ValueError as exc:
        return str(exc)
    raise AssertionError("the dump is valid")


@pytest.mark.parametrize("linesize", [1, 3, 16, 17, 100])
@pytest.mark.parametrize(
    ("size", "chunk"),
    [
        (THRESHOLD, 256),  # at the threshold: whole
        (THRESHOLD + 1, 256),  # just above: chunked, 4-digit offsets
        (9000, 7),  # chunks smaller than a line
        (65535, 4096),  # the last size with 4-digit offsets
        (65536, 1 << 17),  # 8-digit offsets, one chunk
        (65536 + 2 * 16**4 + 5, 1 << 16),  # 8-digit offsets, chunks of 16**4 and a short last one
        (70001, 1000),  # chunks under 64 KiB in an 8-digit dump
    ],
)
def test_chunked_output_is_identical(monkeypatch, tmp_path, linesize, size, chunk):
    data = sized(size, linesize)
    source, dumped, restored = tmp_path / "in.bin", tmp_path / "dump.txt", tmp_path / "out.bin"
    source.write_bytes(data)
    args = ["--linesize", str(linesize)]
    status, progress = run_main(monkeypatch, ["hexdump", str(source), "-o", str(dumped), *args], chunk, True)
    expected = hexdump(data, linesize)
    assert status == 0 and dumped.read_bytes() == expected.encode()
    assert (progress != "") == (size > THRESHOLD)  # progress shows only for chunked runs
    # The reader accepts hex digits in either case and a missing final newline, chunked too.
    for text in (expected, expected.lower(), expected[:-1]):
        dumped.write_text(text)
        status, _ = run_main(monkeypatch, ["hexundump", str(dumped), "-o", str(restored), *args], chunk)
        assert status == 0 and restored.read_bytes() == data


def late_line(text, back=3):
    """Index of a data line near the end of the dump (in the last chunks)."""
    return len(text.split(b"\n")) - back


def replace_line(text, index, new):
    lines = text.split(b"\n")
    lines[index] = new(lines[index])
    return b"\n".join(lines)


def drop_line(text, index):
    lines = text.split(b"\n")
    del lines[index]
    return b"\n".join(lines)


FAULTS = {
    "bad hex pair": lambda t: replace_line(t, late_line(t), lambda l: l[:12] + b"G" + l[13:]),
    "printable column cut": lambda t: replace_line(t, late_line(t), lambda l: l[:-1]),
    "line missing": lambda t: drop_line(t, late_line(t, 4)),
    "line repeated": lambda t: replace_line(t, late_line(t), lambda l: t.split(b"\n")[late_line(t) - 1]),
    "offset of the other width": lambda t: replace_line(t, late_line(t), lambda l: l[4:] if l[:4] == b"0000" else b"0000" + l),
    "text after the closing line": lambda t: t + b"more\n",
    "long line after the closing line": lambda t: t + b"y" * 100000 + b"\n",
    "high offset digit": lambda t: replace_line(t, late_line(t, 40), lambda l: (b"0" if l[:1] == b"1" else b"1") + l[1:]),
    "no closing line": lambda t: t[: -len(b'""")\n')],
    "short line inside": lambda t: replace_line(t, late_line(t, 5), lambda l: l[: -2]),
    "line without newline joined": lambda t: replace_line(t, late_line(t), lambda l: l + b"\n"),
    "bad UTF-8 late": lambda t: replace_line(t, late_line(t), lambda l: l[:-1] + b"\xe2\x82"),
    "bad UTF-8 after a bad line": lambda t: replace_line(t, 5, lambda l: l[:-1]) + b"\xff\n",
    "bad UTF-8 early, bad line late": lambda t: replace_line(replace_line(t, 7, lambda l: l[:-1] + b"\xc3("), late_line(t), lambda l: l[:-1]),
}


@pytest.mark.parametrize("fault", sorted(FAULTS))
@pytest.mark.parametrize(("size", "linesize"), [(5000, 3), (5000, 16), (150000, 16), (150000, 17)])
def test_chunked_faults_name_the_line_and_leave_no_output(monkeypatch, tmp_path, fault, size, linesize):
    text = FAULTS[fault](hexdump(sized(size), linesize).encode())
    source, output = tmp_path / "dump.txt", tmp_path / "out.bin"
    source.write_bytes(text)
    output.write_bytes(b"previous content")
    status, stderr = run_main(monkeypatch, ["hexundump", str(source), "-o", str(output), "--linesize", str(linesize)], 4096)
    assert status == 1
    assert stderr == f"python -m qelo hexundump: {source}: {library_error(text, linesize)}\n"
    assert output.read_bytes() == b"previous content"
    assert sorted(p.name for p in tmp_path.iterdir()) == ["dump.txt", "out.bin"]


@pytest.mark.parametrize(
    ("size", "chunk", "old", "new"),
    [(0x30000, 1 << 16, b"00020000   ", b"0000   "), (5000, 256, b"0100   ", b"00000100   ")],
)
def test_offset_width_cannot_change_at_a_chunk_start(monkeypatch, tmp_path, size, chunk, old, new):
    text = hexdump(sized(size), 16).encode()
    assert text.count(b"\n" + old) == 1
    text = text.replace(b"\n" + old, b"\n" + new)
    (tmp_path / "dump.txt").write_bytes(text)
    status, stderr = run_main(monkeypatch, ["hexundump", str(tmp_path / "dump.txt"), "-o", str(tmp_path / "out")], chunk)
    assert status == 1 and stderr.endswith(f": {library_error(text, 16)}\n") and "is not a data line" in stderr
    assert not (tmp_path / "out").exists()


def as_short_line(line, linesize):
    """A full data line (4-digit offset) turned into a valid line holding one byte less."""
    hex_column, printable = line[7 : 7 + 3 * linesize - 1], line[7 + 3 * linesize + 2 :]
    return line[:7] + hex_column[: 3 * linesize - 4] + b"   " + b"   " + printable[:-1]


@pytest.mark.parametrize("linesize", [3, 16])
def test_short_line_before_more_lines_at_any_chunk_boundary(monkeypatch, tmp_path, linesize):
    text = hexdump(sized(5000), linesize).encode()
    for index in range(250, 262):  # around the end of the first chunk, wherever it falls
        broken = replace_line(text, index, lambda line: as_short_line(line, linesize))
        (tmp_path / "dump.txt").write_bytes(broken)
        status, stderr = run_main(monkeypatch, ["hexundump", str(tmp_path / "dump.txt"), "--linesize", str(linesize)], 4096)
        assert status == 1 and stderr.endswith(f": {library_error(broken, linesize)}\n")
        assert f"line {index + 2} is not the closing line" in stderr


@pytest.mark.parametrize("size", [5003, 150011])
def test_closing_line_ending_a_chunk_before_more_text(monkeypatch, tmp_path, size):
    # With 11 bytes on the last line, that line and the closing line together are as long as a
    # full line, and a long line after them ends the chunk right after the closing line.
    text = hexdump(sized(size), 16).encode() + b"z" * 50000 + b"\n"
    (tmp_path / "dump.txt").write_bytes(text)
    status, stderr = run_main(monkeypatch, ["hexundump", str(tmp_path / "dump.txt")], 4096)
    assert status == 1 and stderr.endswith(f": {library_error(text, 16)}\n") and "follows the closing line" in stderr


def test_four_digit_offsets_cannot_go_past_ffff(monkeypatch, tmp_path):
    lines = hexdump(sized(70000), 16).encode().split(b"\n")
    text = b"\n".join([lines[0], *(line[4:] for line in lines[1:-2]), *lines[-2:]])
    (tmp_path / "dump.txt").write_bytes(text)
    status, stderr = run_main(monkeypatch, ["hexundump", str(tmp_path / "dump.txt")], 4096)
    assert status == 1 and stderr.endswith(f": {library_error(text, 16)}\n") and "offset 10000 " in stderr


def test_wrong_linesize_is_found_in_every_chunk(monkeypatch, tmp_path):
    text = hexdump(sized(20000), 16).encode()
    (tmp_path / "dump.txt").write_bytes(text)
    for linesize in (8, 17):
        status, stderr = run_main(monkeypatch, ["hexundump", str(tmp_path / "dump.txt"), "--linesize", str(linesize), "-o", str(tmp_path / "out")])
        assert status == 1 and library_error(text, linesize) in stderr and "line 2 " in stderr
        assert not (tmp_path / "out").exists()


@pytest.mark.parametrize("size", [THRESHOLD, 5000, 65536 + 1, 300000])
def test_standard_input_is_chunked_once_large(size):
    data = sized(size, 3)
    env = dict(os.environ, QELO_CLI_STREAM_THRESHOLD=str(THRESHOLD), QELO_CLI_CHUNK_SIZE="20000")
    run = lambda *args, stdin: subprocess.run(
        [sys.executable, "-m", "qelo", *args], input=stdin, capture_output=True, env=env, timeout=60
    )
    dumped = run("hexdump", "-", "--linesize", "5", stdin=data)
    assert (dumped.returncode, dumped.stderr) == (0, b"") and dumped.stdout == hexdump(data, 5).encode()
    restored = run("hexundump", "-", "--linesize", "5", stdin=dumped.stdout)
    assert (restored.returncode, restored.stderr, restored.stdout) == (0, b"", data)


def test_progress_is_one_updating_line_on_a_terminal(monkeypatch, tmp_path):
    source = tmp_path / "in.bin"
    source.write_bytes(sized(5000))
    status, progress = run_main(monkeypatch, ["hexdump", str(source), "-o", str(tmp_path / "out")], 1024, True)
    updates = progress.split("\r")
    assert status == 0 and updates[0] == "" and progress.endswith("\n") and progress.count("\n") == 1
    percents = [int(u.rsplit("(", 1)[1].split("%")[0]) for u in updates[1:]]
    assert len(percents) >= 3 and percents == sorted(set(percents)) and percents[-1] == 100
    assert updates[-1] == "hexdump: 0 MiB of 0 MiB (100%)\n"


def test_progress_reaches_a_real_terminal_only(tmp_path):
    pty = pytest.importorskip("pty")
    source = tmp_path / "in.bin"
    source.write_bytes(sized(3000))
    env = dict(os.environ, QELO_CLI_STREAM_THRESHOLD=str(THRESHOLD), QELO_CLI_CHUNK_SIZE="1000")
    command = [sys.executable, "-m", "qelo", "hexdump", str(source), "-o", str(tmp_path / "out")]
    master, slave = pty.openpty()
    try:
        child = subprocess.run(command, stderr=slave, env=env, timeout=60)
        os.close(slave)
        shown = b""
        while True:
            try:
                piece = os.read(master, 4096)
            except OSError:
                break
            if not piece:
                break
            shown += piece
    finally:
        os.close(master)
    assert child.returncode == 0 and shown.startswith(b"\rhexdump: 0 MiB of 0 MiB (") and shown.count(b"\r") > 2
    assert shown.endswith(b"\rhexdump: 0 MiB of 0 MiB (100%)\r\n")  # the terminal turns the final newline into CR LF
    piped = subprocess.run(command, capture_output=True, env=env, timeout=60)
    assert (piped.returncode, piped.stderr) == (0, b"")


def test_over_four_gib_fails_before_writing(monkeypatch, tmp_path):
    source = tmp_path / "huge.bin"
    with open(source, "wb") as stream:
        stream.truncate(1 << 32)  # sparse: nothing is read before the size is refused
    status, stderr = run_main(monkeypatch, ["hexdump", str(source), "-o", str(tmp_path / "out")])
    assert status == 1 and "hexdump cannot process more than 16**8 or 4294967296 bytes" in stderr
    assert not (tmp_path / "out").exists()


def test_output_to_a_device_is_written_in_place(monkeypatch, tmp_path):
    source = tmp_path / "in.bin"
    source.write_bytes(sized(2000))
    status, _ = run_main(monkeypatch, ["hexdump", str(source), "-o", os.devnull])
    assert status == 0 and stat.S_ISCHR(os.stat(os.devnull).st_mode)


# --- The installed command, interruption, a reader that goes away --------------------------------

import shutil
import signal
import time


def installed_command():
    """The `qelo` script installed beside this interpreter (the package's console entry)."""
    found = shutil.which("qelo", path=os.path.dirname(sys.executable))
    assert found is not None, "the qelo command is not installed beside the interpreter"
    return found


def test_installed_command_round_trips(tmp_path):
    command = installed_command()
    source = tmp_path / "in.bin"
    source.write_bytes(DATA)
    dumped = subprocess.run([command, "hexdump", str(source)], capture_output=True, timeout=60)
    assert (dumped.returncode, dumped.stderr) == (0, b"") and dumped.stdout == hexdump(DATA, 16).encode()
    restored = subprocess.run([command, "hexundump", "-", "--linesize", "16"], input=dumped.stdout, capture_output=True, timeout=60)
    assert (restored.returncode, restored.stdout) == (0, DATA)
    failed = subprocess.run([command, "hexundump", "-"], input=b"nonsense\n", capture_output=True, timeout=60)
    assert failed.returncode == 1
    assert failed.stderr == b"qelo hexundump: standard input: line 1 is not the header line 'hexundump(\"\"\"': 'nonsense'\n"


@pytest.mark.parametrize("command", ["hexdump", "hexundump"])
def test_unreadable_input_is_one_line(tmp_path, command):
    result = qelo(command, str(tmp_path), "-o", str(tmp_path / "out"))  # a directory
    assert result.returncode == 1 and result.stdout == b""
    assert result.stderr == f"python -m qelo {command}: cannot read {tmp_path}: Is a directory\n".encode()
    assert not (tmp_path / "out").exists()


def waiting_for(child):
    """The process state letter (S: asleep, as in a blocking read)."""
    with open(f"/proc/{child.pid}/stat") as stat_file:
        return stat_file.read().rsplit(")", 1)[1].split()[0]


@pytest.mark.parametrize("command", ["hexdump", "hexundump"])
def test_ctrl_c_leaves_no_output_file(tmp_path, command):
    fifo = tmp_path / "input"
    os.mkfifo(fifo)
    out = tmp_path / "out"
    child = subprocess.Popen(
        [sys.executable, "-m", "qelo", command, str(fifo), "-o", str(out)],
        stdout=subprocess.PIPE,
        stderr=subprocess.PIPE,
        # As from a terminal: a test runner started in the background may have SIGINT ignored,
        # and a child inherits that.
        preexec_fn=lambda: signal.signal(signal.SIGINT, signal.SIG_DFL),
    )
    try:
        with open(fifo, "wb") as feed:
            feed.write(hexdump(b"x" * 100000, 16).encode() if command == "hexundump" else b"x" * 100000)
            feed.flush()
            # Wait until the run is under way (its temporary output exists) and waits for more
            # input, then interrupt it.
            deadline = time.monotonic() + 30
            while not any(p.name.endswith(".part") for p in tmp_path.iterdir()) or waiting_for(child) != "S":
                assert time.monotonic() < deadline and child.poll() is None
                time.sleep(0.01)
            child.send_signal(signal.SIGINT)
            stdout, stderr = child.communicate(timeout=30)
    finally:
        child.kill()
        child.wait()
    assert child.returncode == 130 and stderr == b"" and stdout == b""
    assert sorted(p.name for p in tmp_path.iterdir()) == ["input"]


@pytest.mark.parametrize("command", ["hexdump", "hexundump"])
def test_closed_standard_output_ends_quietly(tmp_path, command):
    data = sized(4 << 20)
    source = tmp_path / "in"
    source.write_bytes(hexdump(data, 16).encode() if command == "hexundump" else data)
    for run in (["qelo"], [sys.executable, "-m", "qelo"]):
        child = subprocess.Popen(
            [installed_command() if run == ["qelo"] else sys.executable, *run[1:], command, str(source)],
            stdout=subprocess.PIPE,
            stderr=subprocess.PIPE,
        )
        head = child.stdout.read(100)  # what `| head -c 100` would take, then it goes away
        child.stdout.close()
        stderr = child.stderr.read()
        child.stderr.close()
        child.wait(timeout=60)
        assert len(head) == 100 and stderr == b"" and child.returncode == 141


def test_peak_memory_does_not_grow_with_the_input(tmp_path):
    import filecmp

    peaks = []
    block = os.urandom(1 << 20)
    for size in (1 << 20, 48 << 20):
        source = tmp_path / "in"
        with open(source, "wb") as stream:  # written a block at a time: a child forked from a
            for _ in range(size >> 20):  # large test process would inherit its resident pages
                stream.write(block)
        for command, path, out in (("hexdump", source, "dump"), ("hexundump", tmp_path / "dump", "back")):
            child = subprocess.Popen([sys.executable, "-m", "qelo", command, str(path), "-o", str(tmp_path / out)])
            _, status, usage = os.wait4(child.pid, 0)
            child.returncode = os.waitstatus_to_exitcode(status)
            assert child.returncode == 0
            peaks.append(usage.ru_maxrss)  # KiB
        assert filecmp.cmp(tmp_path / "back", source, shallow=False)
    small_dump, small_undump, big_dump, big_undump = peaks
    # 48 times the input (over 200 MiB of text) costs at most a few MiB more.
    assert big_dump < small_dump + 8192 and big_undump < small_undump + 8192


def test_failure_to_put_the_output_in_place_is_one_line(monkeypatch, tmp_path):
    source, out = tmp_path / "in.bin", tmp_path / "out"
    source.write_bytes(DATA)

    def refuse(src, dst):
        raise PermissionError(13, "Permission denied", dst)

    monkeypatch.setattr("os.replace", refuse)
    stderr = io.StringIO()
    monkeypatch.setattr("sys.stderr", stderr)
    assert main(["hexdump", str(source), "-o", str(out)]) == 1
    assert stderr.getvalue() == f"python -m qelo hexdump: cannot write {out}: Permission denied\n"
    assert sorted(p.name for p in tmp_path.iterdir()) == ["in.bin"]  # the temporary file is gone too
