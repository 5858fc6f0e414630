"""Plot the American put value and delta against spot: greekmill's am_price and
am_delta beside the European value, the intrinsic value and an accurate
American value (Leisen-Reimer tree).  Writes docs/american_put.png.

    pip install -r docs/requirements.txt && pip install .
    python docs/plot_american_put.py
"""

from __future__ import annotations

import sys
from pathlib import Path

import matplotlib

matplotlib.use("Agg")
import matplotlib.pyplot as plt  # noqa: E402
import numpy as np  # noqa: E402

import greekmill_python as gm  # noqa: E402

sys.path.insert(0, str(Path(__file__).resolve().parent))
from american_reference import american, european  # noqa: E402

OUT = Path(__file__).resolve().parent / "american_put.png"
K, T, R, SIGMA, Q = 100.0, 1.0, 0.06, 0.25, 0.0
SPOTS = np.linspace(50.0, 150.0, 401)
TREE_STEPS = 1001
BUMP = 0.005  # relative spot step of the tree's central-difference delta


def tree(spots: np.ndarray) -> np.ndarray:
    n = len(spots)
    full = np.full
    return american(spots, full(n, K), full(n, T), full(n, R), full(n, SIGMA), full(n, Q),
                    np.zeros(n, dtype=bool), steps=TREE_STEPS)


def main() -> None:
    am_value = np.array([gm.am_price(s, K, T, R, SIGMA, Q, "put") for s in SPOTS])
    am_delta = np.array([gm.am_delta(s, K, T, R, SIGMA, Q, "put") for s in SPOTS])
    eu_value = np.array([european(s, K, T, R, SIGMA, Q, False) for s in SPOTS])
    eu_delta = np.array([gm.bs_delta(s, K, T, R, SIGMA, Q, "put") for s in SPOTS])
    intrinsic = np.maximum(K - SPOTS, 0.0)
    accurate = tree(SPOTS)
    accurate_delta = (tree(SPOTS * (1 + BUMP)) - tree(SPOTS * (1 - BUMP))) / (2 * BUMP * SPOTS)

    fig, (top, bottom) = plt.subplots(2, 1, figsize=(8.0, 7.5), sharex=True)
    top.plot(SPOTS, accurate, color="black", lw=2.2, label="accurate American (binomial tree)")
    top.plot(SPOTS, am_value, color="tab:red", lw=1.4, label="greekmill am_price")
    top.plot(SPOTS, eu_value, color="tab:blue", lw=1.0, ls="--", label="European (Black-Scholes)")
    top.plot(SPOTS, intrinsic, color="grey", lw=1.0, ls=":", label="intrinsic max(K - S, 0)")
    top.set_ylabel("put value")
    top.legend(loc="upper right", fontsize=9)
    top.grid(alpha=0.3)
    top.set_title(f"American put, K = {K:g}, T = {T:g} y, r = {R:.0%}, "
                  f"sigma = {SIGMA:.0%}, q = {Q:.0%}", fontsize=11)

    bottom.plot(SPOTS, accurate_delta, color="black", lw=2.2, label="accurate American (binomial tree)")
    bottom.plot(SPOTS, am_delta, color="tab:red", lw=1.4, label="greekmill am_delta")
    bottom.plot(SPOTS, eu_delta, color="tab:blue", lw=1.0, ls="--", label="European bs_delta")
    bottom.set_xlabel("spot")
    bottom.set_ylabel("put delta")
    bottom.legend(loc="lower right", fontsize=9)
    bottom.grid(alpha=0.3)

    fig.tight_layout()
    fig.savefig(OUT, dpi=100)
    print(f"wrote {OUT}")


if __name__ == "__main__":
    main()
