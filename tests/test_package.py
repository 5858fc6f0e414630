"""The greekmill package over arrays: bit-identity with the scalar functions of
greekmill_python, independence of threads and layout, broadcasting, the
limits at zero total volatility, and every error path."""

from __future__ import annotations

import math
import re
import subprocess
import sys
import threading
from pathlib import Path
from typing import Any

import mpmath
import numpy as np
import pytest

import greekmill as gm
import greekmill_python as gp

TYPING_DIR = Path(__file__).resolve().parent / "typing"
GREEKS = ("delta", "gamma", "theta", "vega", "rho")
EUROPEAN = {"delta": gp.bs_delta, "gamma": gp.bs_gamma, "theta": gp.bs_theta,
            "vega": gp.bs_vega, "rho": gp.bs_rho}
AMERICAN = {"price": gp.am_price, "delta": gp.am_delta, "gamma": gp.am_gamma,
            "theta": gp.am_theta, "vega": gp.am_vega, "rho": gp.am_rho}
CLOSED_FORM = {"method": "bjerksund-stensland"}
TYPE_FORMS = ["call", "put", "c", "p", "CALL", "Put", "cAlL", "P"]


def book(n: int, seed: int = 7) -> dict[str, np.ndarray]:
    rng = np.random.default_rng(seed)
    return {"s": rng.uniform(20, 200, n), "k": rng.uniform(50, 150, n),
            "t": rng.uniform(0.01, 3.0, n), "r": rng.uniform(-0.02, 0.1, n),
            "sigma": rng.uniform(0.02, 1.2, n), "q": rng.uniform(-0.01, 0.08, n),
            "option_type": rng.choice(TYPE_FORMS, n)}


def scalar_args(b: dict[str, np.ndarray], i: int, with_type: bool = True) -> tuple:
    values = tuple(float(b[p][i]) for p in ("s", "k", "t", "r", "sigma", "q"))
    return values + (str(b["option_type"][i]),) if with_type else values


def same_bits(a: np.ndarray, b: np.ndarray) -> bool:
    return np.array_equal(np.asarray(a).view(np.int64), np.asarray(b).view(np.int64))


@pytest.mark.parametrize("name", [*GREEKS, "greeks"])
def test_european_equals_bs_functions_bit_for_bit(name: str) -> None:
    b = book(400)
    result = getattr(gm.european, name)(**b)
    for i in range(400):
        for field in GREEKS if name == "greeks" else (name,):
            got = getattr(result, field)[i] if name == "greeks" else result[i]
            args = scalar_args(b, i, with_type=field not in ("gamma", "vega"))
            want = EUROPEAN[field](*args)
            assert got.hex() == want.hex() if not math.isnan(want) else math.isnan(got)
        # The scalar path gives the same bits as the array path.
        one = getattr(gm.european, name)(*scalar_args(b, i))
        assert (one == (result[i] if name != "greeks" else gm.Greeks(*(g[i] for g in result))))


@pytest.mark.parametrize("name", [*AMERICAN, "greeks"])
def test_closed_form_equals_am_functions_bit_for_bit(name: str) -> None:
    b = book(60, seed=11)
    result = getattr(gm.american, name)(**b, **CLOSED_FORM)
    for i in range(60):
        args = scalar_args(b, i)
        if name == "greeks":
            want = gp.am_greeks(*args)
            assert [g[i].hex() for g in result] == [getattr(want, f).hex() for f in GREEKS]
        else:
            assert result[i].hex() == AMERICAN[name](*args).hex()


def test_results_do_not_depend_on_threads_layout_or_dtype() -> None:
    n = 60_000  # enough for the pool to split the work
    b = book(n, seed=3)
    numbers = {p: b[p] for p in ("s", "k", "t", "r", "sigma", "q")}
    reference = gm.european.greeks(**numbers, option_type=b["option_type"], threads=1)
    for threads in (2, 3, None):
        again = gm.european.greeks(**numbers, option_type=b["option_type"], threads=threads)
        assert all(same_bits(x, y) for x, y in zip(reference, again))
    # A strided view, a Fortran-ordered 2-D copy and a float32 input (converted
    # exactly) give each element the bits it had.
    strided = {p: np.repeat(v, 2)[::2] for p, v in numbers.items()}
    assert same_bits(gm.european.delta(**strided, option_type=b["option_type"]), reference.delta)
    fortran = {p: np.asfortranarray(v.reshape(300, 200)) for p, v in numbers.items()}
    got = gm.european.vega(**fortran, option_type=b["option_type"].reshape(300, 200))
    assert got.flags.c_contiguous and same_bits(got.reshape(-1), reference.vega)
    small = numbers["sigma"].astype(np.float32)
    assert same_bits(gm.european.rho(**{**numbers, "sigma": small}, option_type=b["option_type"]),
                     gm.european.rho(**{**numbers, "sigma": small.astype(np.float64)},
                                     option_type=b["option_type"]))


