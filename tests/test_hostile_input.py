"""Hostile input and unusual array-likes: every case gives a value, its
limit, or an exception that names what is wrong; never a crash, a wrong
value reported as success, or an internal error."""

from __future__ import annotations

import math
from typing import Any

import numpy as np
import pytest

import greekmill as gm
from greekmill import _arrays, _native


def test_a_bad_tau_is_named_in_the_boundary_message() -> None:
    with pytest.raises(ValueError) as raised:
        gm.american.exercise_boundary(-1.0, 100.0, 0.05, 0.2)
    assert "exercise_boundary: tau = -1.0 is out of the domain (tau must be finite and >= 0)" \
        in str(raised.value)
    with pytest.raises(ValueError, match=r"tau\[1\] = nan is out of the domain"):
        gm.american.exercise_boundary([1.0, math.nan], 100.0, 0.05, 0.2)


def test_a_numpy_backed_xarray_is_an_array_like_and_a_dask_backed_one_stays_lazy() -> None:
    xr = pytest.importorskip("xarray")
    spots = np.array([90.0, 100.0, 110.0])
    expected = gm.european.price(spots, 100.0, 1.0, 0.05, 0.2)
    got = gm.european.price(xr.DataArray(spots, dims="trade"), 100.0, 1.0, 0.05, 0.2)
    assert isinstance(got, np.ndarray) and got.tolist() == expected.tolist()
    da = pytest.importorskip("dask.array")
    lazy = xr.DataArray(da.from_array(spots, chunks=2), dims="trade")
    with pytest.raises(TypeError, match="DataArray; the functions take Dask arrays"):
        gm.european.price(lazy, 100.0, 1.0, 0.05, 0.2)


def test_a_duplicated_column_is_named_at_the_call() -> None:
    pd = pytest.importorskip("pandas")
    book = pd.DataFrame([[100.0, 100.0, 1.0, 0.05, 0.2, "call", 101.0]],
                        columns=["s", "k", "t", "r", "sigma", "option_type", "s"])
    with pytest.raises(ValueError, match="more than one column named 's'"):
        gm.tables.value(book)
    # A repeated column the call does not read is no concern.
    book.columns = ["s", "k", "t", "r", "sigma", "option_type", "note"]
    book.insert(0, "note", "a", allow_duplicates=True)
    assert gm.tables.value(book, greeks=False)["price"].iloc[0] == gm.american.price(
        100.0, 100.0, 1.0, 0.05, 0.2)


@pytest.mark.parametrize("value, where, what", [
    (np.array(["100"], dtype=object), "s[0]", "str '100'"),
    (np.array([100.0, b"100"], dtype=object), "s[1]", "bytes b'100'"),
    (np.array([[100.0, None]], dtype=object), "s[0, 1]", "NoneType None"),
    (np.array("x" * 200, dtype=object), "s", "str 'xxxxx"),
])
def test_text_bytes_and_none_in_object_arrays_are_not_numbers(value: Any, where: str,
                                                             what: str) -> None:
    with pytest.raises(TypeError) as raised:
        gm.european.price(value, 100.0, 1.0, 0.05, 0.2)
    message = str(raised.value)
    assert message.startswith(f"{where} must be a real number; got {what}")
    assert len(message) < 120  # a long text is cut, its length given


def test_object_arrays_of_numbers_still_convert() -> None:
    from decimal import Decimal
    from fractions import Fraction
    mixed = np.array([100, 100.0, Fraction(100), Decimal("100"), np.float32(100)], dtype=object)
    assert gm.european.price(mixed, 100.0, 1.0, 0.05, 0.2).tolist() == \
        [gm.european.price(100.0, 100.0, 1.0, 0.05, 0.2)] * 5


@pytest.mark.parametrize("call, expected", [
    # Volatility so large that sigma^2 overflows: the limit, the discounted strike or spot.
    (lambda: gm.european.price(100, 100, 1, 0.05, 1e160, 0, "put"), 100 * math.exp(-0.05)),
    (lambda: gm.european.price(100, 100, 1, 0.05, 1e300, 0.02, "call"), 100 * math.exp(-0.02)),
    # exp(-r t) overflows where Phi(d2) underflows: the call is worth nothing.
    (lambda: gm.european.price(100, 100, 1, -710, 0.2), 0.0),
    # The put's value really is beyond a double.
    (lambda: gm.european.price(100, 100, 1, -710, 0.2, 0, "put"), math.inf),
])
def test_in_domain_extremes_give_their_limit(call: Any, expected: float) -> None:
    assert call() == pytest.approx(expected, rel=1e-15)


