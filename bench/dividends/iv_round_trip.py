"""Implied volatility with cash dividends on the whole validation set: each
row's own price (European; American at each tier) back to a volatility and
that volatility back to a price.  Prints, per style and tier, how many rows
reprice, the worst repricing error, and why the others raise.

    python bench/dividends/iv_round_trip.py [../shared/data/dividends_validation.csv]
"""

from __future__ import annotations

import collections
import csv
import re
import sys

import greekmill as gm


def main() -> None:
    path = sys.argv[1] if len(sys.argv) > 1 else "../shared/data/dividends_validation.csv"
    rows = list(csv.DictReader(open(path, encoding="utf-8")))
    for module, tiers in ((gm.european, ("accurate",)), (gm.american, ("fast", "accurate", "high"))):
        for accuracy in tiers:
            worst, solved, reasons = 0.0, 0, collections.Counter()
            for row in rows:
                dividends = gm.Dividends([float(d) / 365.0 for d in row["div_days"].split(";")],
                                         [float(a) for a in row["div_amounts"].split(";")])
                s, t = float(row["s"]), float(row["t_days"]) / 365.0
                r, q, kind = float(row["r"]), float(row["q"]), row["type"]
                extra = {"dividends": dividends}
                if module is gm.american:
                    extra["accuracy"] = accuracy
                price = module.price(s, 100.0, t, r, float(row["sigma"]), q, kind, **extra)
                try:
                    sigma = module.implied_volatility(price, s, 100.0, t, r, q, kind, **extra)
                except ValueError as error:
                    reason = re.sub(r"[-+]?\d[\d.e+-]*", "#", str(error).split(": ", 1)[1])
                    reasons[reason[:90]] += 1
                    continue
                solved += 1
                worst = max(worst, abs(module.price(s, 100.0, t, r, sigma, q, kind, **extra)
                                       - price))
            name = module.__name__.split(".")[-1]
            print(f"{name} {accuracy}: {solved} of {len(rows)} reprice within {worst:.1e}")
            for reason, count in reasons.most_common():
                print(f"    {count} raise: {reason}...")


if __name__ == "__main__":
    main()
