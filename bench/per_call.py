"""Per-call benchmark of greekmill_python against its floor and its peers.

Run by bench/run.sh, which builds the floor extension and installs the peers
first.  Everything is measured in one process, in interleaved rounds: every
round times every case once, in a fresh random order, so that a machine busy
with other work slows all cases alike and cancels out of the ratios.  Times
are CPU time of this process (time spent descheduled is not the call's cost),
net of the empty loop, as the median over the rounds; a ratio is the median
of the per-round ratios.

Baselines measured in the same run:
  floor     greekmill_bench_floor: same calling convention and parameter list;
            zero() binds by hand and returns 0.0, delta() binds and computes
            the Black-Scholes delta; core_ns() times the core alone.
  QuantLib  European Greeks from AnalyticEuropeanEngine and the American value
            and Greeks from BjerksundStenslandApproximationEngine, the objects
            built once and only the spot quote changed between calls.
  vollib    vollib.black_scholes_merton.greeks.analytical (European only).
  python    a hand-written pure-Python delta with math.erfc.

Usage: python3 bench/per_call.py --floor-dir DIR [--rounds N] [--out FILE]
                                 [--core-json FILE] [--instructions FILE]
"""

from __future__ import annotations

import argparse
import datetime
import json
import math
import platform
import random
import statistics
import sys
import time
from dataclasses import dataclass
from pathlib import Path
from typing import Callable

# The inputs of every case.  With b = r - q < r the American value goes
# through the twelve terms of the approximation, for the call and the put.
S, K, T, R, SIGMA, Q = 100.0, 100.0, 0.5, 0.05, 0.2, 0.03

BS_FUNCTIONS = ["bs_delta", "bs_gamma", "bs_theta", "bs_vega", "bs_rho", "bs_greeks"]
AM_FUNCTIONS = ["am_price", "am_delta", "am_gamma", "am_theta", "am_vega", "am_rho", "am_greeks"]
WITHOUT_OPTION_TYPE = {"bs_gamma", "bs_vega"}

POSITIONAL = "f(100.0, 100.0, 0.5, 0.05, 0.2, 0.03)"
KEYWORD7 = "f(s=100.0, k=100.0, t=0.5, r=0.05, sigma=0.2, q=0.03, option_type='call')"
KEYWORD6 = "f(s=100.0, k=100.0, t=0.5, r=0.05, sigma=0.2, q=0.03)"
PUT = "f(100.0, 100.0, 0.5, 0.05, 0.2, 0.03, option_type='put')"
STYLES = {"positional": POSITIONAL, "keywords": KEYWORD7, "put": PUT}


@dataclass
class Case:
    name: str
    loop: Callable[[int], None]
    calls: int = 0  # per measurement, set by calibration


def make_loop(statement: str, namespace: dict) -> Callable[[int], None]:
    """A function running `statement` n times; `i` is the loop index."""
    source = f"def loop(n):\n    for i in range(n):\n        {statement}\n"
    scope = dict(namespace)
    exec(compile(source, f"<case {statement[:40]}>", "exec"), scope)
    return scope["loop"]


# ---------------------------------------------------------------------------
# Peers


def python_delta(s, k, t, r, sigma, q=0.0, option_type="call"):
    """Black-Scholes delta in pure Python, the way a user would write it."""
    sqrt_t = math.sqrt(t)
    d1 = ((sigma * sigma * 0.5 + (r - q)) * t + math.log(s / k)) / (sigma * sqrt_t)
    dq = math.exp(-q * t)
    if option_type.lower() in ("put", "p"):
        return -dq * 0.5 * math.erfc(d1 / math.sqrt(2.0))
    return dq * 0.5 * math.erfc(-d1 / math.sqrt(2.0))


