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

Cash dividends: ``dividends=gm.Dividends(times, amounts)`` (value, Greeks and
implied volatility of the spectral method) values every option of the call on
a stock whose spot drops by each amount at its ex-dividend time.  Options
with a dividend before their expiry are valued by the package's
finite-difference solver in log-spot (Crank-Nicolson with Rannacher start,
the jump applied by interpolation, the exercise constraint solved exactly at
every step, Richardson extrapolation); ``accuracy`` picks its grid.  Calls
with q <= 0 and r >= 0, exercised only just before an ex-date, come instead
from the recursion of Gaussian expectations the European values use, with
exercise at each ex-date's eve (to about 1e-10 of the strike, the same at
every ``accuracy``, for sigma*sqrt(t) up to 5; a call with q < 0 whose
exercise there pays only on an interval of spots goes to the grid); puts with
r <= 0 and q >= r, never exercised early, are the European value of that
recursion.  The others, and ``dividends=None`` or an empty schedule, give the
same bits as without a schedule.

Market inputs, broadcasting, ``errors=``, ``reasons=`` and ``threads=`` are
those of ``greekmill.european``; units too (theta per calendar day, vega per 1.0 of
volatility, rho per percentage point of rate).
"""

from __future__ import annotations

from typing import Any

from numpy.typing import ArrayLike

from . import _arrays, _docs
from ._dividends import Dividends, engine_schedule
from ._results import Greeks, Valuation
from ._signatures import (Accuracy, AmericanGreeks, AmericanImpliedVolatility, AmericanValuation,
                          AmericanValue, Array, Errors, ExerciseBoundary, Method, OptionTypes,
                          Precision, Progress)

__all__ = ["price", "delta", "gamma", "theta", "vega", "rho", "greeks", "valuation",
           "exercise_boundary", "implied_volatility"]

# method -> prefix of the engine's operations
_METHODS = {"spectral": "spectral", "bjerksund-stensland": "bjerksund_stensland"}


def _pricing(name: str, output: str, summary: str, returns: str, examples: str) -> Any:
    ops = {method: _arrays.Operation(f"{prefix}_{output}") for method, prefix in _METHODS.items()}
    qualified = f"greekmill.american.{name}"

    def function(s: ArrayLike, k: ArrayLike, t: ArrayLike, r: ArrayLike, sigma: ArrayLike,
                 q: ArrayLike = 0.0, option_type: OptionTypes = "call", *,
                 method: Method = "spectral", accuracy: Accuracy = "accurate",
                 precision: Precision = "exact", errors: Errors = "raise",
                 threads: int | None = None, progress: Progress = False,
                 dividends: Dividends | None = None,
                 out: Array | tuple[Array, ...] | None = None,
                 reasons: bool = False) -> float | Array:
        op = ops.get(method) if isinstance(method, str) else None
        if op is None:
            _arrays._choice(method, tuple(ops), "method")
        if precision != "exact" and method == "spectral":
            raise ValueError("precision applies to method='bjerksund-stensland' only: the "
                             "spectral engine's accuracy is set by accuracy=")
        if method != "spectral" and engine_schedule(dividends) is not None:
            raise ValueError("dividends need method='spectral' (the accurate engine); the "
                             "closed form takes a continuous yield only")
        return _arrays.evaluate(qualified, op, (0.0, s, k, t, r, sigma, q), option_type,
                                precision, accuracy, errors, threads, progress,
                                dividends=dividends, out=out, reasons=reasons)

    function.__name__ = function.__qualname__ = name
    function.__module__ = __name__
    if ops["spectral"].outputs > 1:
        record = ops["spectral"].record.__name__
        function.__annotations__["return"] = f"{record}[float] | {record}[Array]"
    function.__doc__ = _docs.numpydoc(function, summary, returns=returns, raises=_RAISES,
                                      examples=examples)
    return function


_ONE = _docs.ONE_RESULT
_RAISES = _docs.raises_domain("""
    Also ``precision="fast"`` with ``method="spectral"`` (its accuracy is
    set by ``accuracy``) and, for the accurate engine, a solve that did not
    converge.""")

price: AmericanValue = _pricing("price", "price", """\
The value of an American option.

