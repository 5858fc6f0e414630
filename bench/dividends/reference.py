"""Reference values of American and European options on a stock paying cash
dividends: QuantLib's finite-difference engine (FdBlackScholesVanillaEngine
with a dividend schedule, which applies the jump on its grid) at two fine
grids, combined by Richardson extrapolation.

Times are whole days of an Actual/365 calendar, so that QuantLib reads them
exactly as greekmill does.
"""

from __future__ import annotations

import QuantLib as ql

TODAY = ql.Date(2, 1, 2025)


def _npv(s: float, k: float, days: int, r: float, sigma: float, q: float, option_type: str,
         dividend_days: list[int], amounts: list[float], american: bool, space: int,
         time: int, greeks: bool = False) -> tuple[float, float, float]:
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
    if greeks:
        return option.NPV(), option.delta(), option.gamma()
    return option.NPV(), 0.0, 0.0


def quantlib_engine(s: float, k: float, days: int, r: float, sigma: float, q: float,
                    option_type: str, dividend_days: list[int], amounts: list[float],
                    american: bool, space: int, time: int) -> float:
    """One QuantLib solve (for timing)."""
    return _npv(s, k, days, r, sigma, q, option_type, dividend_days, amounts, american, space,
                time)[0]


def reference(s: float, k: float, days: int, r: float, sigma: float, q: float, option_type: str,
              dividend_days: list[int], amounts: list[float], american: bool = True,
              space: int = 4000, time: int = 4000) -> tuple[float, float, float]:
    """(value, delta, gamma): grids (space, time) and half of each, extrapolated
    as an O(h^2 + dt^2) error."""
    fine = _npv(s, k, days, r, sigma, q, option_type, dividend_days, amounts, american, space,
                time, True)
    rough = _npv(s, k, days, r, sigma, q, option_type, dividend_days, amounts, american,
                 space // 2, time // 2, True)
    return tuple((4.0 * f - c) / 3.0 for f, c in zip(fine, rough))  # type: ignore[return-value]
