// The QD+ approximation of the exercise boundary of a put (Li 2010, after
// Ju and Zhong 1999): the starting point of the fixed-point iteration of
// Andersen, Lake and Offengenden (2016, section 4.3).
#pragma once

namespace greekmill::american::detail {

// Critical spot B(tau) / K of a put with strike 1, for r > 0, sigma > 0,
// tau > 0; x_limit = B(0+) / K = min(1, r / q).  The result lies in
// (0, x_limit].  guess starts the root search (the previous node's value).
[[nodiscard]] double qd_plus_boundary(double tau, double r, double q, double sigma,
                                      double x_limit, double guess) noexcept;

}  // namespace greekmill::american::detail
