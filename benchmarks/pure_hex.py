"""Plain pure-Python transcription of the hex dump writer and reader: what a user would
otherwise run. Only benchmarks use it."""

import struct

int2byte = struct.Struct(">B").pack
iterateints = iter

PRINTABLE = [bytes([i]).decode("latin-1") if 32 <= i < 128 else "." for i in range(256)]
HEXPRINT = [format(i, "02X") for i in range(256)]


def hexdump(data, linesize):
    if len(data) < 16**4:
        fmt = "%%04X   %%-%ds   %%s" % (3 * linesize - 1)
    elif len(data) < 16**8:
        fmt = "%%08X   %%-%ds   %%s" % (3 * linesize - 1)
    else:
        raise ValueError("hexdump cannot process more than 16**8 or 4294967296 bytes")
    prettylines = []
    prettylines.append('hexundump("""')
    for i in range(0, len(data), linesize):
        line = data[i : i + linesize]
        hextext = " ".join(HEXPRINT[b] for b in iterateints(line))
        rawtext = "".join(PRINTABLE[b] for b in iterateints(line))
        prettylines.append(fmt % (i, hextext, rawtext))
    prettylines.append('""")')
    prettylines.append("")
    return "\n".join(prettylines)


def hexundump(data, linesize):
    raw = []
    for line in data.split("\n")[1:-2]:
        line = line[line.find(" ") :].lstrip()
        bytes_ = [int2byte(int(s, 16)) for s in line[: 3 * linesize].split()]
        raw.extend(bytes_)
    return b"".join(raw)
