"""CPU time of the accurate engine's value and five Greeks against its value
alone, one thread, 20,000 seeded options (best of three runs each).

    python bench/american/greeks_cost.py
"""

import time

import numpy as np

import greekmill as gm

N = 20_000
rng = np.random.default_rng(1)
book = dict(s=rng.uniform(70, 130, N), k=100.0, t=rng.uniform(0.05, 2, N),
            r=rng.uniform(0, 0.08, N), sigma=rng.uniform(0.1, 0.5, N), q=rng.uniform(0, 0.05, N),
            option_type=rng.choice(["call", "put"], N))


def cpu_seconds(function) -> float:
    best = float("inf")
    for _ in range(3):
        start = time.process_time()
        function(**book, threads=1)
        best = min(best, time.process_time() - start)
    return best


price = cpu_seconds(gm.american.price)
greeks = cpu_seconds(gm.american.greeks)
print(f"price {price / N * 1e6:.2f} us, greeks {greeks / N * 1e6:.2f} us per option: "
      f"greeks / price = {greeks / price:.2f}")
