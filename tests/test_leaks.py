"""Repeated calls leave nothing behind.

For every path through a call -- success of each function, each binding
error, each conversion error, a bad option type, a conversion that empties
the caller's own keyword dictionary -- thousands of repetitions leave the
reference counts of the argument objects, of the function, of the PyGreeks
type and of the exception types where they were, and the memory traced by
tracemalloc does not grow.  A mixed run of a few hundred thousand
calls also leaves the process's resident memory where it was, which covers
allocations outside the Python allocators (the C++ message strings).
"""

from __future__ import annotations

import gc
import os
import sys
import tracemalloc

import pytest

import greekmill_python as gm
from hardening_support import ThreadCall, object_call

REPEATS = 3000
FUNCTIONS = ["bs_delta", "bs_gamma", "bs_theta", "bs_vega", "bs_rho", "bs_greeks",
             "am_price", "am_delta", "am_gamma", "am_theta", "am_vega", "am_rho", "am_greeks"]
WITHOUT_TYPE = {"bs_gamma", "bs_vega"}


class Refused(Exception):
    pass


class FloatRaises:
    def __float__(self):
        raise Refused("no float")


class FloatRaisesChained:
    def __float__(self):
        raise TypeError("chained") from Refused("the cause")


def fresh_float(x: float) -> float:
    """A float object nobody else holds (constants are shared by code objects)."""
    return float(f"{x!r}")


def paths(name: str):
    """(path id, args, kwargs, exception type or None) for one function.  The
    argument objects are fresh, so their reference counts are ours alone."""
    s, k, t, r, sigma, q = (fresh_float(x) for x in (100.0, 95.0, 0.5, 0.05, 0.2, 0.01))
    base = (s, k, t, r, sigma)
    has_type = name not in WITHOUT_TYPE
    put = "".join(["P", "u", "T"])  # a fresh str: the module caches nothing in it
    full = (*base, q, put) if has_type else (*base, q)
    yield "positional", full, {}, None
    yield "keywords", (s, k), dict(zip(("t", "r", "sigma", "q"), (t, r, sigma, q)),
                                   **({"option_type": put} if has_type else {})), None
    yield "too-many-positional", (*full, s, k, t)[:9], {}, TypeError
    yield "unexpected-keyword", base, {"volatility": sigma}, TypeError
    yield "multiple-values", base, {"k": k}, TypeError
    yield "missing-arguments", (s, k), {"sigma": sigma}, TypeError
    yield "str-number", ("".join(["1", "00"]), k, t, r, sigma), {}, TypeError
    yield "none-q", base, {"q": None}, TypeError
    yield "huge-int", (s, 10**400, t, r, sigma), {}, OverflowError
    yield "float-raises", (s, k, t, FloatRaises(), sigma), {}, Refused
    yield "chained-type-error", (s, k, FloatRaisesChained(), r, sigma), {}, TypeError
    if has_type:
        yield "option-type-not-str", base, {"option_type": b"call"}, TypeError
        yield "option-type-surrogate", base, {"option_type": "c\udcff"}, UnicodeEncodeError
        yield "option-type-text", base, {"option_type": "".join(["stra", "ddle"])}, ValueError


CASES = [pytest.param(name, path, id=f"{name}-{path}")
         for name in FUNCTIONS for path, *_ in paths(name)]


def repeat(function, args, kwargs, expected, times):
    for _ in range(times):
        try:
            result = function(*args, **kwargs)
        except BaseException as error:  # noqa: BLE001
            if type(error) is not expected:
                raise
        else:
            if expected is not None:
                raise AssertionError(f"returned {result!r}, expected {expected.__name__}")


@pytest.fixture(scope="module")
def traced():
    tracemalloc.start()
    yield
    tracemalloc.stop()


@pytest.mark.parametrize(("name", "path"), CASES)
def test_repeated_calls_keep_reference_counts_and_traced_memory(traced, name, path):
    args, kwargs, expected = next((a, kw, e) for p, a, kw, e in paths(name) if p == path)
    function = getattr(gm, name)
    tracked = [*args, *kwargs.values(), function, gm.PyGreeks, TypeError, ValueError,
               OverflowError, UnicodeEncodeError, Refused]
    repeat(function, args, kwargs, expected, 200)  # warm the interpreter's caches
    gc.collect()
    counts = [sys.getrefcount(o) for o in tracked]
    memory = tracemalloc.get_traced_memory()[0]
    repeat(function, args, kwargs, expected, REPEATS)
    gc.collect()
    grown = tracemalloc.get_traced_memory()[0] - memory
    assert [sys.getrefcount(o) for o in tracked] == counts
    # One leaked float per call would be 24 bytes x REPEATS.
    assert grown < 4096, f"traced memory grew by {grown} bytes over {REPEATS} calls"