With the accurate engine: the European value plus the early-exercise
premium integrated over the exercise boundary; where early exercise is
never optimal, the European value.
""", _ONE + "the value, in currency units.", """\
>>> import greekmill as gm
>>> round(gm.american.price(100.0, 110.0, 0.5, 0.05, 0.2, 0.02, "put"), 4)
11.3269
>>> round(gm.american.price(100.0, 110.0, 0.5, 0.05, 0.2, 0.02, "put",
...                         method="bjerksund-stensland"), 4)
10.865
>>> gm.american.price(100.0, [100.0, 110.0], 0.5, 0.05, 0.2, 0.02, "put").round(4)
array([ 4.977 , 11.3269])
""")

delta: AmericanValue = _pricing("delta", "delta", """\
Delta of an American option.
""", _ONE + "the change in value per unit change of the spot\n    (dimensionless; -1 where a put is exercised).", """\
>>> import greekmill as gm
>>> round(gm.american.delta(100.0, 110.0, 0.5, 0.05, 0.2, 0.02, "put"), 4)
-0.7306
""")

gamma: AmericanValue = _pricing("gamma", "gamma", """\
Gamma of an American option.
""", _ONE + "the change in delta per unit change of the spot (per\n    currency unit).", """\
>>> import greekmill as gm
>>> round(gm.american.gamma(100.0, 110.0, 0.5, 0.05, 0.2, 0.02, "put"), 4)
0.0289
""")

theta: AmericanValue = _pricing("theta", "theta", """\
Theta of an American option.  For ``"bjerksund-stensland"`` it is the
change in value when expiry comes one day closer, as ``am_theta``.
""", _ONE + "the change in value per calendar day, in currency\n    units; negative when the option loses value with time.", """\
>>> import greekmill as gm
>>> round(gm.american.theta(100.0, 110.0, 0.5, 0.05, 0.2, 0.02, "put"), 4)
-0.0083
""")

vega: AmericanValue = _pricing("vega", "vega", """\
Vega of an American option, the exercise boundary's own sensitivity
included.
""", _ONE + "the change in value per 1.0 of volatility, in\n    currency units (multiply by 0.01 for one volatility point).", """\
>>> import greekmill as gm
>>> round(gm.american.vega(100.0, 110.0, 0.5, 0.05, 0.2, 0.02, "put"), 3)
22.245
""")

rho: AmericanValue = _pricing("rho", "rho", """\
Rho of an American option, the exercise boundary's own sensitivity included.
""", _ONE + "the change in value per percentage point of the\n    rate (0.01 of ``r``), in currency units.", """\
>>> import greekmill as gm
>>> round(gm.american.rho(100.0, 110.0, 0.5, 0.05, 0.2, 0.02, "put"), 4)
-0.2201
""")

greeks: AmericanGreeks = _pricing("greeks", "greeks", """\
The five Greeks of an American option, from one solve of the exercise
boundary with the accurate engine.
""", _docs.GREEKS_RESULT, """\
>>> import greekmill as gm
>>> g = gm.american.greeks(100.0, 110.0, 0.5, 0.05, 0.2, 0.02, "put")
>>> round(g.delta, 4), round(g.gamma, 4)
(-0.7306, 0.0289)
""")

valuation: AmericanValuation = _pricing("valuation", "valuation", """\
The value and the five Greeks of an American option as ``greekmill.Valuation(price,
delta, gamma, theta, vega, rho)``; each field equals the single function's
result bit for bit.  The accurate engine solves the exercise boundary once for
all six.
""", _docs.VALUATION_RESULT, """\
>>> import greekmill as gm
>>> v = gm.american.valuation(100.0, 110.0, 0.5, 0.05, 0.2, 0.02, "put")
>>> round(v.price, 4), round(v.delta, 4)
(11.3269, -0.7306)
""")


def _exercise_boundary() -> Any:
    # tau travels in the spot column: a bad tau is the engine's expiry failure (code 4).
    op = _arrays.Operation("exercise_boundary", ("price", "tau", "k", "t", "r", "sigma", "q"),
                           failure_columns={4: 1})

    def exercise_boundary(tau: ArrayLike, k: ArrayLike, r: ArrayLike, sigma: ArrayLike,
                          q: ArrayLike = 0.0, option_type: OptionTypes = "put", *,
                          accuracy: Accuracy = "accurate", errors: Errors = "raise",
                          threads: int | None = None,
                          progress: Progress = False,
                          out: Array | None = None,
                          reasons: bool = False) -> float | Array:
        return _arrays.evaluate("greekmill.american.exercise_boundary", op,
                                (0.0, tau, k, 0.0, r, sigma, q), option_type, "exact", accuracy,
                                errors, threads, progress, out=out, reasons=reasons)

    exercise_boundary.__module__ = __name__
    exercise_boundary.__qualname__ = "exercise_boundary"
    return exercise_boundary


def _implied_volatility() -> Any:
    op = _arrays.Operation("american_implied_volatility")

    def implied_volatility(price: ArrayLike, s: ArrayLike, k: ArrayLike, t: ArrayLike,
                           r: ArrayLike, q: ArrayLike = 0.0, option_type: OptionTypes = "call",
                           *, accuracy: Accuracy = "accurate", errors: Errors = "raise",
                           threads: int | None = None,
                           progress: Progress = False,
                           dividends: Dividends | None = None,
                           out: Array | None = None,
                           reasons: bool = False) -> float | Array:
        return _arrays.evaluate("greekmill.american.implied_volatility", op,
                                (price, s, k, t, r, 0.0, q), option_type, "exact", accuracy,
                                errors, threads, progress, dividends=dividends, out=out,
                                reasons=reasons)

    implied_volatility.__module__ = __name__
    implied_volatility.__qualname__ = "implied_volatility"
    return implied_volatility


exercise_boundary: ExerciseBoundary = _exercise_boundary()
exercise_boundary.__doc__ = _docs.numpydoc(exercise_boundary, """\
The critical spot of the accurate engine at time to expiry ``tau``: a put is
exercised at or below it, a call at or above it.

