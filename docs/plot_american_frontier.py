"""Plot the accuracy-speed frontier of the spectral American engine: RMSE
against microseconds per option for each setting (n, l, m, p) of the sweep
and for the three tiers, with QuantLib's QD-FP schemes measured in the same
run, on the 6,000 puts and on the 2-30-year options.  Writes
docs/american_frontier.png.

    bench/american/run.sh python   (writes the two inputs, then runs this)
    python docs/plot_american_frontier.py FRONTIER.csv QUANTLIB.md
"""

from __future__ import annotations

import csv
import sys
from pathlib import Path

import matplotlib

matplotlib.use("Agg")
import matplotlib.pyplot as plt  # noqa: E402

OUT = Path(__file__).resolve().parent / "american_frontier.png"


def read_frontier(path: str) -> list[dict[str, str]]:
    with open(path, newline="") as f:
        return list(csv.DictReader(f))


def read_quantlib(path: str) -> list[tuple[str, str, float, float]]:
    """(set, scheme, rmse, us) from the markdown table of quantlib_compare.py."""
    rows = []
    for line in Path(path).read_text().splitlines():
        cells = [c.strip() for c in line.strip().strip("|").split("|")]
        if len(cells) == 6 and cells[0] in ("puts", "long"):
            try:
                rows.append((cells[0], cells[1], float(cells[3]), float(cells[5].replace(",", ""))))
            except ValueError:
                continue
    return rows


def main() -> None:
    frontier = read_frontier(sys.argv[1])
    quantlib = read_quantlib(sys.argv[2]) if len(sys.argv) > 2 else []
    fig, axes = plt.subplots(1, 2, figsize=(12, 5))
    for ax, name, title in zip(axes, ("puts", "long"),
                               ("6,000 puts (ALO grid)", "1,000 options of 2-30 years")):
        sweep = [r for r in frontier if r["set"] == name and not r["setting"].startswith("tier")]
        tiers = [r for r in frontier if r["set"] == name and r["setting"].startswith("tier")]
        ax.scatter([float(r["us"]) for r in sweep], [float(r["rmse"]) for r in sweep],
                   s=18, color="0.55", label="spectral, settings (n, l, m, p)")
        for r in sweep:
            ax.annotate(r["setting"].replace(" ", ","), (float(r["us"]), float(r["rmse"])),
                        fontsize=6, color="0.4", xytext=(3, 2), textcoords="offset points")
        ax.scatter([float(r["us"]) for r in tiers], [float(r["rmse"]) for r in tiers],
                   s=60, marker="*", color="C0", label="spectral, tiers", zorder=3)
        for r in tiers:
            ax.annotate(r["setting"].removeprefix("tier "), (float(r["us"]), float(r["rmse"])),
                        fontsize=8, color="C0", xytext=(4, -10), textcoords="offset points")
        ql = [q for q in quantlib if q[0] == name]
        ax.scatter([q[3] for q in ql], [q[2] for q in ql], s=40, marker="s", color="C3",
                   label="QuantLib QD-FP", zorder=3)
        for q in ql:
            ax.annotate(q[1], (q[3], q[2]), fontsize=8, color="C3", xytext=(4, 2),
                        textcoords="offset points")
        ax.set_xscale("log")
        ax.set_yscale("log")
        ax.set_xlabel("microseconds per option (one thread)")
        ax.set_ylabel("RMSE against the reference setting")
        ax.set_title(title)
        ax.grid(True, which="both", alpha=0.3)
        ax.legend(fontsize=8, loc="upper right")
    fig.suptitle("Spectral American engine: accuracy against time (shared machine)")
    fig.tight_layout()
    fig.savefig(OUT, dpi=120)
    print(f"wrote {OUT}")


if __name__ == "__main__":
    main()
