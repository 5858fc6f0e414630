"""The cash dividends of one underlying."""

from __future__ import annotations

import datetime
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
