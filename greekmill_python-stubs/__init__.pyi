"""Option Greeks: Black-Scholes (European) and Bjerksund-Stensland 2002 (American).

Every function takes the spot ``s``, the strike ``k``, the time to expiry ``t``
in years, the continuously compounded rate ``r``, the volatility ``sigma`` and
the continuous dividend yield ``q`` (annual fractions: 0.05 is 5 %), plus
``option_type`` ("call" or "put"; "c", "p" and any letter case are accepted)
wherever the result depends on it.  Units: theta per calendar day, vega per 1.0
of volatility, rho per percentage point of rate.
"""

from typing import final

__all__ = [
    "bs_delta",
    "bs_gamma",
    "bs_theta",
    "bs_vega",
    "bs_rho",
    "bs_greeks",
    "am_price",
    "am_delta",
    "am_gamma",
    "am_theta",
    "am_vega",
    "am_rho",
    "am_greeks",
    "PyGreeks",
]

@final
class PyGreeks:
    """Container for all option Greeks returned to Python.

    Made only by ``bs_greeks`` and ``am_greeks``; calling the class raises
    TypeError, and the five attributes are read-only.
    """

    @property
    def delta(self) -> float: ...
    @property
    def gamma(self) -> float: ...
    @property
    def theta(self) -> float: ...
    @property
    def vega(self) -> float: ...
    @property
    def rho(self) -> float: ...

def bs_delta(
    s: float, k: float, t: float, r: float, sigma: float, q: float = 0.0, option_type: str = "call"
) -> float:
    """European delta (Black-Scholes), per unit of spot."""

def bs_gamma(s: float, k: float, t: float, r: float, sigma: float, q: float = 0.0) -> float:
    """European gamma (Black-Scholes); the same for calls and puts."""

def bs_theta(
    s: float, k: float, t: float, r: float, sigma: float, q: float = 0.0, option_type: str = "call"
) -> float:
    """European theta (Black-Scholes), per calendar day."""

def bs_vega(s: float, k: float, t: float, r: float, sigma: float, q: float = 0.0) -> float:
    """European vega (Black-Scholes), per 1.0 of volatility; the same for calls and puts."""

def bs_rho(
    s: float, k: float, t: float, r: float, sigma: float, q: float = 0.0, option_type: str = "call"
) -> float:
    """European rho (Black-Scholes), per percentage point of rate."""

def bs_greeks(
    s: float, k: float, t: float, r: float, sigma: float, q: float = 0.0, option_type: str = "call"
) -> PyGreeks:
    """All five European Greeks (Black-Scholes) at once."""

def am_price(
    s: float, k: float, t: float, r: float, sigma: float, q: float = 0.0, option_type: str = "call"
) -> float:
    """American value (Bjerksund-Stensland 2002), never below the intrinsic value."""

def am_delta(
    s: float, k: float, t: float, r: float, sigma: float, q: float = 0.0, option_type: str = "call"
) -> float:
    """American delta: central difference of ``am_price`` with a spot step of 0.01 %."""

def am_gamma(
    s: float, k: float, t: float, r: float, sigma: float, q: float = 0.0, option_type: str = "call"
) -> float:
    """American gamma: second central difference of ``am_price`` in the spot."""

def am_theta(
    s: float, k: float, t: float, r: float, sigma: float, q: float = 0.0, option_type: str = "call"
) -> float:
    """American theta: change of ``am_price`` over one calendar day."""

def am_vega(
    s: float, k: float, t: float, r: float, sigma: float, q: float = 0.0, option_type: str = "call"
) -> float:
    """American vega: central difference of ``am_price``, per 1.0 of volatility."""

def am_rho(
    s: float, k: float, t: float, r: float, sigma: float, q: float = 0.0, option_type: str = "call"
) -> float:
    """American rho: central difference of ``am_price``, per percentage point of rate."""

def am_greeks(
    s: float, k: float, t: float, r: float, sigma: float, q: float = 0.0, option_type: str = "call"
) -> PyGreeks:
    """All five American Greeks at once, each equal to its single function's value."""
