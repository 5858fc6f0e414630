"""Price a small option chain and print it as tables.

The European value and Greeks (Black-Scholes-Merton), the American value and
Greeks of the accurate engine (the early-exercise boundary solved from its
integral equation), and beside them the closed form of greekmill_python
(Bjerksund-Stensland 2002), which misses most of the early-exercise premium.
Last, the implied volatilities of the accurate American prices, which give
the volatility back.  The whole chain goes through the greekmill package in
one call per table; the closed form's rows equal am_price ... am_greeks.
"""

import numpy as np

import greekmill as gm

SPOT = 100.0
EXPIRY = 0.5  # years
RATE = 0.05  # continuous, annual
VOL = 0.2  # annual
DIVIDEND = 0.02  # continuous yield
STRIKES = (80.0, 90.0, 100.0, 110.0, 120.0)
TYPES = ("call", "put")


def print_table(title: str, columns: list[tuple[str, str]], rows: list[list[object]]) -> None:
    """Columns are (heading, format spec); every column is right-aligned to its widest cell."""
    cells = [[format(value, spec) for value, (_, spec) in zip(row, columns)] for row in rows]
    widths = [max(len(head), *(len(row[i]) for row in cells)) for i, (head, _) in enumerate(columns)]
    print(title)
    print("  ".join(head.rjust(w) for (head, _), w in zip(columns, widths)))
    print("  ".join("-" * w for w in widths))
    for row in cells:
        print("  ".join(cell.rjust(w) for cell, w in zip(row, widths)))
    print()


def main() -> None:
    kinds = np.array([kind for kind in TYPES for _ in STRIKES])
    strikes = np.array([strike for _ in TYPES for strike in STRIKES])
    market = (SPOT, strikes, EXPIRY, RATE, VOL, DIVIDEND, kinds)
    print(f"spot {SPOT:g}, expiry {EXPIRY:g} years, rate {RATE:.2%}, vol {VOL:.0%}, "
          f"dividend yield {DIVIDEND:.2%}")
    print("theta per calendar day, vega per 1.0 of volatility, rho per 1 % of rate\n")
    greek_columns = [("delta", ".4f"), ("gamma", ".5f"), ("theta", ".5f"), ("vega", ".3f"),
                     ("rho", ".4f")]

    def rows(*columns: object) -> list[list[object]]:
        return [list(row) for row in zip(kinds, strikes, *columns)]

    european = gm.european.price(*market)
    g = gm.european.greeks(*market)
    print_table("European (Black-Scholes-Merton)",
                [("type", ""), ("strike", ".1f"), ("value", ".4f"), *greek_columns],
                rows(european, *g))

    accurate = gm.american.price(*market)  # method="spectral", accuracy="accurate"
    g = gm.american.greeks(*market)
    # + 0.0 turns a rounded -0.0 into 0.0 for printing.
    premium = np.round(accurate - european, 8) + 0.0
    print_table("American, accurate engine (integral equation of the exercise boundary)",
                [("type", ""), ("strike", ".1f"), ("price", ".4f"), ("over European", ".4f"),
                 *greek_columns], rows(accurate, premium, *g))

    closed = gm.american.price(*market, method="bjerksund-stensland")
    g = gm.american.greeks(*market, method="bjerksund-stensland")
    print_table("American, closed form (Bjerksund-Stensland 2002, as am_price ... am_greeks)",
                [("type", ""), ("strike", ".1f"), ("price", ".4f"), ("below accurate", ".4f"),
                 *greek_columns], rows(closed, np.round(accurate - closed, 8) + 0.0, *g))

    boundary = gm.american.exercise_boundary(EXPIRY, 100.0, RATE, VOL, DIVIDEND, ["call", "put"])
    print(f"exercise boundary at {EXPIRY:g} years, strike 100: call at or above "
          f"{boundary[0]:.4f}, put at or below {boundary[1]:.4f}\n")

    implied = gm.american.implied_volatility(accurate, *market[:4], DIVIDEND, kinds, errors="nan")
    print_table("Implied volatility of the accurate American prices (NaN: the price is the "
                "exercise value, which no volatility moves)",
                [("type", ""), ("strike", ".1f"), ("price", ".4f"), ("implied vol", ".10f")],
                rows(accurate, implied))


if __name__ == "__main__":
    main()
