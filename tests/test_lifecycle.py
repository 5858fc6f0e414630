"""Interpreter life cycle: one module object per process, owned by the first
importing interpreter; sub-interpreters are refused; a failed initialisation
leaves nothing behind and the next import runs it again."""

from __future__ import annotations

import importlib
import os
import struct
import sys

import pytest

import greekmill_python
from hardening_support import fault_build, run_child

_xxsubinterpreters = pytest.importorskip("_xxsubinterpreters")

NAMES = [
    "bs_delta", "bs_gamma", "bs_theta", "bs_vega", "bs_rho", "bs_greeks",
    "am_price", "am_delta", "am_gamma", "am_theta", "am_vega", "am_rho", "am_greeks",
    "PyGreeks",
]
ARGS = (100.0, 95.0, 0.5, 0.05, 0.2, 0.01, "put")


def bits(x: float) -> bytes:
    return struct.pack("<d", x)


def test_sub_interpreter_import_fails_with_import_error_and_main_module_keeps_working():
    before = greekmill_python.am_delta(*ARGS)
    # The sub-interpreter must load the same shared library as this one.
    directory = os.path.dirname(greekmill_python.__file__)
    code = f"import sys; sys.path.insert(0, {directory!r}); import greekmill_python"
    for _ in range(2):  # refused every time, not just the first
        interpreter = _xxsubinterpreters.create()
        try:
            with pytest.raises(_xxsubinterpreters.RunFailedError) as failure:
                _xxsubinterpreters.run_string(interpreter, code)
        finally:
            _xxsubinterpreters.destroy(interpreter)
        assert str(failure.value).startswith("<class 'ImportError'>: ")
        assert "sub-interpreters" in str(failure.value)
    assert sys.modules["greekmill_python"] is greekmill_python
    assert bits(greekmill_python.am_delta(*ARGS)) == bits(before)
    assert greekmill_python.__all__ == NAMES
    assert type(greekmill_python.bs_greeks(*ARGS)) is greekmill_python.PyGreeks


def test_import_after_removal_from_sys_modules_returns_the_same_module_object():
    original = sys.modules.pop("greekmill_python")
    try:
        again = importlib.import_module("greekmill_python")
        assert again is original
        assert again.bs_delta is original.bs_delta
        assert again.PyGreeks is original.PyGreeks
        assert again.__all__ == NAMES  # registration did not run a second time
    finally:
        sys.modules["greekmill_python"] = original


# Import in a child interpreter with the named sites failing, then import
# again with no fault: the failed attempt must leave no module in sys.modules
# and must not have cached anything half-built.
IMPORT_TWICE = """
report = {}
os.environ["GREEKMILL_FAULT"] = sys.stdin.read().strip('"')
try:
    import greekmill_python
    report["first"] = "imported"
except BaseException as error:
    report["first"] = describe_exception(error)
report["left_in_sys_modules"] = "greekmill_python" in sys.modules
del os.environ["GREEKMILL_FAULT"]
import greekmill_python as g
loaded_from_build()
report["all"] = g.__all__
report["names_present"] = all(hasattr(g, name) for name in g.__all__)
greeks = g.am_greeks(100.0, 95.0, 0.5, 0.05, 0.2, 0.01, "put")
report["result_type_is_module_class"] = type(greeks) is g.PyGreeks
report["repr_prefix"] = repr(greeks)[:13]
del sys.modules["greekmill_python"]
import greekmill_python as again
report["same_object_after_reimport"] = again is g
print(json.dumps(report))
"""


def runtime_error_from_type_creation():
    return {"type": "RuntimeError", "module": "builtins",
            "message": "An error occurred while initializing class PyGreeks",
            "is_exception": True, "cause": "MemoryError"}


def panic(message, cause=None):
    return {"type": "PanicException", "module": "greekmill_python", "message": message,
            "is_exception": False, "cause": cause}


@pytest.mark.parametrize(("sites", "first_import"), [
    pytest.param("greeks_type", runtime_error_from_type_creation(), id="type-creation-fails"),
    pytest.param("all_append", panic("could not append __name__ to __all__", "MemoryError"),
                 id="all-append-fails"),
    pytest.param("init", panic("injected fault: init"), id="init-throws"),
])
def test_failed_initialisation_leaves_no_half_built_module_and_next_import_succeeds(
        sites, first_import):
    build = fault_build()
    if build is None:
        pytest.skip("cmake is not available to build the fault-injection module")
    report = run_child(build, IMPORT_TWICE, stdin=sites)
    assert report == {
        "first": first_import,
        "left_in_sys_modules": False,
        "all": NAMES,
        "names_present": True,
        "result_type_is_module_class": True,
        "repr_prefix": "Greeks(delta=",
        "same_object_after_reimport": True,
    }
