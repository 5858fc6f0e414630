// The normalised Black function and its inversion: the building blocks of
// implied_volatility::european, internal to the core.  The core tests reach
// them here to compare them with high-precision references.
//
// Normalised Black price of an out-of-the-money call (Jaeckel 2015, eq. 2.1):
//   b(x, s) = e^{x/2} Phi(x/s + s/2) - e^{-x/2} Phi(x/s - s/2),  x <= 0,
// with x = ln(F / K) and s = sigma sqrt(t); b rises from 0 at s = 0 to
// b_max = e^{x/2} as s grows.  Every price reduces to it:
//   price = D sqrt(F K) b(theta x, s)   (plus the intrinsic value when
//   theta x > 0, after put-call parity),  D = e^{-rt}.
#pragma once

namespace greekmill::implied_volatility::detail {

// erfcx(y) = e^{y^2} erfc(y) for y >= 0, within a few ulps.
[[nodiscard]] double scaled_erfc(double y) noexcept;

// Mills ratio R(z) = Phi(-z) / phi(z) = sqrt(pi/2) erfcx(z / sqrt 2), z >= 0.
[[nodiscard]] double mills_ratio(double z) noexcept;

// b(x, s) for x <= 0 and s >= 0, to a few ulps relative wherever the result
// is a normal double.
[[nodiscard]] double normalised_black(double x, double s) noexcept;

// The total volatility s with b(x, s) = beta, for x <= 0 and
// 0 < beta < e^{x/2}.  Returns NaN only if the iteration breaks down.
[[nodiscard]] double normalised_total_volatility(double beta, double x) noexcept;

// Phi^{-1}(p) for 0 < p <= 1/2, to about 1e-9 relative: enough for the
// initial guesses, which is all it is used for.
[[nodiscard]] double inverse_normal_cdf_lower(double p) noexcept;

}  // namespace greekmill::implied_volatility::detail
