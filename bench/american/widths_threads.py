"""CPU microseconds per option of gm.american (method="spectral") on the 6,000
puts of the benchmark grid, per tier, with the vector width forced to AVX2
and to AVX-512 (GREEKMILL_SIMD; a width the CPU lacks falls back to the
widest below it) and on one and two threads; the Greeks and the implied
volatility as ratios to one price.  The bits are the same at every width and
thread count (tests/test_package.py), so only the time differs.

    python bench/american/widths_threads.py
"""

from __future__ import annotations

import itertools
import os
import subprocess
import sys
import time

PROBE = r"""
import itertools, sys, time
import numpy as np
import greekmill as gm
grid = np.array(list(itertools.product(
    [25., 50., 80., 90., 100., 110., 120., 150., 175., 200.], [30, 91, 183, 274, 365],
    [.02, .04, .06, .08, .10], [0., .04, .08, .12], [.1, .2, .3, .4, .5, .6])))
s, days, r, q, sigma = grid.T
t = days / 365.0
def best(f, rounds=3, clock=time.process_time):
    times = []
    for _ in range(rounds):
        start = clock()
        f()
        times.append(clock() - start)
    return min(times)
for accuracy in ("fast", "accurate", "high"):
    args = (s, 100.0, t, r, sigma, q, "put")
    one = best(lambda: gm.american.price(*args, accuracy=accuracy, threads=1))
    # Two threads against one in elapsed time (CPU time would add the two).
    one_wall = best(lambda: gm.american.price(*args, accuracy=accuracy, threads=1),
                    clock=time.perf_counter)
    two = best(lambda: gm.american.price(*args, accuracy=accuracy, threads=2),
               clock=time.perf_counter)
    greeks = best(lambda: gm.american.greeks(*args, accuracy=accuracy, threads=1))
    price = gm.american.price(*args, accuracy=accuracy)
    iv = best(lambda: gm.american.implied_volatility(price, s, 100.0, t, r, q, "put",
                                                     accuracy=accuracy, errors="nan",
                                                     threads=1), 1)
    print(f"| {sys.argv[1]} | {accuracy} | {1e6 * one / len(s):.2f} | {two / one_wall:.2f} | "
          f"{greeks / one:.2f} | {iv / one:.2f} |", flush=True)
"""


def main() -> None:
    print("| width | tier | us per option, 1 thread | 2 threads / 1 | Greeks / price | "
          "implied volatility / price |")
    print("|---|---|---|---|---|---|")
    for width in ("avx2", "avx512"):
        subprocess.run([sys.executable, "-c", PROBE, width], check=True,
                       env={**os.environ, "GREEKMILL_SIMD": width})


if __name__ == "__main__":
    main()
