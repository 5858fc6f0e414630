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
