#include <gtest/gtest.h>

#include <bit>
#include <cfloat>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <limits>
#include <random>
#include <string>

#include "fixed_format.hpp"

namespace greekmill::python {
namespace {

std::string fixed6(double x) {
    std::string out;
    append_fixed6(out, x);
    return out;
}

// glibc's printf prints the exact binary value, rounded to nearest with ties
// to even: an independent reference for every finite double.
std::string printf_fixed6(double x) {
    const int n = std::snprintf(nullptr, 0, "%.6f", x);
    std::string out(static_cast<std::size_t>(n) + 1, '\0');
    std::snprintf(out.data(), out.size(), "%.6f", x);
    out.resize(static_cast<std::size_t>(n));
    return out;
}

TEST(FixedFormat, Table) {
    struct Case {
        double value;
        const char* text;
    };
    const Case cases[] = {
        {0.5, "0.500000"},
        {0.0199, "0.019900"},
        {-0.0175, "-0.017500"},
        {std::numeric_limits<double>::quiet_NaN(), "NaN"},
        {-std::numeric_limits<double>::quiet_NaN(), "NaN"},
        {std::numeric_limits<double>::infinity(), "inf"},
        {-std::numeric_limits<double>::infinity(), "-inf"},
        {0.0, "0.000000"},
        {-0.0, "-0.000000"},
        {-0.0000001, "-0.000000"},
        {1e20, "100000000000000000000.000000"},
        {0.0078125, "0.007812"},   // a tie: to the even digit 2
        {0.0234375, "0.023438"},   // a tie: to the even digit 8
        {0.0000005, "0.000000"},   // the double nearest 5e-7 lies just below it
        {0.0000015, "0.000002"},   // ... and nearest 1.5e-6 just above
        {123456789.0, "123456789.000000"},
        {std::numeric_limits<double>::denorm_min(), "0.000000"},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(fixed6(c.value), c.text) << c.text;
    }
}

TEST(FixedFormat, HugeValuesAreWrittenInFull) {
    const std::string max = fixed6(DBL_MAX);
    EXPECT_EQ(max.size(), 309u + 7u);
    EXPECT_EQ(max.substr(0, 17), "17976931348623157");
    EXPECT_EQ(max.substr(max.size() - 7), ".000000");
    EXPECT_EQ(fixed6(-DBL_MAX), "-" + max);
    EXPECT_EQ(fixed6(1e300), printf_fixed6(1e300));
}

TEST(FixedFormat, AgreesWithPrintfOnRandomBitPatterns) {
    std::mt19937_64 rng(42);
    for (int i = 0; i < 200000; ++i) {
        const double x = std::bit_cast<double>(rng());
        if (!std::isfinite(x)) {
            continue;
        }
        ASSERT_EQ(fixed6(x), printf_fixed6(x)) << std::bit_cast<std::uint64_t>(x);
    }
}

TEST(FixedFormat, AgreesWithPrintfNearTies) {
    // Values n / 128 + tiny offsets exercise the tie-breaking rule.
    for (int n = -4096; n <= 4096; ++n) {
        const double tie = n / 128.0;
        for (double x : {tie, std::nextafter(tie, -1e9), std::nextafter(tie, 1e9)}) {
            ASSERT_EQ(fixed6(x), printf_fixed6(x)) << x;
        }
    }
}

}  // namespace
}  // namespace greekmill::python
