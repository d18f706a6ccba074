"""Quick check of an installed qelo: each module comes from the installation (its native
extensions, not a source tree) and answers one call."""

import io
import pathlib
import sys

import qelo
import qelo.expr
import qelo.lib.binary
import qelo.lib.bitstream
import qelo.lib.hex
import qelo.lib.py3compat

prefix = pathlib.Path(sys.prefix).resolve()
for module in (qelo.expr, qelo.lib.binary, qelo.lib.hex, qelo.lib.bitstream):
    path = pathlib.Path(module.__file__).resolve()
    assert path.suffix == ".so" and prefix in path.parents, f"{module.__name__} from {path}"

assert (qelo.expr.this.a * 2 + 1)({"a": 20}) == 41
assert qelo.lib.binary.integer2bits(19, 8) == b"\x00\x00\x00\x01\x00\x00\x01\x01"
assert qelo.lib.hex.hexundump(qelo.lib.hex.hexdump(b"Hi!\n\x00\xff", 4), 4) == b"Hi!\n\x00\xff"
assert qelo.lib.bitstream.RebufferedBytesIO(io.BytesIO(b"abcdef")).read(4) == b"abcd"
assert qelo.lib.py3compat.bytes2str(b"qelo") == "qelo"
print(f"qelo {qelo.__version__} on Python {sys.version.split()[0]}: all modules answer "
      f"(from {pathlib.Path(qelo.__file__).parent})")
