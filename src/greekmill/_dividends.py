"""The cash dividends of one underlying."""

from __future__ import annotations

import datetime
import math
from typing import Any, Iterator

import numpy as np


class Dividends:
    """Cash dividends of one underlying: ex-dividend times and amounts.

    ``times`` are in years from today, ``amounts`` in currency units; both are
    numbers or one-dimensional sequences of the same length, finite and >= 0.
    Dates, durations (datetime, timedelta, numpy and pandas ones), text and
    None are a TypeError: pass year fractions, e.g. ``days / 365`` with the
    day count of your choice.
    The spot drops by the amount at each ex-dividend time (never below 0)
    and follows Black-Scholes-Merton with r, q and sigma in between.  An
    option ignores the dividends at or after its expiry; a dividend at time
    0 has already gone ex (the quoted spot is after it) and is ignored too.

    The schedule is kept sorted by time (dividends of the same time stay in
    the order given and are all paid) in read-only float64 arrays.
    """

    __slots__ = ("_times", "_amounts")

    def __init__(self, times: Any, amounts: Any) -> None:
        columns = []
        for label, value in (("times", times), ("amounts", amounts)):
            _refuse_non_numbers(label, value)
            try:
                array = np.array(value, dtype=np.float64).reshape(-1) \
                    if np.ndim(value) <= 1 else None
            except (TypeError, ValueError):
                raise TypeError(f"Dividends: {label} must be real numbers; got {value!r}") from None
            if array is None:
                raise ValueError(f"Dividends: {label} must be a number or a one-dimensional "
                                 f"sequence; got shape {np.shape(value)}")
            bad = ~(np.isfinite(array) & (array >= 0.0))
            if bad.any():
                i = int(np.flatnonzero(bad)[0])
                raise ValueError(f"Dividends: {label}[{i}] = {float(array[i])!r} must be finite "
                                 f"and >= 0")
            columns.append(array + 0.0)  # -0.0 is 0.0: equal schedules hash alike
        times_array, amounts_array = columns
        if times_array.shape != amounts_array.shape:
            raise ValueError(f"Dividends: {times_array.size} times but {amounts_array.size} "
                             f"amounts")
        order = np.argsort(times_array, kind="stable")
        self._times = np.ascontiguousarray(times_array[order])
        self._amounts = np.ascontiguousarray(amounts_array[order])
        self._times.flags.writeable = False
        self._amounts.flags.writeable = False

    @property
    def times(self) -> np.ndarray:
        """Ex-dividend times in years from today, ascending (read-only)."""
        return self._times

    @property
    def amounts(self) -> np.ndarray:
        """Cash amounts, in the order of ``times`` (read-only)."""
        return self._amounts

    def __len__(self) -> int:
        return int(self._times.size)

    def __iter__(self) -> Iterator[tuple[float, float]]:
        return zip(self._times.tolist(), self._amounts.tolist())

    def __eq__(self, other: object) -> bool:
        if not isinstance(other, Dividends):
            return NotImplemented
        return bool(np.array_equal(self._times, other._times)
                    and np.array_equal(self._amounts, other._amounts))

    def __hash__(self) -> int:
        return hash((self._times.tobytes(), self._amounts.tobytes()))

    def __repr__(self) -> str:
        return f"Dividends(times={self._times.tolist()!r}, amounts={self._amounts.tolist()!r})"

    def __reduce__(self) -> tuple[Any, ...]:
        return (Dividends, (self._times, self._amounts))

    def __dask_tokenize__(self) -> tuple[Any, ...]:
        return ("greekmill.Dividends", self._times.tobytes(), self._amounts.tobytes())


_HOW = {"times": "years from today, e.g. days / 365 (the day count is the caller's choice)",
        "amounts": "currency units"}