def test_broadcasting_shapes_and_inputs_left_untouched() -> None:
    spots = np.linspace(80.0, 120.0, 5)
    expiries = np.array([[0.25], [1.0]])
    types = np.array([["call"], ["PUT"]])
    kept = spots.copy()
    got = gm.european.theta(spots, 100, expiries, 0.05, 0.2, 0.01, types)
    assert got.shape == (2, 5) and got.dtype == np.float64 and got.flags.c_contiguous
    assert same_bits(spots, kept)
    for row, (t, kind) in enumerate([(0.25, "call"), (1.0, "PUT")]):
        for col, s in enumerate(spots):
            assert got[row, col].hex() == gp.bs_theta(float(s), 100.0, t, 0.05, 0.2, 0.01, kind).hex()
    assert type(gm.european.delta(np.float64(100), 100, 1, 0.05, 0.2)) is float
    assert gm.european.delta(np.ones(0), 100, 1, 0.05, 0.2).shape == (0,)


def test_calls_from_several_python_threads_agree() -> None:
    b = book(20_000, seed=5)
    reference = gm.european.greeks(**b, threads=1)
    results: list[gm.Greeks] = []

    def worker() -> None:
        for _ in range(3):
            results.append(gm.european.greeks(**b))

    threads = [threading.Thread(target=worker) for _ in range(4)]
    for t in threads:
        t.start()
    for t in threads:
        t.join()
    assert len(results) == 12
    assert all(same_bits(x, y) for r in results for x, y in zip(r, reference))


def reference_price(s, k, t, r, sigma, q, put):  # high-precision Black-Scholes-Merton
    mpmath.mp.dps = 50
    s, k, t, r, sigma, q = map(mpmath.mpf, (s, k, t, r, sigma, q))
    v = sigma * mpmath.sqrt(t)
    d1 = (mpmath.log(s / k) + (r - q + sigma**2 / 2) * t) / v
    d2 = d1 - v
    cdf = mpmath.ncdf
    if put:
        return k * mpmath.exp(-r * t) * cdf(-d2) - s * mpmath.exp(-q * t) * cdf(-d1)
    return s * mpmath.exp(-q * t) * cdf(d1) - k * mpmath.exp(-r * t) * cdf(d2)


@pytest.mark.parametrize("s, k, t, r, sigma, q, put", [
    (100, 100, 1.0, 0.05, 0.2, 0.02, False),
    (100, 100, 1.0, 0.05, 0.2, 0.02, True),
    (100, 300, 0.5, 0.01, 0.15, 0.0, False),      # far out of the money
    (100, 20, 0.5, 0.01, 0.15, 0.0, True),        # far out of the money, put
    (100, 104, 0.01, 0.03, 0.01, 0.0, False),     # little total volatility, OTM
    (100, 99, 2.0, 0.02, 0.03, 0.01, True),       # nearly cancelling terms
    (100, 60, 1.0, 0.05, 0.3, 0.0, False),        # in the money
    (1e-3, 1e3, 10.0, 0.0, 0.5, 0.0, False),      # value of order 1e-40
])
def test_european_price_against_high_precision(s, k, t, r, sigma, q, put) -> None:
    want = reference_price(s, k, t, r, sigma, q, put)
    got = gm.european.price(s, k, t, r, sigma, q, "put" if put else "call")
    assert abs(got - float(want)) <= 1e-14 * float(want)


