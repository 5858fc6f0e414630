"""Wrong uses of the greekmill package.  mypy --strict must report an error
on exactly the lines marked "# error" and on no other line."""

import numpy as np

import greekmill as gm

gm.european.delta(100.0, 100.0, 1.0, 0.05)  # error
gm.european.delta(100.0, 100.0, 1.0, 0.05, 0.2, precision="approximate")  # error
gm.european.delta(100.0, 100.0, 1.0, 0.05, 0.2, errors="ignore")  # error
gm.european.price(100.0, 100.0, 1.0, 0.05, 0.2, volatility=0.2)  # error
label: str = gm.european.price(100.0, 100.0, 1.0, 0.05, 0.2)  # error
scalar: float = gm.european.delta(np.ones(3), 100.0, 1.0, 0.05, 0.2)  # error
one: float = gm.european.greeks(100.0, 100.0, 1.0, 0.05, 0.2)  # error
gm.american.price(100.0, 100.0, 1.0, 0.05, 0.2, method="binomial")  # error
gm.american.price(100.0, 100.0, 1.0, 0.05, 0.2, accuracy="exact")  # error
gm.european.implied_volatility(10.0, 100.0, 100.0, 1.0)  # error
gm.american.exercise_boundary(1.0, 100.0, 0.05, 0.2, precision="fast")  # error
gm.european.delta(np.ones(3), 100.0, 1.0, 0.05, 0.2, out=[0.0, 0.0, 0.0])  # error
whole: gm.Greeks[float] = gm.european.valuation(100.0, 100.0, 1.0, 0.05, 0.2)  # error
plain: float = gm.european.price(100.0, 100.0, 1.0, 0.05, 0.2, reasons=True)  # error
gm.european.price(100.0, 100.0, 1.0, 0.05, 0.2, reasons="yes")  # error
