"""Per-option cost of the greekmill package over the books users hold, in one
run: the mixed book (random calls and puts as a str column) beside
hand-written numpy + scipy reading the same column and the core's own C++ loop
(bench/arrays/core_loop.cpp); each kind of option-type column against the same
book with one str option type; out=; valuation against price + greeks for
both engines and for the tables.

    python bench/arrays/per_option.py --core-loop build/core_loop [--rounds 5]

The book: spot and strike 50-150, expiry 0.02-2 years, rate 0-8 %,
volatility 5-80 %, yield 0-5 %.  Times are medians over interleaved rounds, in
ns per option: CPU time of the process for everything on one thread (the
core's loop too; a call may run on a worker of the pool while the caller
waits, which costs no CPU), wall-clock time for two threads and for their
ratio to one thread (both measured by the wall clock).  Ratios in one run are what to
compare; absolute times move with the machine's load.
"""

from __future__ import annotations

import argparse
import math
import os

os.environ.setdefault("OPENBLAS_NUM_THREADS", "1")  # no spinning BLAS threads beside ours
import platform
import statistics
import subprocess
import sys
import time
from typing import Any, Callable

import numpy as np
import pandas as pd
import pyarrow as pa
from scipy.special import ndtr

import greekmill as gm

SQRT_2PI = math.sqrt(2 * math.pi)
BIG = 1_000_000


def data(n: int) -> dict[str, np.ndarray]:
    rng = np.random.default_rng(7)
    return {"s": rng.uniform(50, 150, n), "k": rng.uniform(50, 150, n),
            "t": rng.uniform(0.02, 2.0, n), "r": rng.uniform(0.0, 0.08, n),
            "sigma": rng.uniform(0.05, 0.8, n), "q": rng.uniform(0.0, 0.05, n)}


def mixed_types(n: int) -> np.ndarray:
    return np.where(np.random.default_rng(8).random(n) < 0.5, "call", "put")


# ---- hand-written numpy + scipy, reading the option-type column as a user would

def numpy_terms(s, k, t, r, sigma, q):
    sqrt_t = np.sqrt(t)
    v = sigma * sqrt_t
    d1 = (np.log(s / k) + (r - q + 0.5 * sigma * sigma) * t) / v
    return sqrt_t, v, d1, d1 - v, np.exp(-q * t), np.exp(-r * t)


def numpy_price(s, k, t, r, sigma, q, option_type):
    put = option_type == "put"
    _, _, d1, d2, dq, dr = numpy_terms(s, k, t, r, sigma, q)
    sign = np.where(put, -1.0, 1.0)
    return sign * (s * dq * ndtr(sign * d1) - k * dr * ndtr(sign * d2))


def numpy_delta(s, k, t, r, sigma, q, option_type):
    put = option_type == "put"
    _, _, d1, _, dq, _ = numpy_terms(s, k, t, r, sigma, q)
    sign = np.where(put, -1.0, 1.0)
    return sign * dq * ndtr(sign * d1)


def numpy_greeks(s, k, t, r, sigma, q, option_type):
    put = option_type == "put"
    sqrt_t, v, d1, d2, dq, dr = numpy_terms(s, k, t, r, sigma, q)
    sign = np.where(put, -1.0, 1.0)
    pdf = np.exp(-0.5 * d1 * d1) / SQRT_2PI
    n1, n2 = ndtr(sign * d1), ndtr(sign * d2)
    return (sign * dq * n1, dq * pdf / (s * v),
            (-s * dq * pdf * sigma / (2 * sqrt_t) - sign * (r * k * dr * n2 - q * s * dq * n1))
            / 365,
            s * dq * pdf * sqrt_t, sign * k * t * dr * n2 / 100)


def numpy_valuation(s, k, t, r, sigma, q, option_type):
    return (numpy_price(s, k, t, r, sigma, q, option_type),
            *numpy_greeks(s, k, t, r, sigma, q, option_type))


NUMPY = {"price": numpy_price, "delta": numpy_delta, "greeks": numpy_greeks,
         "valuation": numpy_valuation}


def core_loop(path: str, what: str, n: int, rounds: int, mixed: bool = True) -> float:
    done = subprocess.run([path, what, str(n), str(rounds)] + (["mixed"] if mixed else []),
                          capture_output=True, text=True, check=True)
    return float(done.stdout)


WALL: dict[Any, float] = {}  # the wall-clock medians of the last measure()


