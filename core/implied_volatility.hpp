// Implied volatility: the Black-Scholes-Merton volatility (continuous yield)
// that reproduces a European price, and the volatility under which the
// accurate American engine reproduces an American price.
//
// Inputs reach these functions only inside the domain checked by the
// callers: every value finite, s > 0, k > 0, t >= 0; r and q of any sign.
// A price outside the no-arbitrage bounds, or one that carries no
// information about volatility, is an Error, never a value.
//
// European (Jaeckel, "Let's Be Rational", Wilmott 2015): the price becomes
// the normalised out-of-the-money Black price beta of log-moneyness
// x = ln(F / K) <= 0 and total volatility s = sigma sqrt(t); a rational
// initial guess on one of four branches of beta(s) and two third-order
// Householder steps on an objective transformed per branch give s to the
// accuracy the double price allows, down to normalised prices of the
// smallest positive double.
//
// Bounds (D = e^{-rt} the discount, F = s e^{(r-q)t} the forward):
//   lower: the discounted forward intrinsic D max(theta (F - K), 0), which
//          is the price at zero volatility.  A price within the rounding of
//          the inputs (8 ulps of the normalised price) of it gives 0; one
//          further below is BelowLowerBound.  A negative price is always
//          BelowLowerBound.
//   upper: s e^{-qt} for a call, k e^{-rt} for a put, the limit as the
//          volatility grows without bound.  A price at or above it is
//          AboveUpperBound.
//   t == 0: every volatility gives the intrinsic value max(theta (s - k), 0):
//          a price equal to it (within 8 ulps) is NoVolatilityInformation,
//          one below BelowLowerBound, one above AboveUpperBound.
//
// American: the value is the European value plus an early-exercise premium
// that varies slowly with sigma.  Each step prices once with the engine (see
// american.hpp), models the premium as linear through the last two steps'
// premiums, and solves European value + model = price with the European
// solver: the first step is the European implied volatility of the
// de-Americanised price, the later ones a secant method on the premium with
// the European part exact.  A bracket of the root (the value rises with
// sigma) catches every step that leaves it, so the iteration never diverges.
// The engine's own vega is not used: value and Greeks cost about five
// prices, the whole solve about three.  A price equal to the exercise value
// max(theta (s - k), 0) (within 4 ulps) is NoVolatilityInformation: early
// exercise makes it the value of every low enough volatility.  Where that
// value is 0 (out of the money) a positive price within those 4 ulps of
// max(s or k, price) is BelowResolution instead: some volatility gives it,
// but it lies below the rounding of the engine's values.  A price below
// it, or below the engine's value at zero volatility, is BelowLowerBound; at
// or above s (call) or k (put) AboveUpperBound.
#pragma once

#include <cstdint>
#include <expected>

#include "american/american.hpp"
#include "option.hpp"

namespace greekmill::implied_volatility {

// Each maps onto one batch::Failure of the array kernels (core/batch/columns.hpp):
// PriceBelowLowerBound, PriceAboveUpperBound, NoVolatilityInformation,
// NotConverged, PriceBelowResolution.
enum class Error : std::uint8_t {
    BelowLowerBound,
    AboveUpperBound,
    NoVolatilityInformation,
    NotConverged,
    BelowResolution,
};

[[nodiscard]] std::expected<double, Error> european(double price, double s, double k, double t,
                                                    double r, double q,
                                                    OptionType type) noexcept;

[[nodiscard]] std::expected<double, Error> american(double price, double s, double k, double t,
                                                    double r, double q, OptionType type,
                                                    greekmill::american::Accuracy accuracy) noexcept;

}  // namespace greekmill::implied_volatility
