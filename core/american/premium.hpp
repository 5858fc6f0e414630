// The value of an American put as the European value plus the early-exercise
// premium integrated along the exercise boundary (Kim 1990; ALO 2016,
// eq. 2.5), and its derivatives from the same boundary.
#pragma once

#include "boundary.hpp"
#include "put_result.hpp"

namespace greekmill::american::detail {

// s above the boundary at t (continuation region); strike k.
[[nodiscard]] double premium_value(const Boundary& b, double s, double k) noexcept;

// Value and all derivatives.  Delta and gamma differentiate the
// representation in s (the boundary does not depend on s); dV/dT comes from
// the Black-Scholes equation; the parameter derivatives add to the
// fixed-boundary derivative the boundary's own sensitivity.
[[nodiscard]] PutResult premium_value_and_greeks(const Boundary& b,
                                                 const BoundarySensitivity& sensitivity,
                                                 double s, double k) noexcept;

}  // namespace greekmill::american::detail