def test_greeks_results_and_their_attributes_keep_reference_counts_and_traced_memory(traced):
    sample = gm.am_greeks(*(fresh_float(x) for x in (100.0, 95.0, 0.5, 0.05, 0.2)))
    tracked = [sample, gm.PyGreeks, TypeError, AttributeError]

    def use(times):
        for _ in range(times):
            g = gm.bs_greeks(100.0, 95.0, 0.5, 0.05, 0.2)
            (g.delta, g.gamma, g.theta, g.vega, g.rho, repr(g), str(sample), sample.rho)
            for attempt in (lambda: setattr(sample, "delta", 1.0), lambda: gm.PyGreeks(),
                            lambda: setattr(sample, "other", 1.0)):
                try:
                    attempt()
                except (AttributeError, TypeError):
                    pass

    use(200)
    gc.collect()
    counts = [sys.getrefcount(o) for o in tracked]
    memory = tracemalloc.get_traced_memory()[0]
    use(REPEATS)
    gc.collect()
    assert [sys.getrefcount(o) for o in tracked] == counts
    assert tracemalloc.get_traced_memory()[0] - memory < 4096


class EmptiesTheDictionary:
    """A number whose conversion empties the caller's own keyword dictionary
    (and leaves garbage where its values were), then returns or raises."""

    def __init__(self, raises: bool):
        self.raises = raises
        self.kwargs: dict = {}
        self.thread_call: ThreadCall | None = None

    def __float__(self):
        if self.thread_call is not None:
            self.thread_call.entered()
        self.kwargs.clear()
        junk = [float(i) + 0.5 for i in range(64)]  # noqa: F841
        if self.raises:
            raise TypeError("emptied")
        return 100.0


# One function of each shape (six parameters, seven, a PyGreeks result): the
# thirteen share one entry-point template, which the paths above hold to
# account function by function.
OWN_DICTIONARY_CASES = [
    pytest.param(name, raises, caller, id=f"{name}-{'raises' if raises else 'returns'}-{caller}")
    for name in ("bs_gamma", "bs_delta", "am_greeks") for raises in (False, True)
    for caller in ("PyObject_Call", "start_new_thread")]


@pytest.mark.parametrize(("name", "raises", "caller"), OWN_DICTIONARY_CASES)
def test_calls_on_the_callers_own_dictionary_release_every_argument(traced, name, raises, caller):
    """The call owns its arguments while a conversion empties the dictionary
    that was their only other holder (here, the test keeps them too, so
    their counts can be read): each one is released once, on success and on
    the conversion error alike."""
    meddler = EmptiesTheDictionary(raises)
    values = {"s": meddler, **dict(zip(("k", "t", "r", "sigma", "q"),
                                       (fresh_float(x) for x in (95.0, 0.5, 0.05, 0.2, 0.01))))}
    if name not in WITHOUT_TYPE:
        values["option_type"] = "".join(["P", "u", "T"])
    function = getattr(gm, name)
    tracked = [*values.values(), function, gm.PyGreeks, TypeError]

    def repeat_calls(times):
        for _ in range(times):
            kwargs = dict(values)
            meddler.kwargs = kwargs
            if caller == "PyObject_Call":
                try:
                    object_call(function, (), kwargs)
                except TypeError:
                    assert raises
                else:
                    assert not raises
            else:
                meddler.thread_call = ThreadCall()
                error = meddler.thread_call.run(function, (), kwargs)
                assert (type(error) is TypeError) if raises else error is None, error
                meddler.thread_call = None
            del kwargs
            assert not meddler.kwargs

    times = REPEATS if caller == "PyObject_Call" else REPEATS // 10  # a thread each
    repeat_calls(times // 10)
    gc.collect()
    counts = [sys.getrefcount(o) for o in tracked]
    memory = tracemalloc.get_traced_memory()[0]
    repeat_calls(times)
    gc.collect()
    grown = tracemalloc.get_traced_memory()[0] - memory
    assert [sys.getrefcount(o) for o in tracked] == counts
    assert grown < 4096, f"traced memory grew by {grown} bytes over {times} calls"


def resident_bytes() -> int:
    with open("/proc/self/statm") as statm:
        return int(statm.read().split()[1]) * os.sysconf("SC_PAGE_SIZE")


@pytest.mark.skipif(os.environ.get("GREEKMILL_SANITIZED") == "1",
                    reason="AddressSanitizer's quarantine holds freed memory, so resident "
                           "size grows by design; the sanitizer checks the heap itself")
@pytest.mark.skipif(not os.path.exists("/proc/self/statm"), reason="needs /proc")
def test_a_few_hundred_thousand_mixed_calls_leave_resident_memory_where_it_was():
    calls = [(getattr(gm, name), args, kwargs, expected)
             for name in FUNCTIONS for _, args, kwargs, expected in paths(name)]
    rounds = 1700  # x 173 paths: about 300 000 calls
    for function, args, kwargs, expected in calls:
        repeat(function, args, kwargs, expected, 300)
    gc.collect()
    before = resident_bytes()
    for _ in range(rounds):
        for function, args, kwargs, expected in calls:
            repeat(function, args, kwargs, expected, 1)
    gc.collect()
    grown = resident_bytes() - before
    # A leaked 32-byte message string per failing call would be about 8 MiB.
    assert grown < 1 << 20, f"resident memory grew by {grown} bytes over {rounds * len(calls)} calls"
