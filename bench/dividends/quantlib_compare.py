"""The cash-dividend engine's reference values beside QuantLib's
finite-difference engine, and the cost of each, in one run.

Reads the CSV written by bench/dividends/accuracy.cpp (the cases and the
reference values of greekmill's solver on a 4096 x 4096 mesh).  For every
case QuantLib's FdBlackScholesVanillaEngine with the same dividends (Crank-
Nicolson, space = time steps) runs at 1000, 2000 and 4000; its values are
extrapolated with the order they show (Aitken), and the table gives how far
that lands from greekmill's reference.  Then the time per option of
greekmill's tiers (one thread, through the package) beside QuantLib's engine
at the grid whose error matches greekmill's accurate tier.
"""

from __future__ import annotations

import csv
import math
import sys
import time

import numpy as np

import greekmill as gm
from reference import quantlib_engine

EX_DAYS = [45, 136, 227, 318]


def aitken(v1: float, v2: float, v4: float) -> float:
    d1, d2 = v2 - v1, v4 - v2
    if d1 == d2 or d1 * d2 <= 0.0:
        return v4 + d2 / 3.0  # second order, or no clear order: Richardson
    return v4 - d2 * d2 / (d2 - d1)


def main(path: str) -> None:
    with open(path) as f:
        rows = list(csv.DictReader(f))
    schedule = gm.Dividends([d / 365.0 for d in EX_DAYS], [1.0] * 4)
    print("| option | greekmill reference | QuantLib 4000 | QuantLib extrapolated | difference |")
    print("|---|---|---|---|---|")
    worst = {True: 0.0, False: 0.0}
    for row in rows:
        s, days, sigma = float(row["s"]), int(row["days"]), float(row["sigma"])
        if sigma != 0.2 or s != 100.0:
            continue  # a subset: QuantLib at 4000 x 4000 takes seconds an option
        for american in (True, False):
            ours = float(row["american" if american else "european"])
            values = [quantlib_engine(s, 100.0, days, float(row["r"]), sigma, 0.0, row["type"],
                                      EX_DAYS, [1.0] * 4, american, n, n)
                      for n in (1000, 2000, 4000)]
            extrapolated = aitken(*values)
            worst[american] = max(worst[american], abs(extrapolated - ours))
            name = f"{'American' if american else 'European'} {row['type']} S={s:g} T={days}d"
            print(f"| {name} | {ours:.8f} | {values[2]:.8f} | {extrapolated:.8f} | "
                  f"{extrapolated - ours:+.1e} |")
    print(f"\nlargest difference: American {worst[True]:.1e}, European {worst[False]:.1e}\n")

    # Cost: greekmill per option through the package, one thread, best of three.
    s = np.array([float(r["s"]) for r in rows])
    t = np.array([int(r["days"]) / 365.0 for r in rows])
    sigma = np.array([float(r["sigma"]) for r in rows])
    types = np.array([r["type"] for r in rows])
    reference = np.array([float(r["american"]) for r in rows])

    def best(function, repeat: int = 3) -> float:
        times = []
        for _ in range(repeat):
            start = time.perf_counter()
            function()
            times.append(time.perf_counter() - start)
        return min(times) / len(rows) * 1e3

    print("| engine | max abs price error | ms per option | Greeks / price |")
    print("|---|---|---|---|")
    for accuracy in ("fast", "accurate", "high"):
        kw = dict(accuracy=accuracy, dividends=schedule, threads=1)
        error = np.max(np.abs(gm.american.price(s, 100.0, t, 0.05, sigma, 0.0, types, **kw)
                              - reference))
        price_ms = best(lambda: gm.american.price(s, 100.0, t, 0.05, sigma, 0.0, types, **kw))
        greeks_ms = best(lambda: gm.american.greeks(s, 100.0, t, 0.05, sigma, 0.0, types, **kw))
        print(f"| greekmill {accuracy} | {error:.1e} | {price_ms:.3f} | "
              f"{greeks_ms / price_ms:.2f} |")
    for n in (200, 400, 800):
        errors, start = [], time.perf_counter()
        for row, ref in zip(rows, reference):
            value = quantlib_engine(float(row["s"]), 100.0, int(row["days"]), float(row["r"]),
                                    float(row["sigma"]), 0.0, row["type"], EX_DAYS, [1.0] * 4,
                                    True, n, n)
            errors.append(abs(value - ref))
        per = (time.perf_counter() - start) / len(rows) * 1e3
        print(f"| QuantLib FD {n} x {n} | {max(errors):.1e} | {per:.3f} | |")


if __name__ == "__main__":
    sys.path.insert(0, __file__.rsplit("/", 1)[0])
    main(sys.argv[1])
