"""American options.

Two engines, chosen by ``method``:

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
from ._signatures import AmericanGreeks, AmericanValue

__all__ = ["price", "delta", "gamma", "theta", "vega", "rho", "greeks"]

# method -> prefix of the engine's operations
_METHODS = {"bjerksund-stensland": "bjerksund_stensland"}


def _pricing(name: str, output: str, doc: str) -> Any:
    ops = {method: _arrays.Operation(f"{prefix}_{output}") for method, prefix in _METHODS.items()}
    qualified = f"greekmill.american.{name}"

    def function(s: Any, k: Any, t: Any, r: Any, sigma: Any, q: Any = 0.0,
                 option_type: Any = "call", *, method: str, accuracy: str = "accurate",
                 precision: str = "exact", errors: str = "raise",
                 threads: int | None = None) -> Any:
        op = ops.get(method) if isinstance(method, str) else None
        if op is None:
            _arrays._choice(method, tuple(ops), "method")
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
