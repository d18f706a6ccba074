"""qelo.expr: expression nodes, operators, state protocol and paths."""

import copy
import operator
import pickle
import subprocess
import sys
import textwrap
import weakref

import pytest
from hypothesis import given, settings
from hypothesis import strategies as st

import qelo.expr as expr
from qelo.expr import (
    BinExpr, ExprMixin, FuncPath, Path, Path2, UniExpr,
    abs_, len_, list_, max_, min_, obj_, sum_, this,
)

CLASSES = [ExprMixin, UniExpr, BinExpr, Path, Path2, FuncPath]


def run_python(code):
    """Runs code in a fresh interpreter (for anything that could crash or that changes classes)."""
    return subprocess.run([sys.executable, "-c", textwrap.dedent(code)], capture_output=True, text=True, timeout=120)


def python_error(fn):
    """The exception a plain Python function raises, to compare wording with."""
    with pytest.raises(Exception) as info:
        fn()
    return info.value


# --- import-time work ---------------------------------------------------------------------------

def test_namespace_order_and_operator_patch():
    names = [n for n in vars(expr) if not n.startswith("__")]
    assert names == ["operator", "opnames", "ExprMixin", "UniExpr", "BinExpr", "Path", "Path2", "FuncPath",
                     "this", "obj_", "list_", "len_", "sum_", "min_", "max_", "abs_"]
    assert expr.operator is operator
    assert operator.div is operator.truediv


def test_opnames_table():
    expected = [
        (operator.add, "+"), (operator.sub, "-"), (operator.mul, "*"), (operator.div, "/"),
        (operator.floordiv, "//"), (operator.mod, "%"), (operator.pow, "**"), (operator.xor, "^"),
        (operator.lshift, "<<"), (operator.rshift, ">>"), (operator.and_, "and"), (operator.or_, "or"),
        (operator.not_, "not"), (operator.neg, "-"), (operator.pos, "+"), (operator.contains, "in"),
        (operator.gt, ">"), (operator.ge, ">="), (operator.lt, "<"), (operator.le, "<="),
        (operator.eq, "=="), (operator.ne, "!="),
    ]
    assert type(expr.opnames) is dict
    assert list(expr.opnames.items()) == expected


# --- the classes behave as ordinary classes -----------------------------------------------------

@pytest.mark.parametrize("cls", CLASSES)
def test_ordinary_class(cls):
    assert type(cls) is type
    assert cls.__module__ == "qelo.expr" and cls.__qualname__ == cls.__name__
    assert cls.__doc__ is None
    assert "__slots__" not in vars(cls)
    assert cls is ExprMixin or cls.__bases__ == (ExprMixin,)
    sub = type("Sub", (cls,), {"extra": 1})
    assert issubclass(sub, cls) and sub.extra == 1
    node = sub.__new__(sub)
    check_bin(node + 1, operator.add, node, 1)
    check_bin(1 - node, operator.sub, 1, node)
    check_bin(node == 1, operator.eq, node, 1)
    assert (1 in node) is True and bool(node) is True
    with pytest.raises(TypeError, match="unhashable type: 'Sub'"):
        hash(node)


@pytest.mark.parametrize("node, fields", [
    (UniExpr(operator.neg, 1), {"op": operator.neg, "operand": 1}),
    (BinExpr(operator.add, 1, 2), {"op": operator.add, "lhs": 1, "rhs": 2}),
    (Path("p"), {"_Path__name": "p", "_Path__field": None, "_Path__parent": None}),
    (Path2("q", 3), {"_Path2__name": "q", "_Path2__index": 3, "_Path2__parent": None}),
    (FuncPath(len), {"_FuncPath__func": len, "_FuncPath__operand": None}),
])
def test_fields_in_instance_dict(node, fields):
    assert vars(node) == fields
    assert list(vars(node)) == list(fields)
    node.extra = "x"
    assert node.__dict__["extra"] == "x"
    with pytest.raises(TypeError, match="unhashable"):
        hash(node)
    assert bool(node) is True


@pytest.mark.parametrize("call, reference", [
    (lambda: BinExpr(1, 2), lambda: (lambda op, lhs, rhs: 0)(1, 2)),
    (lambda: BinExpr(1, 2, 3, 4), lambda: (lambda self, op, lhs, rhs: 0)(0, 1, 2, 3, 4)),
    (lambda: UniExpr(op=1), lambda: (lambda op, operand: 0)(op=1)),
    (lambda: Path("a", nope=1), lambda: (lambda name, field=None, parent=None: 0)("a", nope=1)),
    (lambda: FuncPath(len, 1, func=len), lambda: (lambda func, operand=None: 0)(len, 1, func=len)),
    (lambda: this(), lambda: (lambda obj, *args: 0)()),
    (lambda: list_(1, x=2), lambda: (lambda *args: 0)(1, x=2)),
])
def test_argument_errors_use_interpreter_wording(call, reference):
    ours, theirs = python_error(call), python_error(reference)
    assert type(ours) is type(theirs) is TypeError
    # Same text apart from the function's name.
    assert str(ours).split("() ", 1)[1] == str(theirs).split("() ", 1)[1]


# --- operators ----------------------------------------------------------------------------------

BINARY = [
    ("__add__", operator.add, "+"), ("__sub__", operator.sub, "-"), ("__mul__", operator.mul, "*"),
    ("__floordiv__", operator.floordiv, "//"), ("__truediv__", operator.truediv, "/"),
    ("__mod__", operator.mod, "%"), ("__pow__", operator.pow, "**"), ("__xor__", operator.xor, "^"),
    ("__rshift__", operator.rshift, ">>"), ("__lshift__", operator.lshift, "<<"),
    ("__and__", operator.and_, "&"), ("__or__", operator.or_, "|"),
]
COMPARE = [("__gt__", operator.gt, ">"), ("__ge__", operator.ge, ">="), ("__lt__", operator.lt, "<"),
           ("__le__", operator.le, "<="), ("__eq__", operator.eq, "=="), ("__ne__", operator.ne, "!=")]


def check_bin(node, op, lhs, rhs):
    assert type(node) is BinExpr
    assert node.op is op and node.lhs is lhs and node.rhs is rhs


@pytest.mark.parametrize("name, op, symbol", BINARY)
def test_binary_operators_keep_operand_order(name, op, symbol):
    e, other = this.x, object()
    check_bin(eval(f"e {symbol} other"), op, e, other)
    check_bin(getattr(ExprMixin, name)(e, other), op, e, other)
    check_bin(getattr(e, name)(other=other), op, e, other)
    reflected = "__r" + name[2:]
    check_bin(getattr(ExprMixin, reflected)(e, other), op, other, e)
    check_bin(getattr(e, reflected)(other=other), op, other, e)
    check_bin(eval(f"3 {symbol} e"), op, 3, e)
    check_bin(eval(f"e {symbol} 3"), op, e, 3)


@pytest.mark.parametrize("name, op, symbol", COMPARE)
def test_comparisons_build_nodes(name, op, symbol):
    e = this.x
    check_bin(eval(f"e {symbol} 3"), op, e, 3)
    check_bin(getattr(e, name)(other=3), op, e, 3)


@pytest.mark.parametrize("name, op", [("__neg__", operator.neg), ("__pos__", operator.pos),
                                      ("__invert__", operator.not_), ("__inv__", operator.not_)])
def test_unary_operators(name, op):
    e = this.x
    node = getattr(e, name)()
    assert type(node) is UniExpr and node.op is op and node.operand is e
    with pytest.raises(TypeError):
        getattr(e, name)(1)


def test_aliases_are_the_same_objects():
    d = vars(ExprMixin)
    assert d["__div__"] is d["__floordiv__"]
    assert d["__rdiv__"] is d["__rfloordiv__"]
    assert d["__inv__"] is d["__invert__"]
    assert ExprMixin.__div__ is ExprMixin.__floordiv__
    e = this.x
    check_bin(e.__div__(2), operator.floordiv, e, 2)
    check_bin(e.__rdiv__(2), operator.floordiv, 2, e)


def test_pow_refuses_a_third_argument():
    with pytest.raises(TypeError):
        pow(this.x, 2, 7)
    with pytest.raises(TypeError):
        ExprMixin.__pow__(this.x, 2, 7)
    with pytest.raises(TypeError):
        pow(2, this.x, 7)


def test_reflected_comparison_and_membership():
    assert repr(3 < this.x) == "(this.x > 3)"
    assert (this.x in [1, 2]) is True
    assert (3 in this.items) is True
    node = this.items.__contains__(3)
    assert repr(node) == "(this.items in 3)"
    assert node({"items": [1, 3]}) is True and node({"items": [1]}) is False
    assert bool(this.x == 3) is True


# --- evaluation ---------------------------------------------------------------------------------

