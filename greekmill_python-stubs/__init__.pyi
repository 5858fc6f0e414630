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
    def delta(self) -> float:
        """Change in value per unit change of the spot."""
    @property
    def gamma(self) -> float:
        """Change in delta per unit change of the spot."""
    @property
    def theta(self) -> float:
        """Change in value per calendar day, in currency units."""
    @property
    def vega(self) -> float:
        """Change in value per 1.0 of volatility, in currency units."""
    @property
    def rho(self) -> float:
        """Change in value per percentage point of the rate, in currency units."""

def bs_delta(
    s: float, k: float, t: float, r: float, sigma: float, q: float = 0.0, option_type: str = "call"
) -> float:
    """European delta (Black-Scholes): change in value per unit of spot.

    Args:
        s: spot price of the underlying, in currency units
        k: strike, in the same currency units
        t: time to expiry in years (a calendar day is 1/365)
        r: risk-free rate, continuously compounded, annual fraction (0.05 is 5 %)
        sigma: volatility, annual fraction (0.2 is 20 %)
        q: continuous dividend yield, annual fraction (0.01 is 1 %)
        option_type: "call" or "put" ("c", "p", any letter case)
    """

def bs_gamma(s: float, k: float, t: float, r: float, sigma: float, q: float = 0.0) -> float:
    """European gamma (Black-Scholes): change in delta per unit of spot; the same for calls
    and puts.

    Args:
        s: spot price of the underlying, in currency units
        k: strike, in the same currency units
        t: time to expiry in years (a calendar day is 1/365)
        r: risk-free rate, continuously compounded, annual fraction (0.05 is 5 %)
        sigma: volatility, annual fraction (0.2 is 20 %)
        q: continuous dividend yield, annual fraction (0.01 is 1 %)
    """

def bs_theta(
    s: float, k: float, t: float, r: float, sigma: float, q: float = 0.0, option_type: str = "call"
) -> float:
    """European theta (Black-Scholes), in currency units per calendar day (the annual rate
    / 365).

    Args:
        s: spot price of the underlying, in currency units
        k: strike, in the same currency units
        t: time to expiry in years (a calendar day is 1/365)
        r: risk-free rate, continuously compounded, annual fraction (0.05 is 5 %)
        sigma: volatility, annual fraction (0.2 is 20 %)
        q: continuous dividend yield, annual fraction (0.01 is 1 %)
        option_type: "call" or "put" ("c", "p", any letter case)
    """

def bs_vega(s: float, k: float, t: float, r: float, sigma: float, q: float = 0.0) -> float:
    """European vega (Black-Scholes), in currency units per 1.0 of volatility (0.01 for one
    volatility point); the same for calls and puts.

    Args:
        s: spot price of the underlying, in currency units
        k: strike, in the same currency units
        t: time to expiry in years (a calendar day is 1/365)
        r: risk-free rate, continuously compounded, annual fraction (0.05 is 5 %)
        sigma: volatility, annual fraction (0.2 is 20 %)
        q: continuous dividend yield, annual fraction (0.01 is 1 %)
    """

def bs_rho(
    s: float, k: float, t: float, r: float, sigma: float, q: float = 0.0, option_type: str = "call"
) -> float:
    """European rho (Black-Scholes), in currency units per percentage point of rate.

    Args:
        s: spot price of the underlying, in currency units
        k: strike, in the same currency units
        t: time to expiry in years (a calendar day is 1/365)
        r: risk-free rate, continuously compounded, annual fraction (0.05 is 5 %)
        sigma: volatility, annual fraction (0.2 is 20 %)
        q: continuous dividend yield, annual fraction (0.01 is 1 %)
        option_type: "call" or "put" ("c", "p", any letter case)
    """

def bs_greeks(
    s: float, k: float, t: float, r: float, sigma: float, q: float = 0.0, option_type: str = "call"
) -> PyGreeks:
    """All five European Greeks (Black-Scholes) at once: delta per unit of spot, gamma per
    unit of spot squared, theta per calendar day, vega per 1.0 of volatility, rho per
    percentage point of rate.

    Args:
        s: spot price of the underlying, in currency units
        k: strike, in the same currency units
        t: time to expiry in years (a calendar day is 1/365)
        r: risk-free rate, continuously compounded, annual fraction (0.05 is 5 %)
        sigma: volatility, annual fraction (0.2 is 20 %)
        q: continuous dividend yield, annual fraction (0.01 is 1 %)
        option_type: "call" or "put" ("c", "p", any letter case)
    """

