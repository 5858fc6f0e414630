"""Internal faults never cross the module boundary unconverted.

No input can make an interpreter call such as PyFloat_FromDouble fail or make
C++ code inside an entry point throw, so these tests use the fault-injection
build (see hardening_support.py): every entry point that hands a value back
to the interpreter -- the thirteen functions, the PyGreeks getters and repr --
must turn such a fault into greekmill_python.PanicException, a BaseException
that `except Exception` does not catch, with the pending interpreter error as
its __cause__, and work normally again once the fault is gone.
"""

from __future__ import annotations

import pytest

from hardening_support import fault_build, run_child

FLOAT_FUNCTIONS = [
    "bs_delta", "bs_gamma", "bs_theta", "bs_vega", "bs_rho",
    "am_price", "am_delta", "am_gamma", "am_theta", "am_vega", "am_rho",
]
GREEKS_FUNCTIONS = ["bs_greeks", "am_greeks"]
FUNCTIONS = FLOAT_FUNCTIONS + GREEKS_FUNCTIONS
ATTRIBUTES = ["delta", "gamma", "theta", "vega", "rho"]


def panic(message: str, cause: str | None = None) -> dict:
    return {"type": "PanicException", "module": "greekmill_python", "message": message,
            "is_exception": False, "cause": cause}


def value_error(message: str) -> dict:
    return {"type": "ValueError", "module": "builtins", "message": message,
            "is_exception": True, "cause": None}


# (id, armed sites, expression evaluated in the child, expected exception,
#  type the expression returns once the fault is gone)
CASES = (
    [(f"{f}-body-throws", "call", f"g.{f}(*ARGS)", panic("injected fault: call"),
      "PyGreeks" if f in GREEKS_FUNCTIONS else "float") for f in FUNCTIONS]
    + [(f"{f}-binder-throws", "bind", f"g.{f}(*ARGS, q=0.01)", panic("injected fault: bind"),
        "PyGreeks" if f in GREEKS_FUNCTIONS else "float") for f in FUNCTIONS]
    + [(f"{f}-result-float-fails", "result_float", f"g.{f}(*ARGS)",
        panic("could not create a float for the result", "MemoryError"), "float")
       for f in FLOAT_FUNCTIONS]
    + [(f"{f}-result-allocation-fails", "greeks_alloc", f"g.{f}(*ARGS)",
        panic("could not allocate a PyGreeks object", "MemoryError"), "PyGreeks")
       for f in GREEKS_FUNCTIONS]
    + [(f"getter-{a}-throws", "getter", f"sample.{a}", panic("injected fault: getter"), "float")
       for a in ATTRIBUTES]
    + [(f"getter-{a}-float-fails", "getter_float", f"sample.{a}",
        panic("could not create a float for a PyGreeks attribute", "MemoryError"), "float")
       for a in ATTRIBUTES]
    + [("repr-throws", "repr", "repr(sample)", panic("injected fault: repr"), "str"),
       ("str-throws", "repr", "str(sample)", panic("injected fault: repr"), "str"),
       ("repr-text-fails", "repr_str", "repr(sample)",
        panic("could not create the repr of PyGreeks", "MemoryError"), "str")]
    # The core never reports an error for any input, yet every wrapper maps
    # one to ValueError with its display text.
    + [(f"{f}-core-invalid-parameters", "core_error", f"g.{f}(*ARGS, option_type='put')"
        if f not in ("bs_gamma", "bs_vega") else f"g.{f}(*ARGS)",
        value_error("Invalid parameters: injected fault"),
        "PyGreeks" if f in GREEKS_FUNCTIONS else "float") for f in FUNCTIONS]
    + [(f"{f}-core-invalid-option-type", "core_type_error", f"g.{f}(*ARGS)",
        value_error("Invalid option type"), "PyGreeks" if f in GREEKS_FUNCTIONS else "float")
       for f in FUNCTIONS]
)

EVALUATE = """
loaded_from_build()
import greekmill_python as g
ARGS = (100.0, 95.0, 0.5, 0.05, 0.2)
sample = g.bs_greeks(*ARGS)
scope = {"g": g, "sample": sample, "ARGS": ARGS}

def outcome(expression):
    try:
        value = eval(expression, scope)
    except BaseException as error:
        return {"raised": describe_exception(error), "class_id": id(type(error))}
    return {"returned": type(value).__name__}

results = {}
for case, sites, expression in json.load(sys.stdin):
    os.environ["GREEKMILL_FAULT"] = sites
    armed = outcome(expression)
    del os.environ["GREEKMILL_FAULT"]
    results[case] = {"armed": armed, "disarmed": outcome(expression)}
print(json.dumps(results))
"""


@pytest.fixture(scope="module")
def build():
    directory = fault_build()
    if directory is None:
        pytest.skip("cmake is not available to build the fault-injection module")
    return directory


@pytest.fixture(scope="module")
def outcomes(build):
    return run_child(build, EVALUATE, stdin=[(case, sites, expr) for case, sites, expr, *_ in CASES])


@pytest.mark.parametrize(("case", "sites", "expression", "expected", "recovered"), CASES,
                         ids=[c[0] for c in CASES])
def test_internal_fault_is_raised_as_its_exception_and_the_entry_point_recovers(
        outcomes, case, sites, expression, expected, recovered):
    result = outcomes[case]
    assert result["armed"].get("raised") == expected
    assert result["disarmed"] == {"returned": recovered}


def test_panic_exception_class_is_created_once_and_shared_by_every_fault(outcomes):
    class_ids = {r["armed"]["class_id"] for r in outcomes.values()
                 if r["armed"].get("raised", {}).get("type") == "PanicException"}
    assert len(class_ids) == 1


def test_fault_with_no_panic_class_available_reports_the_interpreter_error(build):
    # If even the PanicException class cannot be created (memory exhausted),
    # the interpreter's MemoryError is raised rather than nothing; a later
    # fault creates the class and raises it normally.
    result = run_child(build, """
        loaded_from_build()
        import greekmill_python as g
        report = []
        for sites in ("call,panic_type", "result_float,panic_type", "call"):
            os.environ["GREEKMILL_FAULT"] = sites
            try:
                g.am_price(100.0, 95.0, 0.5, 0.05, 0.2)
            except BaseException as error:
                report.append(describe_exception(error))
        print(json.dumps(report))
        """)
    memory_error = {"type": "MemoryError", "module": "builtins", "message": "",
                    "is_exception": True, "cause": None}
    assert result == [memory_error, memory_error, panic("injected fault: call")]


def test_panic_exception_escapes_except_exception(build):
    result = run_child(build, """
        loaded_from_build()
        import greekmill_python as g
        os.environ["GREEKMILL_FAULT"] = "call"
        caught_by = None
        try:
            try:
                g.bs_delta(100.0, 95.0, 0.5, 0.05, 0.2)
            except Exception:
                caught_by = "Exception"
        except BaseException as error:
            caught_by = [c.__name__ for c in type(error).__mro__]
        print(json.dumps(caught_by))
        """)
    assert result == ["PanicException", "BaseException", "object"]
