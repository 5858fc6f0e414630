"""Numerical results through the Python functions."""

import math
import random
import struct

import pytest

import greekmill_python as gm

FIELDS = ("delta", "gamma", "theta", "vega", "rho")
BS_SINGLES = (gm.bs_delta, gm.bs_gamma, gm.bs_theta, gm.bs_vega, gm.bs_rho)
AM_SINGLES = (gm.am_delta, gm.am_gamma, gm.am_theta, gm.am_vega, gm.am_rho)
NAN = math.nan


def bits(x: float) -> bytes:
    return struct.pack("<d", x)


def same(a: float, b: float) -> bool:
    return bits(a) == bits(b) or (math.isnan(a) and math.isnan(b))


def digits(reference: float, n: int):
    """Agreement to n significant digits: within one unit of the n-th digit."""
    unit = 10.0 ** (math.floor(math.log10(abs(reference))) - (n - 1))
    return pytest.approx(reference, rel=0, abs=unit)


def bs_singles(market, option_type):
    s, k, t, r, sigma, q = market
    return (gm.bs_delta(*market, option_type), gm.bs_gamma(*market),
            gm.bs_theta(*market, option_type), gm.bs_vega(*market),
            gm.bs_rho(*market, option_type))


BLACK_SCHOLES = [
    ("atm_call", (100, 100, 1, 0.05, 0.2, 0), "call",
     (0.6368306512, 0.01876201735, -0.01757267821, 37.52403469, 0.5323248155)),
    ("atm_put", (100, 100, 1, 0.05, 0.2, 0), "put",
     (-0.3631693488, 0.01876201735, -0.004542138148, 37.52403469, -0.4189046090)),
    ("yield_call", (100, 100, 1, 0.05, 0.2, 0.02), "call",
     (0.5868511461, 0.01895057876, -0.01394333949, 37.90115751, 0.4945810911)),
    ("yield_put", (100, 100, 1, 0.05, 0.2, 0.02), "put",
     (-0.3933475272, 0.01895057876, -0.006283751063, 37.90115751, -0.4566483334)),
    ("itm_call", (110, 100, 0.5, 0.03, 0.25, 0.01), "call",
     (0.7492921515, 0.01615450968, -0.02009678143, 24.43369589, 0.3418537694)),
    ("otm_put", (110, 100, 0.5, 0.03, 0.25, 0.01), "put",
     (-0.2457203277, 0.01615450968, -0.01499863872, 24.43369589, -0.1507022004)),
]


@pytest.mark.parametrize("market,option_type,expected", [c[1:] for c in BLACK_SCHOLES],
                         ids=[c[0] for c in BLACK_SCHOLES])
def test_black_scholes_reference_tables(market, option_type, expected):
    singles = bs_singles(market, option_type)
    assert singles == tuple(digits(x, 10) for x in expected)
    g = gm.bs_greeks(*market, option_type)
    assert all(same(getattr(g, f), x) for f, x in zip(FIELDS, singles))


def test_first_reference_delta():
    assert gm.bs_delta(100.0, 100.0, 1.0, 0.05, 0.2) == digits(0.6368306512, 10)


DEGENERATE = [
    # name, market, call Greeks, put Greeks (exact, NaN where NaN)
    ("zero_vol", (110, 100, 1, 0.05, 0, 0),
     (1.0, NAN, None, 0.0, None), (-0.0, NAN, 0.0, 0.0, -0.0)),
    ("expired_itm", (110, 100, 0, 0.05, 0.2, 0),
     (1.0, NAN, NAN, 0.0, 0.0), (-0.0, NAN, NAN, 0.0, -0.0)),
    ("expired_otm", (90, 100, 0, 0.05, 0.2, 0),
     (0.0, NAN, NAN, 0.0, 0.0), (-1.0, NAN, NAN, 0.0, -0.0)),
    ("expired_atm", (100, 100, 0, 0.05, 0.2, 0), (NAN,) * 5, (NAN,) * 5),
    ("negative_time", (100, 100, -1, 0.05, 0.2, 0), (NAN,) * 5, (NAN,) * 5),
    ("negative_spot", (-100, 100, 1, 0.05, 0.2, 0), (NAN,) * 5, (NAN,) * 5),
]


@pytest.mark.parametrize("market,call,put", [c[1:] for c in DEGENERATE],
                         ids=[c[0] for c in DEGENERATE])
def test_black_scholes_degenerate_inputs(market, call, put):
    for option_type, expected in (("call", call), ("put", put)):
        singles = bs_singles(market, option_type)
        g = gm.bs_greeks(*market, option_type)
        for field, value, want in zip(FIELDS, singles, expected):
            assert same(getattr(g, field), value)
            if want is not None:
                assert same(value, want), (option_type, field, value, want)


def test_zero_volatility_call_keeps_its_drift_terms():
    market = (110, 100, 1, 0.05, 0, 0)
    assert gm.bs_theta(*market) == digits(-0.01303054006, 10)
    assert gm.bs_rho(*market) == digits(0.9512294245, 10)


