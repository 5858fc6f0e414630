#include <gtest/gtest.h>

#include <cmath>
#include <iomanip>
#include <limits>
#include <random>

#include "implied_volatility.hpp"
#include "implied_volatility_detail.hpp"

namespace greekmill {
namespace {

namespace iv = implied_volatility;
using iv::Error;

// What the rounding of the price allows (the accuracy promised by the
// European solver): 4 ulps of the price divided by the vega, or 4 ulps of
// sigma, whichever is larger.
double allowed_error(double price, double vega, double sigma) {
    const double from_price = 4.0 * (std::nextafter(price, INFINITY) - price) / vega;
    const double from_sigma = 4.0 * (std::nextafter(sigma, INFINITY) - sigma);
    return std::fmax(from_price, from_sigma);
}

struct VolatilityReference {
    double price, s, k, t, r, q;
    OptionType type;
    double sigma;  // the volatility the double price determines
    double vega;   // d price / d sigma there
};

// Prices of the Black-Scholes-Merton formula at a chosen volatility,
// computed with mpmath at 60 significant digits and rounded to double; sigma
// is then the root, found with mpmath's findroot at the same precision, of
// price(sigma) = that double, and vega the derivative there.  Independent
// of this code: nothing here was produced by greekmill.
constexpr VolatilityReference kVolatilityReferences[] = {
    {9.227005508154049, 100.0, 100.0, 1.0, 0.05, 0.02, OptionType::Call, 0.20000000000000004, 37.90115751001743},
    {1.7669064602105513, 100.0, 120.0, 0.5, 0.03, 0.0, OptionType::Call, 0.25, 19.520565229854522},
    {0.7915106012345375, 100.0, 80.0, 0.25, 0.01, 0.03, OptionType::Put, 0.35, 8.131621444334968},
    {43.90387876525542, 100.0, 60.0, 2.0, 0.04, 0.01, OptionType::Call, 0.3000000000000001, 16.440964609267713},
    {52.971993957927225, 100.0, 150.0, 1.5, 0.02, 0.0, OptionType::Put, 0.4000000000000001, 42.648872129549716},
    {6.224347975821424e-26, 50.0, 50.5, 0.01, 0.0, 0.0, OptionType::Call, 0.01, 6.345871359060913e-22},
    {1.8672551913332253e-18, 1.0, 1.5, 1.0, 0.0, 0.0, OptionType::Call, 0.05, 2.5647657197633934e-15},
    {3.4786574562075894e-68, 1.0, 0.6, 1.0, 0.0, 0.0, OptionType::Put, 0.03, 3.3965151229011254e-64},
    {5.122689517692351e-301, 1.0, 2.0, 1.0, 0.0, 0.0, OptionType::Call, 0.0188, 3.7122000876901817e-296},
    {99.89849990528869, 100.0, 100.0, 30.0, 0.0, 0.0, OptionType::Call, 1.1999999999999944, 0.9869166840987131},
    {0.18928486056649568, 100.0, 100.0001, 0.001, 0.0, 0.0, OptionType::Put, 0.15, 1.2615633156064467},
    {0.0007024722734666454, 0.001, 0.001, 4.0, -0.01, 0.05, OptionType::Put, 0.9, 0.00048690792400160696},
    {96.02801990667258, 2500.0, 1000.0, 3.0, 0.07, 0.0, OptionType::Put, 0.6, 477.7012190884546},
};

TEST(ImpliedVolatilityEuropean, AgreesWithHighPrecisionReference) {
    for (const VolatilityReference& c : kVolatilityReferences) {
        const auto sigma = iv::european(c.price, c.s, c.k, c.t, c.r, c.q, c.type);
        ASSERT_TRUE(sigma.has_value()) << "price " << c.price << " k " << c.k;
        EXPECT_LE(std::fabs(*sigma - c.sigma), allowed_error(c.price, c.vega, c.sigma))
            << std::setprecision(17) << "price " << c.price << " k " << c.k << ": " << *sigma
            << " against " << c.sigma;
    }
}

struct BlackReference {
    double x, s, b;
};

// b(x, s) = e^{x/2} Phi(x/s + s/2) - e^{-x/2} Phi(x/s - s/2) with mpmath at
// 60 digits, one or more points in every region of the evaluation:
// asymptotic wing, Taylor series in s, difference of Mills ratios, large s.
constexpr BlackReference kBlackReferences[] = {
    {-30.0, 0.9, 1.547463235245699e-245},
    {-12.0, 0.75, 2.771482620696225e-59},
    {-1.0, 0.05, 6.847932680690649e-92},
    {-0.01, 0.001, 7.474559337762834e-28},
    {0.0, 1e-06, 3.98942280401416e-07},
    {-2.0, 0.3, 5.58778356385508e-13},
    {-0.5, 1.0, 0.18568301299666387},
    {-3.0, 2.5, 0.08400217221034009},
    {-1.0, 12.0, 0.6065306577459623},
    {-50.0, 1.8, 1.7369446070515282e-171},
    {-0.0001, 0.2, 0.0796056845774202},
    {-4.0, 0.6, 1.0818986875458555e-12},
};

TEST(ImpliedVolatilityEuropean, NormalisedBlackAgreesWithHighPrecisionReference) {
    for (const BlackReference& c : kBlackReferences) {
        const double b = iv::detail::normalised_black(c.x, c.s);
        // Relative error: a few ulps, plus 2 eps |ln b| where the exponent
        // of the Gaussian is large (the rounding of x/s, which moves sigma by
        // a fraction of an ulp only).
        const double allowed = (4.0 + 2.0 * std::fabs(std::log(c.b))) *
                               std::numeric_limits<double>::epsilon() * c.b;
        EXPECT_LE(std::fabs(b - c.b), allowed)
            << std::setprecision(17) << "x " << c.x << " s " << c.s << ": " << b;
    }
}

// The price of a European option assembled from the normalised Black
// function, and its vega.  In the money the intrinsic value is added in the
// form that is accurate there: D (F - K) in price units without rates or
// deep in the money, 2 sinh(x/2) in normalised units otherwise (the other
// form would carry errors of many ulps of the price: the rounding of x
// times e^{x/2}, or of the discounted spot, respectively).
struct Priced {
    double price;
    double vega;
};

Priced price_of(double s, double k, double t, double r, double q, double sigma, OptionType type) {
    double x = std::log(s / k) + (r - q) * t;
    if (type == OptionType::Put) {
        x = -x;
    }
    const double spot = q == 0.0 ? s : s * std::exp(-q * t);
    const double strike = r == 0.0 ? k : k * std::exp(-r * t);
    const double norm = std::sqrt(spot * strike);
    const double total = sigma * std::sqrt(t);
    const double otm = iv::detail::normalised_black(-std::fabs(x), total);
    const double h = x / total;
    const double vega = norm * std::exp(-0.5 * (h * h + 0.25 * total * total)) /
                        kSqrt2Pi * std::sqrt(t);
    if (!(x > 0.0)) {
        return {norm * otm, vega};
    }
    if ((r == 0.0 && q == 0.0) || x > 1.0) {
        const double intrinsic = type == OptionType::Call ? spot - strike : strike - spot;
        return {norm * otm + intrinsic, vega};
    }
    return {norm * (otm + 2.0 * std::sinh(0.5 * x)), vega};
}

// Round trips over the whole domain: total volatility from 1e-4 to 5,
// log-moneyness up to 10 total volatilities either side (so in and out of
// the money and down to the smallest normal prices), both types, rates and
// yields of either sign.  Where the time value of a deep in-the-money
// option is lost in the price's rounding, those elements still come back,
// with a volatility that reprices them.
TEST(ImpliedVolatilityEuropean, RoundTripsAcrossTheDomain) {
    std::mt19937_64 rng(20261208);
    std::uniform_real_distribution<double> unit(0.0, 1.0);
    int solved = 0;
    for (int i = 0; i < 20000; ++i) {
        const double total = std::pow(10.0, -4.0 + 4.7 * unit(rng));
        const double t = std::pow(10.0, -2.0 + 3.0 * unit(rng));
        const double sigma = total / std::sqrt(t);
        const double z = 20.0 * unit(rng) - 10.0;  // standard deviations
        const double r = 0.1 * unit(rng) - 0.02;
        const double q = 0.08 * unit(rng) - 0.02;
        // k = 1 keeps ln(s/k) free of a rounded quotient, so the reference
        // price below and the solver see the same log-moneyness: deep in the
        // money an ulp of x is many ulps of the price.
        const double k = 1.0;
        const double s = std::exp(-z * total - (r - q) * t);
        const OptionType type = unit(rng) < 0.5 ? OptionType::Call : OptionType::Put;
        const Priced p = price_of(s, k, t, r, q, sigma, type);
        // Skip what a double price cannot determine: below the smallest
        // normal double, or within rounding of the upper bound (deep in the
        // money with k e^{-rt} below an ulp of s e^{-qt}).
        const double upper = type == OptionType::Call ? s * std::exp(-q * t) : k * std::exp(-r * t);
        if (!(p.price > std::numeric_limits<double>::min()) ||
            !(upper - p.price > 1e-14 * upper)) {
            continue;
        }
        const auto got = iv::european(p.price, s, k, t, r, q, type);
        ASSERT_TRUE(got.has_value()) << std::setprecision(17) << "price " << p.price << " s " << s
                                     << " k " << k << " t " << t << " r " << r << " q " << q;
        // Forward error within twice the allowance (the reference price
        // carries its own few ulps of rounding), or, where the time value is
        // itself only a few ulps of the price and the linear allowance
        // 4 ulp / vega no longer describes the set of volatilities the price
        // admits, backward error: the volatility reprices to within 8 ulps.
        const double repriced = price_of(s, k, t, r, q, *got, type).price;
        const double ulp = std::nextafter(p.price, INFINITY) - p.price;
        EXPECT_TRUE(std::fabs(*got - sigma) <= 2.0 * allowed_error(p.price, p.vega, sigma) ||
                    std::fabs(repriced - p.price) <= 8.0 * ulp)
            << std::setprecision(17) << "price " << p.price << " s " << s << " t " << t
            << " r " << r << " q " << q << " type " << static_cast<int>(type) << " sigma "
            << sigma << " got " << *got << " repriced " << repriced;
        ++solved;
    }
    EXPECT_GT(solved, 19000);
}

// The inversion of the normalised function alone, on every branch and down
// to normalised prices of 1e-300: b(x, s(beta)) reproduces beta.
TEST(ImpliedVolatilityEuropean, NormalisedInversionReproducesThePrice) {
    std::mt19937_64 rng(7);
    std::uniform_real_distribution<double> unit(0.0, 1.0);
    for (int i = 0; i < 20000; ++i) {
        const double x = -std::pow(10.0, -6.0 + 8.5 * unit(rng));
        const double s_c = std::sqrt(-2.0 * x);
        const double s = s_c * std::pow(10.0, -1.5 + 2.5 * unit(rng));
        const double beta = iv::detail::normalised_black(x, s);
        if (!(beta > 1e-300) || !(beta < std::exp(0.5 * x))) {
            continue;
        }
        const double solved = iv::detail::normalised_total_volatility(beta, x);
        const double h = x / s;
        const double vega = std::exp(-0.5 * (h * h + 0.25 * s * s)) / kSqrt2Pi;
        // beta carries the rounding of b at s, the solution that of b at
        // the root: twice the allowance.
        EXPECT_LE(std::fabs(solved - s), 2.0 * allowed_error(beta, vega, s))
            << std::setprecision(17) << "x " << x << " s " << s << " beta " << beta;
    }
}

struct BoundCase {
    const char* name;
    double price, s, k, t, r, q;
    OptionType type;
    Error expected;
};

// Upper bounds: s e^{-qt} for a call, k e^{-rt} for a put.  Lower bound: the
// discounted forward intrinsic value.
constexpr BoundCase kBoundCases[] = {
    {"negative price", -1e-300, 100.0, 100.0, 1.0, 0.05, 0.0, OptionType::Call,
     Error::BelowLowerBound},
    {"call below intrinsic", 19.99, 100.0, 80.0, 1.0, 0.0, 0.0, OptionType::Call,
     Error::BelowLowerBound},
    {"put below forward intrinsic", 19.0, 100.0, 120.0, 1.0, 0.0, 0.0, OptionType::Put,
     Error::BelowLowerBound},
    {"call at the spot bound", 100.0 * 0.9801986733067553, 100.0, 100.0, 1.0, 0.0, 0.02,
     OptionType::Call, Error::AboveUpperBound},
    {"call above the spot", 101.0, 100.0, 100.0, 1.0, 0.05, 0.0, OptionType::Call,
     Error::AboveUpperBound},
    {"put at the strike bound", 95.1229424500714, 100.0, 100.0, 1.0, 0.05, 0.0, OptionType::Put,
     Error::AboveUpperBound},
    {"expiry: intrinsic", 20.0, 120.0, 100.0, 0.0, 0.05, 0.0, OptionType::Call,
     Error::NoVolatilityInformation},
    {"expiry: out of the money at zero", 0.0, 100.0, 120.0, 0.0, 0.05, 0.0, OptionType::Call,
     Error::NoVolatilityInformation},
    {"expiry: above intrinsic", 20.5, 120.0, 100.0, 0.0, 0.05, 0.0, OptionType::Call,
     Error::AboveUpperBound},
    {"expiry: below intrinsic", 19.5, 100.0, 120.0, 0.0, 0.05, 0.0, OptionType::Put,
     Error::BelowLowerBound},
};

TEST(ImpliedVolatilityEuropean, PricesOutsideTheBoundsAreErrors) {
    for (const BoundCase& c : kBoundCases) {
        const auto got = iv::european(c.price, c.s, c.k, c.t, c.r, c.q, c.type);
        ASSERT_FALSE(got.has_value()) << c.name << ": " << *got;
        EXPECT_EQ(got.error(), c.expected) << c.name;
    }
}

// At the lower bound itself the price is that of zero volatility.
TEST(ImpliedVolatilityEuropean, ZeroVolatilityPricesGiveZero) {
    const double discount = std::exp(-0.05);
    const double forward_intrinsic = 100.0 - 80.0 * discount;  // q = 0, t = 1
    EXPECT_EQ(iv::european(forward_intrinsic, 100.0, 80.0, 1.0, 0.05, 0.0, OptionType::Call), 0.0);
    EXPECT_EQ(iv::european(0.0, 100.0, 120.0, 1.0, 0.05, 0.0, OptionType::Call), 0.0);
    EXPECT_EQ(iv::european(0.0, 100.0, 80.0, 1.0, 0.05, 0.0, OptionType::Put), 0.0);
}

}  // namespace
}  // namespace greekmill