def quantlib_cases() -> dict[str, str] | str:
    """Statements per greekmill function, run in a namespace `ql_ns`."""
    try:
        import QuantLib as ql  # noqa: N813
    except ImportError as error:
        return f"not installed ({error})"
    today = ql.Date(15, 6, 2025)
    ql.Settings.instance().evaluationDate = today
    day_count = ql.Actual365Fixed()
    spot = ql.SimpleQuote(S)
    rate = ql.YieldTermStructureHandle(ql.FlatForward(today, R, day_count))
    dividend = ql.YieldTermStructureHandle(ql.FlatForward(today, Q, day_count))
    vol = ql.BlackVolTermStructureHandle(
        ql.BlackConstantVol(today, ql.NullCalendar(), SIGMA, day_count))
    process = ql.BlackScholesMertonProcess(ql.QuoteHandle(spot), dividend, rate, vol)
    expiry = today + int(round(T * 365))
    european = ql.VanillaOption(ql.PlainVanillaPayoff(ql.Option.Call, K),
                                ql.EuropeanExercise(expiry))
    european.setPricingEngine(ql.AnalyticEuropeanEngine(process))
    american = ql.VanillaOption(ql.PlainVanillaPayoff(ql.Option.Call, K),
                                ql.AmericanExercise(today, expiry))
    american.setPricingEngine(ql.BjerksundStenslandApproximationEngine(process))
    QUANTLIB.update(spot=spot, eu=european, am=american, spots=(S, S + 1e-9))
    # A quote set to its current value notifies nobody and the engine returns
    # its cached result: the spot alternates between two values so that every
    # call prices.
    move = "spot.setValue(spots[i & 1]); "
    all_five = "o.delta(); o.gamma(); o.thetaPerDay(); o.vega(); o.rho()"
    cases = {}
    for prefix, option in (("bs", "eu"), ("am", "am")):
        for greek, method in (("delta", "delta()"), ("gamma", "gamma()"),
                              ("theta", "thetaPerDay()"), ("vega", "vega()"),
                              ("rho", "rho()")):
            cases[f"{prefix}_{greek}"] = f"{move}{option}.{method}"
        cases[f"{prefix}_greeks"] = move + all_five.replace("o.", f"{option}.")
    cases["am_price"] = f"{move}am.NPV()"
    return cases


QUANTLIB: dict = {}


def vollib_cases() -> dict[str, str] | str:
    try:
        from vollib.black_scholes_merton.greeks import analytical
    except ImportError as error:
        return f"not installed ({error})"
    VOLLIB["v"] = analytical
    args = "'c', 100.0, 100.0, 0.5, 0.05, 0.2, 0.03"
    cases = {f"bs_{g}": f"v.{g}({args})" for g in ("delta", "gamma", "theta", "vega", "rho")}
    cases["bs_greeks"] = "; ".join(f"v.{g}({args})" for g in
                                   ("delta", "gamma", "theta", "vega", "rho"))
    return cases


VOLLIB: dict = {}


# ---------------------------------------------------------------------------
# Measurement


def measure(cases: list[Case], rounds: int, target_s: float) -> dict[str, list[float]]:
    """CPU ns per call of every case in every round, net of the empty loop."""
    for case in cases:  # calibrate: about target_s of CPU time per measurement
        n = 16
        while True:
            start = time.process_time()
            case.loop(n)
            elapsed = time.process_time() - start
            if elapsed >= target_s / 4 or n >= 1 << 22:
                break
            n *= 2
        case.calls = max(16, int(n * target_s / max(elapsed, 1e-9)))
    empty = make_loop("pass", {})
    samples: dict[str, list[float]] = {case.name: [] for case in cases}
    order = list(cases)
    rng = random.Random(20260)
    for _ in range(rounds):
        rng.shuffle(order)
        for case in order:
            start = time.process_time_ns()
            case.loop(case.calls)
            busy = time.process_time_ns() - start
            start = time.process_time_ns()
            empty(case.calls)
            idle = time.process_time_ns() - start
            samples[case.name].append((busy - idle) / case.calls)
    return samples


def core_samples(floor, rounds: int, target_s: float) -> dict[str, list[float]]:
    names = floor.core_cases()
    counts = {}
    for index, name in enumerate(names):
        per_call = floor.core_ns(index, 200)
        counts[name] = max(200, int(target_s * 1e9 / max(per_call, 1.0)))
    samples: dict[str, list[float]] = {name: [] for name in names}
    for _ in range(rounds):
        for index, name in enumerate(names):
            samples[name].append(floor.core_ns(index, counts[name]))
    return samples


def median(values: list[float]) -> float:
    return statistics.median(values)


def ratio(samples, a: str, b: str) -> float:
    """Median over the rounds of a/b, both measured in the same round."""
    return median([x / y for x, y in zip(samples[a], samples[b]) if y > 0])


# ---------------------------------------------------------------------------
# Report


def fmt_ns(value: float) -> str:
    return f"{value:,.0f}" if value >= 100 else f"{value:.1f}"


