"""Accuracy and cost of European implied volatility on a hard grid, beside peers.

The grid: total volatility w = sigma sqrt(t) from 1e-4 to 5 (t = 1, r = q = 0,
s = F = 1), log-moneyness ln(F/K) from -10 to +10 standard deviations (K is
that value rounded to double), calls and puts (so half of the grid is in the
money), priced with mpmath at 50 digits and rounded to double; prices below
1e-305 of the forward are dropped.  The reference volatility of each case is
the root, at the same precision, of price(sigma) = the double price, so that
the error measured is the solver's alone.

Targets: |error| <= 4 ulp(price) / vega, or 4 ulps of sigma where that is
larger.  "Solved" counts the volatilities that come back within 1e-6
relative or within that allowance.  A case is "determined" when that allowance is below 1e-3 sigma (the
double price pins the volatility down); the others (deep in the money, where
the time value is lost in the rounding of the price) are counted apart.

greekmill is called through a small C++ driver (driver.cpp, compiled here
with the core's flags) that reads the cases from a binary file and times a
plain loop on one thread.  Every time is CPU time of the process (the
thread's clock in the driver, time.process_time for the peers), so that a
machine shared with other work does not inflate one column more than another.  Peers run through their Python array interfaces,
each as installed by requirements.txt; a peer that is not installed is
skipped.

    python bench/implied_volatility/run.py [--points 40] [--out results.md]
        [--peer-python py_vollib_vectorized=/path/to/other/venv/bin/python]

py_vollib_vectorized 0.1.1 needs numba < 0.59 with numpy < 2 and the
numba-compiled py_vollib 1.0.1 / py_lets_be_rational 1.0.1, which clash with
the other peers: install it in a venv of its own (requirements-pvv.txt) and
pass that interpreter with --peer-python.
"""

from __future__ import annotations

import argparse
import math
import os
import struct
import subprocess
import sys
import tempfile
import time
from pathlib import Path

import numpy as np
from mpmath import mp, mpf, ncdf, npdf, exp, log, sqrt, findroot

ROOT = Path(__file__).resolve().parents[2]
HERE = Path(__file__).resolve().parent


def black(f, k, w, put):
    f, k, w = mpf(f), mpf(k), mpf(w)
    d1 = (log(f / k) + w * w / 2) / w
    d2 = d1 - w
    if put:
        return k * ncdf(-d2) - f * ncdf(-d1)
    return f * ncdf(d1) - k * ncdf(d2)


def black_vega(f, k, w):
    f, k, w = mpf(f), mpf(k), mpf(w)
    d1 = (log(f / k) + w * w / 2) / w
    return f * npdf(d1)


def build_grid(points: int):
    mp.dps = 50
    cases = []
    totals = np.geomspace(1e-4, 5.0, points)
    deviations = np.linspace(-10.0, 10.0, points)
    for w in totals:
        for z in deviations:
            k = float(exp(mpf(float(z)) * mpf(float(w))))  # ln(F/K) = -z w
            for put in (False, True):
                p = black(1.0, k, float(w), put)
                pd = float(p)
                if not pd >= 1e-305:
                    continue
                upper = k if put else 1.0
                intrinsic = max(k - 1.0, 0.0) if put else max(1.0 - k, 0.0)
                if pd >= upper or pd <= intrinsic:
                    continue  # not inside the bounds once rounded
                # The volatility of the double price: Newton in mpmath inside
                # a bracket, bisecting (geometrically) where a step leaves it.
                target = mpf(pd)
                lo, hi = mpf(0), mpf(float(w))
                while black(1.0, k, hi, put) < target:
                    lo, hi = hi, hi * 2
                sigma = mpf(float(w))
                for _ in range(200):
                    diff = black(1.0, k, sigma, put) - target
                    if diff > 0:
                        hi = sigma
                    else:
                        lo = sigma
                    v = black_vega(1.0, k, sigma)
                    step = diff / v if v > 0 else mpf(0)
                    nxt = sigma - step
                    if not (lo < nxt < hi) or v == 0:
                        nxt = sqrt(lo * hi) if lo > 0 else hi / 2
                    done = abs(nxt - sigma) <= abs(sigma) * mpf(10) ** -30
                    sigma = nxt
                    if done:
                        break
                vega = float(black_vega(1.0, k, sigma))
                s_ref = float(sigma)
                allowance = max(4 * math.ulp(pd) / vega if vega > 0 else math.inf,
                                4 * math.ulp(s_ref))
                cases.append(dict(price=pd, k=k, w=float(w), z=float(z), put=put,
                                  sigma=s_ref, allowance=allowance,
                                  itm=(k < 1.0) != put))
    return cases


