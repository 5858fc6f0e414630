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
dividend before its expiry is valued by the package's finite-difference
solver in log-spot (to about 1e-7 of the strike, see the README), with any
``precision``; the others, and ``dividends=None`` or an empty schedule, give
the same bits as without a schedule.

Keyword-only options: ``precision="exact"`` (the platform's maths library);
``errors="raise"`` (ValueError naming the parameter, the value and the first
failing index) or ``"nan"``; ``threads=None`` (every CPU the process may use)
or a maximum number of threads; ``out=None`` or the array (a tuple of arrays
for ``greeks`` and ``valuation``) to write into.  pandas Series in give a
Series (a DataFrame for ``greeks`` and ``valuation``) on their aligned index.
"""

from __future__ import annotations

from typing import Any

from . import _arrays
from ._dividends import Dividends
from ._signatures import (EuropeanGreeks, EuropeanImpliedVolatility, EuropeanValuation,
                          EuropeanValue)

__all__ = ["price", "delta", "gamma", "theta", "vega", "rho", "greeks", "valuation",
           "implied_volatility"]


def _pricing(name: str, operation: str, doc: str) -> Any:
    op = _arrays.Operation(operation)
    qualified = f"greekmill.european.{name}"

    def function(s: Any, k: Any, t: Any, r: Any, sigma: Any, q: Any = 0.0,
                 option_type: Any = "call", *, precision: str = "exact",
                 errors: str = "raise", threads: int | None = None,
                 progress: Any = False, dividends: Dividends | None = None,
                 out: Any = None) -> Any:
        return _arrays.evaluate(qualified, op, (0.0, s, k, t, r, sigma, q), option_type,
                                precision, "accurate", errors, threads, progress,
                                dividends=dividends, out=out)

    function.__name__ = function.__qualname__ = name
    function.__module__ = __name__
    function.__doc__ = doc
    return function


price: EuropeanValue = _pricing("price", "european_price", """\
The Black-Scholes-Merton value of a European option, in currency units.

    call = s e^(-qt) N(d1) - k e^(-rt) N(d2),  put = k e^(-rt) N(-d2) - s e^(-qt) N(-d1)

The lower tail of N comes from erfc, and where the two terms nearly cancel
(out of the money with little total volatility) their difference is formed in
extended precision, so deep out-of-the-money values keep their relative
accuracy.  At t == 0 or sigma == 0: the discounted intrinsic value of the
forward, max(s e^(-qt) - k e^(-rt), 0) for a call.
""")

delta: EuropeanValue = _pricing("delta", "european_delta", """\
Delta of a European option, per unit of spot: bit for bit ``bs_delta``.
""")

gamma: EuropeanValue = _pricing("gamma", "european_gamma", """\
Gamma of a European option, per unit of spot squared: bit for bit ``bs_gamma``
(``option_type`` is accepted and does not matter).
""")

theta: EuropeanValue = _pricing("theta", "european_theta", """\
Theta of a European option, per calendar day (the annual rate / 365):
bit for bit ``bs_theta``.  Negative when the option loses value with time.
""")

vega: EuropeanValue = _pricing("vega", "european_vega", """\
Vega of a European option, per 1.0 of volatility (multiply by 0.01 for one
volatility point): bit for bit ``bs_vega``.
""")

rho: EuropeanValue = _pricing("rho", "european_rho", """\
Rho of a European option, per percentage point of the rate: bit for bit ``bs_rho``.
""")

greeks: EuropeanGreeks = _pricing("greeks", "european_greeks", """\
The five Greeks of a European option as ``greekmill.Greeks(delta, gamma,
theta, vega, rho)``: each field equals the single function bit for bit.
""")

valuation: EuropeanValuation = _pricing("valuation", "european_valuation", """\
The value and the five Greeks of a European option as ``greekmill.Valuation(price,
delta, gamma, theta, vega, rho)``, from one evaluation of their common terms
(d1, d2, the discount factors, N(+-d1), N(+-d2), n(d1)): each field equals
``price`` or the single Greek bit for bit.
""")


def _implied_volatility() -> Any:
    op = _arrays.Operation("european_implied_volatility")

    def implied_volatility(price: Any, s: Any, k: Any, t: Any, r: Any, q: Any = 0.0,
                           option_type: Any = "call", *, errors: str = "raise",
                           threads: int | None = None, progress: Any = False,
                           dividends: Dividends | None = None, out: Any = None) -> Any:
        return _arrays.evaluate("greekmill.european.implied_volatility", op,
                                (price, s, k, t, r, 0.0, q), option_type, "exact", "accurate",
                                errors, threads, progress, dividends=dividends, out=out)

    implied_volatility.__module__ = __name__
    implied_volatility.__qualname__ = "implied_volatility"
    return implied_volatility


implied_volatility: EuropeanImpliedVolatility = _implied_volatility()
implied_volatility.__doc__ = """\
The Black-Scholes-Merton volatility (annual) at which the European value is
``price``.

After Jaeckel's "Let's Be Rational": the price is reduced to the normalised
out-of-the-money Black price (in the money through put-call parity), a
rational initial guess on one of four branches is refined by two third-order
Householder steps; the result is as accurate as the double price allows,
down to normalised prices of the smallest positive double.

Prices outside the no-arbitrage bounds are out of the domain: below the
discounted intrinsic value of the forward, or at or above the discounted spot
(call) or the discounted strike (put).  A price equal to that lower bound
gives 0.  At t == 0 no volatility can be told from the price.
"""