def fmt_x(value: float | None) -> str:
    return "—" if value is None else (f"{value:.2f}" if value < 10 else f"{value:.0f}")


def main() -> int:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--floor-dir", required=True, type=Path)
    parser.add_argument("--rounds", type=int, default=21)
    parser.add_argument("--target-ms", type=float, default=4.0,
                        help="CPU time of one measurement of one case")
    parser.add_argument("--out", type=Path)
    parser.add_argument("--core-json", type=Path, help="Google Benchmark JSON of core_benchmark")
    parser.add_argument("--instructions", type=Path,
                        help="'case instructions' lines from callgrind (run.sh)")
    options = parser.parse_args()

    sys.path.insert(0, str(options.floor_dir.resolve()))
    import greekmill_bench_floor as floor
    import greekmill_python as gm

    ql_cases = quantlib_cases()
    vl_cases = vollib_cases()

    cases: list[Case] = []

    def add(name: str, statement: str, namespace: dict) -> None:
        cases.append(Case(name, make_loop(statement, namespace)))

    for style, statement in STYLES.items():
        add(f"floor.zero {style}", statement, {"f": floor.zero})
        add(f"floor.delta {style}", statement, {"f": floor.delta})
    for name in BS_FUNCTIONS + AM_FUNCTIONS:
        f = {"f": getattr(gm, name)}
        add(f"{name} positional", POSITIONAL, f)
        if name in WITHOUT_OPTION_TYPE:
            add(f"{name} keywords", KEYWORD6, f)
        else:
            add(f"{name} keywords", KEYWORD7, f)
            add(f"{name} put", PUT, f)
    if isinstance(ql_cases, dict):
        for name, statement in ql_cases.items():
            add(f"QuantLib {name}", statement, QUANTLIB)
    if isinstance(vl_cases, dict):
        for name, statement in vl_cases.items():
            add(f"vollib {name}", statement, VOLLIB)
    add("python delta", POSITIONAL, {"f": python_delta})

    # The results must agree before their speed means anything.
    assert floor.delta(S, K, T, R, SIGMA, Q) == gm.bs_delta(S, K, T, R, SIGMA, Q)
    assert abs(python_delta(S, K, T, R, SIGMA, Q) - gm.bs_delta(S, K, T, R, SIGMA, Q)) < 1e-12

    started = time.monotonic()
    target_s = options.target_ms / 1000.0
    samples = measure(cases, options.rounds, target_s)
    core = core_samples(floor, options.rounds, target_s)
    seconds = time.monotonic() - started
    ns = {name: median(values) for name, values in samples.items()}
    core_ns = {name: median(values) for name, values in core.items()}

    lines: list[str] = []
    out = lines.append
    out(f"Measured {datetime.date.today().isoformat()} on {platform.machine()}, "
        f"{platform.python_implementation()} {platform.python_version()}, "
        f"{options.rounds} interleaved rounds ({seconds:.0f} s): CPU ns per call net of the "
        f"loop, median over the rounds; ratios are medians of per-round ratios.  Inputs "
        f"s=k=100, t=0.5, r=0.05, sigma=0.2, q=0.03 (the American value takes the twelve "
        f"terms).  Produced by `bash bench/run.sh`.")
    out("")

    # Targets.
    targets: list[tuple[str, float, float, str]] = []
    targets.append(("bs_delta positional / floor.delta positional",
                    ratio(samples, "bs_delta positional", "floor.delta positional"), 1.2, "≤"))
    targets.append(("bs_delta all seven by keyword / floor.delta keywords",
                    ratio(samples, "bs_delta keywords", "floor.delta keywords"), 1.2, "≤"))
    price_floor = [z + c for z, c in zip(samples["floor.zero positional"], core["am_price"])]
    am_price_ratio = median([a / b for a, b in zip(samples["am_price positional"], price_floor)])
    targets.append(("am_price positional / (floor.zero positional + core price)",
                    am_price_ratio, 1.2, "≤"))
    targets.append(("core all_greeks / (11 × core price)",
                    median([g / (11 * p) for g, p in zip(core["am_greeks"], core["am_price"])]),
                    0.8, "≤"))
    out("### Targets")
    out("")
    out("| measure | ratio | target | |")
    out("|---|---:|---:|---|")
    for label, value, limit, sign in targets:
        ok = value <= limit
        out(f"| {label} | {value:.3f} | {sign} {limit} | {'met' if ok else 'MISSED'} |")
    out("")
    out(f"Core alone, in-process (ns): bs delta {fmt_ns(core_ns['bs_delta'])}, "
        f"bs all_greeks {fmt_ns(core_ns['bs_greeks'])}, am price {fmt_ns(core_ns['am_price'])}, "
        f"am all_greeks {fmt_ns(core_ns['am_greeks'])}, the five am singles (11 values) "
        f"{fmt_ns(core_ns['am_singles'])}: all_greeks / singles = "
        f"{ratio(core, 'am_greeks', 'am_singles'):.3f}.")
    out("")

    # Per-call table.
    out("### Per call")
    out("")
    out("× floor: this call / floor.zero with the same arguments.  × QuantLib, × vollib: "
        "how many times faster than the peer's equivalent (its time / ours).")
    out("")
    out("| call | ns | × floor | × QuantLib | × vollib |")
    out("|---|---:|---:|---:|---:|")
    for style in STYLES:
        for which in ("zero", "delta"):
            name = f"floor.{which} {style}"
            out(f"| {name} | {fmt_ns(ns[name])} | {fmt_x(ratio(samples, name, f'floor.zero {style}'))}"
                f" | | |")
    for function in BS_FUNCTIONS + AM_FUNCTIONS:
        for style in STYLES:
            name = f"{function} {style}"
            if name not in ns:
                continue
            floor_name = f"floor.zero {style}"
            vs_ql = vs_vl = None
            if style == "positional":
                if f"QuantLib {function}" in ns:
                    vs_ql = ratio(samples, f"QuantLib {function}", name)
                if f"vollib {function}" in ns:
                    vs_vl = ratio(samples, f"vollib {function}", name)
            out(f"| {name} | {fmt_ns(ns[name])} | {fmt_x(ratio(samples, name, floor_name))} "
                f"| {fmt_x(vs_ql)} | {fmt_x(vs_vl)} |")
    out("")
    out("Peers (ns per call): " + ", ".join(
        f"{name} {fmt_ns(value)}" for name, value in ns.items()
        if name.startswith(("QuantLib", "vollib", "python"))) + ".")
    out(f"Pure-Python delta with math.erfc: bs_delta is "
        f"{ratio(samples, 'python delta', 'bs_delta positional'):.1f} times faster.")
    if not isinstance(ql_cases, dict):
        out(f"QuantLib: {ql_cases}.")
    if not isinstance(vl_cases, dict):
        out(f"vollib: {vl_cases}.")
    out("")

    if options.core_json and options.core_json.exists():
        data = json.loads(options.core_json.read_text())
        rows = sorted((b for b in data.get("benchmarks", []) if b.get("aggregate_name") == "median"),
                      key=lambda b: b["run_name"])
        if rows:
            out("### Core (Google Benchmark, median CPU ns)")
            out("")
            out("| benchmark | ns |")
            out("|---|---:|")
            for b in rows:
                out(f"| {b['run_name']} | {fmt_ns(b['cpu_time'])} |")
            out("")
            cpu = {b["run_name"]: b["cpu_time"] for b in rows}
            greeks, price = cpu.get("BM_am_all_greeks"), cpu.get("BM_am_price_twelve_terms")
            singles = cpu.get("BM_am_five_singles")
            if greeks and price and singles:
                out(f"all_greeks / (11 × price): {greeks / (11 * price):.3f}; "
                    f"all_greeks / five singles: {greeks / singles:.3f}.")
                out("")
    if options.instructions and options.instructions.exists():
        counts = {}
        for line in options.instructions.read_text().splitlines():
            parts = line.split()
            if len(parts) == 2:
                counts[parts[0]] = int(parts[1])
        if counts:
            out("### Core (callgrind, instructions per call)")
            out("")
            out("| case | instructions |")
            out("|---|---:|")
            for name, count in counts.items():
                out(f"| {name} | {count:,} |")
            if "am_greeks" in counts and "am_price_twelve" in counts:
                out("")
                out(f"all_greeks / (11 × price): "
                    f"{counts['am_greeks'] / (11 * counts['am_price_twelve']):.3f}"
                    + (f"; all_greeks / five singles: "
                       f"{counts['am_greeks'] / counts['am_singles']:.3f}"
                       if "am_singles" in counts else "") + ".")
            out("")

    report = "\n".join(lines)
    print(report)
    if options.out:
        options.out.write_text(report + "\n")
    return 0


if __name__ == "__main__":
    sys.exit(main())
