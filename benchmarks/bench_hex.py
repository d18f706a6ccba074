"""qelo.lib.hex against the pure-Python transcription and the best stdlib compositions."""

from __future__ import annotations

import binascii
import os

from benchmarks import pure_hex
from benchmarks.harness import Case
from qelo.lib import hex as qhex

_SHOWN = bytes(b if 32 <= b < 128 else 0x2E for b in range(256))


def stdlib_hexdump(data: bytes, linesize: int = 16) -> str:
    """hexlify with a separator for the hex column, translate for the printable one."""
    width = 3 * linesize - 1
    fmt = ("%04X   %-*s   %s" if len(data) < 65536 else "%08X   %-*s   %s")
    lines = ['hexundump("""']
    append = lines.append
    for i in range(0, len(data), linesize):
        chunk = data[i : i + linesize]
        append(fmt % (i, width, binascii.hexlify(chunk, " ").upper().decode(), chunk.translate(_SHOWN).decode("latin-1")))
    lines.append('""")')
    lines.append("")
    return "\n".join(lines)


def extracted_hex_columns(text: str, linesize: int = 16) -> str:
    lines = text.split("\n")[1:-2]
    start = lines[0].find(" ") + 3 if lines else 0
    stop = start + 3 * linesize - 1
    return " ".join([line[start:stop] for line in lines])


def stdlib_hexundump(text: str, linesize: int = 16) -> bytes:
    return bytes.fromhex(extracted_hex_columns(text, linesize))


def cases() -> list[Case]:
    big = os.urandom(1 << 20)
    small = os.urandom(64)
    big_text = qhex.hexdump(big, 16)
    small_text = qhex.hexdump(small, 16)
    columns = extracted_hex_columns(big_text)
    return [
        Case(
            "hexdump 1 MiB",
            {
                "qelo": lambda: qhex.hexdump(big, 16),
                "pure": lambda: pure_hex.hexdump(big, 16),
                "hexlify+translate": lambda: stdlib_hexdump(big, 16),
            },
            target="pure >= 30x, hexlify+translate > 1x",
        ),
        Case(
            "hexundump 1 MiB",
            {
                "qelo": lambda: qhex.hexundump(big_text, 16),
                "pure": lambda: pure_hex.hexundump(big_text, 16),
                "fromhex(extracted columns)": lambda: bytes.fromhex(columns),
                "split+slice+fromhex": lambda: stdlib_hexundump(big_text, 16),
            },
            target="pure >= 20x, fromhex(extracted) >= 0.5x",
        ),
        Case(
            "hexdump 64 B",
            {
                "qelo": lambda: qhex.hexdump(small, 16),
                "pure": lambda: pure_hex.hexdump(small, 16),
                "hexlify+translate": lambda: stdlib_hexdump(small, 16),
            },
            target="pure >= 10x",
        ),
        Case(
            "hexundump 64 B",
            {
                "qelo": lambda: qhex.hexundump(small_text, 16),
                "pure": lambda: pure_hex.hexundump(small_text, 16),
                "split+slice+fromhex": lambda: stdlib_hexundump(small_text, 16),
            },
            target="pure >= 10x",
        ),
    ]