def measure(contenders: dict[Any, Callable[[], object]], n: int,
            rounds: int) -> dict[Any, float]:
    """Median ns per option of each contender, the rounds interleaved: CPU
    time of the process, or wall-clock time for contenders on two threads
    (their names say "2 threads"); WALL gets every contender's wall clock."""
    repeat = max(1, 20_000 // n)
    cpu: dict[Any, list[float]] = {name: [] for name in contenders}
    wall: dict[Any, list[float]] = {name: [] for name in contenders}
    for _ in range(rounds):
        for name, call in contenders.items():
            start, start_cpu = time.perf_counter(), time.process_time()
            for _ in range(repeat):
                call()
            cpu[name].append((time.process_time() - start_cpu) / (repeat * n) * 1e9)
            wall[name].append((time.perf_counter() - start) / (repeat * n) * 1e9)
    WALL.clear()
    WALL.update({name: statistics.median(t) for name, t in wall.items()})
    return {name: statistics.median(wall[name] if "2 threads" in str(name) else cpu[name])
            for name in contenders}


def table(header: list[str], rows: list[list[str]]) -> list[str]:
    return ["| " + " | ".join(header) + " |", "|---|" + "---:|" * (len(header) - 1),
            *("| " + " | ".join(row) + " |" for row in rows)]


def headline(args: argparse.Namespace) -> list[str]:
    """The mixed book: greekmill, numpy + scipy and the core's loop, by size."""
    rows = []
    for what in ("price", "delta", "greeks", "valuation"):
        fn = getattr(gm.european, what)
        for n in (1, 1_000, BIG):
            x = data(n)
            types = mixed_types(n)
            scalar: dict[str, Any] = ({p: float(v[0]) for p, v in x.items()} if n == 1 else x)
            kind: Any = str(types[0]) if n == 1 else types
            contenders: dict[str, Callable[[], object]] = {
                "exact, 1 thread": lambda: fn(**scalar, option_type=kind, threads=1),
                "exact, 2 threads": lambda: fn(**scalar, option_type=kind, threads=2),
                "fast, 1 thread": lambda: fn(**scalar, option_type=kind, threads=1,
                                             precision="fast"),
                "fast, 2 threads": lambda: fn(**scalar, option_type=kind, threads=2,
                                              precision="fast"),
                "numpy + scipy": lambda: NUMPY[what](**x, option_type=types),
            }
            result = measure(contenders, n, args.rounds)
            result["core C++ loop"] = core_loop(args.core_loop, what, max(n, 1000), args.rounds)
            one = result["exact, 1 thread"]
            cells = [f"{result[name]:,.1f}" for name in (*contenders, "core C++ loop")]
            rows.append([what, f"{n:,}", *cells,
                         f"{one / result['numpy + scipy']:.2f}",
                         f"{one / result['core C++ loop']:.2f}",
                         f"{WALL['exact, 2 threads'] / WALL['exact, 1 thread']:.2f}",
                         f"{result['fast, 1 thread'] / result['numpy + scipy']:.2f}"])
            print(what, n, {k: round(v, 1) for k, v in result.items()}, file=sys.stderr)
    return table(["output", "N", "exact, 1 thread", "exact, 2 threads", "fast, 1 thread",
                  "fast, 2 threads", "numpy + scipy", "core C++ loop",
                  "exact / numpy", "exact / core loop", "2 / 1 threads", "fast / numpy"], rows)


def column_kinds() -> dict[str, Any]:
    """The mixed book's option types in every storage the package reads."""
    types = mixed_types(BIG)
    arrow = pa.array(types.tolist())
    return {
        "one str (\"put\")": "put",
        "numpy str (U4)": types,
        "numpy bytes, 1 char (S1: C/P)": np.where(types == "call", b"C", b"P"),
        "numpy object": types.astype(object),
        "pandas Categorical": pd.Categorical(types),
        "pandas string[python]": pd.array(types, dtype="string[python]"),
        "pandas str (pyarrow storage)": pd.array(types, dtype="str"),
        "pyarrow string": arrow,
        "pyarrow dictionary": arrow.dictionary_encode(),
    }


def kinds_table(args: argparse.Namespace) -> list[str]:
    x = data(BIG)
    kinds = column_kinds()
    settings = {"exact, 1 thread": ("exact", 1), "exact, 2 threads": ("exact", 2),
                "fast, 1 thread": ("fast", 1), "fast, 2 threads": ("fast", 2)}
    contenders = {(kind, setting): (lambda c=column, p=precision, th=threads:
                                    gm.european.greeks(**x, option_type=c, precision=p,
                                                       threads=th))
                  for kind, column in kinds.items()
                  for setting, (precision, threads) in settings.items()}
    result = measure(contenders, BIG, args.rounds)
    wall = dict(WALL)
    rows = []
    for kind in kinds:
        cells = []
        for setting in settings:
            base = result[("one str (\"put\")", setting)]
            value = result[(kind, setting)]
            cells.append(f"{value:,.1f} ({value / base:.2f})")
        scaling = (wall[(kind, "exact, 2 threads")] / wall[(kind, "exact, 1 thread")],
                   wall[(kind, "fast, 2 threads")] / wall[(kind, "fast, 1 thread")])
        rows.append([kind, *cells, f"{scaling[0]:.2f} / {scaling[1]:.2f}"])
    return table(["option-type column", *(f"{s} (× one str)" for s in settings),
                  "2 / 1 threads, exact / fast"], rows)


def out_table(args: argparse.Namespace) -> list[str]:
    x = data(BIG)
    types = mixed_types(BIG)
    out = tuple(np.empty(BIG) for _ in range(5))
    result = measure({
        "new arrays": lambda: gm.european.greeks(**x, option_type=types, precision="fast",
                                                 threads=1),
        "out=": lambda: gm.european.greeks(**x, option_type=types, precision="fast",
                                           threads=1, out=out),
    }, BIG, args.rounds)
    kernels = core_loop(args.core_loop, "fast_greeks", BIG, args.rounds)
    return table(["fast five Greeks, mixed book, 1 thread", "ns / option", "× kernels alone"],
                 [["kernels alone (core loop, outputs touched before)", f"{kernels:.1f}", "1.00"],
                  *([name, f"{v:.1f}", f"{v / kernels:.2f}"] for name, v in result.items())])


def valuation_table(args: argparse.Namespace) -> list[str]:
    rows = []
    cases = [("European, exact", gm.european, {}, BIG),
             ("European, fast", gm.european, {"precision": "fast"}, BIG),
             ("closed form (bjerksund-stensland)", gm.american,
              {"method": "bjerksund-stensland"}, 20_000),
             ("accurate engine (spectral)", gm.american, {}, 1_000)]
    for name, module, keywords, n in cases:
        x = data(n)
        types = mixed_types(n)
        result = measure({
            "price": lambda: module.price(**x, option_type=types, threads=1, **keywords),
            "greeks": lambda: module.greeks(**x, option_type=types, threads=1, **keywords),
            "valuation": lambda: module.valuation(**x, option_type=types, threads=1,
                                                  **keywords),
        }, n, args.rounds)
        both = result["price"] + result["greeks"]
        rows.append([name, f"{n:,}", *(f"{result[k]:,.1f}" for k in ("price", "greeks",
                                                                      "valuation")),
                     f"{result['valuation'] / both:.2f}",
                     f"{result['valuation'] / result['greeks']:.2f}"])
        print(name, {k: round(v, 1) for k, v in result.items()}, file=sys.stderr)
    n = 1_000
    x = data(n)
    frame = pd.DataFrame({**x, "option_type": pd.Categorical(mixed_types(n))})
    result = measure({
        "tables.value(greeks=True)": lambda: gm.tables.value(frame, "american", threads=1),
        "one solve per row (american.greeks)": lambda: gm.american.greeks(
            **x, option_type=frame.option_type.array, threads=1),
    }, n, args.rounds)
    ratio = result["tables.value(greeks=True)"] / result["one solve per row (american.greeks)"]
    lines = table(["engine", "N", "price", "greeks", "valuation", "valuation / (price + greeks)",
                   "valuation / greeks"], rows)
    lines += ["", *table(["American rows of a DataFrame, 1 thread", "ns / row", "ratio"], [
        ["one solve per row (american.greeks)",
         f"{result['one solve per row (american.greeks)']:,.0f}", "1.00"],
        ["tables.value(greeks=True)", f"{result['tables.value(greeks=True)']:,.0f}",
         f"{ratio:.2f}"]])]
    return lines


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--core-loop", required=True)
    parser.add_argument("--rounds", type=int, default=5)
    parser.add_argument("--out", default=None)
    args = parser.parse_args()

    simd = os.environ.get("GREEKMILL_SIMD", "the widest this CPU runs")
    lines = [f"Per-option cost, ns (median of {args.rounds} interleaved rounds: CPU time on one "
             f"thread, wall clock on two; "
             f"{platform.python_implementation()} {platform.python_version()}, numpy "
             f"{np.__version__}, pandas {pd.__version__}, pyarrow {pa.__version__}; vector "
             f"width: {simd}).", "",
             "### The mixed book (random calls and puts as a str column)", "",
             *headline(args), "",
             "### Each kind of option-type column: five Greeks, N = 10^6", "",
             *kinds_table(args), "",
             "### out=", "", *out_table(args), "",
             "### Value and Greeks from one call", "", *valuation_table(args)]
    text = "\n".join(lines) + "\n"
    print(text)
    if args.out:
        with open(args.out, "w") as f:
            f.write(text)


if __name__ == "__main__":
    main()
