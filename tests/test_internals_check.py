""".ci/internals: interpreter internals outside src/native/common/compat/ are found by file and line."""

import pathlib
import subprocess
import sys

import pytest

SCRIPT = pathlib.Path(__file__).resolve().parent.parent / ".ci" / "internals"


def run_on(tmp_path, files):
    for name, text in files.items():
        path = tmp_path / "src" / "native" / name
        path.parent.mkdir(parents=True, exist_ok=True)
        path.write_text(text)
    result = subprocess.run([sys.executable, str(SCRIPT), str(tmp_path)], capture_output=True, text=True)
    return result.returncode, result.stdout.splitlines()


@pytest.mark.parametrize(
    "line, what",
    [
        ("unsigned v = tp->tp_version_tag;", "tp_version_tag"),
        ("PyObject* m = reinterpret_cast<PyHeapTypeObject*>(t)->ht_module;", "ht_module"),
        ("Ref d = Ref::borrow(type->tp_dict);", "tp_dict"),
        ("auto tag = ((PyDictObject*)d)->ma_version_tag;", "ma_version_tag"),
        ("digit x = number . ob_digit[0];", "ob_digit"),
        ("int& r = ts->c_recursion_remaining;", "c_recursion_remaining"),
        ("void* s = mod->md_state;", "md_state"),
        ("PyObject* f = _PyType_Lookup(tp, name);", "_PyType_Lookup"),
        ("return PyObject_Init(self, tp);", "PyObject_Init"),
        ("Py_TRASHCAN_BEGIN(self, node_dealloc)", "Py_TRASHCAN_BEGIN"),
        ("#if QELO_TRICKS_FOR(QELO_PY311, QELO_PY314)", "QELO_TRICKS_FOR"),
        ("#elif !defined(Py_GIL_DISABLED)", "Py_GIL_DISABLED"),
        ('#include "internal/pycore_dict.h"', "internal headers"),
    ],
)
def test_each_kind_of_internal_use_is_named_with_file_and_line(tmp_path, line, what):
    code, out = run_on(tmp_path, {"mod/a.cpp": "// first line\n\n" + line + "\n"})
    assert code == 1
    assert len(out) == 1
    assert out[0].startswith("src/native/mod/a.cpp:3: ")
    assert what in out[0]


def test_several_uses_each_reported_in_order(tmp_path):
    code, out = run_on(tmp_path, {"m/x.hpp": "a->tp_version_tag;\nb->ht_module; c->tp_dict;\n", "n/y.cpp": "_PyFoo();\n"})
    assert code == 1
    assert [o.split(": ")[0] for o in out] == ["src/native/m/x.hpp:1", "src/native/m/x.hpp:2", "src/native/m/x.hpp:2",
                                               "src/native/n/y.cpp:1"]


def test_public_api_comments_strings_and_the_compat_layer_pass(tmp_path):
    clean = "\n".join([
        "// reads tp->tp_version_tag in a comment, _PyType_Lookup too",
        "/* a block comment: ts->c_recursion_remaining",
        "   PyObject_Init(self, tp) */",
        'const char* s = "x->ma_version_tag _Py_Dealloc Py_TRASHCAN_BEGIN";',
        "char c = '_'; long big = 1'000'000;",
        "if (Py_TYPE(o)->tp_flags & Py_TPFLAGS_HEAPTYPE && Py_TYPE(o)->tp_call) {}",
        "PyObject* mro = type->tp_mro; type->tp_free(self); type->tp_dictoffset;",
        "int r = _PyBytes_Resize(&b, 3);",  # the documented shrink of a new bytes object
        "unsigned v = compat::type_version(tp); PyObject* MyPyObject_Init = nullptr;",
        "int my_tp_version_tag = 0; int ob_digits = 1;",
    ]) + "\n"
    inside_compat = "return tp->tp_version_tag + _PyType_Lookup(tp, n) + QELO_TRICKS;\n"
    code, out = run_on(tmp_path, {"mod/clean.cpp": clean, "common/compat/trick.hpp": inside_compat})
    assert (code, out) == (0, [])


def test_the_checkout_reports_only_what_lives_in_expr_and_bitstream():
    # binary, hex and common reach internals only through compat (expr and bitstream still read some).
    result = subprocess.run([sys.executable, str(SCRIPT)], capture_output=True, text=True)
    for line in result.stdout.splitlines():
        assert line.startswith(("src/native/expr/", "src/native/bitstream/")), line
