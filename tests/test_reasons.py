"""reasons=True: a greekmill.Reason per element, written by the engine beside
the result; the same reason the errors="raise" message names."""

from __future__ import annotations

import re
from typing import Any, Callable

import numpy as np
import pytest

import greekmill as gm
from greekmill import Reason

R = Reason
# An American put 90/100 whose price is its exercise value 10: no volatility information.
AM = dict(s=90.0, k=100.0, t=1.0, r=0.05, q=0.0, option_type="put")
EU = dict(s=100.0, k=100.0, t=1.0, r=0.05)

# (function, keyword arguments, expected reason) for one option.
CASES: list[tuple[Callable[..., Any], dict[str, Any], Reason]] = [
    (gm.european.price, dict(EU, sigma=0.2), R.OK),
    (gm.european.price, dict(EU, s=-1.0, sigma=0.2), R.INVALID_INPUT),
    (gm.european.delta, dict(EU, sigma=float("nan")), R.INVALID_INPUT),
    (gm.european.theta, dict(EU, r=-700.0, sigma=0.2), R.NOT_REPRESENTABLE),
    (gm.european.greeks, dict(EU, r=-700.0, sigma=0.2, precision="fast"), R.NOT_REPRESENTABLE),
    (gm.european.valuation, dict(EU, t=-1.0, sigma=0.2), R.INVALID_INPUT),
    (gm.european.price, dict(EU, sigma=0.2, dividends=gm.Dividends([0.5], [1.0])), R.OK),
    (gm.european.price, dict(EU, k=0.0, sigma=0.2, dividends=gm.Dividends([0.5], [1.0])),
     R.INVALID_INPUT),
    (gm.european.implied_volatility, dict(EU, price=10.0), R.OK),
    (gm.european.implied_volatility, dict(EU, price=1.0), R.BELOW_LOWER_BOUND),
    (gm.european.implied_volatility, dict(EU, price=100.0), R.ABOVE_UPPER_BOUND),
    (gm.european.implied_volatility, dict(EU, price=10.0, s=110.0, t=0.0),
     R.NO_VOLATILITY_INFORMATION),
    (gm.european.implied_volatility, dict(EU, price=float("inf")), R.INVALID_INPUT),
    (gm.american.price, dict(AM, sigma=0.2), R.OK),
    (gm.american.price, dict(AM, k=0.0, sigma=0.2), R.INVALID_INPUT),
    (gm.american.greeks, dict(AM, sigma=-0.2, method="bjerksund-stensland"), R.INVALID_INPUT),
    (gm.american.valuation, dict(AM, t=float("nan"), sigma=0.2), R.INVALID_INPUT),
    (gm.american.implied_volatility, dict(AM, price=12.0), R.OK),
    (gm.american.implied_volatility, dict(AM, price=5.0), R.BELOW_LOWER_BOUND),
    (gm.american.implied_volatility, dict(AM, price=100.0), R.ABOVE_UPPER_BOUND),
    (gm.american.implied_volatility, dict(AM, price=10.0), R.NO_VOLATILITY_INFORMATION),
    # A deep out-of-the-money put priced near its bound k: the volatility is too
    # large for the solver to reach.
    (gm.american.implied_volatility,
     dict(price=1.4529058777858705, s=16.1769998385152, k=1.5052411425477816,
          t=6.2812926877098265, r=1.9796623809238891, q=-0.6245195670967316, option_type="put"),
     R.NO_CONVERGENCE),
    (gm.american.implied_volatility, dict(price=4.03e-15, s=85.0, k=123.5, t=0.025946,
                                          r=0.046326, option_type="call"), R.BELOW_RESOLUTION),
    (gm.american.exercise_boundary, dict(tau=0.5, k=100.0, r=0.05, sigma=0.2), R.OK),
    (gm.american.exercise_boundary, dict(tau=-0.5, k=100.0, r=0.05, sigma=0.2),
     R.INVALID_INPUT),
    (gm.american.exercise_boundary, dict(tau=0.5, k=100.0, r=-0.01, sigma=0.2, q=-0.03),
     R.DOUBLE_BOUNDARY),
    (gm.american.exercise_boundary, dict(tau=0.5, k=100.0, r=-0.03, sigma=0.2, q=-0.01,
                                         option_type="call"), R.DOUBLE_BOUNDARY),
]
IDS = [f"{f.__module__.rsplit('.', 1)[1]}.{f.__name__}-{why.name}-{i}"
       for i, (f, _, why) in enumerate(CASES)]


