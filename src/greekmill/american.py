"""American options.

Two engines, chosen by ``method``:

- ``"spectral"`` (the default): the accurate engine.  The early-exercise
  boundary is solved from its integral equation (Andersen, Lake and
  Offengenden, 2016) on Chebyshev nodes in the square root of the time to
  expiry, and the value is the European value plus the early-exercise
  premium; all five Greeks come from the same solve.  ``accuracy`` is
  ``"fast"``, ``"accurate"`` (default) or ``"high"``; the README gives each
  tier's measured error and cost.  Where early exercise is never optimal it
  returns the European value; the double-boundary regime (puts with
  q < r < 0, calls with r < q < 0) is solved too.
- ``"bjerksund-stensland"``: the closed form of ``greekmill_python``; price and
  Greeks equal ``am_price`` ... ``am_greeks`` bit for bit, element by element.
  It is a lower bound that misses most of the early-exercise premium (see the
  README); its Greeks are finite differences of that value.

Market inputs, broadcasting, ``errors=`` and ``threads=`` are those of
``greekmill.european``; units too (theta per calendar day, vega per 1.0 of
volatility, rho per percentage point of rate).
"""

from __future__ import annotations

from typing import Any

from . import _arrays
from ._signatures import (AmericanGreeks, AmericanImpliedVolatility, AmericanValue,
                          ExerciseBoundary)

__all__ = ["price", "delta", "gamma", "theta", "vega", "rho", "greeks", "exercise_boundary",
           "implied_volatility"]

# method -> prefix of the engine's operations
_METHODS = {"spectral": "spectral", "bjerksund-stensland": "bjerksund_stensland"}


def _pricing(name: str, output: str, doc: str) -> Any:
    ops = {method: _arrays.Operation(f"{prefix}_{output}") for method, prefix in _METHODS.items()}
    qualified = f"greekmill.american.{name}"

    def function(s: Any, k: Any, t: Any, r: Any, sigma: Any, q: Any = 0.0,
                 option_type: Any = "call", *, method: str = "spectral", accuracy: str = "accurate",
                 precision: str = "exact", errors: str = "raise",
                 threads: int | None = None) -> Any:
        op = ops.get(method) if isinstance(method, str) else None
        if op is None:
            _arrays._choice(method, tuple(ops), "method")
        if precision != "exact" and method == "spectral":
            raise ValueError("precision applies to method='bjerksund-stensland' only: the "
                             "spectral engine's accuracy is set by accuracy=")
        return _arrays.evaluate(qualified, op, (0.0, s, k, t, r, sigma, q), option_type,
                                precision, accuracy, errors, threads)

    function.__name__ = function.__qualname__ = name
    function.__module__ = __name__
    function.__doc__ = doc
    return function


price: AmericanValue = _pricing("price", "price", """\
The value of an American option, in currency units.
""")

delta: AmericanValue = _pricing("delta", "delta", """\
Delta of an American option, per unit of spot.
""")

gamma: AmericanValue = _pricing("gamma", "gamma", """\
Gamma of an American option, per unit of spot squared.
""")

theta: AmericanValue = _pricing("theta", "theta", """\
Theta of an American option, per calendar day.  For ``"bjerksund-stensland"``
it is the change in value when expiry comes one day closer, as ``am_theta``.
""")

vega: AmericanValue = _pricing("vega", "vega", """\
Vega of an American option, per 1.0 of volatility.
""")

rho: AmericanValue = _pricing("rho", "rho", """\
Rho of an American option, per percentage point of the rate.
""")

greeks: AmericanGreeks = _pricing("greeks", "greeks", """\
The five Greeks of an American option as ``greekmill.Greeks``.
""")


def _exercise_boundary() -> Any:
    op = _arrays.Operation("exercise_boundary", ("price", "tau", "k", "t", "r", "sigma", "q"))

    def exercise_boundary(tau: Any, k: Any, r: Any, sigma: Any, q: Any = 0.0,
                          option_type: Any = "put", *, accuracy: str = "accurate",
                          errors: str = "raise", threads: int | None = None) -> Any:
        return _arrays.evaluate("greekmill.american.exercise_boundary", op,
                                (0.0, tau, k, 0.0, r, sigma, q), option_type, "exact", accuracy,
                                errors, threads)

    exercise_boundary.__module__ = __name__
    exercise_boundary.__qualname__ = "exercise_boundary"
    return exercise_boundary


def _implied_volatility() -> Any:
    op = _arrays.Operation("american_implied_volatility")

    def implied_volatility(price: Any, s: Any, k: Any, t: Any, r: Any, q: Any = 0.0,
                           option_type: Any = "call", *, accuracy: str = "accurate",
                           errors: str = "raise", threads: int | None = None) -> Any:
        return _arrays.evaluate("greekmill.american.implied_volatility", op,
                                (price, s, k, t, r, 0.0, q), option_type, "exact", accuracy,
                                errors, threads)

    implied_volatility.__module__ = __name__
    implied_volatility.__qualname__ = "implied_volatility"
    return implied_volatility


exercise_boundary: ExerciseBoundary = _exercise_boundary()
exercise_boundary.__doc__ = """\
The critical spot of the accurate engine at time to expiry ``tau`` (years):
a put is exercised at or below it, a call at or above it.  Where early
exercise is never optimal it is 0 for a put and +inf for a call.
"""

implied_volatility: AmericanImpliedVolatility = _implied_volatility()
implied_volatility.__doc__ = """\
The volatility at which the accurate engine's American value is ``price``.

A bracketed secant iteration on the early-exercise premium: each step prices
once with the engine, models the premium as linear in the volatility through
the last two steps and solves European value + premium = price with the
European solver (the first step is the European implied volatility of the
price less its premium).  A step that leaves the bracket of the root
bisects, so the iteration never diverges.  Prices
below the exercise value or at or above the spot (call) or strike (put) are
out of the domain; a price equal to the exercise value carries no
information about volatility (every low enough volatility gives it) and is
reported as such.
"""
