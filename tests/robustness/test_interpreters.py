"""Import in sub-interpreters, re-import after removal from sys.modules, and a failed import that
can succeed later. Each scenario runs in a fresh interpreter process."""

from __future__ import annotations

import subprocess
import sys
import textwrap

import pytest

MODULES = ["qelo.expr", "qelo.lib.binary", "qelo.lib.hex", "qelo.lib.bitstream"]

# Exercises each module a little and prints one line per module.
SMOKE = textwrap.dedent(
    """
    import qelo.expr as e, qelo.lib.binary as b, qelo.lib.hex as h, qelo.lib.bitstream as s, io
    assert (e.this.a + 1)({"a": 2}) == 3 and repr(e.len_(e.this.x)) == "len_(this.x)"
    assert b.bits2bytes(b.bytes2bits(b"qelo")) == b"qelo" and b.integer2bytes(-1, 2) == b"\\xff\\xff"
    assert h.hexundump(h.hexdump(b"qelo" * 9, 16), 16) == b"qelo" * 9
    assert s.RebufferedBytesIO(io.BytesIO(b"abc")).read(2) == b"ab"
    """
)


def run(code: str) -> subprocess.CompletedProcess:
    return subprocess.run([sys.executable, "-c", code], capture_output=True, text=True, timeout=120)


def test_reimport_after_removal_from_sys_modules():
    code = SMOKE + textwrap.dedent(
        """
        import sys, operator
        first = {name: sys.modules[name] for name in %r}
        for name in first:
            del sys.modules[name]
        exec(%r)
        for name, module in first.items():
            assert sys.modules[name] is not module, name
        # Each module object keeps its own state: the old ones still work.
        assert first["qelo.expr"].this.a.b({"a": {"b": 5}}) == 5
        assert first["qelo.lib.binary"].bytes2bits(b"\\x01") == b"\\x00" * 7 + b"\\x01"
        print("ok")
        """
    ) % (MODULES, SMOKE)
    result = run(code)
    assert result.returncode == 0, result.stderr
    assert result.stdout.strip() == "ok"


@pytest.mark.parametrize("module", ["qelo.lib.binary", "qelo.lib.hex"])
def test_import_without_py3compat_fails_cleanly_then_succeeds(module):
    code = textwrap.dedent(
        f"""
        import sys
        sys.modules["qelo.lib.py3compat"] = None   # makes the helper module unimportable
        try:
            import {module}
        except ImportError:
            pass
        else:
            raise SystemExit("import succeeded without its helper module")
        assert "{module}" not in sys.modules
        del sys.modules["qelo.lib.py3compat"]
        import {module} as m
        assert m.int2byte(65) == b"A"
        print("ok")
        """
    )
    result = run(code)
    assert result.returncode == 0, result.stderr
    assert result.stdout.strip() == "ok"


def test_legacy_subinterpreter_imports_every_module():
    code = textwrap.dedent(
        f"""
        import _testcapi, os, tempfile
        marker = tempfile.mktemp()
        script = {SMOKE!r} + "open(%r, 'w').write('ok')" % marker
        assert _testcapi.run_in_subinterp(script) == 0
        assert open(marker).read() == "ok"
        os.unlink(marker)
        # And the main interpreter imports them independently afterwards.
        exec({SMOKE!r})
        print("ok")
        """
    )
    result = run(code)
    assert result.returncode == 0, result.stderr + result.stdout
    assert result.stdout.strip() == "ok"


@pytest.mark.skipif(sys.version_info < (3, 12), reason="isolated interpreters arrived in 3.12")
def test_isolated_subinterpreter_imports_every_module():
    code = textwrap.dedent(
        f"""
        import sys
        try:
            import _interpreters as interpreters
        except ImportError:
            import _xxsubinterpreters as interpreters
        import os, tempfile
        marker = tempfile.mktemp()
        interp = interpreters.create()
        try:
            interpreters.run_string(interp, {SMOKE!r} + "open(%r, 'w').write('ok')" % marker)
        finally:
            interpreters.destroy(interp)
        assert open(marker).read() == "ok"
        os.unlink(marker)
        print("ok")
        """
    )
    result = run(code)
    assert result.returncode == 0, result.stderr + result.stdout
    assert result.stdout.strip() == "ok"