def build_driver(tmp: Path) -> Path:
    exe = tmp / "iv_driver"
    engine = sorted(str(p) for p in (ROOT / "core" / "american").glob("*.cpp"))
    cmd = ["g++", "-std=c++23", "-O3", "-DNDEBUG", "-ffp-contract=off", "-fno-fast-math",
           "-DGREEKMILL_DRIVER_AMERICAN", f"-I{ROOT / 'core'}", str(HERE / "driver.cpp"),
           str(ROOT / "core" / "implied_volatility.cpp"), *engine, "-o", str(exe)]
    subprocess.run(cmd, check=True)
    return exe


def run_greekmill(exe: Path, tmp: Path, cases, repeats: int):
    path_in = tmp / "cases.bin"
    path_out = tmp / "out.bin"
    with open(path_in, "wb") as f:
        for c in cases:
            f.write(struct.pack("7d", c["price"], 1.0, c["k"], 1.0, 0.0, 0.0,
                                1.0 if c["put"] else 0.0))
    ns = float(subprocess.run([str(exe), "solve", str(path_in), str(path_out), str(repeats)],
                              check=True, capture_output=True, text=True).stdout)
    out = np.fromfile(path_out, dtype=np.float64)
    return out, ns


def timed(fn, repeats: int):
    best = math.inf
    out = None
    for _ in range(repeats):
        t0 = time.process_time()
        out = fn()
        best = min(best, time.process_time() - t0)
    return out, best


def peers(price, s, k, t, r, q, put, repeats: int, failed: list, only=None):
    """Each installed peer on the same cases: {label: (volatilities, seconds per volatility)}."""
    n = len(price)
    flags = np.where(put, "p", "c")
    sqrt_t = np.sqrt(t)
    forward = s * np.exp((r - q) * t)
    discount = np.exp(-r * t)
    results = {}

    def wanted(name):
        return only is None or name in only

    try:
        if not wanted("lbriv"):
            raise LookupError
        import lbriv

        # Black-76 on (undiscounted price, forward) with total volatility;
        # its array entry point takes one strike and one type per call.
        groups = {}
        for i, key in enumerate(zip(k.tolist(), put.tolist())):
            groups.setdefault(key, []).append(i)
        groups = [(kk, -1 if pp else 1, np.array(idx)) for (kk, pp), idx in groups.items()]
        undiscounted = price / discount

        def lbr():
            res = np.empty(n)
            for kk, flag, idx in groups:
                res[idx] = lbriv.vectorized_implied_vol(undiscounted[idx], forward[idx], kk, flag)
            return res / sqrt_t
        out, secs = timed(lbr, repeats)
        out = np.where(out > 0, out, np.nan)  # 0.0 is its error value
        results["lbriv 1.0 (vectorized_implied_vol per strike)"] = (out, secs / n)
    except LookupError:
        pass
    except Exception as e:  # a peer that is missing or fails to run is reported, not fatal
        failed.append(f"lbriv: {type(e).__name__}: {str(e).splitlines()[0][:160]}")

    try:
        if not wanted("py_vollib_vectorized"):
            raise LookupError
        import py_vollib_vectorized as pvv

        def pv():
            return np.asarray(pvv.vectorized_implied_volatility(
                price, s, k, t, r, flags, q=q, model="black_scholes_merton",
                return_as="numpy", on_error="ignore"), dtype=float).ravel()
        pv()  # compile its numba code outside the timing
        out, secs = timed(pv, repeats)
        results["py_vollib_vectorized 0.1.1"] = (out, secs / n)
    except LookupError:
        pass
    except Exception as e:
        failed.append(f"py_vollib_vectorized: {type(e).__name__}: {str(e).splitlines()[0][:160]}")

    try:
        if not wanted("fast_vollib"):
            raise LookupError
        import warnings
        import fast_vollib

        def fv():
            with warnings.catch_warnings():
                warnings.simplefilter("ignore")
                return np.asarray(fast_vollib.fast_implied_volatility(
                    price, s, k, t, r, flags, q, on_error="ignore",
                    model="black_scholes_merton", return_as="numpy"), dtype=float).ravel()
        fv()
        out, secs = timed(fv, repeats)
        results["fast-vollib 0.2.4 (default solver)"] = (out, secs / n)
    except LookupError:
        pass
    except Exception as e:
        failed.append(f"fast-vollib: {type(e).__name__}: {str(e).splitlines()[0][:160]}")

    try:
        if not wanted("QuantLib"):
            raise LookupError
        import QuantLib as ql

        def qlv():
            res = np.empty(n)
            for i in range(n):
                try:
                    typ = ql.Option.Put if put[i] else ql.Option.Call
                    res[i] = ql.blackFormulaImpliedStdDev(
                        typ, float(k[i]), float(forward[i]), float(price[i]), float(discount[i]))
                except RuntimeError:
                    res[i] = math.nan
            return res / sqrt_t
        out, secs = timed(qlv, 1)
        results[f"QuantLib {ql.__version__} (blackFormulaImpliedStdDev)"] = (out, secs / n)
    except LookupError:
        pass
    except Exception as e:
        failed.append(f"QuantLib: {type(e).__name__}: {str(e).splitlines()[0][:160]}")
    return results


