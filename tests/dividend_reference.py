"""Independent values of options on a stock paying cash dividends, for the tests.

Two methods that share nothing with the package's grid solver:

- ``european_by_quadrature``: the European value as nested expectations over
  the log-normal moves between ex-dates, each by Gauss-Legendre quadrature in
  the standard normal variable, the last stretch by the Black-Scholes formula
  (Haug, Haug and Lewis 2003 write the one-dividend case this way).
- ``american_by_tree``: a recombining binomial tree in ln S on which each
  ex-date maps the node values by interpolation at S - D (Vellekoop and
  Nieuwenhuis 2006), with the Black-Scholes value at the last step and
  Richardson extrapolation over two step counts (BBSR).
"""

from __future__ import annotations

import math

import numpy as np
from scipy.interpolate import CubicSpline
from scipy.special import ndtr


def _black_scholes(s: np.ndarray, k: float, t: float, r: float, q: float, sigma: float,
                   call: bool) -> np.ndarray:
    s = np.asarray(s, dtype=np.float64)
    out = np.zeros_like(s)
    positive = s > 0.0
    sp = s[positive]
    v = sigma * math.sqrt(t)
    d1 = (np.log(sp / k) + (r - q) * t) / v + 0.5 * v
    d2 = d1 - v
    if call:
        out[positive] = sp * math.exp(-q * t) * ndtr(d1) - k * math.exp(-r * t) * ndtr(d2)
    else:
        out[positive] = k * math.exp(-r * t) * ndtr(-d2) - sp * math.exp(-q * t) * ndtr(-d1)
        out[~positive] = k * math.exp(-r * t)
    return out


_NODES, _WEIGHTS = np.polynomial.legendre.leggauss(160)
_Z = 9.0 * _NODES              # standard normal variable on [-9, 9]
_W = 9.0 * _WEIGHTS * np.exp(-0.5 * _Z * _Z) / math.sqrt(2.0 * math.pi)


def european_by_quadrature(s: float, k: float, t: float, r: float, q: float, sigma: float,
                           option_type: str, times: list[float], amounts: list[float]) -> float:
    """At most two dividends inside (0, t): 160^2 evaluations of the formula."""
    call = option_type == "call"
    paid = [(u, d) for u, d in zip(times, amounts) if 0.0 < u < t and d > 0.0]
    assert len(paid) <= 2

    def value(spot: np.ndarray, now: float, rest: list[tuple[float, float]]) -> np.ndarray:
        if not rest:
            return _black_scholes(spot, k, t - now, r, q, sigma, call)
        (u, d), later = rest[0], rest[1:]
        dt = u - now
        moved = spot[..., None] * np.exp((r - q - 0.5 * sigma ** 2) * dt
                                         + sigma * math.sqrt(dt) * _Z)
        after = value(np.maximum(moved - d, 0.0), u, later)
        return math.exp(-r * dt) * (after * _W).sum(axis=-1)

    return float(value(np.array([s]), 0.0, paid)[0])


def _tree(s: float, k: float, t: float, r: float, q: float, sigma: float, call: bool,
          american: bool, paid: list[tuple[int, float]], steps: int) -> float:
    dt = t / steps
    up = math.exp(sigma * math.sqrt(dt))
    p = (math.exp((r - q) * dt) - 1.0 / up) / (up - 1.0 / up)
    discount = math.exp(-r * dt)
    jumps = dict(paid)
    # Level n has nodes S up^(2i - n), i = 0..n, around the spot; the ex-date
    # shifts map values by interpolation in ln S on the same level.
    level = steps - 1
    spots = s * up ** (2.0 * np.arange(level + 1) - level)
    # Black-Scholes over the last step (no dividend there by construction).
    values = _black_scholes(spots, k, dt, r, q, sigma, call)
    if american:
        values = np.maximum(values, (spots - k) if call else (k - spots))
    for n in range(level, -1, -1):
        if n < level:
            values = discount * (p * values[1:] + (1.0 - p) * values[:-1])
            spots = s * up ** (2.0 * np.arange(n + 1) - n)
            if american:
                values = np.maximum(values, (spots - k) if call else (k - spots))
        if n in jumps:
            # The value just after the ex-date at S - D, read off this level.
            log_spots = np.log(spots)
            target = spots - jumps[n]
            inside = target > spots[0]
            shifted = np.empty_like(values)
            shifted[inside] = CubicSpline(log_spots, values)(np.log(target[inside]))
            low = ~inside
            # Below the level: linear in S towards the value at S = 0.
            at_zero = 0.0 if call else k * math.exp(-r * (t - n * dt))
            if american and not call:
                at_zero = k
            frac = np.maximum(target[low], 0.0) / spots[0]
            shifted[low] = at_zero + (values[0] - at_zero) * frac
            values = shifted
            if american:
                values = np.maximum(values, (spots - k) if call else (k - spots))
    return float(values[0])


def american_by_tree(s: float, k: float, t: float, r: float, q: float, sigma: float,
                     option_type: str, times: list[float], amounts: list[float],
                     steps: int = 4000, american: bool = True) -> float:
    """Ex-dates fall on the tree's levels: each time must be a multiple of t / steps."""
    call = option_type == "call"

    def run(n: int) -> float:
        paid = []
        for u, d in zip(times, amounts):
            if 0.0 < u < t and d > 0.0:
                level = round(u / t * n)
                assert abs(level - u / t * n) < 1e-6, "an ex-date between levels"
                paid.append((level, d))
        return _tree(s, k, t, r, q, sigma, call, american, paid, n)

    return 2.0 * run(2 * steps) - run(steps)
