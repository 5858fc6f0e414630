#include <gtest/gtest.h>

#include <array>
#include <cmath>
#include <limits>
#include <random>

#include "black_scholes.hpp"
#include "support.hpp"

namespace greekmill {
namespace {

namespace bs = black_scholes;
using testing::Digits;
using testing::SameDouble;

constexpr double kNaN = std::numeric_limits<double>::quiet_NaN();
constexpr double kInf = std::numeric_limits<double>::infinity();

struct Market {
    double s, k, t, r, sigma, q;
};

Greeks singles(const Market& m, OptionType type) {
    return {*bs::delta(m.s, m.k, m.t, m.r, m.sigma, m.q, type),
            *bs::gamma(m.s, m.k, m.t, m.r, m.sigma, m.q),
            *bs::theta(m.s, m.k, m.t, m.r, m.sigma, m.q, type),
            *bs::vega(m.s, m.k, m.t, m.r, m.sigma, m.q),
            *bs::rho(m.s, m.k, m.t, m.r, m.sigma, m.q, type)};
}

Greeks together(const Market& m, OptionType type) {
    const Result<Greeks> g = bs::all_greeks(m.s, m.k, m.t, m.r, m.sigma, m.q, type);
    EXPECT_TRUE(g.has_value());
    return *g;
}

void expect_same(const Greeks& a, const Greeks& b) {
    EXPECT_TRUE(SameDouble(a.delta, b.delta));
    EXPECT_TRUE(SameDouble(a.gamma, b.gamma));
    EXPECT_TRUE(SameDouble(a.theta, b.theta));
    EXPECT_TRUE(SameDouble(a.vega, b.vega));
    EXPECT_TRUE(SameDouble(a.rho, b.rho));
}

struct ReferenceCase {
    const char* name;
    Market market;
    OptionType type;
    Greeks expected;  // ten significant digits
};

const ReferenceCase kReference[] = {
    {"atm_call", {100, 100, 1, 0.05, 0.2, 0}, OptionType::Call,
     {0.6368306512, 0.01876201735, -0.01757267821, 37.52403469, 0.5323248155}},
    {"atm_put", {100, 100, 1, 0.05, 0.2, 0}, OptionType::Put,
     {-0.3631693488, 0.01876201735, -0.004542138148, 37.52403469, -0.4189046090}},
    {"yield_call", {100, 100, 1, 0.05, 0.2, 0.02}, OptionType::Call,
     {0.5868511461, 0.01895057876, -0.01394333949, 37.90115751, 0.4945810911}},
    {"yield_put", {100, 100, 1, 0.05, 0.2, 0.02}, OptionType::Put,
     {-0.3933475272, 0.01895057876, -0.006283751063, 37.90115751, -0.4566483334}},
    {"itm_call", {110, 100, 0.5, 0.03, 0.25, 0.01}, OptionType::Call,
     {0.7492921515, 0.01615450968, -0.02009678143, 24.43369589, 0.3418537694}},
    {"otm_put", {110, 100, 0.5, 0.03, 0.25, 0.01}, OptionType::Put,
     {-0.2457203277, 0.01615450968, -0.01499863872, 24.43369589, -0.1507022004}},
};

TEST(BlackScholes, ReferenceTablesToTenDigits) {
    for (const ReferenceCase& c : kReference) {
        SCOPED_TRACE(c.name);
        const Greeks g = singles(c.market, c.type);
        EXPECT_TRUE(Digits(g.delta, c.expected.delta, 10));
        EXPECT_TRUE(Digits(g.gamma, c.expected.gamma, 10));
        EXPECT_TRUE(Digits(g.theta, c.expected.theta, 10));
        EXPECT_TRUE(Digits(g.vega, c.expected.vega, 10));
        EXPECT_TRUE(Digits(g.rho, c.expected.rho, 10));
        expect_same(together(c.market, c.type), g);
    }
}

TEST(BlackScholes, ZeroVolatilityKeepsTheDriftTerms) {
    const Market m{110, 100, 1, 0.05, 0, 0};
    const Greeks call = singles(m, OptionType::Call);
    EXPECT_TRUE(SameDouble(call.delta, 1.0));
    EXPECT_TRUE(std::isnan(call.gamma));
    EXPECT_TRUE(Digits(call.theta, -0.01303054006, 10));
    EXPECT_TRUE(SameDouble(call.vega, 0.0));
    EXPECT_TRUE(Digits(call.rho, 0.9512294245, 10));

    const Greeks put = singles(m, OptionType::Put);
    EXPECT_TRUE(SameDouble(put.delta, -0.0));
    EXPECT_TRUE(std::isnan(put.gamma));
    EXPECT_TRUE(SameDouble(put.theta, 0.0));
    EXPECT_TRUE(SameDouble(put.vega, 0.0));
    EXPECT_TRUE(SameDouble(put.rho, -0.0));
}

TEST(BlackScholes, ZeroVolatilityOutOfTheMoneyDiscountsTheYield) {
    // d1 = -inf: the call delta is 0 and the put delta is -exp(-q t).
    const Market m{90, 100, 1, 0.01, 0, 0.03};
    EXPECT_TRUE(SameDouble(*bs::delta(m.s, m.k, m.t, m.r, m.sigma, m.q, OptionType::Call), 0.0));
    EXPECT_TRUE(SameDouble(*bs::delta(m.s, m.k, m.t, m.r, m.sigma, m.q, OptionType::Put),
                           -std::exp(-0.03)));
}

// Expiry and invalid inputs: IEEE results, returned as ordinary values.
struct DegenerateCase {
    const char* name;
    Market market;
    Greeks call;
    Greeks put;
};

const DegenerateCase kDegenerate[] = {
    {"expired_in_the_money", {110, 100, 0, 0.05, 0.2, 0},
     {1.0, kNaN, kNaN, 0.0, 0.0}, {-0.0, kNaN, kNaN, 0.0, -0.0}},
    {"expired_out_of_the_money", {90, 100, 0, 0.05, 0.2, 0},
     {0.0, kNaN, kNaN, 0.0, 0.0}, {-1.0, kNaN, kNaN, 0.0, -0.0}},
    {"expired_at_the_money", {100, 100, 0, 0.05, 0.2, 0},
     {kNaN, kNaN, kNaN, kNaN, kNaN}, {kNaN, kNaN, kNaN, kNaN, kNaN}},
    {"negative_time", {100, 100, -1, 0.05, 0.2, 0},
     {kNaN, kNaN, kNaN, kNaN, kNaN}, {kNaN, kNaN, kNaN, kNaN, kNaN}},
    {"negative_spot", {-100, 100, 1, 0.05, 0.2, 0},
     {kNaN, kNaN, kNaN, kNaN, kNaN}, {kNaN, kNaN, kNaN, kNaN, kNaN}},
};

TEST(BlackScholes, DegenerateInputsGiveTheirIeeeValues) {
    for (const DegenerateCase& c : kDegenerate) {
        SCOPED_TRACE(c.name);
        expect_same(singles(c.market, OptionType::Call), c.call);
        expect_same(singles(c.market, OptionType::Put), c.put);
        expect_same(together(c.market, OptionType::Call), c.call);
        expect_same(together(c.market, OptionType::Put), c.put);
    }
}

TEST(BlackScholes, CallPutParities) {
    for (const ReferenceCase& c : kReference) {
        if (c.type != OptionType::Call) {
            continue;
        }
        SCOPED_TRACE(c.name);
        const Market& m = c.market;
        const Greeks call = singles(m, OptionType::Call);
        const Greeks put = singles(m, OptionType::Put);
        const double dq = std::exp(-m.q * m.t);
        const double dr = std::exp(-m.r * m.t);
        EXPECT_NEAR(call.delta - put.delta, dq, 1e-15);
        EXPECT_NEAR(call.rho - put.rho, m.k * m.t * dr / 100, 1e-15);
        EXPECT_NEAR(call.theta - put.theta, (m.s * m.q * dq - m.k * m.r * dr) / 365, 1e-15);
        EXPECT_TRUE(SameDouble(call.gamma, put.gamma));
        EXPECT_TRUE(SameDouble(call.vega, put.vega));
    }
}

TEST(BlackScholes, GammaUsesThePowerFormOfTheDividendDiscount) {
    // With q = 0 the power and exp(-q t) are both exactly 1; with a yield,
    // gamma carries pow(e, -q t) bit for bit.
    const double s = 100, k = 95, t = 0.75, r = 0.04, sigma = 0.3, q = 0.037;
    const double sqrt_t = std::sqrt(t);
    const double d1 = ((sigma * sigma * 0.5 + (r - q)) * t + std::log(s / k)) / (sqrt_t * sigma);
    const double expected =
        std::pow(2.718281828459045, (-q) * t) * normal_pdf(d1) / ((s * sigma) * sqrt_t);
    EXPECT_TRUE(SameDouble(*bs::gamma(s, k, t, r, sigma, q), expected));
}

// The shared terms of all_greeks and valuation must change no bit of any
// output, including the value's extended-precision branch far out of the
// money (spots 1 to 300 against strikes 1 to 300 reach it often).
TEST(BlackScholes, AllGreeksAndValuationEqualTheSinglesBitForBit) {
    std::mt19937_64 rng(20261207);
    std::uniform_real_distribution<double> spot(1.0, 300.0), time(0.0, 5.0), rate(-0.05, 0.15),
        vol(0.0, 1.5), yield(-0.02, 0.2);
    for (int i = 0; i < 20000; ++i) {
        const Market m{spot(rng), spot(rng), time(rng), rate(rng), vol(rng), yield(rng)};
        for (OptionType type : {OptionType::Call, OptionType::Put}) {
            const Greeks a = singles(m, type);
            const Greeks b = together(m, type);
            const Result<bs::Valuation> v = bs::valuation(m.s, m.k, m.t, m.r, m.sigma, m.q, type);
            ASSERT_TRUE(v.has_value());
            const Greeks& c = v->greeks;
            ASSERT_TRUE(SameDouble(a.delta, b.delta) && SameDouble(a.gamma, b.gamma) &&
                        SameDouble(a.theta, b.theta) && SameDouble(a.vega, b.vega) &&
                        SameDouble(a.rho, b.rho) && SameDouble(a.delta, c.delta) &&
                        SameDouble(a.gamma, c.gamma) && SameDouble(a.theta, c.theta) &&
                        SameDouble(a.vega, c.vega) && SameDouble(a.rho, c.rho) &&
                        SameDouble(*bs::price(m.s, m.k, m.t, m.r, m.sigma, m.q, type), v->price))
                << "s=" << m.s << " k=" << m.k << " t=" << m.t << " r=" << m.r
                << " sigma=" << m.sigma << " q=" << m.q;
        }
    }
}

TEST(BlackScholes, NonFiniteInputsFlowThrough) {
    const std::array<double, 3> specials{kNaN, kInf, -kInf};
    for (double x : specials) {
        const Market cases[] = {{x, 100, 1, 0.05, 0.2, 0}, {100, x, 1, 0.05, 0.2, 0},
                                {100, 100, x, 0.05, 0.2, 0}, {100, 100, 1, x, 0.2, 0},
                                {100, 100, 1, 0.05, x, 0}, {100, 100, 1, 0.05, 0.2, x}};
        for (const Market& m : cases) {
            for (OptionType type : {OptionType::Call, OptionType::Put}) {
                EXPECT_TRUE(bs::all_greeks(m.s, m.k, m.t, m.r, m.sigma, m.q, type).has_value());
                expect_same(together(m, type), singles(m, type));
            }
        }
    }
}

}  // namespace
}  // namespace greekmill
