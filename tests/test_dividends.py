"""Options on stocks that pay cash dividends: gm.Dividends and dividends=."""

from __future__ import annotations

import numpy as np
import pytest

import greekmill as gm
from dividend_reference import american_by_tree, european_by_quadrature

DAY = 1.0 / 365.0
# (spot, days to expiry, sigma, r, q, ex-dividend days, amounts)
CASES = [
    (100.0, 365, 0.30, 0.05, 0.00, [91, 274], [2.0, 2.0]),
    (90.0, 180, 0.20, 0.03, 0.01, [60], [3.0]),
    (115.0, 730, 0.40, 0.05, 0.00, [100, 465], [1.5, 1.5]),
    (100.0, 365, 0.25, 0.02, 0.00, [180], [6.0]),
]
IDS = ["two-quarterly", "one-short", "two-years", "one-large"]


def _schedule(days: list[int], amounts: list[float]) -> gm.Dividends:
    return gm.Dividends([d * DAY for d in days], amounts)


def _bits(x: object) -> np.ndarray:
    return np.asarray(x, dtype=np.float64).view(np.uint64)


@pytest.mark.parametrize("schedule", [
    None,
    gm.Dividends([], []),
    gm.Dividends([0.0, 1.5, 3.0], [1.0, 2.0, 2.0]),   # at 0 (gone ex) and at or after expiry
    gm.Dividends([0.5], [0.0]),
], ids=["none", "empty", "none-before-expiry", "zero-amount"])
def test_no_dividend_to_pay_gives_the_same_bits(schedule: gm.Dividends | None) -> None:
    s = np.array([80.0, 100.0, 120.0])
    args = (s, 100.0, np.array([0.25, 1.0, 1.5]), 0.05, 0.3, 0.01)
    types = ["call", "put", "put"]
    for function in (gm.american.price, gm.american.greeks, gm.european.price,
                     gm.european.greeks):
        expected = function(*args, types)
        got = function(*args, types, dividends=schedule)
        assert np.array_equal(_bits(got), _bits(expected)), function
    price = gm.american.price(*args, types)
    assert np.array_equal(
        _bits(gm.american.implied_volatility(price, *args[:4], 0.01, types, dividends=schedule)),
        _bits(gm.american.implied_volatility(price, *args[:4], 0.01, types)))


@pytest.mark.parametrize("case", CASES, ids=IDS)
@pytest.mark.parametrize("option_type", ["call", "put"])
def test_european_value_and_delta_against_quadrature(case: tuple, option_type: str) -> None:
    s, days, sigma, r, q, ex_days, amounts = case
    times = [d * DAY for d in ex_days]
    t = days * DAY
    schedule = gm.Dividends(times, amounts)
    expected = european_by_quadrature(s, 100.0, t, r, q, sigma, option_type, times, amounts)
    assert gm.european.price(s, 100.0, t, r, sigma, q, option_type,
                             dividends=schedule) == pytest.approx(expected, abs=1e-7)
    h = 1e-2
    slope = (european_by_quadrature(s + h, 100.0, t, r, q, sigma, option_type, times, amounts)
             - european_by_quadrature(s - h, 100.0, t, r, q, sigma, option_type, times,
                                      amounts)) / (2 * h)
    assert gm.european.delta(s, 100.0, t, r, sigma, q, option_type,
                             dividends=schedule) == pytest.approx(slope, abs=1e-6)


@pytest.mark.parametrize("case", CASES, ids=IDS)
@pytest.mark.parametrize("option_type", ["call", "put"])
def test_american_value_against_a_tree(case: tuple, option_type: str) -> None:
    s, days, sigma, r, q, ex_days, amounts = case
    times = [d * DAY for d in ex_days]
    t = days * DAY
    # Ex-dates on the tree's levels: 16 steps a day, extrapolated with 32.
    expected = american_by_tree(s, 100.0, t, r, q, sigma, option_type, times, amounts,
                                steps=16 * days)
    got = gm.american.price(s, 100.0, t, r, sigma, q, option_type, accuracy="high",
                            dividends=gm.Dividends(times, amounts))
    # The tree's own error (its ex-date interpolation) is about 1e-4 here.
    assert got == pytest.approx(expected, abs=2e-4)