def all_peers(arrays, repeats, separate, failed):
    """Peers in this interpreter, and those given their own with --peer-python."""
    names = ("lbriv", "py_vollib_vectorized", "fast_vollib", "QuantLib")
    res = peers(*arrays, repeats, failed, only=[n for n in names if n not in separate])
    for name, python in separate.items():
        with tempfile.TemporaryDirectory() as d:
            path_in, path_out = Path(d) / "in.npz", Path(d) / "out.npz"
            keys = ("price", "s", "k", "t", "r", "q", "put")
            np.savez(path_in, **dict(zip(keys, arrays)))
            subprocess.run([python, __file__, "--repeats", str(repeats),
                            "--peer-worker", name, str(path_in), str(path_out)], check=True)
            got = np.load(path_out)
            if "label" in got:
                res[str(got["label"])] = (got["out"], float(got["secs"]))
            failed += [f for f in got["failed"] if f]
    return res


def score(name, out, cases, ns):
    sigma = np.array([c["sigma"] for c in cases])
    allowance = np.array([c["allowance"] for c in cases])
    itm = np.array([c["itm"] for c in cases])
    determined = allowance < 1e-3 * sigma
    err = np.abs(out - sigma)
    rel = err / sigma
    ok = np.isfinite(out) & (out > 0) & ((rel <= 1e-6) | (err <= allowance))
    within = np.isfinite(out) & (err <= allowance)
    otm = determined & ~itm
    itd = determined & itm
    ratio = np.where(np.isfinite(err), err / allowance, np.inf)

    def worst(mask, values):
        v = values[mask]
        return float(np.max(v)) if v.size else float("nan")
    return dict(
        name=name, ns=ns,
        solved=f"{int(np.sum(ok & determined))}/{int(np.sum(determined))}",
        within=f"{int(np.sum(within & determined))}/{int(np.sum(determined))}",
        worst_ratio=worst(determined, ratio),
        otm_rel=worst(otm, rel), itm_rel=worst(itd, rel))


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--points", type=int, default=40)
    parser.add_argument("--repeats", type=int, default=5)
    parser.add_argument("--american", type=int, default=400)
    parser.add_argument("--out", type=Path, default=None)
    # A peer whose pinned dependencies clash with the others runs under its
    # own interpreter: --peer-python py_vollib_vectorized=/path/to/python.
    parser.add_argument("--peer-python", action="append", default=[])
    parser.add_argument("--peer-worker", nargs=3, metavar=("NAME", "IN", "OUT"),
                        help=argparse.SUPPRESS)
    args = parser.parse_args()

    if args.peer_worker:
        name, path_in, path_out = args.peer_worker
        data = np.load(path_in)
        failed = []
        res = peers(*(data[key] for key in ("price", "s", "k", "t", "r", "q", "put")),
                    args.repeats, failed, only=[name])
        out = {}
        for i, (label, (o, secs)) in enumerate(res.items()):
            out["label"] = np.array(label)
            out["out"] = o
            out["secs"] = np.array(secs)
        out["failed"] = np.array(failed if failed else [""])
        np.savez(path_out, **out)
        return

    t0 = time.time()
    cases = build_grid(args.points)
    build_s = time.time() - t0
    with tempfile.TemporaryDirectory() as d:
        tmp = Path(d)
        exe = build_driver(tmp)
        out, ns = run_greekmill(exe, tmp, cases, args.repeats)
        typical_path = tmp / "typical.bin"
        typical = subprocess.run([str(exe), "random", "1000000", "20261208", str(args.repeats),
                                  str(typical_path)],
                                 check=True, capture_output=True, text=True).stdout
        typical_cases = np.fromfile(typical_path, dtype=np.float64).reshape(-1, 7)[:100_000]
        american = subprocess.run([str(exe), "american", str(args.american), "20261208"],
                                  check=True, capture_output=True, text=True).stdout
    rows = [score("greekmill (C++ loop, one thread)", out, cases, ns)]
    n = len(cases)
    grid = (np.array([c["price"] for c in cases]), np.ones(n), np.array([c["k"] for c in cases]),
            np.ones(n), np.zeros(n), np.zeros(n), np.array([c["put"] for c in cases]))
    separate = dict(item.split("=", 1) for item in args.peer_python)
    failed = []
    for name, (o, secs) in all_peers(grid, args.repeats, separate, failed).items():
        rows.append(score(name, o, cases, secs * 1e9))

    # The typical set: greekmill's time on 10^6 from the driver, the peers'
    # on the first 10^5 of the same cases.
    typ = (typical_cases[:, 0], typical_cases[:, 1], typical_cases[:, 2], typical_cases[:, 3],
           typical_cases[:, 4], typical_cases[:, 5], typical_cases[:, 6] == 1.0)
    typical_rows = []
    for name, (o, secs) in all_peers(typ, args.repeats, separate, []).items():
        typical_rows.append((name, secs * 1e9, int(np.sum(~np.isfinite(o)))))

    lines = [f"Hard grid: {len(cases)} cases ({args.points} total volatilities x "
             f"{args.points} moneyness points x call/put, inside the bounds once rounded), "
             f"built with mpmath in {build_s:.0f} s.", "",
             "| solver | ns / volatility | solved (determined cases) | within 4 ulp(price)/vega "
             "| worst error / allowance | worst rel. error OTM | worst rel. error ITM |",
             "|---|---:|---:|---:|---:|---:|---:|"]
    for r in rows:
        lines.append(f"| {r['name']} | {r['ns']:.0f} | {r['solved']} | {r['within']} | "
                     f"{r['worst_ratio']:.3g} | {r['otm_rel']:.2g} | {r['itm_rel']:.2g} |")
    for f in failed:
        lines.append(f"| did not run: {f} | | | | | | |")
    lines += ["", "greekmill on 10^6 typical options (driver `random`; k = 128, s 86-191, "
              "t 0.02-3, sigma 0.05-1, r and q of either sign, calls and puts):", "",
              "```", typical.strip(), "```", "",
              "Peers on the first 10^5 of those cases (CPU time per volatility; NaN or error "
              "counts):", "", "| solver | ns / volatility | no volatility |", "|---|---:|---:|"]
    ns_typical = float(typical.split()[1])
    lines.append(f"| greekmill (C++ loop, one thread) | {ns_typical:.0f} | 0 |")
    for name, ns_peer, missing in typical_rows:
        lines.append(f"| {name} | {ns_peer:.0f} | {missing} |")
    lines += ["",
              f"American round trips through the accurate engine ({args.american} seeded cases; "
              "s = 100, k 74-135, t 0.05-3, r 0-0.08, q -0.01-0.05, sigma 0.05-0.8, calls and "
              "puts):", "", "```", american.strip(), "```"]
    text = "\n".join(lines)
    print(text)
    if args.out:
        args.out.write_text(text + "\n")


if __name__ == "__main__":
    main()