def test_zero_total_volatility_gives_the_limits() -> None:
    # At expiry: intrinsic value; delta the exercise indicator, 1/2 at the money.
    assert gm.european.price([90.0, 110.0], 100, 0.0, 0.05, 0.2).tolist() == [0.0, 10.0]
    assert gm.european.price(90.0, 100, 0.0, 0.05, 0.2, 0.0, "put") == 10.0
    g = gm.european.greeks([90.0, 100.0, 110.0], 100, 0.0, 0.05, 0.2, 0.0, "put")
    assert g.delta.tolist() == [-1.0, -0.5, 0.0]
    assert g.gamma.tolist() == [0.0, math.inf, 0.0]
    # Without volatility: the discounted forward; the Greeks are the limits
    # of the formulas as sigma falls to 0.
    s, k, t, r, q = 100.0, 95.0, 1.0, 0.03, 0.01
    assert gm.european.price(s, k, t, r, 0.0, q) == pytest.approx(
        s * math.exp(-q * t) - k * math.exp(-r * t), rel=1e-15)
    for field in GREEKS:
        limit = getattr(gm.european, field)(s, k, t, r, 0.0, q, "call")
        near = getattr(gp, f"bs_{field}")(*((s, k, t, r, 1e-9, q) + (() if field in ("gamma", "vega") else ("call",))))
        assert limit == pytest.approx(near, abs=1e-12)


@pytest.mark.parametrize("call, message", [
    (lambda: gm.european.delta(-1.0, 100, 1, 0.05, 0.2),
     "greekmill.european.delta: s = -1.0 is out of the domain (s must be finite and > 0)"),
    (lambda: gm.european.greeks(100, 100, 1, math.nan, 0.2),
     "greekmill.european.greeks: r = nan is out of the domain (r must be finite)"),
    (lambda: gm.european.vega(100, 100, -1, 0.05, 0.2),
     "t = -1.0 is out of the domain (t must be finite and >= 0)"),
    (lambda: gm.european.delta([[100, 100], [100, 0]], 100, 1, 0.05, [0.2, -0.1]),
     "sigma[0, 1] = -0.1 is out of the domain (sigma must be finite and >= 0); "
     "2 elements fail, this is the first"),
    (lambda: gm.american.price(100, [1, math.inf], 1, 0.05, 0.2, **CLOSED_FORM),
     "k[1] = inf is out of the domain (k must be finite and > 0)"),
    (lambda: gm.european.delta([1, 2, 3], [1, 2], 1, 0.05, 0.2),
     "the shapes do not broadcast together: s (3,), k (2,)"),
    (lambda: gm.european.delta(100, 100, 1, 0.05, 0.2, option_type="straddle"),
     "option_type must be 'call' or 'put' ('c', 'p', any letter case); got 'straddle'"),
    (lambda: gm.european.delta(100, 100, 1, 0.05, 0.2, option_type=["call", "calls"]),
     "option_type[1] = 'calls' is not (1 such element)"),
    (lambda: gm.european.delta(100, 100, 1, 0.05, 0.2, precision="approximate"),
     "precision must be one of 'exact', 'fast'; got 'approximate'"),
    (lambda: gm.european.delta(100, 100, 1, 0.05, 0.2, errors="ignore"),
     "errors must be one of 'raise', 'nan'; got 'ignore'"),
    (lambda: gm.american.delta(100, 100, 1, 0.05, 0.2, method="binomial"),
     "method must be one of"),
    (lambda: gm.european.delta(100, 100, 1, 0.05, 0.2, threads=0),
     "threads must be None or a positive int; got 0"),
])
def test_bad_input_raises_value_error_naming_it(call, message) -> None:
    with pytest.raises(ValueError) as raised:
        call()
    assert message in str(raised.value)


@pytest.mark.parametrize("call", [
    lambda: gm.european.delta("100", 100, 1, 0.05, 0.2),
    lambda: gm.european.delta(["a", "b"], 100, 1, 0.05, 0.2),
    lambda: gm.european.delta(100, 100, 1, 0.05, 0.2, option_type=1),
    lambda: gm.european.delta(100, 100, 1, 0.05, 0.2, threads=1.5),
    lambda: gm.european.delta(100, 100, 1, 0.05, [1j]),
])
def test_non_numeric_input_raises_type_error(call) -> None:
    with pytest.raises(TypeError):
        call()


