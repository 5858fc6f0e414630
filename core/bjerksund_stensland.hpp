// American options after Bjerksund and Stensland (2002): a closed-form
// two-step approximation with flat exercise triggers, built from the
// univariate normal distribution only, and its Greeks by finite differences.
//
// The American value of an option is
//     V = max(call_price(...), intrinsic value),
// where a put is priced as a call by the put-call transformation
//     P(S, K, T, r, b, sigma) = C(K, S, T, r - b, -b, sigma).
// V is never NaN and never negative.  Units of the Greeks match the European
// ones: theta is the change of value over one calendar day, vega per 1.0 of
// volatility, rho per percentage point of rate.
#pragma once

#include "option.hpp"

namespace greekmill::bjerksund_stensland {

// American call value in cost-of-carry form: spot S, strike K, expiry T in
// years, rate r, cost of carry b (r - q for a call), volatility sigma.  Never
// below the European value of the same inputs where the approximation is
// evaluated; an expired option is worth max(S - K, 0).
[[nodiscard]] double call_price(double S, double K, double T, double r, double b,
                                double sigma) noexcept;

[[nodiscard]] Result<double> price(double s, double k, double t, double r, double sigma, double q,
                                   OptionType type) noexcept;

// Finite differences of the American value V:
//   delta  (V(s + h) - V(s - h)) / 2h,             h = 0.0001 s
//   gamma  (V(s + h) - 2 V(s) + V(s - h)) / h^2
//   theta  V(max(t - 1/365, 0.0001)) - V(t)        one calendar day, not rescaled
//   vega   (V(sigma + 0.0001) - V(sigma - 0.0001)) / 0.0002
//   rho    (V(r + 0.0001) - V(r - 0.0001)) / 0.0002 / 100
[[nodiscard]] Result<double> delta(double s, double k, double t, double r, double sigma, double q,
                                   OptionType type) noexcept;
[[nodiscard]] Result<double> gamma(double s, double k, double t, double r, double sigma, double q,
                                   OptionType type) noexcept;
[[nodiscard]] Result<double> theta(double s, double k, double t, double r, double sigma, double q,
                                   OptionType type) noexcept;
[[nodiscard]] Result<double> vega(double s, double k, double t, double r, double sigma, double q,
                                  OptionType type) noexcept;
[[nodiscard]] Result<double> rho(double s, double k, double t, double r, double sigma, double q,
                                 OptionType type) noexcept;
// All five; every field equals the single operation bit for bit.  The eleven
// evaluations of the singles contain three repeats (gamma's bumped spots are
// delta's, gamma's centre is theta's "now"), so this evaluates V eight times.
[[nodiscard]] Result<Greeks> all_greeks(double s, double k, double t, double r, double sigma,
                                        double q, OptionType type) noexcept;

}  // namespace greekmill::bjerksund_stensland
