"""Hashes of the package's results over a fixed sample, one line per kind:
name, number of values, FNV-1a hash of their bit patterns (NaNs as one
value).  scripts/cross_aarch64_python.sh runs it on x86-64 and, under qemu, on
aarch64 and compares the lines; the Python counterpart of
tests/core/bit_sample.cpp, through the installed wheel.

Kinds whose name starts with "same." are promised the same bits on x86-64
and aarch64 (the vectorised kernels, the American engine, the log-spot grid
of the double-boundary regime and of cash dividends); "libm." kinds call the
platform's maths library (exp, log, erfc) and are compared for information
only.  Run with an argument to print every value."""

from __future__ import annotations

import struct
import sys

import numpy as np

import greekmill as gm
import greekmill_python as gp

PRINT_VALUES = len(sys.argv) > 1


def report(name: str, *arrays: object) -> None:
    h = 0xCBF29CE484222325
    count = 0
    for array in arrays:
        for x in np.asarray(array, dtype=np.float64).ravel():
            bits = 0x7FF8000000000000 if x != x else struct.unpack("<Q", struct.pack("<d", x))[0]
            if PRINT_VALUES:
                print(f"  {count} {bits:016x} {float(x)!r}")
            for byte in range(8):
                h = ((h ^ ((bits >> (8 * byte)) & 0xFF)) * 0x100000001B3) & 0xFFFFFFFFFFFFFFFF
            count += 1
    print(f"{name:<40} {count:7d} {h:016x}")


def book(n: int) -> tuple[np.ndarray, ...]:
    """Spot, strike, expiry, rate, volatility, yield and type over a fixed grid."""
    i = np.arange(n, dtype=np.float64)
    s = 40.0 + 160.0 * ((i * 0.618033988749895) % 1.0)
    k = np.full(n, 100.0)
    t = 0.05 + 2.0 * ((i * 0.414213562373095) % 1.0)
    r = -0.01 + 0.09 * ((i * 0.732050807568877) % 1.0)
    sigma = 0.08 + 0.6 * ((i * 0.236067977499790) % 1.0)
    q = 0.08 * ((i * 0.162277660168379) % 1.0)
    types = np.where(np.arange(n) % 2 == 0, "call", "put")
    return s, k, t, r, sigma, q, types


def main() -> None:
    s, k, t, r, sigma, q, types = book(400)
    fast = gm.european.greeks(s, k, t, r, sigma, q, types, precision="fast", errors="nan")
    report("same.european.fast.greeks", *fast)
    price = gm.european.price(s, k, t, r, sigma, q, types, precision="fast", errors="nan")
    report("same.european.fast.price", price)

    s, k, t, r, sigma, q, types = book(60)
    # Where the engine returns the European value and Greeks themselves (no
    # early exercise, or a premium below its resolution) they are the exact
    # European function's bits, the platform maths library's: left out.
    european = gm.european.price(s, k, t, r, sigma, q, types, errors="nan")
    for accuracy in ("fast", "accurate"):
        value = gm.american.valuation(s, k, t, r, sigma, q, types, accuracy=accuracy,
                                      errors="nan")
        own = value.price.view(np.int64) != european.view(np.int64)
        report(f"same.american.{accuracy}.valuation", *(field[own] for field in value))
    boundary = gm.american.exercise_boundary(t, k, r, sigma, q, types, errors="nan")
    report("same.american.exercise_boundary", boundary)

    # Negative rates with r < q < 0 (puts) and q < r < 0 (calls): the
    # double-boundary regime.
    low = -0.01 - q / 2.0
    put = types == "put"
    r2 = np.where(put, low / 4.0, low)
    q2 = np.where(put, low, low / 4.0)
    double = gm.american.price(s, k, t, r2, sigma, q2, types, errors="nan")
    report("same.american.grid.double_boundary", double)
    dividends = gm.Dividends([0.25, 0.75], [1.0, 1.5])
    paid = gm.american.price(s, k, t + 1.0, r, sigma, q, types, dividends=dividends,
                             errors="nan")
    # Where the grid's value falls below the European one the option takes
    # the European value, the quadrature's on the platform's exp and erfc:
    # left out, as above.
    paid_european = gm.european.price(s, k, t + 1.0, r, sigma, q, types, dividends=dividends,
                                      errors="nan")
    report("same.american.grid.dividends",
           paid[paid.view(np.int64) != paid_european.view(np.int64)])

    exact = gm.european.greeks(s, k, t, r, sigma, q, types, errors="nan")
    report("libm.european.exact.greeks", *exact)
    rows = [(*map(float, row[:6]), str(row[6])) for row in zip(s, k, t, r, sigma, q, types)]
    scalars = [gp.bs_delta(*row) for row in rows] + [gp.am_price(*row) for row in rows]
    report("libm.greekmill_python.delta_and_am_price", scalars)


if __name__ == "__main__":
    main()
