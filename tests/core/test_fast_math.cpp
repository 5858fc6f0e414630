#include <gtest/gtest.h>

#include "fast/fast_math.hpp"

TEST(FastMath, Placeholder) { EXPECT_EQ(greekmill::fast::exp(0.0), 1.0); }
