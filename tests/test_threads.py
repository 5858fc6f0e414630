"""Many Python threads calling every function at once get exactly what a
serial run gets: the same bits for every result, the same exception type and
message for every failure.  The module holds no state between calls, so any
difference would be shared scratch space or a cached value leaking between
calls."""

from __future__ import annotations

import itertools
import math
import random
import struct
import sys
import threading

import pytest

import greekmill_python as gm

FUNCTIONS = ["bs_delta", "bs_gamma", "bs_theta", "bs_vega", "bs_rho", "bs_greeks",
             "am_price", "am_delta", "am_gamma", "am_theta", "am_vega", "am_rho", "am_greeks"]
WITHOUT_TYPE = {"bs_gamma", "bs_vega"}
THREADS = 8
ROUNDS = 3


def workload():
    """(function name, args, kwargs): a grid of ordinary and edge inputs for
    every function and option type, and failing calls of every kind."""
    rng = random.Random(20240607)
    inputs = [(100.0, 95.0, 0.5, 0.05, 0.2, 0.01), (50.0, 100.0, 2.0, 0.1, 0.6, 0.12),
              (100.0, 100.0, 0.0, 0.05, 0.2, 0.0), (100.0, 100.0, 1.0, 0.0, 0.0, 0.0),
              (math.nan, 100.0, 1.0, 0.05, 0.2, 0.0), (100.0, math.inf, 1.0, 0.05, 0.2, 0.0),
              (-0.0, 100.0, 1.0, -0.05, 0.2, 0.3)]
    inputs += [(rng.uniform(1, 300), rng.uniform(1, 300), rng.uniform(0, 5), rng.uniform(-0.05, 0.2),
                rng.uniform(0.01, 1.5), rng.uniform(0, 0.2)) for _ in range(20)]
    calls = []
    for name, x in itertools.product(FUNCTIONS, inputs):
        if name in WITHOUT_TYPE:
            calls.append((name, x, {}))
        else:
            calls.append((name, x, {"option_type": "call"}))
            calls.append((name, x[:5], {"q": x[5], "option_type": "P"}))
    for name in FUNCTIONS:
        calls += [(name, (1.0, 2.0), {}),
                  (name, tuple(range(9)), {}),
                  (name, (1.0, 2.0, 3.0, 4.0, 5.0), {"bogus": 1.0}),
                  (name, (1.0, 2.0, 3.0, 4.0, 5.0), {"s": 1.0}),
                  (name, ("1", 2.0, 3.0, 4.0, 5.0), {}),
                  (name, (1.0, 2.0, 3.0, 4.0, 10**400), {}),
                  (name, (1.0, 2.0, 3.0, 4.0, 5.0), {"option_type": "straddle"}),
                  (name, (1.0, 2.0, 3.0, 4.0, 5.0), {"option_type": None})]
    return calls


def outcome(name, args, kwargs):
    try:
        result = getattr(gm, name)(*args, **kwargs)
    except BaseException as error:  # noqa: BLE001
        return ("raised", type(error), str(error))
    if type(result) is float:
        return ("float", struct.pack("<d", result))
    fields = tuple(struct.pack("<d", getattr(result, a))
                   for a in ("delta", "gamma", "theta", "vega", "rho"))
    return (type(result).__name__, fields, repr(result))


@pytest.fixture
def fast_switching():
    # Switch threads as often as the interpreter allows, so calls interleave.
    previous = sys.getswitchinterval()
    sys.setswitchinterval(1e-6)
    yield
    sys.setswitchinterval(previous)


def test_concurrent_calls_give_results_bit_identical_to_a_serial_run(fast_switching):
    calls = workload()
    serial = [outcome(*call) for call in calls]
    assert {o[0] for o in serial} == {"float", "PyGreeks", "raised"}

    start = threading.Barrier(THREADS)
    mismatches: list[str] = []
    crashed: list[BaseException] = []

    def worker(seed):
        try:
            order = list(range(len(calls)))
            random.Random(seed).shuffle(order)  # each thread its own order
            start.wait()
            for _ in range(ROUNDS):
                for i in order:
                    got = outcome(*calls[i])
                    if got != serial[i]:
                        mismatches.append(f"{calls[i]}: {got} != {serial[i]}")
        except BaseException as error:  # noqa: BLE001
            crashed.append(error)

    threads = [threading.Thread(target=worker, args=(seed,)) for seed in range(THREADS)]
    for thread in threads:
        thread.start()
    for thread in threads:
        thread.join()
    assert not crashed
    assert not mismatches, mismatches[:5]