def test_bounds_and_monotone_in_the_dividend() -> None:
    rng = np.random.default_rng(21)
    n = 48
    s = rng.uniform(70.0, 130.0, n)
    t = rng.uniform(0.1, 2.0, n)
    sigma = rng.uniform(0.1, 0.5, n)
    r = rng.uniform(0.0, 0.08, n)
    q = rng.uniform(0.0, 0.03, n)
    types = np.where(rng.random(n) < 0.5, "call", "put")
    small = gm.Dividends([0.2, 0.45, 0.7, 0.95], [1.0, 1.0, 1.0, 1.0])
    large = gm.Dividends([0.2, 0.45, 0.7, 0.95], [2.0, 2.0, 2.0, 2.0])
    american = {d: gm.american.price(s, 100.0, t, r, sigma, q, types, dividends=d)
                for d in (small, large)}
    european = {d: gm.european.price(s, 100.0, t, r, sigma, q, types, dividends=d)
                for d in (small, large)}
    intrinsic = np.maximum(np.where(types == "call", s - 100.0, 100.0 - s), 0.0)
    for d in (small, large):
        # Where early exercise is worth next to nothing the two agree to the
        # American tier's accuracy (1e-5), not to the bit.
        assert np.all(american[d] >= european[d] - 1e-5)
        assert np.all(european[d] >= 0.0)
        assert np.all(american[d] >= intrinsic)
    pays = t > 0.2
    call = types == "call"
    for values in (american, european):
        assert np.all(values[large][pays & call] < values[small][pays & call])
        assert np.all(values[large][pays & ~call] > values[small][pays & ~call])
    # Put-call parity holds for the European values with the dividends' present value.
    # (A dividend paid at u leaves the yield q to act on a smaller spot until t.)
    pv = sum(np.where(u < t, 2.0 * np.exp(-r * u - q * (t - u)), 0.0) for u in large.times)
    calls = gm.european.price(s, 100.0, t, r, sigma, q, "call", dividends=large)
    puts = gm.european.price(s, 100.0, t, r, sigma, q, "put", dividends=large)
    np.testing.assert_allclose(calls - puts, s * np.exp(-q * t) - pv - 100.0 * np.exp(-r * t),
                               rtol=0, atol=1e-9)


def _black_scholes(s, k, t, r, q, sigma, call):
    """Value, delta and gamma of the formula (a spot of 0 included)."""
    from scipy.special import ndtr
    s = np.asarray(s, dtype=np.float64)
    v = sigma * np.sqrt(t)
    with np.errstate(divide="ignore"):
        d1 = (np.log(s / k) + (r - q) * t) / v + 0.5 * v
    d2 = d1 - v
    density = np.exp(-0.5 * d1 * d1) / np.sqrt(2.0 * np.pi)
    gamma = np.where(s > 0.0, np.exp(-q * t) * density / (s * v), 0.0)
    if call:
        return (s * np.exp(-q * t) * ndtr(d1) - k * np.exp(-r * t) * ndtr(d2),
                np.exp(-q * t) * ndtr(d1), gamma)
    return (k * np.exp(-r * t) * ndtr(-d2) - s * np.exp(-q * t) * ndtr(-d1),
            -np.exp(-q * t) * ndtr(-d1), gamma)


