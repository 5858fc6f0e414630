"""The frontier of the cash-dividend engines on the validation set: American and
European max error against the mean cost per option, one point per grid (the
tiers marked) and the European quadrature's.  Reads the tables of bench/dividends/validate.sh:

    bash bench/dividends/validate.sh 128,80,2 ... > american.md
    GREEKMILL_EUROPEAN=1 bash bench/dividends/validate.sh 256,256,3 ... > european.md
    python bench/dividends/plot_frontier.py american.md european.md docs/dividend_frontier.png
"""

from __future__ import annotations

import re
import sys

import matplotlib

matplotlib.use("Agg")
import matplotlib.pyplot as plt  # noqa: E402

TIERS = {"128 x 128, 2 levels": "fast", "256 x 256, 3 levels": "accurate",
         "1024 x 512, 3 levels": "high"}


def read(path: str) -> list[tuple[str, float, float]]:
    rows = []
    for line in open(path, encoding="utf-8"):
        match = re.match(
            r"\| (\d+ x \d+, \d levels|quadrature) \| ([\d.e+-]+) \| [\d.e+-]+ \| (\d+)", line)
        if match:
            rows.append((match.group(1), float(match.group(2)), float(match.group(3))))
    return rows


def main() -> None:
    american, european, out = sys.argv[1:4]
    fig, ax = plt.subplots(figsize=(7, 4.5))
    for path, label, marker in ((american, "American", "o"), (european, "European", "s")):
        rows = read(path)
        grids = [r for r in rows if r[0] != "quadrature"]
        ax.loglog([r[2] for r in grids], [r[1] for r in grids], marker=marker, ls="",
                  label=f"{label} (grid)")
        for name, error, cost in rows:
            if name == "quadrature":
                ax.loglog([cost], [error], marker="*", ms=12, ls="", label=f"{label} (quadrature)")
        if label == "American":
            for name, error, cost in rows:
                if name in TIERS:
                    ax.annotate(f'"{TIERS[name]}"', (cost, error), textcoords="offset points",
                                xytext=(6, 4))
    ax.axhline(1e-5, color="grey", lw=0.8, ls="--")
    ax.axvline(150, color="grey", lw=0.8, ls=":")
    ax.set_xlabel("µs per option (one thread)")
    ax.set_ylabel("max error on the validation set")
    ax.set_title("Cash dividends: error against cost on the validation set")
    ax.legend()
    fig.tight_layout()
    fig.savefig(out, dpi=110)


if __name__ == "__main__":
    main()