Where early exercise is never optimal it is 0 for a put and +inf for a call;
at ``tau == 0`` or ``sigma == 0`` the limit k min(1, r/q) (put) or
k max(1, r/q) (call).
""", returns=_ONE + "the boundary, in currency units.", raises="""\
ValueError
    With ``errors="raise"``, an element outside the domain (``tau >= 0``,
    ``k > 0``, ``sigma >= 0``, all finite), or in the double-boundary regime
    (put with q < r < 0, call with r < q < 0), where the exercise region is
    an interval, not a half-line; shapes that do not broadcast.
TypeError
    An argument that is not a number or an array of numbers.""", examples="""\
>>> import greekmill as gm
>>> round(gm.american.exercise_boundary(0.5, 100.0, 0.05, 0.2, 0.02), 4)
81.5876
>>> gm.american.exercise_boundary([0.0, 0.5, 2.0], 100.0, 0.05, 0.2, 0.02).round(2)
array([100.  ,  81.59,  74.08])
""")

implied_volatility: AmericanImpliedVolatility = _implied_volatility()
implied_volatility.__doc__ = _docs.numpydoc(implied_volatility, """\
The volatility at which the accurate engine's American value is ``price``.

A bracketed secant iteration on the early-exercise premium: each step prices
once with the engine, models the premium as linear in the volatility through
the last two steps and solves European value + premium = price with the
European solver (the first step is the European implied volatility of the
price less its premium).  A step that leaves the bracket of the root
bisects, so the iteration never diverges.
""", returns=_ONE + "the volatility, as an annual fraction (0.2 is 20 %).", raises="""\
ValueError
    With ``errors="raise"``: a price below the lower no-arbitrage bound (the
    larger of the exercise value and the value at zero volatility; the
    message gives both and the intrinsic value), at or above the spot (call)
    or strike (put), or equal to the exercise value (every low enough
    volatility gives it, so it carries no information about volatility);
    out of the money, a positive price within 4 ulps of the spot (call) or
    strike (put), too small for the engine to invert; also the domain
    errors of the other functions.
TypeError
    An argument that is not a number or an array of numbers.""", examples="""\
>>> import greekmill as gm
>>> value = gm.american.price(100.0, 110.0, 0.5, 0.05, 0.2, 0.02, "put")
>>> round(gm.american.implied_volatility(value, 100.0, 110.0, 0.5, 0.05, 0.02, "put"), 9)
0.2
""")
