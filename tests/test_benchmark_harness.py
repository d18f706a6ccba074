"""The benchmark harness times every candidate as a Python function whose body is its statement, so
that the empty function it subtracts costs exactly the candidate's wrapper."""

import functools
import types

import pytest

harness = pytest.importorskip("benchmarks.harness")


def record(*args, **kwargs):
    return args, kwargs


@pytest.mark.parametrize(
    "candidate, expected",
    [
        (functools.partial(record), ((), {})),
        (functools.partial(record, 1, [2]), ((1, [2]), {})),
        (functools.partial(record, 1, signed=True, order="big"), ((1,), {"signed": True, "order": "big"})),
        (functools.partial(functools.partial(record, 1), 2, k=3), ((1, 2), {"k": 3})),
        ((1).to_bytes, b"\x01"),
        (str, ""),
    ],
)
def test_candidates_become_python_functions_making_the_same_call(candidate, expected):
    statement = harness.as_statement(candidate)
    assert isinstance(statement, types.FunctionType)
    assert statement() == expected
    assert statement() == expected  # the arguments are held, not used up


def test_python_functions_are_timed_as_they_are():
    def candidate():
        return 1

    assert harness.as_statement(candidate) is candidate


def test_measure_reports_every_candidate_and_checks_results():
    case = harness.Case("sum", {"qelo": functools.partial(sum, [1, 2]), "builtin": lambda: 3})
    times = harness.measure(case, rounds=1, budget=0.001)
    assert set(times) == {"qelo", "builtin"} and all(t > 0 for t in times.values())
    wrong = harness.Case("sum", {"qelo": functools.partial(sum, [1, 2]), "other": lambda: 4})
    with pytest.raises(AssertionError, match="other disagrees"):
        harness.measure(wrong, rounds=1, budget=0.001)