def _refuse_non_numbers(label: str, value: Any) -> None:
    """Dates, durations, text and None are no numbers, though numpy would make
    a timedelta a count of nanoseconds or days, parse "1.5" and turn None
    into NaN: a TypeError that says what to pass instead."""
    what = None
    kind = getattr(getattr(value, "dtype", None), "kind", None)
    if kind in ("M", "m", "U", "S", "T"):
        what = f"values of dtype {value.dtype}"
    elif kind not in ("f", "i", "u", "b"):
        try:
            elements = np.asarray(value, dtype=object).reshape(-1)
        except (TypeError, ValueError):
            elements = np.empty(0, dtype=object)  # the conversion below names the fault
        for element in elements:
            if isinstance(element, _NOT_NUMBERS) or type(element).__name__ == "NaTType":
                what = f"{type(element).__name__} {element!r}"
                break
    if what is not None:
        raise TypeError(f"Dividends: {label} must be numbers, in {_HOW[label]}; got {what}")


_NOT_NUMBERS = (str, bytes, type(None), datetime.date, datetime.timedelta, np.datetime64,
                np.timedelta64)


def engine_schedule(dividends: object) -> tuple[np.ndarray, np.ndarray] | None:
    """The schedule as the engine reads it: private copies of the arrays, which
    nothing the caller does during the call can change (the read-only flag of
    the public arrays can be undone); None when there is nothing to pay."""
    if dividends is None:
        return None
    if not isinstance(dividends, Dividends):
        raise TypeError(f"dividends must be None or a greekmill.Dividends; got "
                        f"{type(dividends).__module__}.{type(dividends).__name__}")
    if len(dividends) == 0:
        return None
    # Checked and sorted anew: the caller may have written into the arrays.
    private = Dividends(dividends._times, dividends._amounts)
    return private._times, private._amounts


# The total volatility sigma * sqrt(t) the cash-dividend engine resolves
# (core/grid/cash_dividends.cpp): at or below DETERMINISTIC_VOLATILITY the
# zero-volatility limit, between it and MIN_TOTAL_VOLATILITY and above
# MAX_TOTAL_VOLATILITY an error.
DETERMINISTIC_VOLATILITY = 1e-10
MIN_TOTAL_VOLATILITY = 5e-3
MAX_TOTAL_VOLATILITY = 1.5
# European values come from the quadrature, which resolves more, and so do
# American calls with q <= 0 and r >= 0 (exercised only at the ex-dates'
# eves: the quadrature with exercise there) and American puts with r <= 0
# and q >= r (never exercised early: the European value).
MAX_EUROPEAN_TOTAL_VOLATILITY = 5.0
# ... and a drift (|r - q| + sigma^2 / 2) t of at most this many sigma sqrt(t).
MAX_DRIFT_RATIO = 3.0


def _max_total(european: bool) -> float:
    return MAX_EUROPEAN_TOTAL_VOLATILITY if european else MAX_TOTAL_VOLATILITY


def _resolves(t: float, r: float, q: float, sigma: float, european: bool) -> bool:
    total = sigma * math.sqrt(t)
    drift = (abs(r - q) + 0.5 * sigma * sigma) * t
    return (MIN_TOTAL_VOLATILITY <= total <= _max_total(european)
            and drift <= MAX_DRIFT_RATIO * total)


def _volatility_range(t: float, r: float, q: float,
                      european: bool) -> tuple[float, float] | None:
    """The volatilities the engine resolves, as core/grid/cash_dividends.cpp finds them."""
    root = math.sqrt(t)
    a = abs(r - q) * root
    discriminant = MAX_DRIFT_RATIO * MAX_DRIFT_RATIO - 2.0 * a * root
    if not discriminant >= 0.0:
        return None
    # Each end 1e-12 inside the range, against the rounding of sigma sqrt(t).
    low = max(MIN_TOTAL_VOLATILITY / root,
              2.0 * a / (MAX_DRIFT_RATIO + math.sqrt(discriminant))) * (1.0 + 1e-12)
    high = _max_total(european) / root * (1.0 - 1e-12)
    if not (low <= high and _resolves(t, r, q, low, european)
            and _resolves(t, r, q, high, european)):
        return None
    return low, high