def _one_dividend(s, k, t, r, q, sigma, option_type, u, d):
    """Value, delta and gamma with one dividend d at u, by adaptive quadrature
    over the standard normal move to the ex-date, split where the spot after
    the drop reaches 0 and the strike (Haug, Haug and Lewis 2003)."""
    from scipy.integrate import quad
    call = option_type == "call"
    sd, drift = sigma * np.sqrt(u), (r - q - 0.5 * sigma ** 2) * u
    tau = t - u

    def part(z, which):
        grow = np.exp(drift + sd * z)
        after = s * grow - d
        density = np.exp(-0.5 * z * z) / np.sqrt(2.0 * np.pi)
        if after <= 0.0:
            return (k * np.exp(-r * tau) if not call else 0.0) * density if which == 0 else 0.0
        value = _black_scholes(after, k, tau, r, q, sigma, call)[which]
        return float(value) * grow ** which * density

    ruin = (np.log(d / s) - drift) / sd
    breaks = sorted(z for z in (ruin, (np.log((k + d) / s) - drift) / sd) if -12.0 < z < 12.0)
    edges = [-12.0, *breaks, 12.0]
    out = [np.exp(-r * u) * sum(quad(part, a, b, args=(which,), epsabs=1e-14, epsrel=1e-13,
                                     limit=200)[0] for a, b in zip(edges, edges[1:]))
           for which in range(3)]
    # A put's slope jumps from 0 to -e^{-q tau} where the spot is ruined, a
    # point that moves with s: gamma has that jump times its density too.
    if not call:
        density = np.exp(-0.5 * ruin * ruin) / np.sqrt(2.0 * np.pi)
        out[2] -= np.exp(-r * u - q * tau) * d * density / (s * s * sd)
    return out


# (spot, days to expiry, r, q, sigma, ex-date in days, amount): the payment
# a day before expiry (the strike's kink barely smoothed), a day from today,
# larger than the spot can plausibly reach, at a negative rate, and above the
# spot halfway at sigma sqrt(tau) = 0.87 (the value after the drop curves
# near a spot of 0: 1.1e-7 off before the floor's grading reached it).
ONE_DIVIDEND = [
    (100.0, 365, 0.05, 0.0, 0.3, 182, 3.0),
    (97.0, 60, 0.03, 0.01, 0.15, 59, 2.0),
    (104.0, 200, 0.04, 0.0, 0.25, 1, 5.0),
    (30.0, 730, 0.05, 0.0, 0.8, 365, 25.0),
    (90.0, 500, -0.01, 0.02, 0.4, 250, 4.0),
    (80.0, 856, 0.0937, 0.0, 0.8024, 428, 96.0),
]


@pytest.mark.parametrize("case", ONE_DIVIDEND,
                         ids=["mid", "eve-of-expiry", "tomorrow", "ruinous", "negative-rate",
                              "above-the-spot"])
@pytest.mark.parametrize("option_type", ["call", "put"])
def test_european_one_dividend_against_an_independent_integral(case, option_type) -> None:
    s, days, r, q, sigma, ex_day, amount = case
    t, u = days * DAY, ex_day * DAY
    expected = _one_dividend(s, 100.0, t, r, q, sigma, option_type, u, amount)
    g = gm.european.valuation(s, 100.0, t, r, sigma, q, option_type,
                              dividends=gm.Dividends([u], [amount]))
    assert abs(g.price - expected[0]) < 1e-10
    assert abs(g.delta - expected[1]) < 1e-9
    assert abs(g.gamma - expected[2]) < 1e-9


def _american_call_one_dividend(s, k, t, r, sigma, u, d):
    """Value, delta and gamma of an American call (q = 0, r >= 0) with one
    dividend d at u.  Held between ex-dates, it is exercised today, just
    before the drop or at expiry: max(S - K, e^{-ru} E[max(S_u - K, C(S_u - d))])
    with C the formula over t - u, by adaptive quadrature over the standard
    normal move to the ex-date split where S_u reaches the exercise boundary
    S*, the dividend and K + d.  The exercised flag is the last item."""
    from scipy.integrate import quad
    from scipy.optimize import brentq
    sd, drift, tau = sigma * np.sqrt(u), (r - 0.5 * sigma ** 2) * u, t - u

    def held(x, which=0):
        return float(_black_scholes(max(x - d, 0.0), k, tau, r, 0.0, sigma, True)[which])

    def gain(x):
        return x - k - held(x)

    top = 1e3 * (k + d)
    star = k if gain(k) >= 0.0 else brentq(gain, k, top, xtol=1e-13 * k, rtol=1e-15)

    def part(z, which):
        grow = np.exp(drift + sd * z)
        x = s * grow
        value = (x - k, 1.0, 0.0)[which] if x >= star else held(x, which)
        return value * grow ** which * np.exp(-0.5 * z * z) / np.sqrt(2.0 * np.pi)

    def z_of(x):
        return (np.log(x / s) - drift) / sd

    z_star = z_of(star)
    edges = [-12.0, *sorted(z for z in (z_star, z_of(d), z_of(k + d)) if -12.0 < z < 12.0), 12.0]
    out = [np.exp(-r * u) * sum(quad(part, a, b, args=(which,), epsabs=1e-14, epsrel=1e-13,
                                     limit=200)[0] for a, b in zip(edges, edges[1:]))
           for which in range(3)]
    # The slope of max(...) jumps from the formula's delta to 1 at S*, a
    # point that moves with s: gamma has that jump times its density too.
    out[2] += (np.exp(-r * u) * (1.0 - held(star, 1)) * (star / s)
               * np.exp(-0.5 * z_star ** 2) / np.sqrt(2.0 * np.pi) / (s * sd))
    if s - k >= out[0]:
        return s - k, 1.0, 0.0, True
    return (*out, False)


