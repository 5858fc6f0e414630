// The accurate American engine: the early-exercise boundary as the solution
// of the integral equation of the early-exercise premium (Andersen, Lake and
// Offengenden, 2016), the value by the premium integral, and the five Greeks
// from the same boundary.  Pure functions; tier tables are constants.
//
// Inputs reach the engine only inside the domain checked by the callers:
// every value finite, s > 0, k > 0, t >= 0, sigma >= 0; r and q of any sign.
// Units as everywhere in the core: theta per calendar day, vega per 1.0 of
// volatility, rho per percentage point of rate.
#pragma once

#include <cstdint>

#include "option.hpp"

namespace greekmill::american {

// Accuracy tiers: the number of boundary nodes, fixed-point iterations and
// quadrature points; each tier's measured error is in the README.
enum class Accuracy : std::uint8_t { Fast = 0, Accurate = 1, High = 2 };

struct Valuation {
    double price;
    Greeks greeks;
};

[[nodiscard]] Result<double> price(double s, double k, double t, double r, double sigma, double q,
                                   OptionType type, Accuracy accuracy) noexcept;

// The value and all five Greeks from one boundary solve.
[[nodiscard]] Result<Valuation> value_and_greeks(double s, double k, double t, double r,
                                                 double sigma, double q, OptionType type,
                                                 Accuracy accuracy) noexcept;

// The critical spot at time to expiry tau: a put is exercised at or below
// it, a call at or above it.  Where early exercise is never optimal the
// boundary is 0 for a put and +infinity for a call.  With sigma = 0 or
// tau = 0 it is the limit B(0+) = K min(1, r/q) (put) or K max(1, r/q)
// (call).  In the double-boundary regime (put q < r < 0, call r < q < 0)
// the exercise region is an interval, not a half-line: an OptionError.
[[nodiscard]] Result<double> exercise_boundary(double tau, double k, double r, double sigma,
                                               double q, OptionType type,
                                               Accuracy accuracy) noexcept;

}  // namespace greekmill::american