def nan_anywhere(result: Any) -> bool:
    return bool(np.isnan(np.asarray(result, dtype=float)).any())


def bits(result: Any) -> np.ndarray:
    return np.asarray(result, dtype=float).view(np.int64)


@pytest.mark.parametrize("function, arguments, expected", CASES, ids=IDS)
def test_each_engine_gives_its_reason_and_the_raise_message_names_it(
        function: Any, arguments: dict[str, Any], expected: Reason) -> None:
    value, reason = function(**arguments, errors="nan", reasons=True)
    assert type(reason) is Reason and reason == expected
    assert nan_anywhere(value) == (expected != R.OK)
    # As an array: an int8 array of the result's shape, the same code.
    column = {k: [v] if k in ("s", "tau", "price") else v for k, v in arguments.items()}
    values, reasons = function(**column, errors="nan", reasons=True)
    assert reasons.dtype == np.int8 and reasons.shape == (1,) and reasons[0] == expected
    assert bits(values).reshape(-1).tolist() == bits(value).reshape(-1).tolist()
    if expected == R.OK:
        assert bits(function(**arguments)).tolist() == bits(value).tolist()
        return
    for given in (arguments, column):  # the scalar path and the array path
        with pytest.raises(ValueError) as raised:
            function(**given, reasons=True)
        assert re.search(rf"\(Reason\.{expected.name}; errors='nan'", str(raised.value))


def random_book(rng: np.random.Generator, n: int) -> dict[str, np.ndarray]:
    """Options over wide ranges, about one in ten with an input out of the domain."""
    book = {
        "s": np.exp(rng.uniform(1.0, 7.0, n)), "k": np.exp(rng.uniform(1.0, 7.0, n)),
        "t": 10 ** rng.uniform(-4.0, 1.5, n), "r": rng.uniform(-0.1, 0.3, n),
        "sigma": 10 ** rng.uniform(-3.0, 0.5, n), "q": rng.uniform(-0.1, 0.3, n),
    }
    for name, array in book.items():
        bad = rng.random(n) < 0.02
        array[bad] = rng.choice([np.nan, -1.0, np.inf, 0.0], bad.sum())
    book["option_type"] = rng.choice(np.array(["call", "put", "put", "p", "x"]), n)
    return book


def price_quotes(rng: np.random.Generator, book: dict[str, np.ndarray]) -> np.ndarray:
    """Prices around the value, some beyond either bound."""
    return book["s"] * rng.uniform(-0.05, 1.1, book["s"].shape) ** 3


SEVEN = ("s", "k", "t", "r", "sigma", "q", "option_type")
IMPLIED = ("s", "k", "t", "r", "q", "option_type")
# (function, the book's columns it reads, keyword arguments, rows): engines that
# iterate get fewer rows; every call is large enough for the worker threads.
PROPERTY_CALLS = [
    (gm.european.price, SEVEN, {}, 20_000),
    (gm.european.greeks, SEVEN, {"precision": "fast"}, 20_000),
    (gm.european.valuation, SEVEN, {}, 20_000),
    (gm.american.valuation, SEVEN, {"method": "bjerksund-stensland", "precision": "fast"},
     5_000),
    (gm.american.price, SEVEN, {"accuracy": "fast"}, 400),
    (gm.american.greeks, SEVEN, {"accuracy": "fast"}, 200),
    (gm.european.implied_volatility, ("price", *IMPLIED), {}, 20_000),
    (gm.american.implied_volatility, ("price", *IMPLIED), {"accuracy": "fast"}, 300),
    (gm.american.exercise_boundary, ("t", "k", "r", "sigma", "q", "option_type"), {}, 400),
]


@pytest.mark.parametrize("function, columns, keywords, n", PROPERTY_CALLS,
                         ids=[f"{f.__module__.rsplit('.', 1)[1]}.{f.__name__}"
                              for f, *_ in PROPERTY_CALLS])
