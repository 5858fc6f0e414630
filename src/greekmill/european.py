"""European options under Black-Scholes-Merton with a continuous dividend yield.

Every function takes the market inputs in the order of ``greekmill_python``:

    s      spot price of the underlying         (currency units)
    k      strike                               (same currency units)
    t      time to expiry                       (years)
    r      risk-free rate, continuous           (annual fraction: 0.05 is 5 %)
    sigma  volatility                           (annual fraction)
    q      dividend yield, continuous           (annual fraction), default 0.0
    option_type  "call" or "put" ("c", "p", any letter case), default "call"

Numbers are Python numbers or anything ``numpy.asarray`` accepts; they
broadcast together (``option_type`` too, as an array of strings).  All-scalar
arguments give a float, anything else a new float64 array of the broadcast
shape.  The Greeks equal the ``bs_*`` functions of ``greekmill_python`` bit for
bit where the total volatility sigma * sqrt(t) is positive; at t == 0 or
sigma == 0 they are the limits of the formulas.

Cash dividends: ``dividends=gm.Dividends(times, amounts)`` values every option
of the call on a stock whose spot drops by each amount at its ex-dividend
time (never below 0); ``q`` may be combined with it.  An option with a
dividend before its expiry is valued as the expectation over the log-normal
moves between ex-dates, by Gauss-Legendre quadrature (to about 1e-8 of the
strike, see the README), with any ``precision``; the others, and
``dividends=None`` or an empty schedule, give the same bits as without a
schedule.

Keyword-only options: ``precision="exact"`` (the platform's maths library);
``errors="raise"`` (ValueError naming the parameter, the value and the first
failing index) or ``"nan"``; ``threads=None`` (every CPU the process may use)
or a maximum number of threads; ``out=None`` or the array (a tuple of arrays
for ``greeks`` and ``valuation``) to write into; ``reasons=True`` returns
``(result, reason)``, a ``greekmill.Reason`` per element saying why it is NaN.
pandas Series in give a Series (a DataFrame for ``greeks`` and ``valuation``)
on their aligned index.
"""

from __future__ import annotations

from typing import Any

from numpy.typing import ArrayLike

from . import _arrays, _docs
from ._dividends import Dividends
from ._results import Greeks, Valuation
from ._signatures import (Array, Errors, EuropeanGreeks, EuropeanImpliedVolatility,
                          EuropeanValuation, EuropeanValue, OptionTypes, Precision, Progress)

__all__ = ["price", "delta", "gamma", "theta", "vega", "rho", "greeks", "valuation",
           "implied_volatility"]


def _pricing(name: str, operation: str, summary: str, returns: str, examples: str) -> Any:
    op = _arrays.Operation(operation)
    qualified = f"greekmill.european.{name}"

    def function(s: ArrayLike, k: ArrayLike, t: ArrayLike, r: ArrayLike, sigma: ArrayLike,
                 q: ArrayLike = 0.0, option_type: OptionTypes = "call", *,
                 precision: Precision = "exact", errors: Errors = "raise",
                 threads: int | None = None, progress: Progress = False,
                 dividends: Dividends | None = None,
                 out: Array | tuple[Array, ...] | None = None,
                 reasons: bool = False) -> float | Array:
        return _arrays.evaluate(qualified, op, (0.0, s, k, t, r, sigma, q), option_type,
                                precision, "accurate", errors, threads, progress,
                                dividends=dividends, out=out, reasons=reasons)

    function.__name__ = function.__qualname__ = name
    function.__module__ = __name__
    if op.outputs > 1:
        record = op.record.__name__
        function.__annotations__["return"] = f"{record}[float] | {record}[Array]"
    function.__doc__ = _docs.numpydoc(function, summary, returns=returns,
                                      raises=_docs.RAISES_DOMAIN, examples=examples)
    return function


_ONE = _docs.ONE_RESULT

price: EuropeanValue = _pricing("price", "european_price", """\
The Black-Scholes-Merton value of a European option.

    call = s e^(-qt) N(d1) - k e^(-rt) N(d2),  put = k e^(-rt) N(-d2) - s e^(-qt) N(-d1)

The lower tail of N comes from erfc, and where the two terms nearly cancel
(out of the money with little total volatility) their difference is formed in
extended precision, so deep out-of-the-money values keep their relative
accuracy.  At t == 0 or sigma == 0: the discounted intrinsic value of the
forward, max(s e^(-qt) - k e^(-rt), 0) for a call.
""", _ONE + "the value, in currency units.", """\
>>> import greekmill as gm
>>> round(gm.european.price(100.0, 100.0, 1.0, 0.05, 0.2), 6)
10.450584
>>> gm.european.price(100.0, [90.0, 100.0, 110.0], 1.0, 0.05, 0.2, 0.02, "put").round(4)
array([ 2.7145,  6.3301, 11.804 ])
""")

delta: EuropeanValue = _pricing("delta", "european_delta", """\
Delta of a European option: bit for bit ``greekmill_python.bs_delta``.
""", _ONE + "the change in value per unit change of the spot\n    (dimensionless: e^(-qt) N(d1) for a call).", """\
>>> import greekmill as gm
>>> gm.european.delta(100.0, 100.0, 1.0, 0.05, 0.2)
0.6368306511756191
>>> gm.european.delta(100.0, [90.0, 110.0], 1.0, 0.05, 0.2).round(4)
array([0.8097, 0.4496])
""")

