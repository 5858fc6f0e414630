"""Plot the American put value and delta against spot: the spectral engine
(gm.american, method="spectral", accuracy="accurate") beside the closed form
(method="bjerksund-stensland"), the European value and the exercise value,
with the spectral engine's exercise boundary marked.  Writes
docs/american_engine.png.

    pip install . matplotlib
    python docs/plot_american_engine.py
"""

from __future__ import annotations

from pathlib import Path

import matplotlib

matplotlib.use("Agg")
import matplotlib.pyplot as plt  # noqa: E402
import numpy as np  # noqa: E402

import greekmill as gm  # noqa: E402

OUT = Path(__file__).resolve().parent / "american_engine.png"
K, T, R, SIGMA, Q = 100.0, 1.0, 0.06, 0.25, 0.0
SPOTS = np.linspace(50.0, 150.0, 801)


def main() -> None:
    args = (SPOTS, K, T, R, SIGMA, Q, "put")
    spectral = gm.american.price(*args)
    spectral_delta = gm.american.delta(*args)
    closed = gm.american.price(*args, method="bjerksund-stensland")
    closed_delta = gm.american.delta(*args, method="bjerksund-stensland")
    european = gm.european.price(*args)
    european_delta = gm.european.delta(*args)
    boundary = float(gm.american.exercise_boundary(T, K, R, SIGMA, Q, "put"))

    fig, (top, bottom) = plt.subplots(2, 1, figsize=(8, 8), sharex=True)
    top.plot(SPOTS, spectral, label="American, spectral engine (accurate)", lw=2)
    top.plot(SPOTS, closed, "--", label="American, closed form (Bjerksund-Stensland)")
    top.plot(SPOTS, european, ":", label="European")
    top.plot(SPOTS, np.maximum(K - SPOTS, 0.0), color="grey", lw=0.8, label="exercise value")
    top.set_ylabel("put value")
    top.set_title(f"American put, K = {K:g}, T = {T:g}, r = {R:g}, sigma = {SIGMA:g}, q = {Q:g}")
    bottom.plot(SPOTS, spectral_delta, label="spectral engine", lw=2)
    bottom.plot(SPOTS, closed_delta, "--", label="closed form")
    bottom.plot(SPOTS, european_delta, ":", label="European")
    bottom.set_ylabel("delta")
    bottom.set_xlabel("spot")
    for ax in (top, bottom):
        ax.axvline(boundary, color="black", lw=0.8)
        ax.grid(alpha=0.3)
        ax.legend(loc="best", fontsize=8)
    top.annotate(f"exercise boundary B(T) = {boundary:.3f}", xy=(boundary, 35.0),
                 xytext=(boundary + 4.0, 40.0), fontsize=8,
                 arrowprops={"arrowstyle": "->", "lw": 0.8})
    fig.tight_layout()
    fig.savefig(OUT, dpi=120)
    print(f"wrote {OUT}")


if __name__ == "__main__":
    main()
