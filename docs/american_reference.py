"""Accurate reference values for American options: a Leisen-Reimer binomial
tree with early exercise at every node, vectorised over many contracts.

Leisen-Reimer places the strike in the middle of the terminal nodes and sets
the up-probabilities from the Peizer-Pratt inversion of the Black-Scholes d1
and d2, so the European value converges smoothly at second order instead of
oscillating like Cox-Ross-Rubinstein; with early exercise the convergence
stays smooth, and a tree of 2001 steps is accurate to well below the errors
measured here.  `european` gives the closed-form Black-Scholes value used for
comparison.
"""

from __future__ import annotations

import math

import numpy as np
from numpy.typing import NDArray

Array = NDArray[np.float64]


def _peizer_pratt(z: Array, n: int) -> Array:
    """Peizer-Pratt method 2: a binomial probability whose n-step distribution
    matches the normal probability of z."""
    x = z / (n + 1.0 / 3.0 + 0.1 / (n + 1.0))
    return 0.5 + np.sign(z) * 0.5 * np.sqrt(1.0 - np.exp(-(x * x) * (n + 1.0 / 6.0)))


def american(
    s: Array, k: Array, t: Array, r: Array, sigma: Array, q: Array, is_call: NDArray[np.bool_],
    steps: int = 2001, chunk: int = 256,
) -> Array:
    """American values of many contracts at once (arrays of equal length)."""
    if steps % 2 == 0:
        raise ValueError("Leisen-Reimer needs an odd number of steps")
    arrays = [np.asarray(a, dtype=np.float64) for a in (s, k, t, r, sigma, q)]
    calls = np.asarray(is_call, dtype=bool)
    out = np.empty(arrays[0].shape[0])
    for start in range(0, out.shape[0], chunk):
        part = slice(start, start + chunk)
        out[part] = _american_chunk(*(a[part] for a in arrays), calls[part], steps)
    return out


def _american_chunk(
    s: Array, k: Array, t: Array, r: Array, sigma: Array, q: Array,
    is_call: NDArray[np.bool_], n: int,
) -> Array:
    dt = t / n
    vol_sqrt_t = sigma * np.sqrt(t)
    d1 = (np.log(s / k) + (r - q + 0.5 * sigma * sigma) * t) / vol_sqrt_t
    d2 = d1 - vol_sqrt_t
    p = _peizer_pratt(d2, n)
    p_bar = _peizer_pratt(d1, n)
    growth = np.exp((r - q) * dt)
    up = growth * p_bar / p
    down = (growth - p * up) / (1.0 - p)
    disc = np.exp(-r * dt)
    sign = np.where(is_call, 1.0, -1.0)[:, None]
    kk = k[:, None]

    j = np.arange(n + 1, dtype=np.float64)
    spot = s[:, None] * np.exp(j * np.log(up)[:, None] + (n - j) * np.log(down)[:, None])
    value = np.maximum(sign * (spot - kk), 0.0)
    a = (disc * p)[:, None]
    b = (disc * (1.0 - p))[:, None]
    inv_down = (1.0 / down)[:, None]
    for i in range(n - 1, -1, -1):
        # Node j of step i leads to nodes j (down) and j + 1 (up) of step i + 1.
        value = a * value[:, 1 : i + 2] + b * value[:, : i + 1]
        spot = spot[:, : i + 1] * inv_down
        np.maximum(value, sign * (spot - kk), out=value)
    return value[:, 0]


def _phi(x: float) -> float:
    return 0.5 * math.erfc(-x / math.sqrt(2.0))


def european(s: float, k: float, t: float, r: float, sigma: float, q: float, is_call: bool) -> float:
    """Black-Scholes value with a continuous dividend yield."""
    vol_sqrt_t = sigma * math.sqrt(t)
    d1 = (math.log(s / k) + (r - q + 0.5 * sigma * sigma) * t) / vol_sqrt_t
    d2 = d1 - vol_sqrt_t
    fwd_s = s * math.exp(-q * t)
    disc_k = k * math.exp(-r * t)
    if is_call:
        return fwd_s * _phi(d1) - disc_k * _phi(d2)
    return disc_k * _phi(-d2) - fwd_s * _phi(-d1)