gamma: EuropeanValue = _pricing("gamma", "european_gamma", """\
Gamma of a European option: bit for bit ``greekmill_python.bs_gamma``
(``option_type`` is accepted and does not matter).
""", _ONE + "the change in delta per unit change of the spot (per\n    currency unit).", """\
>>> import greekmill as gm
>>> round(gm.european.gamma(100.0, 100.0, 1.0, 0.05, 0.2), 6)
0.018762
""")

theta: EuropeanValue = _pricing("theta", "european_theta", """\
Theta of a European option: bit for bit ``greekmill_python.bs_theta``.
""", _ONE + "the change in value per calendar day (the annual rate\n    divided by 365), in currency units; negative when the option loses value\n    with time.", """\
>>> import greekmill as gm
>>> round(gm.european.theta(100.0, 100.0, 1.0, 0.05, 0.2), 6)
-0.017573
""")

vega: EuropeanValue = _pricing("vega", "european_vega", """\
Vega of a European option: bit for bit ``greekmill_python.bs_vega``.
""", _ONE + "the change in value per 1.0 of volatility, in\n    currency units (multiply by 0.01 for one volatility point).", """\
>>> import greekmill as gm
>>> round(gm.european.vega(100.0, 100.0, 1.0, 0.05, 0.2), 6)
37.524035
""")

rho: EuropeanValue = _pricing("rho", "european_rho", """\
Rho of a European option: bit for bit ``greekmill_python.bs_rho``.
""", _ONE + "the change in value per percentage point of the\n    rate (0.01 of ``r``), in currency units.", """\
>>> import greekmill as gm
>>> round(gm.european.rho(100.0, 100.0, 1.0, 0.05, 0.2), 6)
0.532325
""")

greeks: EuropeanGreeks = _pricing("greeks", "european_greeks", """\
The five Greeks of a European option, each field bit for bit the single
function's.
""", _docs.GREEKS_RESULT, """\
>>> import greekmill as gm
>>> g = gm.european.greeks(100.0, 100.0, 1.0, 0.05, 0.2, option_type="put")
>>> round(g.delta, 6), round(g.vega, 6)
(-0.363169, 37.524035)
""")

valuation: EuropeanValuation = _pricing("valuation", "european_valuation", """\
The value and the five Greeks of a European option as ``greekmill.Valuation(price,
delta, gamma, theta, vega, rho)``, from one evaluation of their common terms
(d1, d2, the discount factors, N(+-d1), N(+-d2), n(d1)): each field equals
``price`` or the single Greek bit for bit.
""", _docs.VALUATION_RESULT, """\
>>> import greekmill as gm
>>> v = gm.european.valuation(100.0, 100.0, 1.0, 0.05, 0.2)
>>> round(v.price, 6), round(v.delta, 6)
(10.450584, 0.636831)
""")


def _implied_volatility() -> Any:
    op = _arrays.Operation("european_implied_volatility")

    def implied_volatility(price: ArrayLike, s: ArrayLike, k: ArrayLike, t: ArrayLike,
                           r: ArrayLike, q: ArrayLike = 0.0, option_type: OptionTypes = "call",
                           *, errors: Errors = "raise",
                           threads: int | None = None,
                           progress: Progress = False,
                           dividends: Dividends | None = None,
                           out: Array | None = None,
                           reasons: bool = False) -> float | Array:
        return _arrays.evaluate("greekmill.european.implied_volatility", op,
                                (price, s, k, t, r, 0.0, q), option_type, "exact", "accurate",
                                errors, threads, progress, dividends=dividends, out=out,
                                reasons=reasons)

    implied_volatility.__module__ = __name__
    implied_volatility.__qualname__ = "implied_volatility"
    return implied_volatility


implied_volatility: EuropeanImpliedVolatility = _implied_volatility()
implied_volatility.__doc__ = _docs.numpydoc(implied_volatility, """\
The Black-Scholes-Merton volatility at which the European value is ``price``.

After Jaeckel's "Let's Be Rational": the price is reduced to the normalised
out-of-the-money Black price (in the money through put-call parity), a
rational initial guess on one of four branches is refined by two third-order
Householder steps; the result is as accurate as the double price allows,
down to normalised prices of the smallest positive double.
""", returns=_ONE + "the volatility, as an annual fraction (0.2 is 20 %).", raises="""\
ValueError
    With ``errors="raise"``, a price outside the no-arbitrage bounds: below
    the value at zero volatility, max(s e^(-qt) - k e^(-rt), 0) for a call
    (the message gives the bound and the intrinsic value), or at or above the
    discounted spot (call) or discounted strike (put); at t == 0 no
    volatility can be told from the price.  A price equal to the lower bound
    gives 0.  Also the domain errors of the other functions.
TypeError
    An argument that is not a number or an array of numbers.""", examples="""\
>>> import greekmill as gm
>>> value = gm.european.price(100.0, 100.0, 1.0, 0.05, 0.2)
>>> round(gm.european.implied_volatility(value, 100.0, 100.0, 1.0, 0.05), 12)
0.2
""")