def _price(function: str, args: tuple[float, ...], sigma: float, put: bool, accuracy: object,
           dividends: Dividends) -> float:
    from . import american, european
    s, k, t, r, q = args
    kind = "put" if put else "call"
    if "american" in function:
        american_price: Any = american.price  # accuracy as the caller gave it
        return float(american_price(s, k, t, r, sigma, q, kind, accuracy=accuracy,
                                    dividends=dividends))
    return float(european.price(s, k, t, r, sigma, q, kind, dividends=dividends))


def lower_bound_rule(function: str, args: tuple[float, ...], put: bool, accuracy: object,
                     dividends: Dividends) -> str:
    """The lower bound of an implied volatility under this schedule, worded."""
    s, k = args[0], args[1]
    exercise = max((k - s) if put else (s - k), 0.0) + 0.0
    floor = _price(function, args, 0.0, put, accuracy, dividends)
    intrinsic = f"the intrinsic value max({'k - s' if put else 's - k'}, 0) is {exercise:.10g}"
    if "american" in function:
        return (f"is below the lower no-arbitrage bound {max(exercise, floor):.10g} (the larger "
                f"of the exercise value and the value at zero volatility with these dividends, "
                f"{floor:.10g}); {intrinsic}")
    return (f"is below the lower no-arbitrage bound {floor:.10g} (the value at zero volatility "
            f"with these dividends); {intrinsic}")


def failure_reason(function: str, value_at: Any, put: bool, accuracy: object,
                   dividends: Dividends) -> str:
    """Why the cash-dividend engine gave no value or volatility, as a clause."""
    s, k, t, r, q = (float(value_at(c)) for c in (1, 2, 3, 4, 6))
    args = (s, k, t, r, q)
    # The quadrature's range (named `european` below) for European values,
    # American calls with q <= 0 and r >= 0, and American puts with r <= 0
    # and q >= r.
    european = ("american" not in function or (not put and q <= 0.0 and r >= 0.0)
                or (put and r <= 0.0 and q >= r))
    engine = "the quadrature" if european else "the grid"
    span = (f"[{MIN_TOTAL_VOLATILITY:g}, {_max_total(european):g}] with a drift "
            f"(|r - q| + sigma^2/2) t of at most {MAX_DRIFT_RATIO:g} times it (or at most "
            f"{DETERMINISTIC_VOLATILITY:g}, the zero-volatility limit)")
    if "implied_volatility" not in function:
        sigma = float(value_at(5))
        total = sigma * math.sqrt(t)
        if not (total <= DETERMINISTIC_VOLATILITY or _resolves(t, r, q, sigma, european)):
            drift = (abs(r - q) + 0.5 * sigma * sigma) * t
            return (f": with cash dividends the total volatility sigma*sqrt(t) = {total:.6g} "
                    f"and the drift {drift:.6g} are outside the range {engine} resolves, {span}")
        return f": {engine}'s value fell outside the no-arbitrage bounds of the model"
    price = float(value_at(0))
    resolved = _volatility_range(t, r, q, european)
    if resolved is None:
        return (f": with cash dividends no volatility at t = {t!r}, r - q = {r - q!r} lies in "
                f"the range {engine} resolves, {span}")
    try:
        low = _price(function, args, resolved[0], put, accuracy, dividends)
        high = _price(function, args, resolved[1], put, accuracy, dividends)
    except ValueError:
        return ""
    if price < low:
        floor = _price(function, args, 0.0, put, accuracy, dividends)
        return (f": the price {price!r} lies between the value at zero volatility "
                f"({floor:.10g}) and the value at the smallest volatility the "
                f"cash-dividend engine resolves (sigma = {resolved[0]:.6g}: {low:.10g}), "
                f"where no volatility reprices it to the engine's accuracy")
    if price > high:
        return (f": the price {price!r} lies above the value at the largest volatility "
                f"the cash-dividend engine resolves (sigma = {resolved[1]:.6g}, sigma*sqrt(t) = "
                f"{_max_total(european):g}: {high:.10g})")
    return ": no volatility within the engine's range reprices it"