def test_errors_nan_fills_only_the_failing_elements() -> None:
    got = gm.european.greeks([100.0, -5.0, 100.0], 100, [1.0, 1.0, math.inf], 0.05, 0.2,
                             errors="nan")
    for field in got:
        assert np.isnan(field[1:]).all() and not np.isnan(field[0])
    assert math.isnan(gm.european.price(math.nan, 100, 1, 0.05, 0.2, errors="nan"))
    assert all(math.isnan(x) for x in gm.european.greeks(-1, 100, 1, 0.05, 0.2, errors="nan"))


def test_strict_mypy_infers_floats_for_scalars_and_arrays_for_arrays(tmp_path: Path) -> None:
    def mypy(file: Path) -> subprocess.CompletedProcess[str]:
        return subprocess.run([sys.executable, "-m", "mypy", "--strict", "--cache-dir",
                               str(tmp_path / ".cache"), str(file)], cwd=tmp_path,
                              capture_output=True, text=True, check=False)
    good = mypy(TYPING_DIR / "package_good.py")
    assert good.returncode == 0, good.stdout + good.stderr
    bad_file = TYPING_DIR / "package_bad.py"
    marked = {n for n, line in enumerate(bad_file.read_text().splitlines(), 1)
              if line.rstrip().endswith("# error")}
    bad = mypy(bad_file)
    reported = {int(line.split(":")[1]) for line in bad.stdout.splitlines()
                if line.startswith(str(bad_file)) and ": error:" in line}
    assert reported == marked, bad.stdout


FAST_PROBE = """
import hashlib, numpy as np, greekmill as gm
rng = np.random.default_rng(5)
n = 30_001
x = dict(s=rng.uniform(20, 200, n), k=rng.uniform(50, 150, n), t=rng.uniform(0.0, 3.0, n),
         r=rng.uniform(-0.02, 0.1, n), sigma=rng.uniform(0.0, 1.2, n), q=rng.uniform(0, 0.08, n),
         option_type=rng.choice(["c", "p"], n))
x["t"][::97] = 0.0
digest = hashlib.sha256()
for threads in (1, 2):
    for out in (gm.european.greeks(**x, precision="fast", threads=threads),
                gm.european.price(**x, precision="fast", threads=threads),
                gm.american.greeks(**{k: v[:2000] for k, v in x.items()},
                                   method="bjerksund-stensland", precision="fast",
                                   threads=threads)):
        digest.update(np.ascontiguousarray(out).tobytes())
print(digest.hexdigest())
"""


def test_fast_precision_gives_the_same_bits_at_every_vector_width() -> None:
    # GREEKMILL_SIMD forces the width (a width the CPU lacks falls back to the
    # widest below it); every width and both thread counts hash alike.
    digests = set()
    for width in ("sse2", "avx2", "avx512"):
        done = subprocess.run([sys.executable, "-c", FAST_PROBE], capture_output=True, text=True,
                              env={**__import__("os").environ, "GREEKMILL_SIMD": width},
                              check=True)
        digests.add(done.stdout.strip())
    assert len(digests) == 1


SPECTRAL_PROBE = """
import hashlib, numpy as np, greekmill as gm
rng = np.random.default_rng(23)
n = 240
x = dict(s=rng.uniform(40, 180, n), k=rng.uniform(70, 130, n), t=rng.uniform(0.02, 12.0, n),
         r=rng.uniform(-0.01, 0.12, n), sigma=rng.uniform(0.03, 0.9, n), q=rng.uniform(0, 0.12, n),
         option_type=rng.choice(["c", "p"], n))
x["t"][::31] = 0.0
def results(order, threads):
    y = {key: value[order] for key, value in x.items()}
    out = []
    for accuracy in ("fast", "accurate", "high"):
        price = gm.american.price(**y, accuracy=accuracy, threads=threads)
        out.append(price)
        out.extend(gm.american.greeks(**y, accuracy=accuracy, threads=threads))
    out.append(gm.american.exercise_boundary(y["t"], y["k"], y["r"], y["sigma"], y["q"],
                                             y["option_type"], threads=threads))
    out.append(gm.american.implied_volatility(out[5], y["s"], y["k"], y["t"], y["r"], y["q"],
                                              y["option_type"], errors="nan", threads=threads))
    return [np.asarray(a)[np.argsort(order)] for a in out]
forward = np.arange(n)
runs = [results(forward, 1), results(forward, 2), results(forward[::-1], 2)]
same = all(np.array_equal(a.view(np.int64), b.view(np.int64))
           for run in runs[1:] for a, b in zip(runs[0], run))
digest = hashlib.sha256(b"".join(np.ascontiguousarray(a).tobytes() for a in runs[0]))
print(digest.hexdigest() if same else "threads or layout changed the bits")
"""


