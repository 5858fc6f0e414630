"""The help of the package: numpydoc sections whose Parameters are the
signature's, annotations that resolve to types, and Examples that run."""

from __future__ import annotations

import doctest
import inspect
import re
import typing
from types import ModuleType
from typing import Any

import pytest

import greekmill as gm

pytest.importorskip("pandas")
import greekmill.tables  # noqa: E402  (needs pandas)

MODULES = [gm.european, gm.american, gm.tables]
PUBLIC = [pytest.param(getattr(m, name), id=f"{m.__name__}.{name}")
          for m in MODULES for name in m.__all__]
SECTIONS = ["Parameters", "Returns", "Raises", "Examples"]


@pytest.mark.parametrize("module", MODULES, ids=lambda m: m.__name__)
def test_the_examples_run(module: ModuleType) -> None:
    finder = doctest.DocTestFinder()
    runner = doctest.DocTestRunner(optionflags=doctest.NORMALIZE_WHITESPACE)
    tests = [t for t in finder.find(module) if t.examples]
    assert {t.name.rsplit(".", 1)[1] for t in tests} >= set(module.__all__)
    for test in tests:
        runner.run(test)
    assert runner.summarize(verbose=False).failed == 0


@pytest.mark.parametrize("function", PUBLIC)
def test_numpydoc_sections_list_every_parameter_with_its_type(function: Any) -> None:
    doc = inspect.getdoc(function)
    headings = [h for h in re.findall(r"^(\w+)\n-+$", doc, re.MULTILINE)]
    assert [h for h in headings if h in SECTIONS] == SECTIONS
    parameters = doc.split("Parameters\n----------\n")[1].split("\n\nReturns")[0]
    documented = re.findall(r"^(\w+) : ", parameters, re.MULTILINE)
    assert documented == list(inspect.signature(function).parameters)


@pytest.mark.parametrize("function", PUBLIC)
def test_annotations_resolve_to_types(function: Any) -> None:
    hints = typing.get_type_hints(function)
    signature = inspect.signature(function)
    assert set(hints) == {*signature.parameters, "return"}
    # Only a DataFrame (pandas stays optional) and what a table returns are Any.
    untyped = {name for name, hint in hints.items() if hint is Any}
    assert untyped <= {"df", "return"} and (not untyped or function.__module__ == "greekmill.tables")
