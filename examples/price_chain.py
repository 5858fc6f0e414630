"""Price a small option chain with greekmill_python and print it as a table.

European Greeks (Black-Scholes) and the American price and Greeks
(Bjerksund-Stensland 2002) for calls and puts across a few strikes.
"""

import greekmill_python as gm

SPOT = 100.0
EXPIRY = 0.5  # years
RATE = 0.05  # continuous, annual
VOL = 0.2  # annual
DIVIDEND = 0.02  # continuous yield
STRIKES = (90.0, 95.0, 100.0, 105.0, 110.0)

COLUMNS = (
    ("type", 5), ("strike", 7), ("am price", 9), ("am delta", 9), ("am gamma", 9),
    ("am theta", 9), ("am vega", 8), ("am rho", 8), ("bs delta", 9), ("bs theta", 9),
)


def main() -> None:
    print(f"spot {SPOT}, expiry {EXPIRY} y, rate {RATE:.2%}, vol {VOL:.0%}, yield {DIVIDEND:.2%}")
    print("theta per calendar day, vega per 1.0 of vol, rho per 1% of rate\n")
    print("  ".join(f"{name:>{width}}" for name, width in COLUMNS))
    for option_type in ("call", "put"):
        for strike in STRIKES:
            args = (SPOT, strike, EXPIRY, RATE, VOL, DIVIDEND, option_type)
            am = gm.am_greeks(*args)
            bs = gm.bs_greeks(*args)
            row = (
                f"{option_type:>5}", f"{strike:7.1f}", f"{gm.am_price(*args):9.4f}",
                f"{am.delta:9.4f}", f"{am.gamma:9.5f}", f"{am.theta:9.5f}",
                f"{am.vega:8.3f}", f"{am.rho:8.4f}", f"{bs.delta:9.4f}", f"{bs.theta:9.5f}",
            )
            print("  ".join(row))


if __name__ == "__main__":
    main()
