"""The README's examples are executed, so the documentation cannot drift from the code."""

import doctest
from pathlib import Path

import pytest

README = Path(__file__).resolve().parents[1] / "README.md"


@pytest.mark.skipif(not README.exists(), reason="README.md is not beside the tests")
def test_readme_examples():
    results = doctest.testfile(str(README), module_relative=False, optionflags=doctest.ELLIPSIS)
    assert results.attempted > 20
    assert results.failed == 0