# (days to expiry, r, sigma, ex-date in days, amount): a dividend a week
# away, one larger than the strike at a high volatility, one an hour away,
# and at r = 0, where a deep call is worth exactly its exercise value.
AMERICAN_CALL_ONE_DIVIDEND = [
    (180, 0.05, 0.25, 7, 4.0),
    (365, 0.02, 1.2, 60, 120.0),
    (30, 0.08, 0.4, 1.0 / 24.0, 1.5),
    (90, 0.0, 0.3, 20, 3.0),
]


@pytest.mark.parametrize("case", AMERICAN_CALL_ONE_DIVIDEND,
                         ids=["week", "larger-than-strike", "hour", "zero-rate"])
def test_american_call_across_its_exercise_boundary(case) -> None:
    # Spots whose move to the ex-date straddles the boundary S* there
    # (held below it, exercised above): within 1e-10 of the independent
    # integral; with r > 0 waiting for the eve beats exercising today, at
    # r = 0 deep in the money the two are worth the same, S - K.
    from scipy.optimize import brentq
    days, r, sigma, ex_day, amount = case
    t, u = days * DAY, ex_day * DAY
    tau, sd = t - u, sigma * np.sqrt(u)
    star = brentq(lambda x: x - 100.0 - _black_scholes(max(x - amount, 0.0), 100.0, tau, r, 0.0,
                                                       sigma, True)[0], 100.0, 1e4, xtol=1e-9)
    centre = star * np.exp(-(r - 0.5 * sigma ** 2) * u)
    spots = centre * np.exp(sd * np.array([-3.0, -1.0, -0.1, 0.1, 1.0, 3.0, 12.0]))
    g = gm.american.valuation(spots, 100.0, t, r, sigma, 0.0, "call",
                              dividends=gm.Dividends([u], [amount]))
    for i, s in enumerate(spots):
        price, delta, gamma, _ = _american_call_one_dividend(s, 100.0, t, r, sigma, u, amount)
        assert abs(g.price[i] - price) < 1e-10
        assert abs(g.delta[i] - delta) < 1e-9
        assert abs(g.gamma[i] - gamma) < 1e-8
        assert g.price[i] > s - 100.0 or (g.price[i], g.delta[i], g.gamma[i]) == (s - 100.0, 1.0, 0.0)


@pytest.mark.parametrize("option_type", ["call", "put"])
def test_european_dividend_at_the_ends_of_the_life(option_type: str) -> None:
    # A payment just before expiry leaves the option on max(S_T - D, 0): for a
    # call, the formula at strike K + D; for a put, that less a put at strike
    # D.  One just after today leaves the formula on S - D.  The first differs
    # from its limit by about D sigma sqrt(tau) times a density (1e-8 at a
    # tau of 1e-12), the second by gamma S^2 sigma^2 u (1e-13).
    s, t, r, q, sigma, d = 100.0, 1.0, 0.05, 0.01, 0.3, 4.0
    call = option_type == "call"
    near_expiry = gm.european.price(s, 100.0, t, r, sigma, q, option_type,
                                    dividends=gm.Dividends([t - 1e-12], [d]))
    limit = _black_scholes(s, 100.0 + d, t, r, q, sigma, call)[0]
    if not call:
        limit -= _black_scholes(s, d, t, r, q, sigma, call)[0]
    assert abs(near_expiry - limit) < 1e-7
    near_today = gm.european.price(s, 100.0, t, r, sigma, q, option_type,
                                   dividends=gm.Dividends([1e-12], [d]))
    assert abs(near_today - _black_scholes(s - d, 100.0, t, r, q, sigma, call)[0]) < 1e-9


