#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <iomanip>
#include <limits>
#include <random>

#include "bjerksund_stensland.hpp"
#include "bjerksund_stensland_detail.hpp"
#include "black_scholes.hpp"
#include "support.hpp"

namespace greekmill {
namespace {

namespace am = bjerksund_stensland;
using testing::Digits;
using testing::SameDouble;

constexpr double kNaN = std::numeric_limits<double>::quiet_NaN();
constexpr OptionType kCall = OptionType::Call;
constexpr OptionType kPut = OptionType::Put;

double price(double s, double k, double t, double r, double sigma, double q, OptionType type) {
    const Result<double> v = am::price(s, k, t, r, sigma, q, type);
    EXPECT_TRUE(v.has_value());
    return *v;
}

// ---------------------------------------------------------------------------
// The American price.

struct PriceCase {
    const char* name;
    double s, k, t, r, sigma, q;
    OptionType type;
    double expected;  // twelve significant digits
};

const PriceCase kPrices[] = {
    {"no_early_exercise_is_european", 100, 100, 0.5, 0.05, 0.2, 0, kCall, 6.88872857768},
    {"zero_carry_falls_back_to_european", 100, 100, 0.5, 0.05, 0.2, 0.05, kCall, 5.49801487061},
    {"positive_carry_falls_back_to_european", 100, 100, 0.5, 0.05, 0.2, 0.03, kCall,
     6.02952944535},
    {"put_with_yield", 100, 100, 0.5, 0.05, 0.2, 0.03, kPut, 5.04932668787},
    {"put_without_yield", 100, 100, 0.5, 0.05, 0.2, 0, kPut, 4.41971978051},
    {"put_with_zero_rate_is_european", 100, 100, 0.5, 0, 0.2, 0, kPut, 5.63719777970},
    {"zero_volatility_american_branch", 110, 100, 0.5, 0.05, 0, 0.03, kCall, 10.8313221535},
    // The flat trigger lies below the strike: the European value.
    {"trigger_below_strike", 80, 100, 3, 0, 0.15, 0.2, kCall, 0.00355923205873},
    {"trigger_below_strike_spot_above_trigger", 85, 100, 3, 0, 0.15, 0.2, kCall,
     0.00845585346696},
};

TEST(AmericanPrice, ReferenceValuesToTwelveDigits) {
    for (const PriceCase& c : kPrices) {
        EXPECT_TRUE(Digits(price(c.s, c.k, c.t, c.r, c.sigma, c.q, c.type), c.expected, 12))
            << c.name;
    }
}

TEST(AmericanPrice, NoEarlyExerciseEqualsTheEuropeanValue) {
    // b = r: the call is priced by the generalized Black-Scholes formula.
    const double v = price(100, 100, 0.5, 0.05, 0.2, 0, kCall);
    const auto x = am::detail::internals(100, 100, 0.5, 0.05, 0.05, 0.2);
    EXPECT_TRUE(SameDouble(v, x.european));
}

struct ExactCase {
    const char* name;
    double s, k, t, r, sigma, q;
    OptionType type;
    double expected;
};

const ExactCase kExact[] = {
    {"expired_put", 90, 100, 0, 0.05, 0.2, 0, kPut, 10.0},
    {"negative_time_call", 120, 100, -1, 0.05, 0.2, 0, kCall, 20.0},
    {"expired_worthless_call", 90, 100, 0, 0.05, 0.2, 0, kCall, 0.0},
    {"immediate_exercise_call", 150, 100, 0.5, 0.05, 0.2, 0.10, kCall, 50.0},
    {"immediate_exercise_put", 60, 100, 0.5, 0.05, 0.2, 0, kPut, 40.0},
    {"nan_yield_floors_at_intrinsic", 100, 100, 0.5, 0.05, 0.2, kNaN, kCall, 0.0},
    {"nan_yield_in_the_money", 120, 100, 0.5, 0.05, 0.2, kNaN, kCall, 20.0},
    {"nan_spot_is_zero", kNaN, 100, 0.5, 0.05, 0.2, 0.0, kPut, 0.0},
};

TEST(AmericanPrice, ExactValues) {
    for (const ExactCase& c : kExact) {
        EXPECT_TRUE(SameDouble(price(c.s, c.k, c.t, c.r, c.sigma, c.q, c.type), c.expected))
            << c.name;
    }
}

TEST(AmericanPrice, ImmediateExerciseTriggers) {
    // Call (150, 100, 0.5, 0.05, 0.2, 0.10): b = -0.05.
    EXPECT_TRUE(Digits(am::detail::internals(150, 100, 0.5, 0.05, 0.05 - 0.10, 0.2).i2,
                       117.736742540, 12));
    // Put (60, 100, 0.5, 0.05, 0.2, 0): the call sees S = 100 >= I2.
    const double b = 0.05 - 0.0;
    EXPECT_TRUE(
        Digits(am::detail::internals(100, 60, 0.5, 0.05 - b, -b, 0.2).i2, 71.4031466435, 12));
}

TEST(AmericanPrice, ImmediateExerciseNeverBelowTheEuropeanValue) {
    // S >= I2 here, but S - K = 20 is below the European put value 20.0799.
    const double v = price(80, 100, 0.1, 0.01, 0.4, 0, kPut);
    const double b = 0.01;
    const double european = am::detail::internals(100, 80, 0.1, 0.01 - b, -b, 0.4).european;
    EXPECT_TRUE(Digits(european, 20.0799, 6));
    EXPECT_TRUE(SameDouble(v, european));
}

// ---------------------------------------------------------------------------
// Intermediates of the approximation.

struct InternalsCase {
    const char* name;
    double S, K, T, r, b, sigma;
    double beta, b_inf, b0, i1, i2, a, european;
};

const InternalsCase kInternals[] = {
    {"call_zero_carry", 100, 100, 0.5, 0.05, 0.05 - 0.05, 0.2, 2.15831239518, 186.332495807, 100,
     119.603005765, 124.118135129, 2.42485900586, 5.49801487061},
    {"call_positive_carry", 100, 100, 0.5, 0.05, 0.05 - 0.03, 0.2, 1.58113883008, 272.075922006,
     166.666666667, 198.633561762, 205.733770797, 4.69064042792, 6.02952944535},
    {"put_with_yield", 100, 100, 0.5, 0.05 - (0.05 - 0.03), -(0.05 - 0.03), 0.2, 2.58113883008,
     163.245553203, 100, 118.310453894, 122.161394555, 2.08491101584, 5.04932668787},
    {"put_without_yield", 100, 100, 0.5, 0.05 - 0.05, -0.05, 0.2, 3.5, 140, 100, 116.154068682,
     119.005244406, 1.55741671771, 4.41971978051},
};

TEST(AmericanInternals, ShapeTriggersAndSum) {
    for (const InternalsCase& c : kInternals) {
        SCOPED_TRACE(c.name);
        const auto x = am::detail::internals(c.S, c.K, c.T, c.r, c.b, c.sigma);
        EXPECT_TRUE(Digits(x.shape.beta, c.beta, 12));
        EXPECT_TRUE(Digits(x.shape.b_inf, c.b_inf, 12));
        EXPECT_TRUE(Digits(x.shape.b0, c.b0, 12));
        EXPECT_TRUE(Digits(x.approx.i1, c.i1, 12));
        EXPECT_TRUE(Digits(x.i2, c.i2, 12));
        EXPECT_TRUE(Digits(x.approx.a, c.a, 12));
        EXPECT_TRUE(Digits(x.european, c.european, 12));
        // Where the approximation is below the European value, the price is
        // the European value exactly.
        EXPECT_LT(x.approx.a, x.european);
        EXPECT_TRUE(SameDouble(am::call_price(c.S, c.K, c.T, c.r, c.b, c.sigma), x.european));
    }
}

TEST(AmericanInternals, SplitTimeAndWeights) {
    const auto x = am::detail::internals(100, 100, 0.5, 0.05, 0.05 - 0.03, 0.2);
    EXPECT_TRUE(Digits(x.approx.t1, 0.309016994375, 12));
    EXPECT_TRUE(SameDouble(x.approx.t1, 0.6180339887498949 * 0.5));
    EXPECT_TRUE(Digits(x.approx.alpha1, 0.0229342461354, 12));
    EXPECT_TRUE(Digits(x.approx.alpha2, 0.0232571467209, 12));
}

TEST(AmericanInternals, TheTwelveTermsOfALongNegativeCarryCall) {
    // Call (80, 100, 3, 0, 0.15, 0.2): b = -0.2.  The terms nearly cancel
    // (several are near +-100, the sum is 0.43), so the last digits depend on
    // the maths library: compare to eleven digits.
    const auto x = am::detail::internals(80, 100, 3, 0, 0 - 0.2, 0.15);
    EXPECT_TRUE(Digits(x.shape.beta, 18.7777777778, 12));
    EXPECT_TRUE(Digits(x.shape.b_inf, 105.625, 12));
    EXPECT_TRUE(SameDouble(x.shape.b0, 100.0));
    EXPECT_TRUE(Digits(x.approx.t1, 1.85410196625, 12));
    EXPECT_TRUE(Digits(x.approx.h1, -0.669792806487, 12));
    EXPECT_TRUE(Digits(x.h2, 1.42906235963, 12));
    EXPECT_TRUE(Digits(x.approx.i1, 102.746042810, 12));
    EXPECT_TRUE(Digits(x.i2, 82.1418461245, 12));
    EXPECT_TRUE(Digits(x.approx.alpha1, 4.59440454938e-38, 11));
    EXPECT_TRUE(Digits(x.approx.alpha2, -1.99788553405e-35, 11));
    const double terms[12] = {
        +0.00381137610367, -0.000890892692817, +53.1836241182, -54.5450394677,
        -97.6545209124,    +99.2209105819,     -0.0935202525849, +0.361880070675,
        +43.2825302353,    -42.9890139656,     -99.1197152868,   +98.7820209305,
    };
    for (int i = 0; i < 12; ++i) {
        EXPECT_TRUE(Digits(x.approx.terms[i], terms[i], 11)) << "term " << i + 1;
    }
    EXPECT_TRUE(Digits(x.approx.a, 0.432076534806, 10));
    EXPECT_TRUE(Digits(x.european, 0.00355923205873, 12));

    // The sum is accumulated strictly left to right.
    double sum = x.approx.terms[0];
    for (int i = 1; i < 12; ++i) {
        sum += x.approx.terms[i];
    }
    EXPECT_TRUE(SameDouble(x.approx.a, sum));

    // I2 < K: the approximation does not apply and the price is E, not A.
    EXPECT_TRUE(SameDouble(am::call_price(80, 100, 3, 0, -0.2, 0.15), x.european));
    EXPECT_TRUE(Digits(am::call_price(85, 100, 3, 0, -0.2, 0.15), 0.00845585346696, 12));
}

// ---------------------------------------------------------------------------
// Where the flat trigger falls below the strike (T b + 2 sigma sqrt(T) < 0)
// the price is the European one: never above the spot (call) or the strike
// (put), never below the European value, and continuous in the spot.

struct RegimeCase {
    const char* name;
    double k, t, r, sigma, q;
    OptionType type;
};

const RegimeCase kLowTrigger[] = {
    {"call_strong_yield", 100, 1, 0, 0.15, 0.4, kCall},
    {"call_long_life", 100, 3, 0, 0.15, 0.2, kCall},
    {"call_with_rate", 100, 5, 0.02, 0.1, 0.25, kCall},
    {"put_strong_rate", 100, 1, 0.4, 0.15, 0, kPut},
    {"put_long_life", 100, 4, 0.25, 0.1, 0.02, kPut},
};

double european_value(double s, double k, double t, double r, double sigma, double q,
                      OptionType type) {
    const double b = r - q;
    if (type == kPut) {
        return am::detail::internals(k, s, t, r - b, -b, sigma).european;
    }
    return am::detail::internals(s, k, t, r, b, sigma).european;
}

TEST(AmericanPrice, LowTriggerRegimeIsBoundedAndContinuous) {
    for (const RegimeCase& c : kLowTrigger) {
        SCOPED_TRACE(c.name);
        double previous_spot = 0;
        double previous = 0;
        for (double s = 1.0; s <= 400.0; s *= 1.003) {
            const double v = price(s, c.k, c.t, c.r, c.sigma, c.q, c.type);
            const double cap = c.type == kCall ? s : c.k;
            const double intrinsic = std::max(c.type == kCall ? s - c.k : c.k - s, 0.0);
            ASSERT_LE(v, cap) << "s = " << s;
            ASSERT_GE(v, european_value(s, c.k, c.t, c.r, c.sigma, c.q, c.type)) << "s = " << s;
            ASSERT_GE(v, intrinsic) << "s = " << s;
            if (previous_spot > 0) {
                // |dV/dS| <= 1 for any option: no jump as S crosses a trigger.
                ASSERT_LE(std::fabs(v - previous), (s - previous_spot) * (1 + 1e-9))
                    << "s = " << s;
            }
            previous_spot = s;
            previous = v;
        }
    }
}

TEST(AmericanPrice, IssueExampleOfAFarOutOfTheMoneyCall) {
    // Unguarded, the twelve terms priced this call at 92.9, twenty times its spot.
    const double v = price(4.35, 100, 1, 0, 0.15, 0.4, kCall);
    EXPECT_LT(v, 1e-6);
    EXPECT_GE(v, 0.0);
}

TEST(AmericanPrice, NeverBelowEuropeanOrIntrinsicOnARandomGrid) {
    std::mt19937_64 rng(7);
    std::uniform_real_distribution<double> spot(20.0, 250.0), time(0.01, 5.0), rate(-0.02, 0.12),
        vol(0.05, 0.8), yield(0.0, 0.3);
    for (int i = 0; i < 20000; ++i) {
        const double s = spot(rng), t = time(rng), r = rate(rng), sigma = vol(rng), q = yield(rng);
        for (OptionType type : {kCall, kPut}) {
            const double v = price(s, 100, t, r, sigma, q, type);
            const double intrinsic = std::max(type == kCall ? s - 100 : 100 - s, 0.0);
            const double european = european_value(s, 100, t, r, sigma, q, type);
            ASSERT_GE(v, intrinsic);
            ASSERT_GE(v, european * (1 - 1e-12) - 1e-12);
            ASSERT_FALSE(std::isnan(v));
        }
    }
}

// ---------------------------------------------------------------------------
// American Greeks.

Greeks am_singles(double s, double k, double t, double r, double sigma, double q,
                  OptionType type) {
    return {*am::delta(s, k, t, r, sigma, q, type), *am::gamma(s, k, t, r, sigma, q, type),
            *am::theta(s, k, t, r, sigma, q, type), *am::vega(s, k, t, r, sigma, q, type),
            *am::rho(s, k, t, r, sigma, q, type)};
}

Greeks am_all(double s, double k, double t, double r, double sigma, double q, OptionType type) {
    const Result<Greeks> g = am::all_greeks(s, k, t, r, sigma, q, type);
    EXPECT_TRUE(g.has_value());
    return *g;
}

::testing::AssertionResult SameGreeks(const Greeks& a, const Greeks& b) {
    if (SameDouble(a.delta, b.delta) && SameDouble(a.gamma, b.gamma) &&
        SameDouble(a.theta, b.theta) && SameDouble(a.vega, b.vega) && SameDouble(a.rho, b.rho)) {
        return ::testing::AssertionSuccess();
    }
    return ::testing::AssertionFailure() << std::setprecision(17)
           << "(" << a.delta << ", " << a.gamma << ", " << a.theta << ", " << a.vega << ", "
           << a.rho << ") vs (" << b.delta << ", " << b.gamma << ", " << b.theta << ", "
           << b.vega << ", " << b.rho << ")";
}

TEST(AmericanGreeks, AllGreeksEqualsTheSinglesBitForBit) {
    std::mt19937_64 rng(2718);
    std::uniform_real_distribution<double> spot(1.0, 300.0), time(-0.1, 4.0), rate(-0.05, 0.2),
        vol(0.0, 1.2), yield(-0.05, 0.4);
    for (int i = 0; i < 3000; ++i) {
        const double s = spot(rng), k = spot(rng), t = time(rng), r = rate(rng),
                     sigma = vol(rng), q = yield(rng);
        for (OptionType type : {kCall, kPut}) {
            ASSERT_TRUE(SameGreeks(am_all(s, k, t, r, sigma, q, type),
                                   am_singles(s, k, t, r, sigma, q, type)))
                << "s=" << s << " k=" << k << " t=" << t << " r=" << r << " sigma=" << sigma
                << " q=" << q << " put=" << (type == kPut);
        }
    }
    const double edges[][6] = {{100, 100, 0.0001, 0.05, 0.2, 0},  {100, 100, 1.0 / 365, 0.05, 0.2, 0},
                               {100, 100, 0, 0.05, 0.2, 0},       {0, 100, 1, 0.05, 0.2, 0},
                               {300, 100, 0.5, 0.05, 0.2, 0.08},  {100, 100, 1, 0.05, 0.0001, 0.03},
                               {100, 100, kNaN, 0.05, 0.2, 0.03}, {100, 100, 1, 0.05, 0.2, kNaN}};
    for (const auto& e : edges) {
        for (OptionType type : {kCall, kPut}) {
            EXPECT_TRUE(SameGreeks(am_all(e[0], e[1], e[2], e[3], e[4], e[5], type),
                                   am_singles(e[0], e[1], e[2], e[3], e[4], e[5], type)));
        }
    }
}

TEST(AmericanGreeks, ZeroYieldCallMatchesTheEuropeanGreeks) {
    const Greeks g = am_singles(100, 100, 1, 0.05, 0.2, 0, kCall);
    EXPECT_TRUE(Digits(g.delta, 0.63683, 5));
    EXPECT_TRUE(Digits(g.gamma, 0.018762, 5));
    EXPECT_TRUE(Digits(g.vega, 37.524, 5));
    EXPECT_TRUE(Digits(g.rho, 0.53232, 5));
    EXPECT_TRUE(Digits(g.theta, -0.017581, 5));
}

TEST(AmericanGreeks, ThetaShiftedTimeIsClamped) {
    // t = 0.0001: both evaluations coincide.
    EXPECT_TRUE(SameDouble(*am::theta(100, 100, 0.0001, 0.05, 0.2, 0.02, kPut), 0.0));
    // t = 1/365: a step of 1/365 - 0.0001 years, not rescaled.
    const double one_day = 0.0027397260273972603;
    EXPECT_TRUE(SameDouble(*am::theta(100, 100, one_day, 0.05, 0.2, 0.02, kPut),
                           price(100, 100, 0.0001, 0.05, 0.2, 0.02, kPut) -
                               price(100, 100, one_day, 0.05, 0.2, 0.02, kPut)));
    // 0 < t < 0.0001 compares with the longer expiry 0.0001.
    EXPECT_TRUE(SameDouble(*am::theta(100, 100, 0.00005, 0.05, 0.2, 0.02, kCall),
                           price(100, 100, 0.0001, 0.05, 0.2, 0.02, kCall) -
                               price(100, 100, 0.00005, 0.05, 0.2, 0.02, kCall)));
    // NaN t takes the floor too.
    EXPECT_TRUE(SameDouble(*am::theta(100, 100, kNaN, 0.05, 0.2, 0.02, kCall),
                           price(100, 100, 0.0001, 0.05, 0.2, 0.02, kCall) -
                               price(100, 100, kNaN, 0.05, 0.2, 0.02, kCall)));
}

TEST(AmericanGreeks, ExpiredOptions) {
    for (double t : {0.0, -0.5}) {
        SCOPED_TRACE(t);
        const Greeks call = am_singles(100, 100, t, 0.05, 0.2, 0.02, kCall);
        EXPECT_NEAR(call.delta, 0.5, 1e-9);
        EXPECT_NEAR(call.gamma, 100.0, 1e-6);
        EXPECT_TRUE(SameDouble(call.vega, 0.0));
        EXPECT_TRUE(SameDouble(call.rho, 0.0));
        EXPECT_TRUE(SameDouble(call.theta, price(100, 100, 0.0001, 0.05, 0.2, 0.02, kCall)));
        EXPECT_GE(call.theta, 0.0);

        const Greeks put = am_singles(100, 100, t, 0.05, 0.2, 0.02, kPut);
        EXPECT_NEAR(put.delta, -0.5, 1e-9);
        EXPECT_TRUE(SameDouble(put.vega, 0.0));
        EXPECT_TRUE(SameDouble(put.rho, 0.0));

        const Greeks itm_call = am_singles(120, 100, t, 0.05, 0.2, 0.02, kCall);
        EXPECT_NEAR(itm_call.delta, 1.0, 1e-9);
        EXPECT_NEAR(itm_call.gamma, 0.0, 1e-6);
        const Greeks otm_put = am_singles(120, 100, t, 0.05, 0.2, 0.02, kPut);
        EXPECT_TRUE(SameDouble(otm_put.delta, 0.0));
        const Greeks itm_put = am_singles(80, 100, t, 0.05, 0.2, 0.02, kPut);
        EXPECT_NEAR(itm_put.delta, -1.0, 1e-9);
    }
}

TEST(AmericanGreeks, DeepInTheMoneyIsIntrinsicThroughout) {
    EXPECT_TRUE(SameDouble(price(300, 100, 0.5, 0.05, 0.2, 0.08, kCall), 200.0));
    const Greeks g = am_all(300, 100, 0.5, 0.05, 0.2, 0.08, kCall);
    EXPECT_NEAR(g.delta, 1.0, 1e-9);
    EXPECT_NEAR(g.gamma, 0.0, 1e-6);
    EXPECT_TRUE(SameDouble(g.theta, 0.0));
    EXPECT_TRUE(SameDouble(g.vega, 0.0));
    EXPECT_TRUE(SameDouble(g.rho, 0.0));
}

TEST(AmericanGreeks, ZeroSpotGivesNanDeltaAndGammaOnly) {
    for (OptionType type : {kCall, kPut}) {
        const Greeks g = am_all(0, 100, 1, 0.05, 0.2, 0.02, type);
        EXPECT_TRUE(std::isnan(g.delta));
        EXPECT_TRUE(std::isnan(g.gamma));
        EXPECT_TRUE(std::isfinite(g.theta));
        EXPECT_TRUE(std::isfinite(g.vega));
        EXPECT_TRUE(std::isfinite(g.rho));
    }
}

TEST(AmericanGreeks, FarOutOfTheMoneyTendToZero) {
    const Greeks g = am_all(10, 100, 0.25, 0.05, 0.2, 0.02, kCall);
    for (double x : {g.delta, g.gamma, g.theta, g.vega, g.rho}) {
        EXPECT_NEAR(x, 0.0, 1e-12);
    }
}

}  // namespace
}  // namespace greekmill
