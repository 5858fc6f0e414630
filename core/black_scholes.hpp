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

// The value and the five Greeks from one evaluation of their common terms
// (d1, d2, the discount factors, Phi(+-d1), Phi(+-d2), phi(d1)): each field
// equals price() or the single Greek bit for bit.
struct Valuation {
    double price;
    Greeks greeks;
};
[[nodiscard]] Result<Valuation> valuation(double s, double k, double t, double r, double sigma,
                                          double q, OptionType type) noexcept;

// The Black-Scholes-Merton value.  Out of the money the two terms of the
// formula nearly cancel when sigma sqrt(t) is small against |d1|; there the
// difference is formed in extended precision, so the value keeps its
// relative accuracy down to the far tail.
[[nodiscard]] Result<double> price(double s, double k, double t, double r, double sigma, double q,
                                   OptionType type) noexcept;

// The limits of the formulas where the total volatility sigma sqrt(t) is 0
// (at expiry, or without volatility): d1 and d2 go to +-infinity by the sign
// of m = ln(s / k) + (r - q) t, or are 0 exactly at the money forward (m = 0).
// Off the money forward every term with the density vanishes; at it, gamma is
// +infinity, vega s e^(-qt) sqrt(t) phi(0), and theta's density term is
// -infinity at expiry with sigma > 0.  The value is the discounted intrinsic
// value of the forward, max(s e^(-qt) - k e^(-rt), 0) for a call.
[[nodiscard]] bool zero_total_volatility(double t, double sigma) noexcept;
[[nodiscard]] double price_at_zero_volatility(double s, double k, double t, double r,
                                              double sigma, double q, OptionType type) noexcept;
[[nodiscard]] Greeks greeks_at_zero_volatility(double s, double k, double t, double r,
                                               double sigma, double q, OptionType type) noexcept;

}  // namespace greekmill::black_scholes
