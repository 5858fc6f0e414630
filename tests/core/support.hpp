// Comparison helpers for the core tests: bit equality, ulp distance and
// agreement to a number of significant digits.
#pragma once

#include <gtest/gtest.h>

#include <bit>
#include <cmath>
#include <cstdint>
#include <iomanip>
#include <limits>

namespace greekmill::testing {

inline std::uint64_t bits(double x) { return std::bit_cast<std::uint64_t>(x); }

// Distance in units in the last place between two finite doubles.
inline std::uint64_t ulp_distance(double a, double b) {
    const auto ordered = [](double x) {
        const auto u = static_cast<std::int64_t>(bits(x));
        return u < 0 ? std::numeric_limits<std::int64_t>::min() - u : u;
    };
    const std::int64_t ia = ordered(a);
    const std::int64_t ib = ordered(b);
    return ia > ib ? static_cast<std::uint64_t>(ia - ib) : static_cast<std::uint64_t>(ib - ia);
}

// Same double bit for bit (NaN payloads aside: two NaNs are the same).
inline ::testing::AssertionResult SameDouble(double actual, double expected) {
    if ((std::isnan(actual) && std::isnan(expected)) || bits(actual) == bits(expected)) {
        return ::testing::AssertionSuccess();
    }
    return ::testing::AssertionFailure()
           << std::setprecision(17) << actual << " differs from " << expected;
}

// `actual` agrees with a reference printed to `digits` significant digits:
// within one unit of the last printed digit.
inline ::testing::AssertionResult Digits(double actual, double reference, int digits) {
    const double unit =
        std::pow(10.0, std::floor(std::log10(std::fabs(reference))) - (digits - 1));
    if (std::fabs(actual - reference) <= unit) {
        return ::testing::AssertionSuccess();
    }
    return ::testing::AssertionFailure() << std::setprecision(17)
           << actual << " differs from " << reference << " in the first " << digits
           << " significant digits";
}

}  // namespace greekmill::testing