@pytest.mark.parametrize("option_type", ["call", "put"])
def test_european_vega_and_rho_are_the_values_slopes(option_type: str) -> None:
    # Carried through the recursion as tangents; here against central
    # differences of the value, where the spot can be ruined (large payments
    # on a low spot) and where it cannot.
    for s, amounts in ((30.0, [8.0, 8.0, 8.0]), (110.0, [1.0, 1.5, 2.0])):
        schedule = gm.Dividends([0.2, 0.5, 0.8], amounts)
        args = (s, 100.0, 1.0)
        r, sigma, q = 0.04, 0.45, 0.01

        def value(r=r, sigma=sigma):
            return gm.european.price(*args, r, sigma, q, option_type, dividends=schedule)

        g = gm.european.greeks(*args, r, sigma, q, option_type, dividends=schedule)
        h = 1e-5
        assert g.vega == pytest.approx((value(sigma=sigma + h) - value(sigma=sigma - h)) / (2 * h),
                                       rel=1e-6)
        assert g.rho == pytest.approx((value(r=r + h) - value(r=r - h)) / (2 * h) / 100.0,
                                      rel=1e-6)


def test_european_many_dividends_keep_put_call_parity() -> None:
    # A thousand payments that the spot never comes near: the floor at 0
    # never acts, so calls less puts are the forward less the strike, exactly.
    n = 1000
    times = np.linspace(0.5 / n, 2.0, n, endpoint=False)
    schedule = gm.Dividends(times, np.full(n, 0.01))
    s, t, r, q, sigma = np.array([80.0, 100.0, 125.0]), 2.0, 0.05, 0.01, 0.3
    calls = gm.european.price(s, 100.0, t, r, sigma, q, "call", dividends=schedule)
    puts = gm.european.price(s, 100.0, t, r, sigma, q, "put", dividends=schedule)
    paid = np.sum(0.01 * np.exp(-r * times - q * (t - times)))
    np.testing.assert_allclose(calls - puts, s * np.exp(-q * t) - paid - 100.0 * np.exp(-r * t),
                               rtol=0, atol=1e-9)


def test_zero_volatility_follows_the_deterministic_path() -> None:
    schedule = gm.Dividends([0.25, 0.75], [2.0, 3.0])
    s, t, r, q = np.array([90.0, 100.0, 110.0]), 1.0, 0.05, 0.01
    pv = 2.0 * np.exp(-r * 0.25 - q * 0.75) + 3.0 * np.exp(-r * 0.75 - q * 0.25)
    forward = s * np.exp(-q * t) - pv - 100.0 * np.exp(-r * t)
    for option_type, sign in (("call", 1.0), ("put", -1.0)):
        european = gm.european.price(s, 100.0, t, r, 0.0, q, option_type, dividends=schedule)
        np.testing.assert_allclose(european, np.maximum(sign * forward, 0.0), rtol=0, atol=1e-12)
        american = gm.american.price(s, 100.0, t, r, 0.0, q, option_type, dividends=schedule)
        assert np.all(american >= european) and np.all(american >= sign * (s - 100.0))
    # At 100 the put is worth exercising only just after a drop: the second one
    # (the exercise value falls between drops, as r K > q S).
    after_second = (100.0 * np.exp((r - q) * 0.25) - 2.0) * np.exp((r - q) * 0.5) - 3.0
    assert gm.american.price(100.0, 100.0, t, r, 0.0, q, "put", dividends=schedule) == \
        pytest.approx(np.exp(-r * 0.75) * (100.0 - after_second), rel=1e-13)
    with pytest.raises(ValueError, match="below the lower no-arbitrage bound"):
        gm.american.implied_volatility(0.5, 100.0, 100.0, t, r, q, "put", dividends=schedule)