def am_price(
    s: float, k: float, t: float, r: float, sigma: float, q: float = 0.0, option_type: str = "call"
) -> float:
    """American value (Bjerksund-Stensland 2002), in currency units, never below the
    intrinsic value.

    Args:
        s: spot price of the underlying, in currency units
        k: strike, in the same currency units
        t: time to expiry in years (a calendar day is 1/365)
        r: risk-free rate, continuously compounded, annual fraction (0.05 is 5 %)
        sigma: volatility, annual fraction (0.2 is 20 %)
        q: continuous dividend yield, annual fraction (0.01 is 1 %)
        option_type: "call" or "put" ("c", "p", any letter case)
    """

def am_delta(
    s: float, k: float, t: float, r: float, sigma: float, q: float = 0.0, option_type: str = "call"
) -> float:
    """American delta: central difference of ``am_price`` with a spot step of 0.01 %, per
    unit of spot.

    Args:
        s: spot price of the underlying, in currency units
        k: strike, in the same currency units
        t: time to expiry in years (a calendar day is 1/365)
        r: risk-free rate, continuously compounded, annual fraction (0.05 is 5 %)
        sigma: volatility, annual fraction (0.2 is 20 %)
        q: continuous dividend yield, annual fraction (0.01 is 1 %)
        option_type: "call" or "put" ("c", "p", any letter case)
    """

def am_gamma(
    s: float, k: float, t: float, r: float, sigma: float, q: float = 0.0, option_type: str = "call"
) -> float:
    """American gamma: second central difference of ``am_price`` in the spot, per unit of
    spot squared.

    Args:
        s: spot price of the underlying, in currency units
        k: strike, in the same currency units
        t: time to expiry in years (a calendar day is 1/365)
        r: risk-free rate, continuously compounded, annual fraction (0.05 is 5 %)
        sigma: volatility, annual fraction (0.2 is 20 %)
        q: continuous dividend yield, annual fraction (0.01 is 1 %)
        option_type: "call" or "put" ("c", "p", any letter case)
    """

def am_theta(
    s: float, k: float, t: float, r: float, sigma: float, q: float = 0.0, option_type: str = "call"
) -> float:
    """American theta: change of ``am_price``, in currency units, when expiry comes one
    calendar day closer.

    Args:
        s: spot price of the underlying, in currency units
        k: strike, in the same currency units
        t: time to expiry in years (a calendar day is 1/365)
        r: risk-free rate, continuously compounded, annual fraction (0.05 is 5 %)
        sigma: volatility, annual fraction (0.2 is 20 %)
        q: continuous dividend yield, annual fraction (0.01 is 1 %)
        option_type: "call" or "put" ("c", "p", any letter case)
    """

def am_vega(
    s: float, k: float, t: float, r: float, sigma: float, q: float = 0.0, option_type: str = "call"
) -> float:
    """American vega: central difference of ``am_price``, in currency units per 1.0 of
    volatility.

    Args:
        s: spot price of the underlying, in currency units
        k: strike, in the same currency units
        t: time to expiry in years (a calendar day is 1/365)
        r: risk-free rate, continuously compounded, annual fraction (0.05 is 5 %)
        sigma: volatility, annual fraction (0.2 is 20 %)
        q: continuous dividend yield, annual fraction (0.01 is 1 %)
        option_type: "call" or "put" ("c", "p", any letter case)
    """

def am_rho(
    s: float, k: float, t: float, r: float, sigma: float, q: float = 0.0, option_type: str = "call"
) -> float:
    """American rho: central difference of ``am_price``, in currency units per percentage
    point of rate.

    Args:
        s: spot price of the underlying, in currency units
        k: strike, in the same currency units
        t: time to expiry in years (a calendar day is 1/365)
        r: risk-free rate, continuously compounded, annual fraction (0.05 is 5 %)
        sigma: volatility, annual fraction (0.2 is 20 %)
        q: continuous dividend yield, annual fraction (0.01 is 1 %)
        option_type: "call" or "put" ("c", "p", any letter case)
    """

def am_greeks(
    s: float, k: float, t: float, r: float, sigma: float, q: float = 0.0, option_type: str = "call"
) -> PyGreeks:
    """All five American Greeks at once, each equal to its single function's value (units
    as in ``am_delta`` ... ``am_rho``).

    Args:
        s: spot price of the underlying, in currency units
        k: strike, in the same currency units
        t: time to expiry in years (a calendar day is 1/365)
        r: risk-free rate, continuously compounded, annual fraction (0.05 is 5 %)
        sigma: volatility, annual fraction (0.2 is 20 %)
        q: continuous dividend yield, annual fraction (0.01 is 1 %)
        option_type: "call" or "put" ("c", "p", any letter case)
    """
