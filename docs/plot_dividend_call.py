"""Plot an American call on a stock that pays a cash dividend, day by day
across the ex-date: its value beside the European value, and the
early-exercise premium.  Writes docs/dividend_call.png.

    pip install -r docs/requirements.txt && pip install .
    python docs/plot_dividend_call.py

The call (strike 100, expiring 90 days from the first day shown, sigma 0.25,
r 0.05) is on a stock at 110 that pays 3.00 on day 30: the spot is 110 up to
the ex-date and 107 after it.  Just before the ex-date the holder would
rather exercise than lose the dividend, so the American value sits well above
the European one; once the dividend is paid the premium is all but gone.
"""

from __future__ import annotations

from pathlib import Path

import matplotlib

matplotlib.use("Agg")
import matplotlib.pyplot as plt  # noqa: E402
import numpy as np  # noqa: E402

import greekmill as gm  # noqa: E402

OUT = Path(__file__).resolve().parent / "dividend_call.png"
K, R, SIGMA, EXPIRY_DAY, EX_DAY, AMOUNT, SPOT = 100.0, 0.05, 0.25, 90, 30, 3.0, 110.0
DAY = 1.0 / 365.0


def main() -> None:
    days = np.arange(0, EXPIRY_DAY - 5)
    american, european = [], []
    for day in days:
        t = (EXPIRY_DAY - day) * DAY
        before = day < EX_DAY
        spot = SPOT if before else SPOT - AMOUNT
        schedule = gm.Dividends([(EX_DAY - day) * DAY] if before else [], [AMOUNT] if before
                                else [])
        american.append(gm.american.price(spot, K, t, R, SIGMA, dividends=schedule))
        european.append(gm.european.price(spot, K, t, R, SIGMA, dividends=schedule))
    american, european = np.array(american), np.array(european)
    fig, (top, bottom) = plt.subplots(2, 1, figsize=(7.5, 6.0), sharex=True,
                                      gridspec_kw={"height_ratios": [2, 1]})
    top.plot(days, american, label="American (greekmill, accurate)")
    top.plot(days, european, "--", label="European")
    top.plot(days, np.where(days < EX_DAY, SPOT, SPOT - AMOUNT) - K, ":", color="grey",
             label="exercise value")
    top.axvline(EX_DAY, color="black", lw=0.8)
    top.text(EX_DAY + 0.5, top.get_ylim()[1] * 0.97, "ex-date: spot 110 \u2192 107", va="top")
    top.set_ylabel("value")
    top.legend(loc="lower left")
    top.set_title("Call K=100, 3.00 dividend on day 30, expiry day 90, \u03c3=0.25, r=5%")
    bottom.plot(days, american - european, color="tab:red")
    bottom.axvline(EX_DAY, color="black", lw=0.8)
    bottom.set_ylabel("early-exercise premium")
    bottom.set_xlabel("day")
    fig.tight_layout()
    fig.savefig(OUT, dpi=110)
    print(f"wrote {OUT}")


if __name__ == "__main__":
    main()
