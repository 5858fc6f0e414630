"""Ordinary use of greekmill_python; mypy --strict must accept every line."""

import greekmill_python as gm
from greekmill_python import PyGreeks, am_greeks, bs_gamma

spot: float = 100.0
delta: float = gm.bs_delta(spot, 100.0, 1.0, 0.05, 0.2)
put_delta: float = gm.bs_delta(spot, 100, 1, 0.05, 0.2, 0.01, "put")  # ints are floats
gamma: float = bs_gamma(s=spot, k=100.0, t=1.0, r=0.05, sigma=0.2, q=0.0)
vega: float = gm.bs_vega(spot, 100.0, 1.0, 0.05, 0.2)
theta: float = gm.bs_theta(spot, 100.0, 1.0, 0.05, 0.2, option_type="p")
rho: float = gm.bs_rho(sigma=0.2, r=0.05, t=1.0, k=100.0, s=spot)

price: float = gm.am_price(spot, 100.0, 0.5, 0.05, 0.2, 0.03, "put")
am_single: list[float] = [
    f(spot, 100.0, 0.5, 0.05, 0.2, 0.03, "PUT")
    for f in (gm.am_delta, gm.am_gamma, gm.am_theta, gm.am_vega, gm.am_rho)
]

european: PyGreeks = gm.bs_greeks(spot, 100.0, 1.0, 0.05, 0.2)
american: gm.PyGreeks = am_greeks(spot, 100.0, 0.5, 0.05, 0.2, option_type="put")
fields: tuple[float, float, float, float, float] = (
    american.delta, american.gamma, american.theta, american.vega, american.rho
)
described: str = repr(european)
names: list[str] = gm.__all__
