"""Wrong uses of greekmill_python.  mypy --strict must report an error on
exactly the lines marked "# error" and on no other line."""

import greekmill_python as gm

gm.bs_gamma(100.0, 100.0, 1.0, 0.05, 0.2, option_type="put")  # error
gm.bs_vega(100.0, 100.0, 1.0, 0.05, 0.2, 0.0, "call")  # error
gm.bs_delta(100.0, 100.0, 1.0, 0.05)  # error
gm.am_price(s=100.0, k=100.0, t=1.0, r=0.05)  # error
gm.bs_delta(100.0, 100.0, 1.0, 0.05, 0.2, 0.0, "call", 8)  # error
gm.bs_theta("100", 100.0, 1.0, 0.05, 0.2)  # error
gm.am_delta(100.0, 100.0, 1.0, 0.05, 0.2, option_type=None)  # error
gm.am_rho(100.0, 100.0, 1.0, 0.05, 0.2, volatility=0.2)  # error

label: str = gm.am_price(100.0, 100.0, 1.0, 0.05, 0.2)  # error
single: float = gm.am_greeks(100.0, 100.0, 1.0, 0.05, 0.2)  # error

greeks = gm.bs_greeks(100.0, 100.0, 1.0, 0.05, 0.2)
greeks.delta = 1.0  # error
greeks.price  # error


class Scaled(gm.PyGreeks):  # error
    pass
