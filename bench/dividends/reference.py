"""QuantLib's finite-difference engine (FdBlackScholesVanillaEngine with a
dividend schedule, which applies the jump on its grid) for the comparison in
quantlib_compare.py.

Times are whole days of an Actual/365 calendar, so that QuantLib reads them
exactly as greekmill does.
"""

from __future__ import annotations

import QuantLib as ql

TODAY = ql.Date(2, 1, 2025)


def quantlib_engine(s: float, k: float, days: int, r: float, sigma: float, q: float,
                    option_type: str, dividend_days: list[int], amounts: list[float],
                    american: bool, space: int, time: int) -> float:
    """One QuantLib value on a grid of `space` points and `time` steps."""
    ql.Settings.instance().evaluationDate = TODAY
    dc = ql.Actual365Fixed()
    maturity = TODAY + days
    kind = ql.Option.Call if option_type == "call" else ql.Option.Put
    exercise = ql.AmericanExercise(TODAY, maturity) if american else ql.EuropeanExercise(maturity)
    process = ql.BlackScholesMertonProcess(
        ql.QuoteHandle(ql.SimpleQuote(s)),
        ql.YieldTermStructureHandle(ql.FlatForward(TODAY, q, dc)),
        ql.YieldTermStructureHandle(ql.FlatForward(TODAY, r, dc)),
        ql.BlackVolTermStructureHandle(ql.BlackConstantVol(TODAY, ql.NullCalendar(), sigma, dc)))
    option = ql.VanillaOption(ql.PlainVanillaPayoff(kind, k), exercise)
    dividends = ql.DividendVector([TODAY + d for d in dividend_days], list(amounts))
    engine = ql.FdBlackScholesVanillaEngine(process, dividends, time, space, 0,
                                            ql.FdmSchemeDesc.CrankNicolson())
    option.setPricingEngine(engine)
    return option.NPV()

