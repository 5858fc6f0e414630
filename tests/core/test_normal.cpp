#include <gtest/gtest.h>

#include <cmath>
#include <limits>

#include "option.hpp"
#include "support.hpp"

namespace greekmill {
namespace {

using testing::SameDouble;
using testing::ulp_distance;

constexpr double kInf = std::numeric_limits<double>::infinity();
constexpr double kNaN = std::numeric_limits<double>::quiet_NaN();

TEST(NormalCdf, ExactValuesAtCentreAndInfinities) {
    EXPECT_TRUE(SameDouble(normal_cdf(0.0), 0.5));
    EXPECT_TRUE(SameDouble(normal_cdf(-0.0), 0.5));
    EXPECT_TRUE(SameDouble(normal_cdf(kInf), 1.0));
    EXPECT_TRUE(SameDouble(normal_cdf(-kInf), 0.0));
    EXPECT_TRUE(std::isnan(normal_cdf(kNaN)));
}

TEST(NormalCdf, ReferenceValuesWithinTwoUlps) {
    struct Case {
        double x;
        double expected;
    };
    const Case cases[] = {
        {0.35, 0.636830651175619},
        {-0.35, 0.36316934882438096},
        {1.0, 0.8413447460685429},
        {-1.0, 0.15865525393145707},
    };
    for (const Case& c : cases) {
        EXPECT_LE(ulp_distance(normal_cdf(c.x), c.expected), 2u) << "x = " << c.x;
    }
}

TEST(NormalCdf, LowerTailKeepsRelativeAccuracy) {
    // Through erfc, Phi(-10) is about 7.6e-24, not 0 as 1 - Phi(10) would be.
    EXPECT_GT(normal_cdf(-10.0), 7.6e-24);
    EXPECT_LT(normal_cdf(-10.0), 7.7e-24);
    EXPECT_TRUE(SameDouble(normal_cdf(-40.0), 0.0));
    EXPECT_TRUE(SameDouble(normal_cdf(40.0), 1.0));
}

TEST(NormalPdf, CentreIsTheReciprocalOfTheRootTwoPiLiteral) {
    EXPECT_TRUE(SameDouble(normal_pdf(0.0), 1.0 / 2.5066282746310007));
    EXPECT_TRUE(SameDouble(normal_pdf(0.0), 0.39894228040143265));
}

TEST(NormalPdf, SymmetricBitForBitAndZeroAtInfinity) {
    for (double x = 0.0; x < 12.0; x += 0.37) {
        EXPECT_TRUE(SameDouble(normal_pdf(x), normal_pdf(-x))) << "x = " << x;
    }
    EXPECT_TRUE(SameDouble(normal_pdf(kInf), 0.0));
    EXPECT_TRUE(SameDouble(normal_pdf(-kInf), 0.0));
    EXPECT_TRUE(std::isnan(normal_pdf(kNaN)));
}

TEST(OptionError, DisplayTexts) {
    EXPECT_EQ(OptionError::invalid_option_type().message(), "Invalid option type");
    EXPECT_EQ(OptionError::invalid_parameters("").message(), "Invalid parameters: ");
    EXPECT_EQ(OptionError::invalid_parameters("sigma < 0").message(),
              "Invalid parameters: sigma < 0");
}

TEST(OptionError, CopiesOwnTheirText) {
    std::string text = "t must be positive";
    const OptionError original = OptionError::invalid_parameters(text);
    text.clear();
    const OptionError copy = original;  // NOLINT(performance-unnecessary-copy-initialization)
    EXPECT_EQ(copy.message(), "Invalid parameters: t must be positive");
    EXPECT_EQ(copy.kind(), OptionError::Kind::InvalidParameters);
}

}  // namespace
}  // namespace greekmill
