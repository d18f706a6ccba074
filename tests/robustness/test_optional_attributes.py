"""Attributes read "if the object has them" (hasattr semantics): only AttributeError means absent,
whatever raises it (a class's __getattr__, a property, an unset slot); any other exception
propagates unchanged. ExprMixin.__getstate__ reads the instance dict and each class's __slots__
entries that way."""

import operator

import pytest

expr = pytest.importorskip("qelo.expr")


class Boom(Exception):
    pass


def node_class(missing):
    """A node class with two slots whose __getattr__ answers for unset attributes as `missing` says."""

    class Node(expr.BinExpr):
        __slots__ = ("first", "second")

        def __getattr__(self, name):
            return missing(name)

    return Node


def raising(error):
    def missing(name):
        raise error(name)

    return missing


def make(cls, **slots):
    node = cls(operator.add, 1, 2)
    for name, value in slots.items():
        setattr(node, name, value)
    return node


def test_unset_slots_whose_lookup_raises_attribute_error_are_left_out():
    node = make(node_class(raising(AttributeError)), second=5)
    state = node.__getstate__()
    assert "first" not in state
    assert state["second"] == 5
    assert {"op", "lhs", "rhs"} <= set(state)


def test_unset_slots_answered_by_getattr_are_included():
    node = make(node_class(lambda name: f"default {name}"))
    state = node.__getstate__()
    assert state["first"] == "default first" and state["second"] == "default second"


@pytest.mark.parametrize("error", [Boom, KeyError, LookupError, RecursionError])
def test_other_errors_of_an_attribute_lookup_propagate(error):
    node = make(node_class(raising(error)), first=1)  # "second" is unset
    with pytest.raises(error):
        node.__getstate__()


class LoudDict(expr.BinExpr):
    @property
    def __dict__(self):
        raise Boom("no dict")


class AbsentDict(expr.BinExpr):
    @property
    def __dict__(self):
        raise AttributeError("__dict__")


def test_a_raising_dict_lookup_propagates_and_an_absent_one_is_skipped():
    with pytest.raises(Boom, match="no dict"):
        LoudDict(operator.add, 1, 2).__getstate__()
    assert AbsentDict(operator.add, 1, 2).__getstate__() == {}
