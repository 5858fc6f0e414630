"""Accuracy and cost of European implied volatility on a hard grid, beside peers.

The grid: total volatility w = sigma sqrt(t) from 1e-4 to 5 (t = 1, r = q = 0,
s = F = 1), log-moneyness ln(F/K) from -10 to +10 standard deviations (K is
that value rounded to double), calls and puts (so half of the grid is in the
money), priced with mpmath at 50 digits and rounded to double; prices below
1e-305 of the forward are dropped.  The reference volatility of each case is
the root, at the same precision, of price(sigma) = the double price, so that
the error measured is the solver's alone.

Targets: |error| <= 4 ulp(price) / vega, or 4 ulps of sigma where that is
larger.  A case is "determined" when that allowance is below 1e-3 sigma (the
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


def peers(cases, repeats: int, failed: list):
    price = np.array([c["price"] for c in cases])
    k = np.array([c["k"] for c in cases])
    put = np.array([c["put"] for c in cases])
    n = len(cases)
    ones = np.ones(n)
    zeros = np.zeros(n)
    flags = np.where(put, "p", "c")
    results = {}
    results_failed = failed

    try:
        import lbriv

        def lbr():
            return np.array([lbriv.implied_vol(p, 1.0, kk, -1 if pp else 1)
                             for p, kk, pp in zip(price, k, put)])
        out, t = timed(lbr, repeats)
        # The array entry point takes one strike at a time: time it on one
        # strike with as many prices, the cost per volatility it is built for.
        many = np.full(n, 0.05)
        fwd = np.ones(n)
        _, t_vec = timed(lambda: lbriv.vectorized_implied_vol(many, fwd, 1.0, 1), repeats)
        results["lbriv 1.0 (scalar loop; array call on one strike for the time)"] = (out, t_vec / n)
    except Exception as e:  # a peer that is missing or fails to run is reported, not fatal
        results_failed.append(f"{type(e).__name__}: {str(e).splitlines()[0][:160]}")

    try:
        import py_vollib_vectorized as pvv

        def pv():
            return np.asarray(pvv.vectorized_implied_volatility(
                price, ones, k, ones, zeros, flags, q=zeros, model="black_scholes_merton",
                return_as="numpy", on_error="ignore"), dtype=float).ravel()
        out, t = timed(pv, repeats)
        results["py_vollib_vectorized 0.1.1"] = (out, t / n)
    except Exception as e:  # a peer that is missing or fails to run is reported, not fatal
        results_failed.append(f"{type(e).__name__}: {str(e).splitlines()[0][:160]}")

    try:
        import warnings
        import fast_vollib

        def fv():
            with warnings.catch_warnings():
                warnings.simplefilter("ignore")
                return np.asarray(fast_vollib.fast_implied_volatility(
                    price, ones, k, ones, zeros, flags, zeros, on_error="ignore",
                    model="black_scholes_merton", return_as="numpy"), dtype=float).ravel()
        out, t = timed(fv, repeats)
        results["fast-vollib 0.2.4 (default solver)"] = (out, t / n)
    except Exception as e:  # a peer that is missing or fails to run is reported, not fatal
        results_failed.append(f"{type(e).__name__}: {str(e).splitlines()[0][:160]}")

    try:
        import QuantLib as ql

        def qlv():
            res = np.empty(n)
            for i in range(n):
                try:
                    typ = ql.Option.Put if put[i] else ql.Option.Call
                    res[i] = ql.blackFormulaImpliedStdDev(typ, float(k[i]), 1.0, float(price[i]))
                except RuntimeError:
                    res[i] = math.nan
            return res
        out, t = timed(qlv, 1)
        results[f"QuantLib {ql.__version__} (blackFormulaImpliedStdDev)"] = (out, t / n)
    except Exception as e:  # a peer that is missing or fails to run is reported, not fatal
        results_failed.append(f"{type(e).__name__}: {str(e).splitlines()[0][:160]}")
    return results


def score(name, out, cases, ns):
    sigma = np.array([c["sigma"] for c in cases])
    allowance = np.array([c["allowance"] for c in cases])
    itm = np.array([c["itm"] for c in cases])
    determined = allowance < 1e-3 * sigma
    err = np.abs(out - sigma)
    rel = err / sigma
    ok = np.isfinite(out) & (out > 0) & (rel <= 1e-6)
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
    args = parser.parse_args()

    t0 = time.time()
    cases = build_grid(args.points)
    build_s = time.time() - t0
    with tempfile.TemporaryDirectory() as d:
        tmp = Path(d)
        exe = build_driver(tmp)
        out, ns = run_greekmill(exe, tmp, cases, args.repeats)
        typical = subprocess.run([str(exe), "random", "1000000", "20261208", str(args.repeats)],
                                 check=True, capture_output=True, text=True).stdout
        american = subprocess.run([str(exe), "american", str(args.american), "20261208"],
                                  check=True, capture_output=True, text=True).stdout
    rows = [score("greekmill (C++ loop, one thread)", out, cases, ns)]
    failed = []
    for name, (o, secs) in peers(cases, args.repeats, failed).items():
        rows.append(score(name, o, cases, secs * 1e9))

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
              f"American round trips through the accurate engine ({args.american} seeded cases; "
              "s = 100, k 74-135, t 0.05-3, r 0-0.08, q -0.01-0.05, sigma 0.05-0.8, calls and "
              "puts):", "", "```", american.strip(), "```"]
    text = "\n".join(lines)
    print(text)
    if args.out:
        args.out.write_text(text + "\n")


if __name__ == "__main__":
    main()