def test_an_element_is_nan_exactly_when_its_reason_is_not_ok(
        function: Any, columns: tuple[str, ...], keywords: dict[str, Any], n: int) -> None:
    rng = np.random.default_rng(2025)
    book = random_book(rng, n)
    book["price"] = price_quotes(rng, book)
    arguments = [book[c] for c in columns]
    value, reasons = function(*arguments, **keywords, errors="nan", reasons=True, threads=2)
    fields = np.asarray(value, dtype=float).reshape(-1, n)
    assert reasons.dtype == np.int8 and reasons.shape == (n,)
    assert set(np.unique(reasons)) <= set(Reason)
    assert (np.isnan(fields).any(axis=0) == (reasons != R.OK)).all()
    assert (reasons != R.OK).any() and (reasons == R.OK).any()
    assert (reasons[book["option_type"] == "x"] == R.INVALID_INPUT).all()
    # The result's bits do not depend on reasons=.
    plain = np.asarray(function(*arguments, **keywords, errors="nan", threads=2), dtype=float)
    assert (plain.reshape(-1, n).view(np.int64) == fields.view(np.int64)).all()
    # The raise message names the first failing element's reason; a bad option
    # type is reported before any number.
    bad_types = np.flatnonzero(book["option_type"] == "x")
    first = int(np.flatnonzero(reasons)[0])
    expected = (rf"option_type\[{bad_types[0]}\].*\(Reason\.INVALID_INPUT;" if bad_types.size
                else rf"\[{first}\].*\(Reason\.{Reason(reasons[first]).name};")
    with pytest.raises(ValueError, match=expected):
        function(*arguments, **keywords, threads=2)
    # Without the bad option types, the first failing number.
    arguments[-1] = np.where(book["option_type"] == "x", "call", book["option_type"])
    value, reasons = function(*arguments, **keywords, errors="nan", reasons=True, threads=2)
    first = int(np.flatnonzero(reasons)[0])
    with pytest.raises(ValueError, match=rf"\[{first}\].*\(Reason\.{Reason(reasons[first]).name};"):
        function(*arguments, **keywords, threads=2)


def test_pandas_series_get_a_series_of_reasons() -> None:
    pd = pytest.importorskip("pandas")
    s = pd.Series([100.0, -1.0], index=["a", "b"])
    value, reasons = gm.european.price(s, 100.0, 1.0, 0.05, 0.2, errors="nan", reasons=True)
    assert reasons.index.equals(s.index) and reasons.tolist() == [R.OK, R.INVALID_INPUT]


def test_tables_get_a_categorical_reason_column() -> None:
    pd = pytest.importorskip("pandas")
    book = pd.DataFrame({"s": [100.0, -1.0, 90.0], "k": 100.0, "t": 1.0, "r": 0.05,
                         "sigma": 0.2, "option_type": ["put", "call", "put"],
                         "price": [6.0, 5.0, 5.0]}, index=["a", "b", "c"])
    valued = gm.tables.value(book, errors="nan", reasons=True)
    assert isinstance(valued.reason.dtype, pd.CategoricalDtype)
    assert list(valued.reason.cat.categories) == [r.name for r in Reason]
    assert valued.reason.tolist() == ["OK", "INVALID_INPUT", "OK"]
    assert valued.drop(columns="reason").equals(gm.tables.value(book, errors="nan"))
    implied = gm.tables.implied_volatility(book, "american", errors="nan", reasons=True)
    assert implied.reason.tolist() == ["OK", "INVALID_INPUT", "BELOW_LOWER_BOUND"]
    by_underlying = gm.tables.value(book.assign(underlying=["X", "Y", "X"]), errors="nan",
                                    reasons=True, dividends={"X": gm.Dividends([0.5], [1.0])})
    assert by_underlying.reason.tolist() == ["OK", "INVALID_INPUT", "OK"]
    with pytest.raises(TypeError, match="reasons must be True or False"):
        gm.tables.value(book, reasons=1)
    dd = pytest.importorskip("dask.dataframe")
    lazy = gm.tables.implied_volatility(dd.from_pandas(book, npartitions=2), "american",
                                        errors="nan", reasons=True)
    assert isinstance(lazy.dtypes["reason"], pd.CategoricalDtype)
    assert lazy.compute(scheduler="sync").equals(implied)


def test_dask_arrays_give_a_pair_of_lazy_arrays() -> None:
    da = pytest.importorskip("dask.array")
    s = np.array([100.0, -1.0, 90.0, np.nan, 110.0])
    value, reasons = gm.european.greeks(da.from_array(s, chunks=2), 100.0, 1.0, 0.05, 0.2,
                                        errors="nan", reasons=True)
    assert reasons.dtype == np.int8
    expected_value, expected = gm.european.greeks(s, 100.0, 1.0, 0.05, 0.2, errors="nan",
                                                  reasons=True)
    assert reasons.compute(scheduler="sync").tolist() == expected.tolist()
    assert np.array_equal(value.delta.compute(scheduler="sync"), expected_value.delta,
                          equal_nan=True)
