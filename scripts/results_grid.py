"""Prints what the thirteen functions of greekmill_python give over a seeded
grid of inputs: one line per call, every double as its eight bytes in hex
(NaN signs and payloads included), every failure as its type and message.

scripts/test_pythons.sh runs it under each interpreter the abi3 wheel serves
and compares the outputs byte for byte: the module must give the same bits
whatever interpreter loads it.  The grid is random.Random with a fixed seed,
whose sequence every CPython reproduces, plus the edge values of each
parameter.
"""

from __future__ import annotations

import math
import random
import struct
import sys

import greekmill_python as gm

FUNCTIONS = ["bs_delta", "bs_gamma", "bs_theta", "bs_vega", "bs_rho", "bs_greeks",
             "am_price", "am_delta", "am_gamma", "am_theta", "am_vega", "am_rho", "am_greeks"]
WITHOUT_TYPE = {"bs_gamma", "bs_vega"}
FIELDS = ("delta", "gamma", "theta", "vega", "rho")
EDGES = (0.0, -0.0, 5e-324, 1e-300, 1e-8, 1.0, 1e8, 1e300, math.inf, -math.inf, math.nan, -1.0)
ROWS = 1500


def hex_bits(x: float) -> str:
    return struct.pack("<d", x).hex()


def grid():
    rng = random.Random(20261208)
    for _ in range(ROWS):
        yield (rng.uniform(1.0, 300.0), rng.uniform(1.0, 300.0), rng.uniform(0.0, 3.0),
               rng.uniform(-0.05, 0.15), rng.uniform(0.01, 1.5), rng.uniform(-0.05, 0.15))
    base = (100.0, 95.0, 0.5, 0.05, 0.2, 0.01)
    for i in range(len(base)):
        for edge in EDGES:
            yield base[:i] + (edge,) + base[i + 1:]


def outcome(function, args) -> str:
    try:
        result = function(*args)
    except Exception as error:  # noqa: BLE001 - every failure is part of the output
        return f"{type(error).__name__}: {error}"
    if isinstance(result, float):
        return hex_bits(result)
    return " ".join(hex_bits(getattr(result, field)) for field in FIELDS) + " " + repr(result)


def main() -> int:
    out = sys.stdout
    for row in grid():
        shown = " ".join(hex_bits(x) for x in row)
        for name in FUNCTIONS:
            function = getattr(gm, name)
            types = [()] if name in WITHOUT_TYPE else [("call",), ("put",)]
            for option_type in types:
                out.write(f"{name} {shown} {''.join(option_type)}: "
                          f"{outcome(function, row + option_type)}\n")
    return 0


if __name__ == "__main__":
    sys.exit(main())