namespace greekmill {
namespace {

namespace iv = implied_volatility;
using iv::Error;
using american::Accuracy;

// The accurate engine's value at a volatility, then its implied volatility:
// the volatility comes back to 1e-8 wherever the vega is above 1e-6 of the
// spot, and reprices to the engine's own rounding.  The inputs cover both
// types, in and out of the money, and the single-boundary and European
// regimes (a call with yields of either sign: without dividends it is never
// exercised early).  The double-boundary regime of negative rates is left
// to the engine's own tests: its grid solver is too slow for this suite
// under valgrind.
TEST(ImpliedVolatilityAmerican, RoundTripsThroughTheAccurateEngine) {
    std::mt19937_64 rng(12);
    std::uniform_real_distribution<double> unit(0.0, 1.0);
    for (int i = 0; i < 16; ++i) {
        const double s = 100.0;
        const double k = s * std::exp(0.4 * (unit(rng) - 0.5));
        const double t = 0.1 + 1.9 * unit(rng);
        const double r = 0.06 * unit(rng);
        const double q = 0.06 * unit(rng) - 0.01;
        const double sigma = 0.1 + 0.5 * unit(rng);
        const OptionType type = i % 2 == 0 ? OptionType::Put : OptionType::Call;
        const Result<american::Valuation> v =
            american::value_and_greeks(s, k, t, r, sigma, q, type, Accuracy::Accurate);
        ASSERT_TRUE(v.has_value());
        if (!(v->greeks.vega > 1e-6 * s)) {
            continue;
        }
        const auto got = iv::american(v->price, s, k, t, r, q, type, Accuracy::Accurate);
        ASSERT_TRUE(got.has_value()) << "k " << k << " t " << t << " r " << r << " q " << q;
        EXPECT_NEAR(*got, sigma, 1e-8) << "k " << k << " t " << t << " r " << r << " q " << q
                                       << " type " << static_cast<int>(type);
        const Result<double> repriced =
            american::price(s, k, t, r, *got, q, type, Accuracy::Accurate);
        EXPECT_NEAR(*repriced, v->price, 1e-12 * v->price);
    }
}

struct AmericanBoundCase {
    const char* name;
    double price, s, k, t, r, q;
    OptionType type;
    Error expected;
};

// Bounds of the American value: the exercise value below (and the value at
// zero volatility, which may exceed it), s for a call and k for a put above.
constexpr AmericanBoundCase kAmericanBoundCases[] = {
    {"negative price", -1.0, 100.0, 100.0, 1.0, 0.05, 0.0, OptionType::Put,
     Error::BelowLowerBound},
    {"put below exercise value", 19.5, 100.0, 120.0, 1.0, 0.05, 0.0, OptionType::Put,
     Error::BelowLowerBound},
    {"put at exercise value", 20.0, 100.0, 120.0, 1.0, 0.05, 0.0, OptionType::Put,
     Error::NoVolatilityInformation},
    // Without dividends the call is European: at zero volatility it is worth
    // s - k e^{-rt} = 24.878..., above the exercise value 20.
    {"call below its zero-volatility value", 22.0, 120.0, 100.0, 1.0, 0.05, 0.0,
     OptionType::Call, Error::BelowLowerBound},
    {"put at the strike", 120.0, 100.0, 120.0, 1.0, 0.05, 0.0, OptionType::Put,
     Error::AboveUpperBound},
    {"call above the spot", 100.5, 100.0, 90.0, 1.0, 0.05, 0.02, OptionType::Call,
     Error::AboveUpperBound},
    {"expiry: exercise value", 20.0, 100.0, 120.0, 0.0, 0.05, 0.0, OptionType::Put,
     Error::NoVolatilityInformation},
    // Out of the money the exercise value is 0: a positive price below 4 ulps
    // of the spot is some volatility's value, but below what the engine resolves.
    {"call below the resolution", 4.03e-15, 85.0, 123.5, 0.025946, 0.046326, 0.0,
     OptionType::Call, Error::BelowResolution},
    {"call at zero", 0.0, 85.0, 123.5, 0.025946, 0.046326, 0.0, OptionType::Call,
     Error::NoVolatilityInformation},
    {"expiry: above exercise value", 20.5, 100.0, 120.0, 0.0, 0.05, 0.0, OptionType::Put,
     Error::AboveUpperBound},
};

TEST(ImpliedVolatilityAmerican, PricesOutsideTheBoundsAreErrors) {
    for (const AmericanBoundCase& c : kAmericanBoundCases) {
        const auto got = iv::american(c.price, c.s, c.k, c.t, c.r, c.q, c.type, Accuracy::Accurate);
        ASSERT_FALSE(got.has_value()) << c.name << ": " << *got;
        EXPECT_EQ(got.error(), c.expected) << c.name;
    }
}

// Where early exercise is never optimal (a call without dividends) the
// American implied volatility is the European one.
TEST(ImpliedVolatilityAmerican, EqualsTheEuropeanWhereExerciseIsNeverOptimal) {
    const double price = 9.227005508154049;  // any price inside the bounds
    const auto european = iv::european(price, 100.0, 100.0, 1.0, 0.05, 0.0, OptionType::Call);
    const auto american =
        iv::american(price, 100.0, 100.0, 1.0, 0.05, 0.0, OptionType::Call, Accuracy::Accurate);
    ASSERT_TRUE(european.has_value());
    ASSERT_TRUE(american.has_value());
    EXPECT_NEAR(*american, *european, 1e-10);
}

}  // namespace
}  // namespace greekmill
