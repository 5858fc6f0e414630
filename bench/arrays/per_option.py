"""Per-option cost of the greekmill package over arrays, side by side with
hand-written numpy + scipy, fast-vollib (numpy backend) and the core's own C++
loop (bench/arrays/core_loop.cpp), all in one run.

    python bench/arrays/per_option.py --core-loop build/core_loop [--rounds 7]

For N = 1, 10^3 and 10^6 European puts (spot and strike 50-150, expiry
0.02-2 years, rate 0-8 %, volatility 5-80 %, yield 0-5 %), the median over
interleaved rounds of the time per option for the value, the delta and the
five Greeks.  Ratios in one run are what to compare; absolute times move with
the machine's load.
"""

from __future__ import annotations

import argparse
import math
import platform
import statistics
import subprocess
import sys
import time
from typing import Callable

import numpy as np
from scipy.special import ndtr

import greekmill as gm

SQRT_2PI = math.sqrt(2 * math.pi)


def data(n: int) -> dict[str, np.ndarray]:
    rng = np.random.default_rng(7)
    return {"s": rng.uniform(50, 150, n), "k": rng.uniform(50, 150, n),
            "t": rng.uniform(0.02, 2.0, n), "r": rng.uniform(0.0, 0.08, n),
            "sigma": rng.uniform(0.05, 0.8, n), "q": rng.uniform(0.0, 0.05, n)}


def numpy_terms(s, k, t, r, sigma, q):
    sqrt_t = np.sqrt(t)
    v = sigma * sqrt_t
    d1 = (np.log(s / k) + (r - q + 0.5 * sigma * sigma) * t) / v
    return sqrt_t, v, d1, d1 - v, np.exp(-q * t), np.exp(-r * t)


def numpy_price(s, k, t, r, sigma, q):
    _, _, d1, d2, dq, dr = numpy_terms(s, k, t, r, sigma, q)
    return k * dr * ndtr(-d2) - s * dq * ndtr(-d1)


def numpy_delta(s, k, t, r, sigma, q):
    _, _, d1, _, dq, _ = numpy_terms(s, k, t, r, sigma, q)
    return -dq * ndtr(-d1)


def numpy_greeks(s, k, t, r, sigma, q):
    sqrt_t, v, d1, d2, dq, dr = numpy_terms(s, k, t, r, sigma, q)
    pdf = np.exp(-0.5 * d1 * d1) / SQRT_2PI
    n1, n2 = ndtr(-d1), ndtr(-d2)
    return (-dq * n1, dq * pdf / (s * v),
            (-s * dq * pdf * sigma / (2 * sqrt_t) + r * k * dr * n2 - q * s * dq * n1) / 365,
            s * dq * pdf * sqrt_t, -k * t * dr * n2 / 100)


def fast_vollib_functions() -> dict[str, Callable] | None:
    try:
        import fast_vollib as fv
    except ImportError:
        return None
    common = {"return_as": "numpy", "backend": "numpy"}

    def price(s, k, t, r, sigma, q):
        return fv.fast_black_scholes_merton("p", s, k, t, r, sigma, q, **common)

    def delta(s, k, t, r, sigma, q):
        return fv.vectorized_delta("p", s, k, t, r, sigma, q, model="black_scholes_merton",
                                   **common)

    def greeks(s, k, t, r, sigma, q):
        return fv.get_all_greeks("p", s, k, t, r, sigma, q, model="black_scholes_merton",
                                 return_as="dict", backend="numpy")

    return {"price": price, "delta": delta, "greeks": greeks}


def core_loop(path: str, what: str, n: int, rounds: int) -> float:
    done = subprocess.run([path, what, str(n), str(rounds)], capture_output=True, text=True,
                          check=True)
    return float(done.stdout)


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--core-loop", required=True)
    parser.add_argument("--rounds", type=int, default=7)
    parser.add_argument("--out", default=None)
    args = parser.parse_args()

    fv = fast_vollib_functions()
    numpy_fns = {"price": numpy_price, "delta": numpy_delta, "greeks": numpy_greeks}
    sizes = (1, 1_000, 1_000_000)
    rows = []
    for what in ("price", "delta", "greeks"):
        fn = getattr(gm.european, what)
        for n in sizes:
            x = data(n)
            scalar = {p: float(v[0]) for p, v in x.items()} if n == 1 else x
            contenders: dict[str, Callable[[], object]] = {
                "greekmill, 1 thread": lambda: fn(**scalar, option_type="p", threads=1),
                "greekmill, 2 threads": lambda: fn(**scalar, option_type="p", threads=2),
                "numpy + scipy": lambda: numpy_fns[what](**x),
            }
            if fv is not None:
                contenders["fast-vollib (numpy)"] = lambda: fv[what](**x)
            repeat = max(1, 20_000 // n)
            times: dict[str, list[float]] = {name: [] for name in contenders}
            for _ in range(args.rounds):
                for name, call in contenders.items():
                    start = time.perf_counter()
                    for _ in range(repeat):
                        call()
                    times[name].append((time.perf_counter() - start) / (repeat * n) * 1e9)
            result = {name: statistics.median(t) for name, t in times.items()}
            loop_n = max(n, 1000)  # the loop's clock needs more than one option
            result["core C++ loop"] = core_loop(args.core_loop, what, loop_n, args.rounds)
            rows.append((what, n, result))
            print(what, n, {k: round(v, 1) for k, v in result.items()}, file=sys.stderr)

    names = ["greekmill, 1 thread", "greekmill, 2 threads", "core C++ loop", "numpy + scipy"]
    if fv is not None:
        names.append("fast-vollib (numpy)")
    lines = [f"Per-option cost, ns (median of {args.rounds} interleaved rounds; "
             f"{platform.python_implementation()} {platform.python_version()}, "
             f"numpy {np.__version__}).  Ratios: greekmill 1 thread / core loop, "
             f"2 threads / 1 thread.", "",
             "| output | N | " + " | ".join(names) + " | 1 thread / core loop | 2 / 1 threads |",
             "|---|---:|" + "---:|" * (len(names) + 2)]
    for what, n, result in rows:
        cells = [f"{result[name]:,.1f}" for name in names]
        one, two = result["greekmill, 1 thread"], result["greekmill, 2 threads"]
        lines.append(f"| {what} | {n:,} | " + " | ".join(cells) +
                     f" | {one / result['core C++ loop']:.2f} | {two / one:.2f} |")
    text = "\n".join(lines) + "\n"
    print(text)
    if args.out:
        with open(args.out, "w") as f:
            f.write(text)


if __name__ == "__main__":
    main()