def test_dividends_worth_more_than_the_spot() -> None:
    # Forty payments of 0.50 on a spot of 10: at low volatility the stock is
    # all but certainly worth nothing before expiry; at any, a put is worth
    # at most the strike (discounted, if European).
    schedule = gm.Dividends(np.linspace(0.01, 0.5, 40), np.full(40, 0.5))
    sigma = np.array([0.05, 0.2, 1.0])
    put = gm.european.price(10.0, 100.0, 1.0, 0.05, sigma, 0.0, "put", dividends=schedule)
    np.testing.assert_allclose(put[:2], 100.0 * np.exp(-0.05), rtol=0, atol=1e-9)
    assert put[2] <= 100.0 * np.exp(-0.05)
    assert np.all(gm.american.price(10.0, 100.0, 1.0, 0.05, sigma, 0.0, "put",
                                    dividends=schedule) <= 100.0)
    assert np.all(gm.european.price(10.0, 100.0, 1.0, 0.05, sigma[:2], 0.0, "call",
                                    dividends=schedule) < 1e-12)


def test_greeks_are_the_derivatives_of_the_value() -> None:
    s, t, r, sigma, q = 100.0, 1.0, 0.05, 0.3, 0.0
    times, amounts = [91 * DAY, 274 * DAY], [2.0, 2.0]
    schedule = gm.Dividends(times, amounts)
    for module in (gm.american, gm.european):
        for option_type in ("call", "put"):
            def value(s=s, t=t, r=r, sigma=sigma, times=times):
                return module.price(s, 100.0, t, r, sigma, q, option_type,
                                    dividends=gm.Dividends(times, amounts))
            g = module.greeks(s, 100.0, t, r, sigma, q, option_type, dividends=schedule)
            assert g.delta == pytest.approx((value(s=s + 0.05) - value(s=s - 0.05)) / 0.1,
                                            abs=2e-5)
            assert g.gamma == pytest.approx(
                (value(s=s + 0.5) - 2 * value() + value(s=s - 0.5)) / 0.25, rel=2e-3)
            assert g.vega == pytest.approx(
                (value(sigma=sigma + 1e-3) - value(sigma=sigma - 1e-3)) / 2e-3, rel=1e-3)
            assert g.rho == pytest.approx(
                (value(r=r + 1e-4) - value(r=r - 1e-4)) / 2e-4 / 100.0, rel=1e-3)
            # A day later: expiry and ex-dates a day nearer.
            later = value(t=t - DAY, times=[u - DAY for u in times])
            assert g.theta == pytest.approx(later - value(), rel=2e-2)


@pytest.mark.parametrize("module", [gm.american, gm.european], ids=["american", "european"])
def test_implied_volatility_recovers_sigma(module: object) -> None:
    schedule = gm.Dividends([0.2, 0.7], [1.5, 1.5])
    sigma = np.array([0.15, 0.3, 0.6])
    s = np.array([90.0, 100.0, 110.0])
    for option_type in ("call", "put"):
        prices = module.price(s, 100.0, 1.0, 0.04, sigma, 0.0, option_type, dividends=schedule)
        implied = module.implied_volatility(prices, s, 100.0, 1.0, 0.04, 0.0, option_type,
                                            dividends=schedule)
        np.testing.assert_allclose(implied, sigma, rtol=0, atol=1e-8)


def test_same_bits_for_threads_and_layouts() -> None:
    rng = np.random.default_rng(7)
    s = rng.uniform(80.0, 120.0, (8, 6))
    sigma = rng.uniform(0.1, 0.5, (8, 6))
    schedule = gm.Dividends([0.3, 0.8], [1.0, 1.2])
    one = gm.american.greeks(s, 100.0, 1.0, 0.05, sigma, dividends=schedule, threads=1)
    two = gm.american.greeks(np.asfortranarray(s), 100.0, 1.0, 0.05, sigma[:, ::-1][:, ::-1],
                             dividends=schedule, threads=2)
    for a, b in zip(one, two):
        assert np.array_equal(_bits(a), _bits(b))
    single = gm.american.greeks(float(s[3, 4]), 100.0, 1.0, 0.05, float(sigma[3, 4]),
                                dividends=schedule)
    assert np.array_equal(_bits(single), _bits([g[3, 4] for g in one]))
    da = pytest.importorskip("dask.array")
    lazy = gm.american.greeks(da.from_array(s, chunks=(3, 4)), 100.0, 1.0, 0.05, sigma,
                              dividends=schedule)
    for a, b in zip(one, lazy):
        assert np.array_equal(_bits(a), _bits(b.compute(scheduler="sync")))