def test_spectral_engine_gives_the_same_bits_at_every_width_thread_count_and_layout() -> None:
    # Prices, Greeks, boundaries and implied volatilities of every tier, run
    # forced to each width, on one and two threads and in reversed order.
    digests = set()
    for width in ("sse2", "avx2", "avx512"):
        done = subprocess.run([sys.executable, "-c", SPECTRAL_PROBE], capture_output=True,
                              text=True, check=True,
                              env={**__import__("os").environ, "GREEKMILL_SIMD": width})
        digests.add(done.stdout.strip())
    assert len(digests) == 1 and "changed" not in digests.pop()


SMALL_STACK_PROBE = """
import threading, greekmill as gm
try:
    threading.stack_size(64 * 1024)
except ValueError:  # below the C library's least: 128 KiB on aarch64 (64 KiB pages)
    threading.stack_size(128 * 1024)
got = []
worker = threading.Thread(target=lambda: got.append(
    (gm.american.price(100., 100., 1., 0.05, 0.2, 0., "put"),
     gm.american.greeks(100., 100., 1., 0.05, 0.2, 0., "put", accuracy="high").delta)))
worker.start()
worker.join()
print(repr(got[0][0]), repr(got[0][1]))
"""


def test_spectral_engine_runs_on_a_64_kib_thread_stack() -> None:
    done = subprocess.run([sys.executable, "-c", SMALL_STACK_PROBE], capture_output=True,
                          text=True)
    assert done.returncode == 0, done.stderr
    value, delta = map(float, done.stdout.split())
    assert value == float(gm.american.price(100., 100., 1., 0.05, 0.2, 0., "put"))
    assert -1.0 < delta < 0.0


def test_fast_precision_is_close_to_exact() -> None:
    b = book(5000, seed=9)
    exact, fast = gm.european.greeks(**b), gm.european.greeks(**b, precision="fast")
    for e, f in zip(exact, fast):
        np.testing.assert_allclose(f, e, rtol=1e-9, atol=1e-12)


def test_spectral_is_the_default_and_never_below_the_closed_form_or_intrinsic() -> None:
    b = book(300, seed=13)
    accurate = gm.american.price(**b)
    assert same_bits(accurate, gm.american.price(**b, method="spectral", accuracy="accurate"))
    closed = gm.american.price(**b, method="bjerksund-stensland")
    intrinsic = np.where(np.char.lower(b["option_type"].astype(str)).astype(str).astype("U1") == "c",
                         np.maximum(b["s"] - b["k"], 0), np.maximum(b["k"] - b["s"], 0))
    assert (accurate >= intrinsic - 1e-12).all()
    assert (accurate >= closed - 1e-6 * b["k"]).all()


def test_implied_volatility_round_trips_and_names_the_bound() -> None:
    b = book(2000, seed=17)
    sigma = b.pop("sigma")
    european = gm.european.price(**b, sigma=sigma)
    back = gm.european.implied_volatility(european, **b, errors="nan")
    # The price carries a few ulps of rounding; divided by vega that is what
    # the volatility can be told from it.  Where vega underflows to 0 the price
    # does not depend on the volatility at all: any is allowed (inf).
    with np.errstate(divide="ignore"):
        allowance = (16 * np.spacing(european) / gm.european.vega(**b, sigma=sigma)
                     + 4 * np.spacing(sigma))
    assert (np.abs(back - sigma) <= allowance).mean() > 0.999
    small = {p: v[:60] for p, v in b.items()}
    american = gm.american.price(**small, sigma=sigma[:60])
    back = gm.american.implied_volatility(american, **small, errors="nan")
    ok = ~np.isnan(back)
    # NaN only where the American price is the exercise value (to within far
    # less than the engine's accuracy), which no volatility moves.
    call = np.char.lower(small["option_type"].astype(str)).astype("U1") == "c"
    exercise = np.maximum(np.where(call, small["s"] - small["k"], small["k"] - small["s"]), 0)
    assert (american[~ok] - exercise[~ok] <= 1e-12 * small["k"][~ok]).all()
    np.testing.assert_allclose(back[ok], sigma[:60][ok], rtol=1e-7)
    with pytest.raises(ValueError, match=r"price\[1\] = 150.0 is at or above the upper"):
        gm.european.implied_volatility([5.0, 150.0], 100, 100, 1, 0.05)
    with pytest.raises(ValueError, match="carries no information about volatility"):
        gm.american.implied_volatility(20.0, 80, 100, 1, 0.05, 0.0, "put")


