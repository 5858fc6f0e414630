// Closed-form Black-Scholes-Merton sensitivities of a European option on an
// underlying with a continuous dividend yield.  Units: delta and gamma per
// unit of spot, theta per calendar day, vega per 1.0 of volatility, rho per
// percentage point of rate.  Every operation succeeds for every input.
#pragma once

#include "option.hpp"

namespace greekmill::black_scholes {

[[nodiscard]] Result<double> delta(double s, double k, double t, double r, double sigma, double q,
                                   OptionType type) noexcept;
[[nodiscard]] Result<double> gamma(double s, double k, double t, double r, double sigma,
                                   double q) noexcept;
[[nodiscard]] Result<double> theta(double s, double k, double t, double r, double sigma, double q,
                                   OptionType type) noexcept;
[[nodiscard]] Result<double> vega(double s, double k, double t, double r, double sigma,
                                  double q) noexcept;
[[nodiscard]] Result<double> rho(double s, double k, double t, double r, double sigma, double q,
                                 OptionType type) noexcept;
// All five at once; every field equals the single operation bit for bit.
[[nodiscard]] Result<Greeks> all_greeks(double s, double k, double t, double r, double sigma,
                                        double q, OptionType type) noexcept;

}  // namespace greekmill::black_scholes
