"""QuantLib's QD+ fixed-point engine (QdFpAmericanEngine) on the cases and
references written by american_accuracy: error against the spectral engine's
reference setting and time per option, for QuantLib's fast, accurate and
high-precision schemes, in the same run as the C++ driver.

QuantLib is a benchmark-only dependency (bench/requirements.txt).  Times
include the Python call into QuantLib (quote update + NPV), a few
microseconds per option.

Usage: python quantlib_compare.py cases.csv [--high-sample N]
"""

import argparse
import csv
import math
import time
from collections import defaultdict

import QuantLib as ql


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("cases")
    parser.add_argument("--high-sample", type=int, default=600,
                        help="options per set priced with the (slow) high-precision scheme")
    args = parser.parse_args()

    sets = defaultdict(list)
    with open(args.cases) as f:
        for row in csv.DictReader(f):
            sets[row["set"]].append(row)

    today = ql.Date(1, 1, 2024)
    ql.Settings.instance().evaluationDate = today
    dc = ql.Actual365Fixed()
    spot, rate, yield_, vol = (ql.SimpleQuote(0.0) for _ in range(4))
    process = ql.BlackScholesMertonProcess(
        ql.QuoteHandle(spot),
        ql.YieldTermStructureHandle(ql.FlatForward(today, ql.QuoteHandle(yield_), dc)),
        ql.YieldTermStructureHandle(ql.FlatForward(today, ql.QuoteHandle(rate), dc)),
        ql.BlackVolTermStructureHandle(ql.BlackConstantVol(today, ql.NullCalendar(),
                                                           ql.QuoteHandle(vol), dc)))
    schemes = [("fast", ql.QdFpAmericanEngine.fastScheme()),
               ("accurate", ql.QdFpAmericanEngine.accurateScheme()),
               ("high precision", ql.QdFpAmericanEngine.highPrecisionScheme())]

    print("| set | QuantLib QD-FP scheme | options | RMSE | max error | us per option |")
    print("|---|---|---|---|---|---|")
    for name, rows in sets.items():
        if name == "double":
            continue  # QuantLib's QD-FP refuses the double-boundary regime
        for scheme_name, scheme in schemes:
            engine = ql.QdFpAmericanEngine(process, scheme)
            sample = rows
            if scheme_name == "high precision" and len(rows) > args.high_sample:
                step = len(rows) // args.high_sample
                sample = rows[::step]
            options = {}
            errors = []
            elapsed = 0.0
            for row in sample:
                key = (row["type"], int(row["days"]), float(row["k"]))
                option = options.get(key)
                if option is None:
                    kind = ql.Option.Put if row["type"] == "put" else ql.Option.Call
                    option = ql.VanillaOption(
                        ql.PlainVanillaPayoff(kind, float(row["k"])),
                        ql.AmericanExercise(today, today + int(row["days"])))
                    option.setPricingEngine(engine)
                    options[key] = option
                start = time.perf_counter()
                spot.setValue(float(row["s"]))
                rate.setValue(float(row["r"]))
                yield_.setValue(float(row["q"]))
                vol.setValue(float(row["sigma"]))
                value = option.NPV()
                elapsed += time.perf_counter() - start
                errors.append(value - float(row["reference"]))
            rmse = math.sqrt(sum(e * e for e in errors) / len(errors))
            worst = max(abs(e) for e in errors)
            print(f"| {name} | {scheme_name} | {len(sample)} | {rmse:.2e} | {worst:.2e} | "
                  f"{1e6 * elapsed / len(sample):.1f} |", flush=True)


if __name__ == "__main__":
    main()