def test_schedule_checks() -> None:
    d = gm.Dividends([0.75, 0.25, 0.25], [1.0, 2.0, 3.0])
    assert d.times.tolist() == [0.25, 0.25, 0.75] and d.amounts.tolist() == [2.0, 3.0, 1.0]
    assert d == gm.Dividends([0.25, 0.25, 0.75], [2.0, 3.0, 1.0]) and len(d) == 3
    with pytest.raises(ValueError, match=r"amounts\[1\] = -1.0"):
        gm.Dividends([0.1, 0.2], [1.0, -1.0])
    with pytest.raises(ValueError, match=r"times\[0\] = nan"):
        gm.Dividends([float("nan")], [1.0])
    with pytest.raises(ValueError, match="2 times but 1 amounts"):
        gm.Dividends([0.1, 0.2], [1.0])
    with pytest.raises(TypeError, match="greekmill.Dividends"):
        gm.american.price(100.0, 100.0, 1.0, 0.05, 0.3, dividends=[(0.5, 1.0)])
    with pytest.raises(ValueError, match="method='spectral'"):
        gm.american.price(100.0, 100.0, 1.0, 0.05, 0.3, dividends=d,
                          method="bjerksund-stensland")
    # The engine's entry point checks what it reads, whoever calls it.
    from greekmill import _arrays, _native
    index = _arrays.OPERATIONS["spectral_price"][0]
    inputs = (0.0, 100.0, 100.0, 1.0, 0.05, 0.2, 0.0, 0)
    for times, amounts in (([0.5, 0.25], [1.0, 1.0]), ([0.5], [float("inf")]),
                           ([0.5, 0.75], [1.0]), (np.array([1], dtype=np.int64), [1.0])):
        with pytest.raises(ValueError, match="dividends"):
            _native.compute(index, 0, 1, 0, 1, 1, inputs, (np.empty(1),), None,
                            (np.asarray(times, dtype=None if isinstance(times, np.ndarray)
                                        else np.float64), np.asarray(amounts, np.float64)))


def test_tables_schedule_per_underlying() -> None:
    pd = pytest.importorskip("pandas")
    a = gm.Dividends([0.25, 0.75], [2.0, 2.0])
    b = gm.Dividends([0.5], [4.0])
    book = pd.DataFrame({"s": [100.0, 95.0, 105.0, 100.0], "k": 100.0, "t": 1.0, "r": 0.05,
                         "sigma": 0.3, "option_type": ["call", "put", "put", "call"],
                         "ticker": ["A", "B", "A", "C"]}, index=list("wxyz"))
    table = gm.tables.value(book, dividends={"A": a, "B": b},
                            columns={"underlying": "ticker"})
    for row, schedule in zip("wxyz", (a, b, a, None)):
        x = book.loc[row]
        expected = gm.american.greeks(x.s, 100.0, 1.0, 0.05, 0.3, 0.0, x.option_type,
                                      dividends=schedule)
        assert table.loc[row, "price"] == gm.american.price(x.s, 100.0, 1.0, 0.05, 0.3, 0.0,
                                                            x.option_type, dividends=schedule)
        assert tuple(table.loc[row, list(gm.Greeks._fields)]) == tuple(expected)
    bad = book.assign(sigma=[0.3, 0.3, -1.0, 0.3])
    with pytest.raises(ValueError, match=r"sigma\[2\].*index label 'y'"):
        gm.tables.value(bad, dividends={"A": a}, columns={"underlying": "ticker"})