@pytest.mark.parametrize("node, ctx, result", [
    (this.x + 1, {"x": 2}, 3),
    (1 - this.x, {"x": 2}, -1),
    ((this.a + this.b) * 2 - len_(this.items), {"a": 1, "b": 2, "items": [0]}, 5),
    (~this.x, {"x": 0}, True),
    (~this.x, {"x": 5}, False),
    (this.a & this.b, {"a": 6, "b": 3}, 2),
    (this.a | this.b, {"a": 6, "b": 3}, 7),
    (this.x / 2, {"x": 3}, 1.5),
    (this.x // 2, {"x": 3}, 1),
    (this.x ** 2 % 5, {"x": 3}, 4),
    (-this.x, {"x": 3}, -3),
    (+this.x, {"x": 3}, 3),
    (this.x >> 1 << 2 ^ 1, {"x": 6}, 13),
    (BinExpr(operator.add, len, 1), [1, 2, 3], 4),
    (BinExpr(max, 1, 2), None, 2),
    (UniExpr(str, 5), None, "5"),
])
def test_evaluation(node, ctx, result):
    got = node(ctx)
    assert got == result and type(got) is type(result)
    assert node(ctx, "ignored", 1) == result
    assert node(obj=ctx) == result


def test_callable_operands_get_the_context_alone_left_first_no_short_circuit():
    calls = []

    def operand(tag):
        def f(*args, **kwargs):
            calls.append((tag, args, kwargs))
            return 0
        return f

    node = BinExpr(operator.and_, operand("l"), operand("r")) | BinExpr(operator.or_, operand("l2"), operand("r2"))
    assert node("ctx", "extra") == 0
    assert calls == [("l", ("ctx",), {}), ("r", ("ctx",), {}), ("l2", ("ctx",), {}), ("r2", ("ctx",), {})]


def test_user_operator_functions_and_fields_set_later():
    node = this.x + 1
    assert node({"x": 1}) == 2
    node.op = lambda a, b: (a, b)
    assert node({"x": 1}) == (1, 1)
    node.__dict__["rhs"] = this.y
    assert node({"x": 1, "y": 7}) == (1, 7)
    vars(node).update(lhs=5)
    assert node({"y": 7}) == (5, 7)
    node.__dict__ = {"op": operator.sub, "lhs": 9, "rhs": 4}
    assert node(None) == 5
    del node.rhs
    with pytest.raises(AttributeError):
        node(None)


@pytest.mark.parametrize("unary", [False, True])
def test_a_node_applies_whichever_operator_it_holds_at_each_call(unary):
    # The same node, evaluated inline under a parent, switches between original operator
    # functions, a user function and back.
    ctx = {"x": 7, "y": 3}
    if unary:
        inner = -this.x
        sequence = [operator.pos, operator.not_, operator.neg, abs, operator.pos, operator.neg]
        expected = [fn(7) for fn in sequence]
    else:
        inner = this.x + this.y
        sequence = [operator.sub, operator.mul, operator.add, operator.truediv, lambda a, b: (a, b), operator.add]
        expected = [fn(7, 3) for fn in sequence]
    node = BinExpr(lambda a, b: a, inner, 0)
    for fn, want in zip(sequence, expected):
        inner.op = fn
        assert node(ctx) == want and inner(ctx) == want


def test_path_fields_set_later():
    p = this.a
    assert p({"a": 1, "b": 2}) == 1
    p._Path__field = "b"
    assert p({"a": 1, "b": 2}) == 2 and repr(p) == "this.b"
    p._Path__parent = None
    assert p(5) == 5 and repr(p) == "this"


def test_errors_propagate():
    def boom(ctx):
        raise ZeroDivisionError("operand")

    with pytest.raises(ZeroDivisionError, match="operand"):
        (BinExpr(operator.add, 1, boom))(None)
    with pytest.raises(KeyError):
        this.missing({})
    with pytest.raises(TypeError):
        this.a(object())
    with pytest.raises(TypeError):
        (this.a + "s")({"a": 1})


# --- text forms ---------------------------------------------------------------------------------

@pytest.mark.parametrize("node, as_repr, as_str", [
    (this.x + 1, "(this.x + 1)", "(this['x'] + 1)"),
    (1 - this.x, "(1 - this.x)", "(1 - this['x'])"),
    ((this.a + this.b) * 2, "((this.a + this.b) * 2)", "((this['a'] + this['b']) * 2)"),
    (-this.x, "- this.x", "- this['x']"),
    (~this.x, "not this.x", "not this['x']"),
    (this.a & this.b, "(this.a and this.b)", "(this['a'] and this['b'])"),
    (this.x / 2, "(this.x / 2)", "(this['x'] / 2)"),
    (this.x // "s", "(this.x // 's')", "(this['x'] // s)"),
    (this[0], "this.0", "this[0]"),
    (this.a.b, "this.a.b", "this['a']['b']"),
    (list_[0]["k"], "list_[0]['k']", "list_[0]['k']"),
    (len_, "len_", "len_"),
    (abs_(this.x - 5), "abs_((this.x - 5))", "abs_((this['x'] - 5))"),
    (len_(this.items), "len_(this.items)", "len_(this['items'])"),
])
def test_text_forms(node, as_repr, as_str):
    assert repr(node) == as_repr
    assert str(node) == as_str


def test_text_uses_opnames_at_call_time(monkeypatch):
    node = this.x + 1
    monkeypatch.setitem(expr.opnames, operator.add, "plus")
    assert repr(node) == "(this.x plus 1)"
    with pytest.raises(KeyError) as info:
        repr(BinExpr(max, 1, 2))
    assert info.value.args == (max,)


def test_text_errors():
    with pytest.raises(TypeError):
        repr(Path(5))
    with pytest.raises(AttributeError):
        repr(FuncPath(object()))

    class Bad:
        def __repr__(self):
            raise ValueError("bad repr")

    with pytest.raises(ValueError, match="bad repr"):
        repr(this.x + Bad())


# --- names looked up at call time ---------------------------------------------------------------

def test_rebound_module_names_are_honoured(monkeypatch):
    made = []
    monkeypatch.setattr(expr, "BinExpr", lambda *a: made.append(("bin",) + a) or "B")
    monkeypatch.setattr(expr, "UniExpr", lambda *a: made.append(("uni",) + a) or "U")
    monkeypatch.setattr(expr, "Path", lambda *a: ("P",) + a)
    monkeypatch.setattr(expr, "Path2", lambda *a: ("P2",) + a)
    monkeypatch.setattr(expr, "FuncPath", lambda *a: ("F",) + a)
    e = Path("r")
    assert e + 1 == "B" and -e == "U"
    assert made == [("bin", operator.add, e, 1), ("uni", operator.neg, e)]
    assert e.y == ("P", "r", "y", e) and e["k"] == ("P", "r", "k", e)
    assert list_[2] == ("P2", "list_", 2, list_)
    assert len_(this) == ("F", len, this)


def test_operator_module_looked_up_at_call_time(monkeypatch):
    fake = type("FakeOperator", (), {"add": "ADD", "neg": "NEG"})()
    monkeypatch.setattr(expr, "operator", fake)
    assert (this + 1).op == "ADD" and (-this).op == "NEG"
    monkeypatch.setattr(expr, "operator", operator)
    monkeypatch.setattr(operator, "mul", operator.add)
    node = this * 3
    assert node.op is operator.add and node(1) == 4


def test_opnames_rebound(monkeypatch):
    monkeypatch.setattr(expr, "opnames", {operator.add: "PLUS"})
    assert repr(this + 1) == "(this PLUS 1)"
    monkeypatch.delattr(expr, "opnames")
    with pytest.raises(NameError):
        repr(this + 1)


# --- subclasses and changed classes -------------------------------------------------------------

def test_subclass_overrides_are_honoured_inside_trees():
    class Twice(BinExpr):
        def __call__(self, obj, *args):
            return 2 * super().__call__(obj)

    class Hidden(Path):
        pass

    class Named(Path):
        def __getattr__(self, name):
            return name.upper()

    hidden = Hidden("this", "a", this)
    Hidden._Path__field = property(lambda self: "b")
    tree = Twice(operator.add, this.a, 1) + hidden
    assert tree({"a": 1, "b": 10}) == 14
    assert Named("n").anything == "ANYTHING"
    assert repr(hidden) == "this.b"


def test_class_level_changes_are_honoured():
    result = run_python("""
        import operator
        from qelo.expr import BinExpr, Path, this
        tree = (this.a + 1) * 2
        assert tree({"a": 1}) == 4
        original_call = BinExpr.__dict__["__call__"]
        BinExpr.__call__ = lambda self, obj, *args: "called"
        assert tree({"a": 1}) == "called" and (this.a + 1)({"a": 1}) == "called"
        BinExpr.__call__ = original_call
        assert tree({"a": 1}) == 4
        BinExpr.lhs = property(lambda self: 100)
        assert tree({"a": 1}) == 200
        del BinExpr.lhs
        assert tree({"a": 1}) == 4
        Path.__init__ = lambda self, *a: setattr(self, "_Path__parent", None)
        assert vars(this.q) == {"_Path__parent": None}
        Path.__getattr__ = lambda self, name: "attr:" + name
        assert this.zz == "attr:zz"
        print("ok")
    """)
    assert result.returncode == 0, result.stderr
    assert result.stdout.strip() == "ok"


# --- state protocol -----------------------------------------------------------------------------

NODES = [
    lambda: this.x + 1,
    lambda: -(this.a.b * 2),
    lambda: len_(this.items) + abs_(obj_.y),
    lambda: list_[0][1],
    lambda: Path2("list_", 1, list_),
    lambda: FuncPath(max, this.v),
]


@pytest.mark.parametrize("make", NODES)
def test_copy_and_pickle_round_trips(make):
    node = make()
    ctx, lst = {"x": 1, "a": {"b": 3}, "items": [1, 2], "y": -4, "v": [5, 9]}, [[0, 7], 8]
    expected = node(ctx, lst) if isinstance(node, Path2) else node(ctx)
    copies = [copy.copy(node)] + [pickle.loads(pickle.dumps(node, p)) for p in range(pickle.HIGHEST_PROTOCOL + 1)]
    for twin in copies:
        assert type(twin) is type(node)
        assert repr(twin) == repr(node)
        assert (twin(ctx, lst) if isinstance(twin, Path2) else twin(ctx)) == expected


def test_getstate_is_a_fresh_copy():
    node = this.x + 1
    state = node.__getstate__()
    assert state == {"op": operator.add, "lhs": node.lhs, "rhs": 1}
    state["rhs"] = 2
    assert node.rhs == 1
    assert this.a.__getstate__() == {"_Path__name": "this", "_Path__field": "a", "_Path__parent": this}


def test_getstate_includes_slots_of_subclasses():
    class Slotted(BinExpr):
        __slots__ = ("kept", "__private")

    class One(Slotted):
        __slots__ = "single"

    node = One(operator.add, 1, 2)
    node.kept, node._Slotted__private, node.single = "k", "p", "s"
    state = node.__getstate__()
    assert state == {"op": operator.add, "lhs": 1, "rhs": 2, "single": "s", "kept": "k", "_Slotted__private": "p"}
    twin = copy.copy(node)
    assert (twin.kept, twin._Slotted__private, twin.single) == ("k", "p", "s")


def test_deepcopy():
    with pytest.raises(KeyError):
        copy.deepcopy(this)
    with pytest.raises(KeyError):
        copy.deepcopy(this.x + 1)
    original = BinExpr(operator.add, [1], [2])
    twin = copy.deepcopy(original)
    assert twin(None) == [1, 2] and twin.lhs == [1] and twin.lhs is not original.lhs


def test_setstate_sets_attributes_in_items_order():
    seen = []

    class Recording(UniExpr):
        def __setattr__(self, name, value):
            seen.append(name)
            super().__setattr__(name, value)

    class Pairs:
        def items(self):
            return iter([["z", 1], ("a", 2), ("z", 3)])

    node = Recording.__new__(Recording)
    assert node.__setstate__(Pairs()) is None
    assert seen == ["z", "a", "z"] and vars(node) == {"z": 3, "a": 2}


@pytest.mark.parametrize("item", [("a",), ("a", 1, 2), "abc", 5, ["x"]])
def test_setstate_unpacking_errors(item):
    node = UniExpr(operator.neg, 1)
    items = [("first", 1), item, ("never", 2)]
    source = type("M", (), {"items": lambda self: items})()

    def reference():
        for name, value in [item]:
            pass

    expected = python_error(reference)
    with pytest.raises(type(expected)) as info:
        node.__setstate__(source)
    assert str(info.value) == str(expected)
    assert node.first == 1 and "never" not in vars(node)


def test_setstate_propagates_other_errors():
    with pytest.raises(AttributeError):
        UniExpr(1, 2).__setstate__([])
    with pytest.raises(TypeError):
        UniExpr(1, 2).__setstate__({1: 2})


# --- paths --------------------------------------------------------------------------------------

def test_path_basics():
    ctx = {"a": {"b": 2}}
    assert this(ctx) is ctx and obj_(ctx) is ctx
    assert this.a.b(ctx) == 2 and this["a"]["b"](ctx) == 2
    assert this.a.__getfield__() == "a" and this.__getfield__() is None
    assert hasattr(this, "anything") and this._hidden.__getfield__() == "_hidden"
    assert this.__special__.__getfield__() == "__special__"
    assert this[1, 2]({(1, 2): "t"}) == "t"
    assert Path.__getattr__(this, "q").__getfield__() == "q"
    assert this.__getitem__(name="k").__getfield__() == "k"
    assert repr(list_.__getitem__(index=4)) == "list_[4]"
    assert this.a.b is not this.a.b and vars(this) == {"_Path__name": "this", "_Path__field": None,
                                                      "_Path__parent": None}


def test_path2():
    assert list_(None, [10, 20]) == [10, 20]
    assert list_[1](None, [10, 20]) == 20
    assert list_[0][1](None, [[1, 2]]) == 2
    with pytest.raises(IndexError, match="tuple index out of range"):
        list_(None)
    with pytest.raises(AttributeError):
        list_.x
    with pytest.raises(IndexError):
        (list_[0] + 1)(None, [5])
    with pytest.raises(TypeError):
        list_(None, [1], key=1)


def test_funcpath():
    ctx = {"items": [1, 2, 3]}
    for fp, result in ((len_, 3), (sum_, 6), (min_, 1), (max_, 3)):
        bound = fp(this.items)
        assert type(bound) is FuncPath and bound(ctx) == result
    plain = [1, 2, 3]
    assert len_(plain) is plain
    assert FuncPath(len, [1, 2, 3])("anything") == 3
    assert (len_(this.items) + 1)({"items": [1, 2]}) == 3
    assert len_(operand=this.items)(ctx) == 3


@pytest.mark.parametrize("path", [this, this.a, list_, list_[0], type("SubPath", (Path,), {})("s")])
def test_iterating_a_path_is_refused(path):
    with pytest.raises(TypeError, match="not iterable"):
        list(path)
    with pytest.raises(TypeError):
        for _ in path:
            pass


# --- robustness ---------------------------------------------------------------------------------

def test_deep_trees_raise_recursion_error():
    result = run_python("""
        import operator
        from qelo.expr import BinExpr, FuncPath, this, list_
        class Sub(BinExpr):
            pass
        builders = {
            "bin": lambda e: e + 1, "uni": lambda e: -e, "path": lambda e: e.a,
            "func": lambda e: FuncPath(abs, e), "sub": lambda e: Sub(operator.add, e, 1),
        }
        for name, build in builders.items():
            e = this.x
            for _ in range(100000):
                e = build(e)
            for action in (lambda: e({"x": 1}), lambda: repr(e), lambda: str(e)):
                try:
                    action()
                    raise SystemExit(name + ": no RecursionError")
                except RecursionError:
                    pass
            del e
        e = list_
        for _ in range(100000):
            e = e[0]
        for action in (lambda: e(None, [1]), lambda: repr(e)):
            try:
                action()
                raise SystemExit("list_: no RecursionError")
            except RecursionError:
                pass
        print("ok")
    """)
    assert result.returncode == 0, result.stderr
    assert result.stdout.strip() == "ok"


def test_path_without_fields_recurses_into_recursion_error():
    result = run_python("""
        from qelo.expr import BinExpr, Path, this
        empty = Path.__new__(Path)
        for action in (lambda: empty.x, lambda: empty["k"], lambda: empty(1), lambda: repr(empty)):
            try:
                action()
                raise SystemExit("no RecursionError")
            except RecursionError:
                pass
        node = BinExpr.__new__(BinExpr)
        node.__class__ = Path
        try:
            node.x
            raise SystemExit("no RecursionError")
        except RecursionError:
            pass
        print("ok")
    """)
    assert result.returncode == 0, result.stderr
    assert result.stdout.strip() == "ok"


def test_no_reference_leaks_on_error_paths():
    ctx = {"a": 1}
    marker = object()
    node = BinExpr(operator.add, this.a, marker)
    before = sys.getrefcount(ctx), sys.getrefcount(marker)
    for _ in range(1000):
        try:
            node(ctx)
        except TypeError:
            pass
        try:
            this.b(ctx)
        except KeyError:
            pass
        repr(node)
    assert (sys.getrefcount(ctx), sys.getrefcount(marker)) == before


def test_operand_mutating_the_tree_mid_evaluation():
    node = BinExpr(operator.add, None, 1)

    def lhs(ctx):
        node.rhs = 41
        node.op = operator.sub
        return 100

    node.lhs = lhs
    # Left resolved first; the right operand and the operator are read after it.
    assert node(None) == 59


# --- differential: fast and general paths agree -------------------------------------------------

OPS = [operator.add, operator.sub, operator.mul, operator.and_, operator.or_, operator.xor,
       operator.eq, operator.lt, operator.ge]


class GeneralBin(BinExpr):
    """A subclass: never evaluated inline, fields read through getattr."""


LEAVES = st.one_of(st.integers(-50, 50), st.sampled_from(["a", "b", "c"]))
SUBTREES = st.recursive(LEAVES, lambda kids: st.tuples(st.sampled_from(OPS), kids, kids), max_leaves=12)
TREES = st.tuples(st.sampled_from(OPS), SUBTREES, SUBTREES)


def build(tree, cls, path):
    if isinstance(tree, tuple):
        op, lhs, rhs = tree
        return cls(op, build(lhs, cls, path), build(rhs, cls, path))
    return path[tree] if isinstance(tree, str) else tree


def compute(tree, ctx):
    if isinstance(tree, tuple):
        op, lhs, rhs = tree
        return op(compute(lhs, ctx), compute(rhs, ctx))
    return ctx[tree] if isinstance(tree, str) else tree


@settings(max_examples=200, deadline=None)
@given(TREES, st.fixed_dictionaries({k: st.integers(-9, 9) for k in "abc"}))
def test_fast_and_general_paths_agree(tree, ctx):
    expected = compute(tree, ctx)
    assert build(tree, BinExpr, this)(ctx) == expected
    assert build(tree, GeneralBin, type("P", (Path,), {})("this"))(ctx) == expected
    assert build(tree, lambda *a: BinExpr(*a) + 0, this)(ctx) == expected


# Nodes built by operators hold their fields themselves and are evaluated without taking
# references to the operator, a root parent or len; the same trees after vars() (fields in the
# dict) and as subclass instances (read through getattr) must give the same answers.
SHAPES = [
    (lambda: -(this.a + 1), lambda c: -(c["a"] + 1)),
    (lambda: +this.a - -this.b, lambda c: +c["a"] - -c["b"]),
    (lambda: len_(this.items) * this.a, lambda c: len(c["items"]) * c["a"]),
    (lambda: abs_(this.b) + obj_.a, lambda c: abs(c["b"]) + c["a"]),
    (lambda: this.nested.a + this.nested["b"], lambda c: c["nested"]["a"] + c["nested"]["b"]),
    (lambda: (this.a > this.b) == (this.b < this.a), lambda c: (c["a"] > c["b"]) == (c["b"] < c["a"])),
]


class KeyedDict(dict):
    def __missing__(self, key):
        return 7


def _every_node(node, seen=None):
    seen = set() if seen is None else seen
    if id(node) in seen or not isinstance(node, expr.ExprMixin):
        return
    seen.add(id(node))
    yield node
    for value in list(vars(node).values()):
        yield from _every_node(value, seen)


@pytest.mark.parametrize("shape", range(len(SHAPES)))
@pytest.mark.parametrize("ctx_type", [dict, KeyedDict])
def test_built_nodes_agree_with_their_dict_form(shape, ctx_type):
    build_node, compute_value = SHAPES[shape]
    ctx = ctx_type(a=5, b=-3, items=[1, 2, 3], nested={"a": 10, "b": 20})
    expected = compute_value(ctx)
    assert build_node()(ctx) == expected
    materialised = build_node()
    assert list(_every_node(materialised))  # vars() moved every node's fields into its dict
    assert materialised(ctx) == expected


def test_operator_swapped_while_a_built_node_evaluates():
    swapped = []

    def rhs(ctx):
        node.op = operator.sub
        swapped.append(True)
        return 1

    node = this.a + rhs
    # Both operands first, then the operator as it stands: the swap is seen.
    assert node({"a": 10}) == 9 and swapped
    node2 = this.a + (lambda ctx: 1)
    assert node2({"a": 10}) == 11


def test_function_swapped_while_a_built_function_path_evaluates():
    node = len_(this.items)

    def items(ctx):
        node._FuncPath__func = sum
        return [4, 5, 6]

    node._FuncPath__operand = items
    # The operand is resolved first, then the function is read: the swap is seen at once.
    assert node({}) == 15
    node._FuncPath__func = len
    assert node({}) == 15
    # The same once warm, as an operand of a tree, and with the function read the general way.
    warm_root = node + 0
    for _ in range(3):
        node._FuncPath__func = len
        assert warm_root({}) == 15


def test_function_rebound_by_the_context_lookup_of_a_function_path_operand():
    class Ctx(dict):
        def __getitem__(self, key):
            node._FuncPath__func = sum
            return dict.__getitem__(self, key)

    for make in (lambda: len_(this.items), lambda: FuncPath(len, this.items)):
        node = make()
        assert node({"items": [1, 2]}) == 2
        assert node(Ctx(items=[4, 5, 6])) == 15
        # Warm, as an operand of a tree evaluated again and again.
        node = make()
        root = node * 1
        for _ in range(3):
            root({"items": [1]})
        assert root(Ctx(items=[4, 5, 6])) == 15


def test_root_parent_rebuilt_while_a_built_path_evaluates():
    class Ctx(dict):
        def __getitem__(self, key):
            node._Path__field = "b"
            return dict.__getitem__(self, key)

    node = this.a
    ctx = Ctx(a=1, b=2)
    assert node(ctx) == 1
    assert node(ctx) == 2


def test_subclass_root_parent_is_called():
    class Root(Path):
        def __call__(self, obj):
            return {"a": "from root"}

    node = Path("a", "a", Root("r"))
    assert node({"a": "from ctx"}) == "from root"
    # The same paths as operands of built nodes, and over a root whose fields sit in its dict.
    assert (node + "!")({"a": "from ctx"}) == "from root!"
    assert (-len_(node))({"a": "from ctx"}) == -len("from root")
    over_plain_root = Path("a", "a", Path("this"))
    assert (over_plain_root + "!")({"a": "ctx"}) == "ctx!"
    moved_root = Path("r", "inner")
    moved_root._Path__parent = lambda ctx: {"inner": {"a": "moved"}}
    assert (Path("a", "a", moved_root) + "!")({"a": "ctx"}) == "moved!"


# --- nodes built by operators, path access and binding, seen through every route ----------------
# Such nodes are built directly; whatever route reads or changes them must see exactly what it
# sees on a node whose fields were stored by __init__ into its instance dict.

BUILT = {
    "uni": (lambda: -this.x, ["op", "operand"]),
    "bin": (lambda: this.x + 1, ["op", "lhs", "rhs"]),
    "path": (lambda: this.x, ["_Path__name", "_Path__field", "_Path__parent"]),
    "path2": (lambda: list_[2], ["_Path2__name", "_Path2__index", "_Path2__parent"]),
    "funcpath": (lambda: len_(this.x), ["_FuncPath__func", "_FuncPath__operand"]),
}


def fresh(name):
    return BUILT[name][0]()


def fresh_from_dict(name):
    # The same node after something asked for its instance dict.
    node = fresh(name)
    vars(node)
    return node


def outcome(fn):
    try:
        return ("value", fn())
    except Exception as exc:  # noqa: BLE001 - the outcome itself is compared
        return ("error", type(exc), str(exc))


def plain(value):
    # Nodes compare by building nodes; compare their text forms instead.
    if isinstance(value, ExprMixin):
        return ("node", type(value), repr(value))
    if isinstance(value, (list, tuple)):
        return type(value)(plain(v) for v in value)
    return value


def route_results(name, route):
    fields = BUILT[name][1]
    results = []
    for make in (fresh, fresh_from_dict):
        node = make(name)
        results.append(plain(outcome(lambda: route(node, fields))))
    return results


class Sub:
    pass


def evaluate(node):
    return node({"x": [4, 5, 6]}, [7, 8, 9])


ROUTES = {
    "vars": lambda n, f: [(k, plain(v)) for k, v in vars(n).items()],
    "dict": lambda n, f: [(k, plain(v)) for k, v in n.__dict__.items()],
    "getattr": lambda n, f: [plain(getattr(n, "".join(list(k)))) for k in f],
    "hasattr": lambda n, f: [hasattr(n, k) for k in f + ["missing_"]],
    "dir": lambda n, f: sorted(set(f) & set(dir(n))),
    "evaluate": lambda n, f: plain(evaluate(n)),
    "setattr": lambda n, f: (setattr(n, f[-1], 5), plain(getattr(n, f[-1])), list(vars(n)))[1:],
    "delattr": lambda n, f: (delattr(n, f[0]), list(vars(n)), outcome(lambda: evaluate(n))[:2])[1:],
    "delattr_then_read": lambda n, f: (delattr(n, f[-1]), plain(getattr(n, f[-1])))[1],
    "dict_write": lambda n, f: (vars(n).__setitem__(f[-1], 9), getattr(n, f[-1]))[1],
    "dict_replace": lambda n, f: (setattr(n, "__dict__", {f[0]: 1}), getattr(n, f[0]),
                                  hasattr(n, f[-1]))[1:],
    "getstate": lambda n, f: [(k, plain(v)) for k, v in n.__getstate__().items()],
    "copy": lambda n, f: [(k, plain(v)) for k, v in vars(copy.copy(n)).items()],
    "deepcopy": lambda n, f: plain(copy.deepcopy(n)),
    "pickle": lambda n, f: [(k, plain(v)) for k, v in vars(pickle.loads(pickle.dumps(n))).items()],
    "repr_str": lambda n, f: (repr(n), str(n)),
    "object_getattribute_dict": lambda n, f: sorted(object.__getattribute__(n, "__dict__")),
}


@pytest.mark.parametrize("route", sorted(ROUTES))
@pytest.mark.parametrize("name", sorted(BUILT))
def test_built_nodes_agree_with_dict_nodes(name, route):
    held, from_dict = route_results(name, ROUTES[route])
    assert held == from_dict


@pytest.mark.parametrize("name", sorted(BUILT))
def test_built_nodes_hold_the_values_they_were_built_with(name):
    node = fresh(name)
    fields = BUILT[name][1]
    values = [getattr(node, f) for f in fields]
    assert list(vars(node)) == fields
    assert all(vars(node)[f] is v for f, v in zip(fields, values))


@pytest.mark.parametrize("name", sorted(BUILT))
def test_class_assignment_keeps_the_fields(name):
    node = fresh(name)
    fields = BUILT[name][1]
    before = [getattr(node, f) for f in fields]
    sub = type("Sub", (type(node),), {})
    node.__class__ = sub
    assert [getattr(node, f) for f in fields] == before
    assert plain(outcome(lambda: evaluate(node))) == plain(outcome(lambda: evaluate(fresh(name))))


@pytest.mark.parametrize("name", sorted(BUILT))
def test_class_changes_after_building_are_seen_by_built_nodes(name):
    # Run in a child: the classes are changed.
    code = f"""
        import operator
        from qelo.expr import *
        import qelo.expr as expr
        make = {{"uni": lambda: -this.x, "bin": lambda: this.x + 1, "path": lambda: this.x,
                 "path2": lambda: list_[2], "funcpath": lambda: len_(this.x)}}[{name!r}]
        fields = {BUILT[name][1]!r}
        node, twin = make(), make()
        vars(twin)
        cls = type(node)
        # A class attribute of a field's name: the instance's own value still wins.
        setattr(cls, fields[-1], "class value")
        assert getattr(node, fields[-1]) == getattr(twin, fields[-1]) != "class value"
        # An attribute hook added later is asked only for what the instance lacks.
        cls.__getattr__ = lambda self, name: "hook:" + name
        assert getattr(node, fields[0]) is getattr(twin, fields[0])
        assert node.other == twin.other == "hook:other"
        # A data descriptor of a field's name answers before the instance dict.
        setattr(cls, fields[0], property(lambda self: "property"))
        assert getattr(node, fields[0]) == getattr(twin, fields[0]) == "property"
        assert fields[0] in vars(node)
        print("ok")
    """
    result = run_python(code)
    assert result.returncode == 0, result.stderr
    assert result.stdout.strip() == "ok"


def test_cycles_through_built_nodes_are_collected():
    import gc
    import weakref

    holder = []
    node = this.x + holder  # a field refers to the list, the list to the node
    holder.append(node)
    ref = weakref.ref(node)
    del node, holder
    gc.collect()
    assert ref() is None


def test_write_behind_the_class_is_merged_with_held_fields():
    # A subclass's __setattr__ that reaches object's route through the class chain.
    node = this.x + 1
    node.extra = 3
    assert list(vars(node)) == ["op", "lhs", "rhs", "extra"] and node.rhs == 1
    assert node({"x": 1}) == 2


def test_field_written_behind_the_class_wins_over_the_held_one():
    node = this.x + 1
    object.__setattr__(node, "rhs", 2)
    assert node.rhs == 2 and vars(node)["rhs"] == 2 and node({"x": 1}) == 3
    assert node.op is operator.add and vars(node)["lhs"] is node.lhs


class WithMissing(dict):
    def __missing__(self, key):
        return ("missing", key)


class KeyStr(str):
    pass


def full_outcome(fn):
    try:
        return ("value", fn())
    except Exception as exc:  # noqa: BLE001 - the outcome itself is compared
        return ("error", type(exc), exc.args)


@pytest.mark.parametrize("ctx, key", [
    ({"a": 1}, "a"), ({"a": 1}, "b"), (WithMissing(a=1), "b"), ({"a": 1}, KeyStr("a")),
    ({KeyStr("a"): 1}, "a"), ({1: 2}, 1), ({}, (1, 2)), ({}, ""), ([5, 6], 1), ("xy", "a"),
])
def test_path_lookup_is_subscription(ctx, key):
    assert full_outcome(lambda: this[key](ctx)) == full_outcome(lambda: ctx[key])
    assert full_outcome(lambda: (this[key] + 0)(ctx)) == full_outcome(lambda: ctx[key] + 0)


class CollidingKey:
    """Hashes like the str "kk", so a lookup of "kk" compares against it."""

    def __init__(self, equal):
        self.equal = equal

    def __hash__(self):
        return hash("kk")

    def __eq__(self, other):
        if self.equal is None:
            raise ArithmeticError("compared")
        return self.equal


class PlainDict(dict):
    """A dict subclass: looked up through the general subscription."""


@pytest.mark.parametrize("make_ctx", [
    lambda: {"kk": 1},
    lambda: {"other": 1},
    lambda: {CollidingKey(True): 1},
    lambda: {CollidingKey(False): 1},
    lambda: {CollidingKey(None): 1},
    lambda: {CollidingKey(False): 1, "kk": 2},
])
@pytest.mark.parametrize("fresh_key", [False, True])
def test_str_key_lookup_agrees_with_subscription(make_ctx, fresh_key):
    # A str made at run time keeps no hash yet, a literal one does; either way the lookup agrees
    # with ctx[key] and with the general route, comparisons with colliding keys included.
    key = "".join(["k", "k"]) if fresh_key else "kk"
    ctx = make_ctx()
    expected = full_outcome(lambda: ctx[key])
    assert full_outcome(lambda: this[key](ctx)) == expected
    assert full_outcome(lambda: (this[key] + 0)(ctx)) == full_outcome(lambda: ctx[key] + 0)
    assert full_outcome(lambda: len_(this[key])(ctx)) == full_outcome(lambda: len(ctx[key]))
    assert full_outcome(lambda: this[key](PlainDict(ctx))) == expected


class RaisesOnceKey:
    """Hashes like `name`, and raises the first time a lookup compares it with anything."""

    def __init__(self, name):
        self.name = name
        self.raised = True  # armed once the dict holding it is built

    def __hash__(self):
        return hash(self.name)

    def __eq__(self, other):
        if not self.raised:
            self.raised = True
            raise ArithmeticError("compared")
        return False


def with_colliding_field_key(node, name):
    # The colliding key comes first in the instance dict, so a lookup of `name` meets it.
    key = RaisesOnceKey(name)
    fields = dict(vars(node))
    node.__dict__ = {key: None, **fields}
    key.raised = False
    return key


@pytest.mark.parametrize("make_node, field, expected", [
    (lambda: this.a + 1, "op", 3),
    (lambda: this.a + 1, "lhs", 3),
    (lambda: -this.a, "operand", -2),
    (lambda: len_(this.s), "_FuncPath__func", 3),
    (lambda: this.a, "_Path__parent", 2),
    (lambda: this.a, "_Path__field", 2),
])
def test_a_field_lookup_that_raises_fails_the_evaluation(make_node, field, expected):
    # Reading the field raises what the instance dict's lookup raised, once; the next read
    # finds it as getattr does.
    node = make_node()
    key = with_colliding_field_key(node, field)
    with pytest.raises(ArithmeticError, match="compared"):
        node({"a": 2, "s": "abc"})
    assert key.raised
    assert node({"a": 2, "s": "abc"}) == expected


@pytest.mark.parametrize("make_node, field, text", [
    (lambda: this.a + 1, "lhs", "(this.a + 1)"),
    (lambda: -this.a, "op", "- this.a"),
])
def test_a_field_lookup_that_raises_fails_the_text(make_node, field, text):
    node = make_node()
    with_colliding_field_key(node, field)
    with pytest.raises(ArithmeticError, match="compared"):
        repr(node)
    assert repr(node) == text


class ShortList(list):
    def __len__(self):
        return 1


@pytest.mark.parametrize("value", [[], [1, 2, 3], ShortList([1, 2, 3]), (1, 2), "abc"])
def test_len_of_lists_is_their_length(value):
    ctx = {"x": value}
    assert len_(this.x)(ctx) == len(value)
    assert (len_(this.x) + 0)(ctx) == len(value)
    assert len_(lambda c: c["x"])(ctx) == len(value)


@pytest.mark.parametrize("value", [[1, 2], "abc", {}, 5, -3, -2.5, None])
def test_len_and_abs_paths_are_the_builtins(value):
    ctx = {"x": value}
    assert full_outcome(lambda: len_(this.x)(ctx)) == full_outcome(lambda: len(value))
    assert full_outcome(lambda: abs_(this.x)(ctx)) == full_outcome(lambda: abs(value))


def test_len_and_abs_bound_before_import_are_called():
    result = run_python("""
        import builtins
        class Box(list):
            pass
        real_len, real_abs = builtins.len, builtins.abs
        builtins.len = lambda x: 42 if type(x) is Box else real_len(x)
        builtins.abs = lambda x: 43 if type(x) is Box else real_abs(x)
        import qelo.expr as e
        builtins.len, builtins.abs = real_len, real_abs
        assert e.len_(e.this.x)({"x": Box([1])}) == 42 and e.abs_(e.this.x)({"x": Box()}) == 43
        print("ok")
    """)
    assert result.returncode == 0, result.stderr
    assert result.stdout.strip() == "ok"


# --- freed nodes built again --------------------------------------------------------------------

# What may have happened to a node before it was dropped.
PAST_LIVES = {
    "nothing": lambda n: None,
    "extra attribute": lambda n: setattr(n, "extra", [n]),
    "dict asked for": lambda n: vars(n),
    "weak reference": lambda n: KEEP.append(weakref.ref(n, lambda r: None)),
    "field deleted": lambda n: delattr(n, next(iter(vars(n)))),
}
KEEP = []


def state_of(node, fields):
    import gc

    return (type(node), [(f, plain(getattr(node, f))) for f in fields], list(vars(node)),
            hasattr(node, "extra"), weakref.getweakrefcount(node), gc.is_tracked(node), repr(node),
            plain(outcome(lambda: evaluate(node))))


@settings(max_examples=40, deadline=None)
@given(st.lists(st.tuples(st.sampled_from(sorted(BUILT)), st.sampled_from(sorted(PAST_LIVES))),
                min_size=1, max_size=80))
def test_nodes_built_after_others_were_dropped_are_fresh(history):
    expected = {name: state_of(fresh(name), BUILT[name][1]) for name in BUILT}
    dropped = []
    for name, past in history:
        node = fresh(name)
        PAST_LIVES[past](node)
        dropped.append(node)
    del node
    dropped.clear()
    KEEP.clear()
    for name in BUILT:
        for _ in range(3):
            assert state_of(fresh(name), BUILT[name][1]) == expected[name]


def test_dropped_subclass_nodes_do_not_come_back_as_the_plain_class():
    class Mine(BinExpr):
        pass

    nodes = [Mine(operator.add, this.x, i) for i in range(100)]
    del nodes
    built = [this.x + i for i in range(100)]
    assert {type(n) for n in built} == {BinExpr}
    assert {type(n.lhs) for n in built} == {Path}


def test_cycles_through_reused_nodes_are_collected():
    import gc

    for _ in range(3):
        drop = [this.x + i for i in range(100)]
        del drop
        holder = []
        node = this.x + holder
        holder.append(node)
        ref = weakref.ref(node)
        del node, holder
        gc.collect()
        assert ref() is None


def test_reload_with_dropped_nodes_kept():
    result = run_python("""
        import importlib
        import qelo.expr as e
        old = [e.this.a + i for i in range(50)]
        drop = [e.this.b - i for i in range(50)]
        del drop
        importlib.reload(e)
        new = [e.this.a + i for i in range(50)]
        assert new[3]({"a": 1}) == 4 and old[3]({"a": 1}) == 4
        del old
        assert [n({"a": 1}) for n in new] == list(range(1, 51))
        print("ok")
    """)
    assert result.returncode == 0, result.stderr
    assert result.stdout.strip() == "ok"


# --- attribute access of a plain Path against a subclass and a Path with a dict -------------------

class PlainSubPath(Path):
    pass


PATH_FIELDS = ["_Path__name", "_Path__field", "_Path__parent"]


@pytest.mark.parametrize("name", [
    "a", "items", "_Path__name", "_Path__field", "_Path__parent", "__getfield__", "__class__",
    "__dict__", "__getattr__", "__repr__", "op", "", "a b", "".join(["fi", "eld"]),
    "".join(["_Path", "__name"]), KeyStr("a"), KeyStr("_Path__name"),
])
def test_plain_path_attribute_access_agrees_with_the_general_route(name):
    exact = Path("this", "x", this)
    subclassed = PlainSubPath("this", "x", this)
    with_dict = Path("this", "x", this)
    vars(with_dict)
    paths = (exact, subclassed, with_dict)
    if name in PATH_FIELDS:
        # Nodes compare by building nodes: identity it is.
        expected = ("this", "x", this)[PATH_FIELDS.index(name)]
        assert all(getattr(p, name) is expected for p in paths)
    elif hasattr(Path, name):
        # Found on the class: what object's own lookup finds, no path derived.
        for p in paths:
            found, generic = getattr(p, name), object.__getattribute__(p, name)
            assert not isinstance(found, ExprMixin) and type(found) is type(generic) and found == generic
    else:
        for parent in paths:
            node = getattr(parent, name)
            assert type(node) is Path
            assert vars(node) == {"_Path__name": "this", "_Path__field": name, "_Path__parent": parent}
            assert type(vars(node)["_Path__field"]) is type(name)
            assert repr(node) == f"this.x.{name}"


def test_plain_path_derives_through_whatever_path_is_bound(monkeypatch):
    made = []
    monkeypatch.setattr(expr, "Path", lambda *a: made.append(a) or "made")
    assert this.anything == "made" and made == [("this", "anything", this)]
    monkeypatch.undo()
    assert type(this.anything) is Path


def test_names_added_to_the_classes_later_are_found_by_plain_paths():
    result = run_python("""
        from qelo.expr import ExprMixin, Path, this
        for owner in (Path, ExprMixin):
            for _ in range(3):
                assert type(this.zz) is Path and repr(this.zz) == "this.zz"
            owner.zz = marker = object()
            assert this.zz is marker and this.a.zz is marker
            del owner.zz
            assert type(this.zz) is Path and this.zz._Path__parent is this
        print("ok")
    """)
    assert result.returncode == 0, result.stderr
    assert result.stdout.strip() == "ok"


def test_freeing_deep_chains_stays_off_the_c_stack():
    # Through nodes alone, through containers that have their own depth guard, through cells that
    # have none, and through nodes that were given dicts and weak references.
    result = run_python("""
        import types, weakref
        from qelo.expr import this
        keep = []
        links = {
            "node": lambda e: e + 1,
            "list": lambda e: this.x + [e],
            "cell": lambda e: this.x + types.CellType(e),
            "dict node": lambda e: (e + 1, vars(e))[0],
            "weak node": lambda e: (e + 1, keep.append(weakref.ref(e)))[0],
        }
        for name, link in links.items():
            e = this.x
            for _ in range(300000):
                e = link(e)
            del e
            keep.clear()
        print("ok")
    """)
    assert result.returncode == 0, result.stderr
    assert result.stdout.strip() == "ok"


def test_class_called_for_a_node_may_drop_the_names_it_was_found_under():
    # The class and the operator function are looked up without holding them; a class that
    # rebinds both before using its arguments still gets live ones.
    result = run_python("""
        import operator, gc
        import qelo.expr as e
        real_add = operator.add
        class Rebinding:
            def __new__(cls, op, lhs, rhs):
                operator.add = lambda a, b: None
                e.BinExpr = None
                gc.collect()
                return (op(2, 3), lhs, rhs)
        for _ in range(2):
            e.BinExpr = Rebinding
            operator.add = lambda a, b: a * 10 + b
            assert (e.this + 1) == (23, e.this, 1)
        operator.add = real_add
        print("ok")
    """)
    assert result.returncode == 0, result.stderr
    assert result.stdout.strip() == "ok"


# --- arithmetic on exact ints and floats goes straight to their own slot ------------------------

class Loud:
    """Reflected methods that must win over int's and float's own: the straight route is for exact
    ints and floats only."""

    def __radd__(self, other):
        return ("radd", other)

    def __rsub__(self, other):
        return ("rsub", other)

    def __rmul__(self, other):
        return ("rmul", other)


class LoudInt(Loud, int):
    pass


class LoudFloat(Loud, float):
    pass


ARITHMETIC_OPERANDS = [
    (3, 4), (-7, 2 ** 70), (2 ** 64, -(2 ** 64)), (0, -0), (1.5, -2.25), (float("inf"), float("-inf")),
    (float("nan"), 1.0), (-0.0, 0.0), (1e308, 10.0), (3, 2.5), (2.5, 3), (True, 2), (2, False),
    (3, LoudInt(4)), (LoudInt(3), 4), (1.5, LoudFloat(2.0)), (2, LoudFloat(2.0)), ("ab", "cd"), ([1], 2),
    ("ab", None), (3, "x"),
]


@pytest.mark.parametrize("op", [operator.add, operator.sub, operator.mul])
@pytest.mark.parametrize("a, b", ARITHMETIC_OPERANDS)
def test_arithmetic_agrees_with_the_operator(op, a, b):
    def outcome(fn):
        result = full_outcome(fn)
        # repr tells nan, -0.0 and the result's type apart where == would not.
        return (result[0], repr(result[1]), type(result[1])) if result[0] == "value" else result

    expected = outcome(lambda: op(a, b))
    ctx = {"a": a, "b": b}
    built = {operator.add: this.a + this.b, operator.sub: this.a - this.b, operator.mul: this.a * this.b}[op]
    assert outcome(lambda: built(ctx)) == expected
    assert outcome(lambda: BinExpr(op, a, b)(ctx)) == expected
    assert outcome(lambda: GeneralBin(op, this.a, this.b)(ctx)) == expected


def test_class_changed_by_an_operand_mid_evaluation_is_seen():
    # Each read of a field asks again whether the class still lets it be read from the node: here
    # the lookup of ctx["a"] gives BinExpr, FuncPath or Path a property of a field's name, which
    # then answers for that field in every later read, as it would in any class.
    result = run_python("""
        import operator
        from qelo.expr import BinExpr, FuncPath, Path, len_, this

        class Ctx(dict):
            def __init__(self, change):
                super().__init__(a=10, b=20, items=[1, 2, 3])
                self.change = change

            def __getitem__(self, key):
                if key == "a":
                    self.change()
                return dict.__getitem__(self, key)

        def check(node, cls, name, value, changed, unchanged):
            def change():
                setattr(cls, name, property(lambda self: value))
            try:
                got = node(Ctx(change))
            finally:
                delattr(cls, name)
            assert got == changed, (name, got, changed)
            assert node(Ctx(lambda: None)) == unchanged

        check(this.a + this.b, BinExpr, "rhs", 100, 110, 30)
        check(this.a + this.b, BinExpr, "op", operator.mul, 200, 30)
        check(this.a + 5, BinExpr, "op", operator.sub, 5, 15)
        check((this.a + 0) * 2 - len_(this.items), BinExpr, "rhs", 7, (10 + 7) * 7 - 7, 17)
        check(this.a + len_(this.items), FuncPath, "_FuncPath__operand", [1, 2], 12, 13)
        check(this.a * this.b, Path, "_Path__field", "a", 100, 200)
        print("ok")
    """)
    assert result.returncode == 0, result.stderr
    assert result.stdout.strip() == "ok"


# --- the operator function a node holds is the one applied -------------------------------------

@pytest.mark.parametrize("prebound, expected", [
    ("operator.floordiv", [3, 3, 3.5]),
    ("operator.mod", [1, 3, 3.5]),
    ("lambda a, b: ('custom', a, b)", [("custom", 7, 2), 3, 3.5]),
])
def test_operator_div_bound_before_import_is_applied_as_what_it_is(prebound, expected):
    # [this.x / 2, this.x // 2, BinExpr(operator.truediv, ...)] against {"x": 7}, in a fresh
    # interpreter where operator.div was bound before qelo.expr was imported.
    code = f"""
        import operator
        operator.div = {prebound}
        import qelo.expr as expr
        from qelo.expr import this, BinExpr
        assert operator.div is not operator.truediv
        nodes = [this.x / 2, this.x // 2, BinExpr(operator.truediv, this.x, 2)]
        print(repr([n({{"x": 7}}) for n in nodes]))
        # the table shows what each key is: the pre-bound function under "/" first
        print(expr.opnames[operator.div])
    """
    result = run_python(code)
    assert result.returncode == 0, result.stderr
    lines = result.stdout.splitlines()
    assert eval(lines[0]) == expected
    assert lines[1] == ("//" if prebound == "operator.floordiv" else "/" if "lambda" in prebound else "%")


def test_builtin_of_another_module_with_an_operator_name_is_called_as_itself():
    import math

    # math.pow is a C function named "pow", but not operator.pow: it returns a float.
    node = BinExpr(math.pow, this.x, 2)
    value = node({"x": 7})
    assert value == 49.0 and type(value) is float
    # A Python function named like an operator is called, not recognised by name.
    def add(a, b):
        return ("add", a, b)
    assert BinExpr(add, this.x, 1)({"x": 2}) == ("add", 2, 1)
    assert UniExpr(add.__get__(0), this.x)({"x": 5}) == ("add", 0, 5)


def test_operator_rebound_after_import_is_what_new_nodes_hold():
    code = """
        import operator
        from qelo.expr import this
        (this.x + 1)({"x": 1})          # warm every cache
        original = operator.add
        operator.add = operator.sub
        node = this.x + 1
        assert node.op is operator.sub and node({"x": 5}) == 4
        operator.add = original
        assert (this.x + 1)({"x": 5}) == 6
        print("ok")
    """
    result = run_python(code)
    assert result.returncode == 0, result.stderr
    assert result.stdout.strip() == "ok"


# --- every parameter by position or keyword, self included --------------------------------------

OPERATOR_METHODS = ([name for name, _, _ in BINARY] + ["__r" + name[2:] for name, _, _ in BINARY]
                    + [name for name, _, _ in COMPARE] + ["__contains__", "__div__", "__rdiv__"])


@pytest.mark.parametrize("name", OPERATOR_METHODS)
def test_two_operand_methods_take_self_and_other_by_keyword(name):
    e, other = this.x, object()
    method = getattr(ExprMixin, name)
    by_position = method(e, other)
    for call in (lambda: method(self=e, other=other), lambda: method(e, other=other),
                 lambda: method(other=other, self=e), lambda: getattr(e, name)(other=other)):
        node = call()
        assert type(node) is BinExpr
        assert (node.op, node.lhs, node.rhs) == (by_position.op, by_position.lhs, by_position.rhs)
    # errors worded as for a plain function of (self, other)
    def reference(self, other):
        pass
    for args, kwargs in [((), {}), ((e,), {}), ((), {"other": 1}), ((e, 1, 2), {}), ((e,), {"self": e}),
                         ((e, 1), {"third": 3})]:
        ours, theirs = python_error(lambda: method(*args, **kwargs)), python_error(lambda: reference(*args, **kwargs))
        assert type(ours) is type(theirs) is TypeError
        assert str(ours).split("() ", 1)[1] == str(theirs).split("() ", 1)[1]


@pytest.mark.parametrize("name, op", [("__neg__", operator.neg), ("__pos__", operator.pos),
                                      ("__invert__", operator.not_), ("__inv__", operator.not_)])
def test_one_operand_methods_take_self_by_keyword(name, op):
    e = this.x
    node = getattr(ExprMixin, name)(self=e)
    assert type(node) is UniExpr and node.op is op and node.operand is e
    with pytest.raises(TypeError, match="missing 1 required positional argument: 'self'"):
        getattr(ExprMixin, name)()
    with pytest.raises(TypeError, match="unexpected keyword argument 'other'"):
        getattr(ExprMixin, name)(self=e, other=1)


def test_methods_bind_and_operators_still_dispatch():
    e = this.x
    method = vars(ExprMixin)["__add__"]
    assert method.__get__(None, ExprMixin) is method
    bound = method.__get__(e, type(e))
    assert bound.__self__ is e and bound(1).rhs == 1
    assert ExprMixin.__add__.__name__ == "__add__" and ExprMixin.__add__.__qualname__ == "ExprMixin.__add__"
    assert pickle.loads(pickle.dumps(ExprMixin.__add__)) is ExprMixin.__add__
    # the interpreter's own operators and membership still go through the classes' slots
    check_bin(e + 1, operator.add, e, 1)
    check_bin(1 + e, operator.add, 1, e)
    assert (1 in e) is True and (e in [1]) is True


def test_other_named_methods_take_every_parameter_by_keyword():
    ctx = {"a": {"b": 3}, "items": [1, 2]}
    node = this.a.b + 1
    assert BinExpr.__call__(self=node, obj=ctx) == 4
    assert BinExpr.__call__(node, ctx, "extra", "args") == 4
    assert UniExpr.__call__(self=-this.a.b, obj=ctx) == -3
    assert Path.__call__(self=this.a, obj=ctx) == {"b": 3}
    assert Path2.__call__(list_[1], ctx, [5, 6]) == 6
    with pytest.raises(IndexError):
        Path2.__call__(self=list_)
    assert FuncPath.__call__(self=len_(this.items), operand=ctx) == 2
    assert repr(Path.__getattr__(self=this, name="q")) == "this.q"
    assert repr(Path.__getitem__(self=this, name=3)) == "this.3"
    assert repr(Path2.__getitem__(self=list_, index=2)) == "list_[2]"
    assert Path.__getfield__(self=this.z) == "z"
    assert BinExpr.__repr__(self=node) == "(this.a.b + 1)" and BinExpr.__str__(self=node) == "(this['a']['b'] + 1)"
    assert FuncPath.__repr__(self=len_) == "len_" and Path2.__repr__(self=list_[0]) == "list_[0]"
    assert ExprMixin.__getstate__(self=node) == vars(node)
    fresh = BinExpr.__new__(BinExpr)
    assert ExprMixin.__setstate__(self=fresh, attrs={"op": operator.mul, "lhs": 2, "rhs": 3}) is None
    assert fresh(None) == 6
    made = BinExpr.__new__(BinExpr)
    BinExpr.__init__(self=made, op=operator.sub, lhs=5, rhs=this.x)
    Path.__init__(self=(p := Path.__new__(Path)), name="root")
    FuncPath.__init__(self=(f := FuncPath.__new__(FuncPath)), func=abs)
    UniExpr.__init__(self=(u := UniExpr.__new__(UniExpr)), op=operator.neg, operand=2)
    assert made({"x": 1}) == 4 and repr(p) == "root" and repr(f) == "abs_" and u(None) == -2
    with pytest.raises(TypeError, match="unexpected keyword argument 'obj'"):
        Path2.__call__(self=list_, obj=1)


def test_methods_called_by_name_work_on_any_object_with_the_fields():
    # As in a class body: the methods read self's attributes and nothing else.
    from types import SimpleNamespace
    fake = SimpleNamespace(op=operator.add, lhs=this.x, rhs=1)
    assert BinExpr.__call__(fake, {"x": 1}) == 2
    assert BinExpr.__repr__(fake) == "(this.x + 1)"
    root = SimpleNamespace(_Path__name="n", _Path__field=None, _Path__parent=None)
    assert Path.__repr__(root) == "n" and Path.__call__(root, 5) == 5
    with pytest.raises(AttributeError):
        BinExpr.__call__(object(), {})
    with pytest.raises(AttributeError):
        FuncPath.__repr__(object())


# --- fields are ordinary instance attributes ---------------------------------------------------

class Recording:
    """Mixin: a __setattr__ written the usual way, delegating to object's."""

    def __setattr__(self, name, value):
        type(self).log.append(name)
        object.__setattr__(self, name, value)


SUBCLASSES = {cls.__name__: type("Rec" + cls.__name__, (Recording, cls), {"log": []})
              for cls in [UniExpr, BinExpr, Path, Path2, FuncPath]}
globals().update({cls.__name__: cls for cls in SUBCLASSES.values()})  # found by pickle
ARGS = {"UniExpr": (operator.neg, 3), "BinExpr": (operator.add, this.x, 1), "Path": ("p", "f", this),
        "Path2": ("q", 0, list_), "FuncPath": (len, this.items)}


@pytest.mark.parametrize("name", sorted(SUBCLASSES))
def test_subclass_setattr_through_object_setattr(name):
    cls = SUBCLASSES[name]
    cls.log.clear()
    node = cls(*ARGS[name])
    fields = list(vars(node))
    assert cls.log == fields  # the constructor stored each field through __setattr__, in order
    for field in fields:
        assert object.__getattribute__(node, field) is getattr(node, field)
    # __setstate__ assigns through the same __setattr__, in the state's order
    state = node.__getstate__()
    copy_ = cls.__new__(cls)
    cls.log.clear()
    copy_.__setstate__(dict(reversed(list(state.items()))))
    assert cls.log == list(reversed(fields)) and vars(copy_) == state
    assert repr(copy_) == repr(node) and repr(pickle.loads(pickle.dumps(node))) == repr(node)
    assert repr(copy.copy(node)) == repr(node)


@pytest.mark.parametrize("name", sorted(BUILT))
def test_object_getattribute_and_setattr_on_built_nodes(name):
    node = fresh(name)
    fields = BUILT[name][1]
    for field in fields:
        assert object.__getattribute__(node, field) is vars(node)[field]
    before = plain(outcome(lambda: evaluate(node)))
    object.__setattr__(node, fields[-1], None)
    assert vars(node)[fields[-1]] is None and getattr(node, fields[-1]) is None
    object.__delattr__(node, fields[-1])
    assert fields[-1] not in vars(node)
    assert before is not None


MUTATIONS = {
    "object.__setattr__": lambda n, k, v: object.__setattr__(n, k, v),
    "setattr": lambda n, k, v: setattr(n, k, v),
    "vars": lambda n, k, v: vars(n).__setitem__(k, v),
    "dict replaced": lambda n, k, v: setattr(n, "__dict__", {**vars(n), k: v}),
    "setstate": lambda n, k, v: n.__setstate__({k: v}),
    "dict updated": lambda n, k, v: vars(n).update({k: v}),
}


@pytest.mark.parametrize("mutate", sorted(MUTATIONS))
def test_field_changes_after_evaluation_are_seen(mutate):
    # Every node below is evaluated (and shown) once before its fields change, so that whatever
    # the evaluation or the text remembered is put to the test.
    change = MUTATIONS[mutate]
    ctx = {"a": 2, "b": 10, "items": [1, 2, 3]}
    inner = this.a
    node = (inner + 1) * len_(this.items)
    assert node(ctx) == 9 and repr(node) == "((this.a + 1) * len_(this.items))"
    change(node, "op", operator.add)
    assert node(ctx) == 6 and repr(node) == "((this.a + 1) + len_(this.items))"
    change(inner, "_Path__field", "b")
    assert node(ctx) == 14 and str(node) == "((this['b'] + 1) + len_(this['items']))"
    change(node.lhs, "rhs", 5)
    assert node(ctx) == 18
    func = node.rhs
    change(func, "_FuncPath__func", sum)
    assert node(ctx) == 21 and repr(node) == "((this.b + 5) + sum_(this.items))"
    change(this, "_Path__name", "self")  # the shared root, restored below
    try:
        assert repr(node) == "((self.b + 5) + sum_(self.items))"
    finally:
        object.__setattr__(this, "_Path__name", "this")
    assert repr(node) == "((this.b + 5) + sum_(this.items))"


def test_freed_nodes_never_share_state_with_new_ones():
    # A node freed while its dict is still held elsewhere: the dict keeps its fields.
    node = this.x + 1
    kept = vars(node)
    del node
    fresh_nodes = [this.y + 2 for _ in range(50)]
    assert kept == {"op": operator.add, "lhs": kept["lhs"], "rhs": 1} and repr(kept["lhs"]) == "this.x"
    # Attributes of freed nodes never show up in new ones.
    for _ in range(3):
        extra = [this.x + 1 for _ in range(40)]
        for n in extra:
            n.extra = "old"
        del extra, n
        new = [this.z - 3 for _ in range(40)]
        assert all(list(vars(n)) == ["op", "lhs", "rhs"] and n.rhs == 3 for n in new)
    assert all(n({"y": 1}) == 3 for n in fresh_nodes)


def test_freeing_a_node_drops_its_field_values_at_once():
    import weakref

    class Value:
        pass

    value = Value()
    ref = weakref.ref(value)
    node = this.x + value
    del value
    assert ref() is not None
    del node
    assert ref() is None


# --- every fast path honours what it stands in for ----------------------------------------------

def test_opnames_changes_show_in_later_text():
    node = (this.a + 1) - (this.b * 2)
    assert repr(node) == "((this.a + 1) - (this.b * 2))"
    table, original = expr.opnames, dict(expr.opnames)
    try:
        expr.opnames[operator.add] = "plus"
        assert repr(node) == "((this.a plus 1) - (this.b * 2))"
        expr.opnames[operator.mul] = this.sym  # any object, shown with str()
        assert str(node) == "((this['a'] plus 1) - (this['b'] this['sym'] 2))"
        del expr.opnames[operator.sub]
        with pytest.raises(KeyError):
            repr(node)
        expr.opnames = {operator.add: "A", operator.sub: "S", operator.mul: "M"}
        assert repr(node) == "((this.a A 1) S (this.b M 2))"
    finally:
        expr.opnames = table
        table.clear()
        table.update(original)
    assert repr(node) == "((this.a + 1) - (this.b * 2))"


def test_function_names_are_read_when_shown():
    def f(v):
        return v

    node = FuncPath(f, this.x) + FuncPath(len, this.y)
    assert repr(node) == "(f_(this.x) + len_(this.y))"
    f.__name__ = "g"
    assert repr(node) == "(g_(this.x) + len_(this.y))"
    # Showing a builtin method bound to an object does not keep that object alive.
    import gc
    import weakref

    class Items(list):
        pass

    items = Items()
    ref = weakref.ref(items)
    bound = FuncPath(items.append, this.x)
    assert repr(bound) == "append_(this.x)" and str(bound) == "append_(this['x'])"
    del bound, items
    gc.collect()
    assert ref() is None


@pytest.mark.parametrize("override", ["__call__", "__repr__", "__str__", "field"])
@pytest.mark.parametrize("cls_name", ["BinExpr", "Path", "FuncPath", "UniExpr"])
def test_subclass_overrides_are_honoured_inside_trees(override, cls_name):
    cls = getattr(expr, cls_name)
    args = {"BinExpr": (operator.add, this.x, 1), "Path": ("this", "x", this), "FuncPath": (len, this.s),
            "UniExpr": (operator.neg, this.x)}[cls_name]
    if override == "field":
        name = {"BinExpr": "rhs", "Path": "_Path__field", "FuncPath": "_FuncPath__func",
                "UniExpr": "op"}[cls_name]
        replacement = {"BinExpr": 100, "Path": "y", "FuncPath": sum, "UniExpr": operator.pos}[cls_name]
        sub = type("Sub", (cls,), {name: property(lambda self: replacement, lambda self, v: None)})
    else:
        sub = type("Sub", (cls,), {override: lambda self, *a: "overridden"})
    node = sub(*args)
    tree = node + 0 if override == "__call__" else node * 1
    ctx = {"x": 5, "y": 7, "s": [1, 2]}
    if override == "__call__":
        with pytest.raises(TypeError):  # "overridden" + 0
            tree(ctx)
    elif override == "__repr__":
        assert repr(tree) == "(overridden * 1)"
    elif override == "__str__":
        assert str(tree) == "(overridden * 1)"
    else:
        plain_result = {"BinExpr": 105, "Path": 7, "FuncPath": 3, "UniExpr": 5}[cls_name]
        assert tree(ctx) == plain_result


def test_rebound_module_classes_are_used_for_new_nodes():
    class MyBin(BinExpr):
        pass

    class MyPath(Path):
        pass

    saved = expr.BinExpr, expr.Path
    try:
        expr.BinExpr, expr.Path = MyBin, MyPath
        node = this.a + 1
        assert type(node) is MyBin and type(node.lhs) is MyPath
        assert node({"a": 2}) == 3
    finally:
        expr.BinExpr, expr.Path = saved
    assert type(this.a + 1) is BinExpr and type(this.a) is Path


def pure_transcription():
    """The benchmarks' plain-Python transcription of the module, loaded from its file."""
    import importlib.util
    import pathlib

    if "qelo_pure_expr" not in sys.modules:
        path = pathlib.Path(__file__).resolve().parents[1] / "benchmarks" / "pure_expr.py"
        location = importlib.util.spec_from_file_location("qelo_pure_expr", path)
        module = importlib.util.module_from_spec(location)
        location.loader.exec_module(module)
        sys.modules["qelo_pure_expr"] = module
    return sys.modules["qelo_pure_expr"]


@settings(max_examples=150, deadline=None)
@given(st.recursive(
    st.one_of(st.integers(-10**25, 10**25), st.text(max_size=6), st.floats(allow_nan=False), st.none(),
              st.sampled_from(["this", "obj_", "list_", "len_", "abs_"])),
    lambda children: st.one_of(
        st.tuples(st.sampled_from(["+", "-", "*", "/", "//", "%", "**", "^", "<<", ">>", "&", "|",
                                   "<", "<=", "==", "!=", ">", ">="]), children, children),
        st.tuples(st.sampled_from(["neg", "pos", "not"]), children),
        st.tuples(st.sampled_from(["attr", "item"]), children, st.one_of(st.text(max_size=4), st.integers())),
        st.tuples(st.just("call"), st.sampled_from(["len_", "abs_", "max_"]), children),
    ),
    max_leaves=12,
))
def test_text_forms_agree_with_the_pure_transcription(shape):
    pure_expr = pure_transcription()

    def build(m, s):
        if isinstance(s, str) and s in ("this", "obj_", "list_", "len_", "abs_"):
            return getattr(m, s)
        if not isinstance(s, tuple):
            return s
        kind = s[0]
        if kind in ("neg", "pos", "not"):
            operand = build(m, s[1])
            return m.UniExpr({"neg": operator.neg, "pos": operator.pos, "not": operator.not_}[kind], operand)
        if kind == "attr" or kind == "item":
            parent = build(m, s[1])
            root = m.this if not isinstance(parent, (m.Path,)) else parent
            return root[s[2]]
        if kind == "call":
            return m.FuncPath({"len_": len, "abs_": abs, "max_": max}[s[1]], build(m, s[2]))
        fn = {"+": operator.add, "-": operator.sub, "*": operator.mul, "/": operator.div, "//": operator.floordiv,
              "%": operator.mod, "**": operator.pow, "^": operator.xor, "<<": operator.lshift,
              ">>": operator.rshift, "&": operator.and_, "|": operator.or_, "<": operator.lt,
              "<=": operator.le, "==": operator.eq, "!=": operator.ne, ">": operator.gt, ">=": operator.ge}[kind]
        return m.BinExpr(fn, build(m, s[1]), build(m, s[2]))

    ours, theirs = build(expr, shape), build(pure_expr, shape)
    assert full_outcome(lambda: repr(ours)) == full_outcome(lambda: repr(theirs))
    assert full_outcome(lambda: str(ours)) == full_outcome(lambda: str(theirs))


def test_hostile_attribute_hooks_mid_evaluation_are_survived():
    from robustness.forked import in_child

    @in_child
    def body():
        class Nasty(BinExpr):
            count = 0

            def __getattribute__(self, name):
                Nasty.count += 1
                if Nasty.count % 3 == 0:
                    # rewrite the node and its children while it is being read
                    object.__setattr__(self, "lhs", this.y)
                    vars(self).clear()
                    object.__setattr__(self, "op", operator.sub)
                    object.__setattr__(self, "lhs", 1)
                    object.__setattr__(self, "rhs", 2)
                if Nasty.count % 7 == 0:
                    raise LookupError("hook")
                return object.__getattribute__(self, name)

        def mutate(ctx):
            vars(outer).clear()
            return 1

        for _ in range(200):
            node = Nasty(operator.add, this.x, this.y)
            outer = (node + mutate) * this.x
            for ctx in ({"x": 1, "y": 2}, {"x": [1]}, {}):
                try:
                    outer(ctx)
                    repr(outer)
                    str(node)
                except (LookupError, TypeError, AttributeError):
                    pass

    body()


@pytest.mark.parametrize("odd", [None, "é", "\U0001f600", "'", "\\n"])
@pytest.mark.parametrize("width", [1, 60, 300])
def test_long_and_non_ascii_text_agrees_with_the_pure_transcription(width, odd):
    # Texts from a few characters to several kilobytes, with one odd field early or late.
    pure_expr = pure_transcription()

    def build(m):
        node = m.this.start
        for i in range(width):
            field = odd if odd is not None and i == width // 2 else f"f{i}"
            node = node + m.len_(m.this[field]) * i
        return node

    ours, theirs = build(expr), build(pure_expr)
    assert repr(ours) == repr(theirs) and str(ours) == str(theirs)
    assert type(repr(ours)) is str and type(str(ours)) is str


# --- warm nodes given another class, text methods replaced, fields the text never shows ---------
# What a node remembered (its fields, a plan of its tree, an inline text route) must follow the
# class it has now and the methods that class has now, as a plain Python class would.

NODE_CLASSES = ["UniExpr", "BinExpr", "Path", "Path2", "FuncPath"]


def told(fn):
    """full_outcome, with a RecursionError told by its type alone (its wording says where)."""
    result = full_outcome(fn)
    return result[:2] if result[0] == "error" and result[1] is RecursionError else result


def sample_node(m, kind):
    root = m.Path("this")
    return {
        "UniExpr": lambda: -root.a,
        "BinExpr": lambda: root.a + 1,
        "Path": lambda: root.a,
        "Path2": lambda: m.Path2("L")[0],
        "FuncPath": lambda: m.FuncPath(abs, root.a),
    }[kind]()


def class_change_story(m, source, target):
    """Warms a node of class `source` (alone, in a tree, through its text), assigns it the class
    `target`, then uses it every way: what happens at each step."""
    ctx, lst = {"a": -3}, [5, 6]
    node = sample_node(m, source)
    tree = m.BinExpr(operator.add, node, 0)
    story = []
    for _ in range(3):
        story.append(told(lambda: node(ctx, lst)))
        story.append(told(lambda: tree(ctx)))
    story.append(told(lambda: (repr(node), str(node), repr(tree), str(tree))))
    node.__class__ = getattr(m, target)
    for _ in range(2):
        story.append(told(lambda: node(ctx, lst)))
        story.append(told(lambda: tree(ctx)))
        story.append(told(lambda: repr(node)))
        story.append(told(lambda: str(node)))
        story.append(told(lambda: repr(tree)))
        story.append(told(lambda: str(tree)))
    node.__class__ = getattr(m, source)
    story.append(told(lambda: (node(ctx, lst), tree(ctx), repr(tree), str(tree))))
    return story


@pytest.mark.parametrize("target", NODE_CLASSES)
@pytest.mark.parametrize("source", NODE_CLASSES)
def test_class_assigned_after_evaluation_is_honoured(source, target):
    # The node classes share one layout, so __class__ can move a warm node between them; a crash
    # fails only this case.
    from robustness.forked import in_child

    pure_expr = pure_transcription()

    @in_child
    def body():
        assert class_change_story(expr, source, target) == class_change_story(pure_expr, source, target)

    body()


def test_class_assigned_after_evaluation_examples():
    from robustness.forked import in_child

    @in_child
    def body():
        u = -this.a
        assert u({"a": 3}) == -3
        u.__class__ = BinExpr
        with pytest.raises(AttributeError, match="'lhs'"):
            u({"a": 3})
        n = this.a + 1
        assert n({"a": 1}) == 2
        n.__class__ = UniExpr
        with pytest.raises(AttributeError, match="'operand'"):
            n({"a": 1})
        with pytest.raises(AttributeError, match="'operand'"):
            repr(n)
        p = -this.a
        assert p({"a": 1}) == -1 and repr(p) == "- this.a"
        p.__class__ = Path2
        with pytest.raises(AttributeError, match="_Path2__parent"):
            p({"a": 1}, [1])
        with pytest.raises(AttributeError, match="_Path2__parent"):
            repr(p)
        # Back to its own class, it is what it was.
        p.__class__ = UniExpr
        assert p({"a": 1}) == -1 and repr(p) == "- this.a"

    body()


def text_trees(m):
    root, lst = m.Path("this"), m.Path2("L")
    return [
        root.a.b,
        -root.a,
        root.a + 1,
        lst[0][root.k],
        m.FuncPath(len, root.items) * 2,
        -(m.FuncPath(abs, root.x - lst[1]) + root["q"]) / m.FuncPath(max),
    ]


def wrapping(old):
    return lambda self: "[" + old(self) + "]"


@pytest.mark.parametrize("method", ["__repr__", "__str__"])
@pytest.mark.parametrize("cls", ["ExprMixin", "UniExpr", "BinExpr", "Path", "Path2", "FuncPath"])
def test_replaced_text_method_is_used_for_nested_nodes(cls, method):
    # The text forms format operands and parents with %r/%s, through the classes' methods.
    from robustness.forked import in_child

    pure_expr = pure_transcription()

    @in_child
    def body():
        def texts(m):
            klass = getattr(m, cls)
            if method in vars(klass):
                setattr(klass, method, wrapping(vars(klass)[method]))
            else:
                setattr(klass, method, lambda self: "<" + object.__repr__(self)[:0] + repr(self) + ">")
            return [(told(lambda: repr(t)), told(lambda: str(t))) for t in text_trees(m)]

        assert texts(expr) == texts(pure_expr)

    body()


def test_replaced_text_method_examples():
    from robustness.forked import in_child

    @in_child
    def body():
        warm = [this.a.b, -this.a]
        for node in warm:
            repr(node), str(node)
        old = Path.__str__
        Path.__str__ = lambda s: "[" + old(s) + "]"
        assert str(this.a.b) == "[[[this]['a']]['b']]"
        assert str(-this.a) == "- [[this]['a']]"
        assert repr(this.a.b) == "this.a.b"
        old_repr = Path.__repr__
        Path.__repr__ = lambda s: "<" + old_repr(s) + ">"
        assert repr(this.a.b) == "<<<this>.a>.b>"
        assert repr(this.a + 1) == "(<<this>.a> + 1)"
        # Put back, the text is what it was.
        Path.__str__, Path.__repr__ = old, old_repr
        assert str(this.a.b) == "this['a']['b']" and repr(-this.a) == "- this.a"

    body()


def field_deletion_cases():
    cases = []
    for t, tree in enumerate(text_trees(pure_transcription())):
        for n, node in enumerate(nodes_in(tree)):
            for name in vars(node):
                cases.append((t, n, name))
    return cases


def nodes_in(tree):
    found, todo = [], [tree]
    while todo:
        node = todo.pop()
        if type(node).__name__ in NODE_CLASSES and all(node is not f for f in found):
            found.append(node)
            todo.extend(reversed(list(vars(node).values())))
    return found


@pytest.mark.parametrize("warm", [False, True])
@pytest.mark.parametrize("t, n, name", field_deletion_cases())
def test_text_reads_a_field_only_where_the_method_does(t, n, name, warm):
    pure_expr = pure_transcription()

    def texts(m):
        tree = text_trees(m)[t]
        if warm:
            repr(tree), str(tree)
            told(lambda: tree({"a": {"b": 1}, "x": 1, "items": [1], "q": 1}, [1, 2]))
        delattr(nodes_in(tree)[n], name)
        return [told(lambda: repr(tree)), told(lambda: str(tree)),
                told(lambda: repr(tree)), told(lambda: str(tree))]

    assert texts(expr) == texts(pure_expr)


def test_text_of_paths_missing_fields_they_never_show():
    x = this.a.b
    assert repr(x) == "this.a.b"
    del x._Path__name
    assert repr(x) == "this.a.b" and str(x) == "this['a']['b']"
    root = Path2("L")
    del root._Path2__index
    assert repr(root[0]) == "L[0]" and str(root[0]) == "L[0]"
    func = FuncPath(len)
    del func._FuncPath__operand
    with pytest.raises(AttributeError, match="_FuncPath__operand"):
        repr(func)


def test_binexpr_text_looks_up_the_symbol_before_reading_rhs():
    node = BinExpr(max, this.a, 1)
    assert node({"a": 2}) == 2  # warm
    with pytest.raises(KeyError):
        repr(node)
    del node.rhs
    with pytest.raises(KeyError):
        repr(node)
    del node.lhs
    with pytest.raises(AttributeError, match="'lhs'"):
        repr(node)


def test_symbol_lookup_that_rebinds_fields_is_seen_by_the_text(monkeypatch):
    # lhs is read before the lookup, rhs after it; a unary node's operand after it too.
    pure_expr = pure_transcription()

    def texts(m):
        node = m.BinExpr(operator.add, m.Path("this").a, 1)
        unary = m.UniExpr(operator.neg, 2)
        bound = m.FuncPath(len, 3)
        repr(node), repr(unary), repr(bound)

        class Names(dict):
            def __getitem__(self, key):
                node.lhs, node.rhs, unary.operand = "L", "R", "U"
                return dict.__getitem__(self, key)

        monkeypatch.setattr(m, "opnames", Names(m.opnames))
        try:
            return [repr(node), str(node), repr(unary), str(unary)]
        finally:
            monkeypatch.undo()

    assert texts(expr) == texts(pure_expr) == ["(this.a + 'R')", "(L + R)", "- 'U'", "- U"]


# ---------------------------------------------------------------------------------------------
# Without a free watcher slot: nothing is remembered, and warm trees still follow every change

TAKE_WATCHERS = """
import ctypes
def take(add_name, argtypes):
    callback_type = ctypes.CFUNCTYPE(ctypes.c_int, *argtypes)
    keep = callback_type(lambda *args: 0)
    add = getattr(ctypes.pythonapi, add_name)
    add.argtypes = [callback_type]
    add.restype = ctypes.c_int
    taken = 0
    while True:
        try:
            if add(keep) < 0:
                break
        except RuntimeError:
            break
        taken += 1
    return keep, taken
"""

WARM_TREE_FOLLOWS_CHANGES = """
import operator
from qelo.expr import BinExpr, Path, UniExpr, this, len_
tree = (this.a + this.b) * 2 - len_(this.items)
ctx = {"a": 3, "b": 4, "items": [1, 2]}
results = []
for _ in range(200):
    tree(ctx)
results.append(tree(ctx) == 12)
tree.lhs.__dict__["rhs"] = 3                 # a field through the dict
results.append(tree(ctx) == 19)
tree.lhs.lhs.__dict__ = {"op": operator.sub, "lhs": this.a, "rhs": this.b}   # a replaced dict
results.append(tree(ctx) == -5 and repr(tree) == "(((this.a - this.b) * 3) - len_(this.items))")
pair = this.a + this.b
for _ in range(200):
    pair(ctx)
path_call = Path.__dict__["__call__"]
Path.__call__ = lambda self, obj: 5          # the class of the nested nodes only
results.append(pair(ctx) == 10)
Path.__call__ = path_call
results.append(pair(ctx) == 7)
original = BinExpr.__dict__["__call__"]
BinExpr.__call__ = lambda self, obj: 42      # a class attribute, replaced and restored
results.append(tree(ctx) == 42)
BinExpr.__call__ = original
results.append(tree(ctx) == -5)
BinExpr.rhs = property(lambda self: 1)       # a property named like a field
results.append(tree(ctx) == 1)        # ((a - 1) * 1) - 1
del BinExpr.rhs
results.append(tree(ctx) == -5)
node = -this.a
node(ctx)
node.__class__ = BinExpr                     # another node class
try:
    node(ctx)
    results.append(False)
except AttributeError:
    results.append(True)
print(all(results), results)
"""


@pytest.mark.skipif(sys.version_info < (3, 12), reason="watchers are 3.12+")
@pytest.mark.parametrize(
    "taken",
    [
        ("PyDict_AddWatcher", "ctypes.c_int, ctypes.py_object, ctypes.py_object, ctypes.py_object"),
        ("PyType_AddWatcher", "ctypes.py_object"),
    ],
    ids=["dict-watchers", "type-watchers"],
)
def test_warm_trees_follow_changes_when_no_watcher_is_free(taken):
    add_name, argtypes = taken
    code = TAKE_WATCHERS + f"keep, taken = take({add_name!r}, [{argtypes}])\n" + WARM_TREE_FOLLOWS_CHANGES
    result = run_python(code)
    assert result.returncode == 0, result.stderr
    assert result.stdout.split()[0] == "True", result.stdout