@pytest.mark.parametrize("call", [
    lambda errors: gm.european.theta([100, 100], 100, 1, [-700, 0.05], 0.2, errors=errors),
    lambda errors: gm.european.greeks([100, 100], 100, 1, [0.05, -700], 0.2, errors=errors),
    lambda errors: gm.european.greeks([100, 100], 100, 1, [0.05, -700], 0.2, errors=errors,
                                      precision="fast"),
    lambda errors: gm.american.greeks([100, 100], 100, [1.0, 1e-12], [0.05, 1.0], [0.2, 1e-8],
                                      [0.0, 1.0], "put", errors=errors),
])
def test_a_nan_from_inputs_in_the_domain_is_reported_never_returned(call: Any) -> None:
    try:
        values = np.array(call("raise"), dtype=float)
    except ValueError as error:
        assert "is not representable in double precision" in str(error)
    else:
        assert not np.isnan(values).any()
    # errors="nan": an element is NaN in every field or in none.
    kept = np.array(call("nan"), dtype=float).reshape(-1, 2)
    assert all(np.isnan(column).all() or not np.isnan(column).any() for column in kept.T)


def test_too_many_dimensions_and_too_large_broadcasts_say_so() -> None:
    with pytest.raises(ValueError, match="s has 33 dimensions; at most 32"):
        gm.european.price(np.ones([1] * 33), 100.0, 1.0, 0.05, 0.2)
    huge = np.broadcast_to(np.float64(100.0), (2 ** 40,))
    with pytest.raises(MemoryError, match="the result is too large"):
        gm.european.price(huge, huge.reshape(-1, 1), 1.0, 0.05, 0.2)
    with pytest.raises(ValueError, match="do not broadcast"):
        gm.european.price(np.ones(3), np.ones(2), 1.0, 0.05, 0.2)


@pytest.mark.parametrize("s", [100.0, [100.0, 90.0]], ids=["scalar", "array"])
def test_any_positive_thread_count_is_at_most_that_many(s: Any) -> None:
    expected = gm.european.price(s, 100.0, 1.0, 0.05, 0.2)
    assert np.array_equal(gm.european.price(s, 100.0, 1.0, 0.05, 0.2, threads=10 ** 30),
                          expected)


def compute(n: int, inputs: tuple[Any, ...] | None = None,
            outputs: tuple[Any, ...] | None = None, threads: int = 0) -> Any:
    index = _arrays.OPERATIONS["european_price"][0]
    inputs = inputs or (0.0, 100.0, 100.0, 1.0, 0.05, 0.2, 0.0, 0)
    return _native.compute(index, 0, 1, 0, n, threads, inputs,
                           outputs or (np.empty(max(n, 0) if n < 10 else 1),), None)


@pytest.mark.parametrize("call, error", [
    (lambda: compute(2 ** 61), ValueError),                     # n * 8 would wrap around
    (lambda: compute(2 ** 70), OverflowError),
    (lambda: compute(-1), ValueError),
    (lambda: compute(3, outputs=(np.empty(2),)), ValueError),
    (lambda: compute(3, outputs=(np.empty(3, np.float32)[:3].view(np.int32),)), ValueError),
    (lambda: compute(3, outputs=(np.empty(6, np.float32),)), ValueError),
    (lambda: compute(3, inputs=(0.0, np.ones(3, np.int64), 100.0, 1.0, 0.05, 0.2, 0.0, 0)),
     ValueError),
    (lambda: compute(1, inputs=(0.0, 100.0, 100.0, 1.0, 0.05, 0.2, 0.0, 2 ** 70)),
     OverflowError),
    (lambda: compute(1, inputs=(0.0, 100.0, 100.0, 1.0, 0.05, 0.2, 0.0, 7)), ValueError),
])
def test_the_engine_entry_point_validates_what_it_is_given(call: Any, error: type) -> None:
    with pytest.raises(error):
        call()


def test_the_engine_entry_point_clamps_huge_thread_counts() -> None:
    out = np.empty(3)
    compute(3, inputs=(0.0, np.array([90.0, 100.0, 110.0]), 100.0, 1.0, 0.05, 0.2, 0.0, 0),
            outputs=(out,), threads=10 ** 30)
    assert out.tolist() == gm.european.price([90.0, 100.0, 110.0], 100.0, 1.0, 0.05, 0.2).tolist()
