"""Each extension's namespace and table guards see changes whatever order the modules were
imported in: the guards of one extension never depend on a watcher another one registered."""

import itertools
import subprocess
import sys
import textwrap

import pytest

MODULES = ["qelo.expr", "qelo.lib.binary", "qelo.lib.hex", "qelo.lib.bitstream"]

CHECKS = """
import operator
import qelo.expr as expr
import qelo.lib.binary as binary
import qelo.lib.hex as qhex

node = expr.this.x + 1
assert repr(node) == "(this.x + 1)" and node({"x": 1}) == 2
expr.opnames = {operator.add: "PLUS"}
assert repr(node) == "(this.x PLUS 1)", repr(node)
expr.operator = type("Fake", (), {"add": staticmethod(lambda a, b: "added")})
assert (expr.this.x + 1)({"x": 1}) == "added"

assert binary.bytes2bits(b"a") == b"\\x00\\x01\\x01\\x00\\x00\\x00\\x00\\x01"
binary.BYTES2BITS_CACHE[0x61] = b"changed!"
assert binary.bytes2bits(b"a") == b"changed!", binary.bytes2bits(b"a")
binary.iterateints = lambda data: iter([0x61, 0x61])
assert binary.bytes2bits(b"z") == b"changed!" * 2

assert qhex.hexundump(qhex.hexdump(b"xy", 16), 16) == b"xy"
qhex.int2byte = lambda v: bytes([v, v])
assert qhex.hexundump(qhex.hexdump(b"xy", 16), 16) == b"xxyy"
print("ok")
"""


@pytest.mark.parametrize("order", list(itertools.permutations(MODULES))[::5])
def test_guards_hold_for_every_import_order(order):
    code = "".join(f"import {name}\n" for name in order) + textwrap.dedent(CHECKS)
    result = subprocess.run([sys.executable, "-c", code], capture_output=True, text=True, timeout=120)
    assert result.returncode == 0 and result.stdout.split() == ["ok"], result.stderr