# The bound that was crossed, with its value: above the intrinsic value 40 of
# this call, 40.2 is still below the discounted forward's 41.24.
@pytest.mark.parametrize("function, args, message", [
    (gm.european.implied_volatility, (40.2, 140, 100, 0.25, 0.05),
     "price = 40.2 is below the lower no-arbitrage bound 41.24221995 (the value at zero "
     "volatility, max(s e^(-qt) - k e^(-rt), 0)); the intrinsic value max(s - k, 0) is 40"),
    (gm.european.implied_volatility, ([30.0, 1.0], 100, 120, 0.5, 0.05, 0.0, "put"),
     "price[1] = 1.0 is below the lower no-arbitrage bound 17.03718944"),
    (gm.european.implied_volatility, (3.0, 140, 100, 0.0, 0.05),
     "price = 3.0 is below the value at expiry 40"),
    (gm.european.implied_volatility, (118.0, 100, 120, 0.5, 0.05, 0.0, "put"),
     "is at or above the upper no-arbitrage bound 117.0371894 (the discounted strike"),
    (gm.american.implied_volatility, (40.2, 140, 100, 0.25, 0.05),
     "is below the lower no-arbitrage bound 41.24221995 (the larger of the exercise value and "
     "the value at zero volatility, 41.24221995); the intrinsic value max(s - k, 0) is 40"),
    (gm.american.implied_volatility, (19.5, 100, 120, 0.5, 0.05, 0.0, "put"),
     "is below the lower no-arbitrage bound 20 "),
    (gm.american.implied_volatility, (120.0, 100, 120, 0.5, 0.05, 0.0, "put"),
     "is at or above the upper no-arbitrage bound 120 (the strike"),
    # r < 0: the put is held to expiry, worth up to k e^(-rt) > k.
    (gm.american.implied_volatility, (140.0, 10, 100, 10, -0.03, 0.0, "put"),
     "is at or above the upper no-arbitrage bound 134.9858808 (the discounted strike"),
], ids=["european-call", "european-put-array", "expiry", "european-upper", "american-call",
        "american-put", "american-upper", "american-upper-negative-rate"])
def test_implied_volatility_names_the_bound_and_its_value(function: Any, args: tuple[Any, ...],
                                                          message: str) -> None:
    with pytest.raises(ValueError, match=re.escape(message)):
        function(*args)


def test_american_put_at_a_negative_rate_inverts_above_the_strike() -> None:
    # Held to expiry where r < 0, the put is worth more than the strike: its
    # own price (125.015 at sigma 0.3) was refused as above the bound k.
    price = gm.american.price(10.0, 100.0, 10.0, -0.03, 0.3, 0.0, "put")
    assert price > 100.0
    assert abs(gm.american.implied_volatility(price, 10.0, 100.0, 10.0, -0.03, 0.0, "put")
               - 0.3) < 1e-9


def test_exercise_boundary_is_where_the_put_is_worth_its_intrinsic_value() -> None:
    tau = np.array([0.25, 1.0, 3.0])
    boundary = gm.american.exercise_boundary(tau, 100.0, 0.05, 0.25)
    assert (np.diff(boundary) < 0).all() and (boundary < 100).all()
    below = gm.american.price(boundary * 0.999, 100.0, tau, 0.05, 0.25, 0.0, "put")
    above = gm.american.price(boundary * 1.01, 100.0, tau, 0.05, 0.25, 0.0, "put")
    np.testing.assert_allclose(below, 100 - boundary * 0.999, rtol=1e-7)
    assert (above > 100 - boundary * 1.01 + 1e-6).all()
    assert gm.american.exercise_boundary(1.0, 100.0, 0.05, 0.25, 0.0, "call") == math.inf
