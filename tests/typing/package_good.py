"""Ordinary uses of the greekmill package; mypy --strict must accept them and
infer floats for scalars and arrays for arrays."""

import numpy as np
from numpy.typing import NDArray

import greekmill as gm

value: float = gm.european.price(100.0, 100.0, 1.0, 0.05, 0.2)
delta: float = gm.european.delta(100.0, 100.0, 1.0, 0.05, 0.2, 0.01, "put", errors="nan")
single: gm.Greeks[float] = gm.european.greeks(100.0, 100.0, 1.0, 0.05, 0.2)
gamma: float = single.gamma

spots = np.linspace(80.0, 120.0, 5)
curve: NDArray[np.float64] = gm.european.delta(spots, 100.0, 1.0, 0.05, 0.2, threads=2)
book: gm.Greeks[NDArray[np.float64]] = gm.european.greeks(spots, 100.0, 1.0, 0.05, 0.2,
                                                          option_type=["c", "p", "c", "p", "c"])
vegas: NDArray[np.float64] = book.vega
american: float = gm.american.price(100.0, 100.0, 1.0, 0.05, 0.2, 0.0, "put",
                                    method="bjerksund-stensland")
american_book = gm.american.greeks([90.0, 100.0], 100.0, 1.0, 0.05, 0.2,
                                   method="bjerksund-stensland")
thetas: NDArray[np.float64] = american_book.theta
accurate: float = gm.american.price(100.0, 100.0, 1.0, 0.05, 0.2, 0.0, "put", accuracy="high")
boundary: NDArray[np.float64] = gm.american.exercise_boundary([0.5, 1.0], 100.0, 0.05, 0.2)
implied: float = gm.european.implied_volatility(10.0, 100.0, 100.0, 1.0, 0.05)
american_implied: NDArray[np.float64] = gm.american.implied_volatility(
    [6.1, 7.0], 100.0, 100.0, 1.0, 0.05, 0.0, "put")
priced: gm.Valuation[float] = gm.european.valuation(100.0, 100.0, 1.0, 0.05, 0.2)
valued: gm.Valuation[NDArray[np.float64]] = gm.american.valuation(spots, 100.0, 1.0, 0.05, 0.2)
into = np.empty(5)
written: NDArray[np.float64] = gm.european.delta(spots, 100.0, 1.0, 0.05, 0.2, out=into)
with_reason: tuple[float, gm.Reason] = gm.american.implied_volatility(
    6.1, 100.0, 100.0, 1.0, 0.05, 0.0, "put", errors="nan", reasons=True)
book_reasons: tuple[gm.Greeks[NDArray[np.float64]], NDArray[np.int8]] = gm.european.greeks(
    spots, 100.0, 1.0, 0.05, 0.2, reasons=True)
boundary_reasons: NDArray[np.int8] = gm.american.exercise_boundary(
    [0.5, 1.0], 100.0, 0.05, 0.2, reasons=True)[1]
