"""Price a small option chain with greekmill_python and print it as two tables.

The European Greeks (Black-Scholes) and the American price and Greeks
(Bjerksund-Stensland 2002) for calls and puts across a few strikes.  The
"European" column is the Black-Scholes value, computed here in a few lines of
Python, so that the American value can be read against it.
"""

import math

import greekmill_python as gm

SPOT = 100.0
EXPIRY = 0.5  # years
RATE = 0.05  # continuous, annual
VOL = 0.2  # annual
DIVIDEND = 0.02  # continuous yield
STRIKES = (80.0, 90.0, 100.0, 110.0, 120.0)
TYPES = ("call", "put")


def european_value(s: float, k: float, t: float, r: float, sigma: float, q: float, kind: str) -> float:
    def phi(x: float) -> float:
        return 0.5 * math.erfc(-x / math.sqrt(2.0))

    d1 = (math.log(s / k) + (r - q + 0.5 * sigma * sigma) * t) / (sigma * math.sqrt(t))
    d2 = d1 - sigma * math.sqrt(t)
    if kind == "call":
        return s * math.exp(-q * t) * phi(d1) - k * math.exp(-r * t) * phi(d2)
    return k * math.exp(-r * t) * phi(-d2) - s * math.exp(-q * t) * phi(-d1)


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
    chain = [(kind, strike) for kind in TYPES for strike in STRIKES]
    market = (EXPIRY, RATE, VOL, DIVIDEND)
    print(f"spot {SPOT:g}, expiry {EXPIRY:g} years, rate {RATE:.2%}, vol {VOL:.0%}, "
          f"dividend yield {DIVIDEND:.2%}")
    print("theta per calendar day, vega per 1.0 of volatility, rho per 1 % of rate\n")

    greek_columns = [("delta", ".4f"), ("gamma", ".5f"), ("theta", ".5f"), ("vega", ".3f"), ("rho", ".4f")]
    european = []
    for kind, strike in chain:
        g = gm.bs_greeks(SPOT, strike, *market, kind)
        european.append([kind, strike, european_value(SPOT, strike, *market, kind),
                         g.delta, g.gamma, g.theta, g.vega, g.rho])
    print_table("European (Black-Scholes)",
                [("type", ""), ("strike", ".1f"), ("value", ".4f"), *greek_columns], european)

    american = []
    for (kind, strike), eu_row in zip(chain, european):
        price = gm.am_price(SPOT, strike, *market, kind)
        g = gm.am_greeks(SPOT, strike, *market, kind)
        # + 0.0 turns a rounded -0.0 into 0.0 for printing.
        premium = round(price - eu_row[2], 8) + 0.0
        american.append([kind, strike, price, premium, g.delta, g.gamma, g.theta, g.vega, g.rho])
    print_table("American (Bjerksund-Stensland 2002)",
                [("type", ""), ("strike", ".1f"), ("price", ".4f"), ("over European", ".4f"),
                 *greek_columns], american)


if __name__ == "__main__":
    main()
