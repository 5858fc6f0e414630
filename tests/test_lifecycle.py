"""Interpreter life cycle: one module object per life of the main
interpreter, which can always import it; sub-interpreters are refused,
whether they come before or after the main one; a failed initialisation
leaves nothing behind and the next import runs it again; after Py_FinalizeEx
and Py_Initialize the new main interpreter gets a new, working module."""

from __future__ import annotations

import importlib
import os
import shutil
import struct
import subprocess
import sys
import sysconfig
from pathlib import Path

import pytest

import greekmill_python
from hardening_support import fault_build, run_child

NAMES = [
    "bs_delta", "bs_gamma", "bs_theta", "bs_vega", "bs_rho", "bs_greeks",
    "am_price", "am_delta", "am_gamma", "am_theta", "am_vega", "am_rho", "am_greeks",
    "PyGreeks",
]
ARGS = (100.0, 95.0, 0.5, 0.05, 0.2, 0.01, "put")
REFUSED = ("ImportError: greekmill_python does not support sub-interpreters: only the main "
           "interpreter can import it")


def bits(x: float) -> bytes:
    return struct.pack("<d", x)


def run_in_legacy_sub_interpreter(code: str) -> str | None:
    """Runs `code` in a new sub-interpreter that shares this one's lock and
    allows single-phase modules (so the module's own import decides), then
    destroys it.  Returns "Type: message" of the exception the code raised,
    or None."""
    if sys.version_info >= (3, 13):
        interpreters = pytest.importorskip("_interpreters")
        interpreter = interpreters.create(interpreters.new_config("legacy"))
        try:
            failure = interpreters.run_string(interpreter, code)
        finally:
            interpreters.destroy(interpreter)
        return None if failure is None else failure.formatted
    interpreters = pytest.importorskip("_xxsubinterpreters")
    # 3.12 makes isolated interpreters by default, which refuse single-phase
    # modules before their init function runs.
    options = {"isolated": False} if sys.version_info >= (3, 12) else {}
    interpreter = interpreters.create(**options)
    try:
        interpreters.run_string(interpreter, code)
    except interpreters.RunFailedError as failure:
        kind, _, message = str(failure).partition(": ")  # "<class 'ImportError'>: ..."
        return kind.removeprefix("<class '").removesuffix("'>") + ": " + message
    finally:
        interpreters.destroy(interpreter)
    return None


def test_sub_interpreter_import_fails_with_import_error_and_main_module_keeps_working():
    before = greekmill_python.am_delta(*ARGS)
    # The sub-interpreter must load the same shared library as this one.
    directory = os.path.dirname(greekmill_python.__file__)
    code = f"import sys; sys.path.insert(0, {directory!r}); import greekmill_python"
    for _ in range(2):  # refused every time, not just the first
        assert run_in_legacy_sub_interpreter(code) == REFUSED
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


# ---------------------------------------------------------------------------
# Life cycles only an embedding application can drive: a sub-interpreter that
# imports before the main interpreter, and the runtime finalised and started
# again.  tests/embedding/interpreters.cpp does both, three lives over.

def embedding_command(source: Path, program: Path) -> list[str] | str:
    """The g++ command that builds `source` against this interpreter's
    libpython, or the reason it cannot be built here."""
    config = sysconfig.get_config_var
    include = Path(sysconfig.get_paths()["include"])
    if shutil.which("g++") is None:
        return "g++ is not installed"
    if not (include / "Python.h").exists():
        return f"no Python headers in {include}"
    if config("Py_ENABLE_SHARED"):
        library = Path(config("LIBDIR")) / config("LDLIBRARY")
        link = [f"-L{library.parent}", f"-lpython{config('LDVERSION')}",
                f"-Wl,-rpath,{library.parent}"]
    else:
        library = Path(config("LIBPL")) / config("LIBRARY")
        link = [str(library), *config("LINKFORSHARED").split()]
    if not library.exists():
        return f"libpython is not installed ({library})"
    link += (config("LIBS") or "").split() + (config("SYSLIBS") or "").split()
    return ["g++", "-std=c++17", "-O1", "-g", f"-I{include}", str(source), "-o", str(program),
            *link]


@pytest.fixture(scope="module")
def interpreters_program(tmp_path_factory) -> Path:
    source = Path(__file__).resolve().parent / "embedding" / "interpreters.cpp"
    program = tmp_path_factory.mktemp("embedding") / "interpreters"
    command = embedding_command(source, program)
    if isinstance(command, str):
        pytest.skip(f"the embedding program cannot be built: {command}")
    done = subprocess.run(command, capture_output=True, text=True)
    assert done.returncode == 0, done.stderr
    return program


def main_interpreter_line() -> str:
    """What the program's main-interpreter step prints, computed here."""
    gm = greekmill_python
    seen = [gm.bs_delta(*ARGS).hex(),
            gm.am_price(s=100.0, k=95.0, t=0.5, r=0.05, sigma=0.2, q=0.01,
                        option_type="put").hex(),
            True, repr(gm.am_greeks(*ARGS)), len(NAMES),
            "bs_delta() got multiple values for argument 's'",
            "argument 't': must be real number, not NoneType", "same module"]
    return " | ".join(map(str, seen))


def test_the_main_interpreter_of_every_life_of_the_runtime_gets_a_working_module(
        interpreters_program):
    cycles = 3
    directory = Path(greekmill_python.__file__).resolve().parent
    done = subprocess.run([str(interpreters_program), str(directory), str(cycles)],
                          capture_output=True, text=True, timeout=300)
    assert done.returncode == 0, done.stdout + done.stderr
    main = main_interpreter_line()
    expected = []
    for cycle in range(1, cycles + 1):
        expected += [f"cycle {cycle} sub-interpreter before: {REFUSED}",
                     f"cycle {cycle} main: {main}",
                     f"cycle {cycle} sub-interpreter after: {REFUSED}",
                     f"cycle {cycle} main again: {main}"]
    assert done.stdout.splitlines() == expected