AMERICAN = [
    ("european_branch", (100, 100, 0.5, 0.05, 0.2, 0), "call", 6.88872857768),
    ("zero_carry", (100, 100, 0.5, 0.05, 0.2, 0.05), "call", 5.49801487061),
    ("positive_carry", (100, 100, 0.5, 0.05, 0.2, 0.03), "call", 6.02952944535),
    ("put_with_yield", (100, 100, 0.5, 0.05, 0.2, 0.03), "put", 5.04932668787),
    ("put_without_yield", (100, 100, 0.5, 0.05, 0.2, 0), "put", 4.41971978051),
    ("put_zero_rate", (100, 100, 0.5, 0, 0.2, 0), "put", 5.63719777970),
    ("zero_vol", (110, 100, 0.5, 0.05, 0, 0.03), "call", 10.8313221535),
    ("trigger_below_strike", (80, 100, 3, 0, 0.15, 0.2), "call", 0.00355923205873),
    ("trigger_below_strike_above_trigger", (85, 100, 3, 0, 0.15, 0.2), "call", 0.00845585346696),
]


@pytest.mark.parametrize("market,option_type,expected", [c[1:] for c in AMERICAN],
                         ids=[c[0] for c in AMERICAN])
def test_american_price_reference_values(market, option_type, expected):
    assert gm.am_price(*market, option_type) == digits(expected, 12)


@pytest.mark.parametrize("market,option_type,expected", [
    ((90, 100, 0, 0.05, 0.2, 0), "put", 10.0),
    ((120, 100, -1, 0.05, 0.2, 0), "call", 20.0),
    ((90, 100, 0, 0.05, 0.2, 0), "call", 0.0),
    ((150, 100, 0.5, 0.05, 0.2, 0.10), "call", 50.0),
    ((60, 100, 0.5, 0.05, 0.2, 0), "put", 40.0),
    ((100, 100, 0.5, 0.05, 0.2, NAN), "call", 0.0),
    ((300, 100, 0.5, 0.05, 0.2, 0.08), "call", 200.0),
], ids=["expired_put", "negative_time", "expired_worthless", "exercise_call", "exercise_put",
        "nan_yield", "deep_itm"])
def test_american_price_exact_values(market, option_type, expected):
    assert same(gm.am_price(*market, option_type), expected)


def test_deep_in_the_money_american_greeks():
    g = gm.am_greeks(300, 100, 0.5, 0.05, 0.2, 0.08)
    assert g.delta == pytest.approx(1.0, abs=1e-9)
    assert g.gamma == pytest.approx(0.0, abs=1e-6)
    assert (g.theta, g.vega, g.rho) == (0.0, 0.0, 0.0)


def test_zero_yield_american_call_greeks_match_the_european_ones():
    g = gm.am_greeks(100, 100, 1, 0.05, 0.2, 0)
    assert (g.delta, g.gamma, g.vega, g.rho) == (
        digits(0.63683, 5), digits(0.018762, 5), digits(37.524, 5), digits(0.53232, 5))
    assert g.theta == digits(-0.017581, 5)


def test_american_put_never_below_european_or_intrinsic():
    rng = random.Random(11)
    for _ in range(2000):
        s, t = rng.uniform(50, 150), rng.uniform(0.02, 3)
        r, sigma, q = rng.uniform(0, 0.1), rng.uniform(0.05, 0.6), rng.uniform(0, 0.1)
        for option_type in ("call", "put"):
            v = gm.am_price(s, 100, t, r, sigma, q, option_type)
            intrinsic = max(s - 100 if option_type == "call" else 100 - s, 0.0)
            assert v >= intrinsic
            assert v <= (s if option_type == "call" else 100)


def random_markets(n, seed):
    rng = random.Random(seed)
    for _ in range(n):
        yield (rng.uniform(1, 300), rng.uniform(1, 300), rng.uniform(-0.1, 4),
               rng.uniform(-0.05, 0.2), rng.uniform(0, 1.2), rng.uniform(-0.05, 0.4),
               rng.choice(("call", "put")))


def test_greeks_objects_equal_the_single_functions_bit_for_bit():
    for market in random_markets(400, 5):
        *numbers, option_type = market
        bs = gm.bs_greeks(*market)
        am = gm.am_greeks(*market)
        bs_expected = bs_singles(tuple(numbers), option_type)
        am_expected = tuple(f(*market) for f in AM_SINGLES)
        for field, b, a in zip(FIELDS, bs_expected, am_expected):
            assert same(getattr(bs, field), b), (market, field)
            assert same(getattr(am, field), a), (market, field)


def test_american_value_is_never_nan():
    for value in (NAN, math.inf, -math.inf, 0.0, -1.0):
        for i in range(6):
            market = [100.0, 100.0, 0.5, 0.05, 0.2, 0.02]
            market[i] = value
            for option_type in ("call", "put"):
                assert not math.isnan(gm.am_price(*market, option_type)), (market, option_type)
