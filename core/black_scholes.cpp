#include "black_scholes.hpp"

#include <cmath>
#include <limits>
#include <utility>

namespace greekmill::black_scholes {
namespace {

// e rounded to double (0x4005BF0A8B145769).
constexpr double kE = 2.718281828459045;
constexpr double kDaysPerYear = 365.0;
constexpr double kPercent = 100.0;

// The terms every Greek is built from.  d1 keeps the quotient inside one
// logarithm, ln(s / k), not ln s - ln k: the difference of two logarithms
// loses digits when s is close to k.
struct Terms {
    double sqrt_t;
    double v;   // sigma * sqrt(t)
    double d1;
    double d2;
    double dq;  // exp(-q t)
};

[[nodiscard]] inline Terms terms(double s, double k, double t, double r, double sigma,
                                 double q) noexcept {
    const double sqrt_t = std::sqrt(t);
    const double v = sqrt_t * sigma;
    const double d1 = ((sigma * sigma * 0.5 + (r - q)) * t + std::log(s / k)) / v;
    const double d2 = d1 - v;
    const double dq = std::exp((-q) * t);
    return {sqrt_t, v, d1, d2, dq};
}

[[nodiscard]] inline double delta_of(const Terms& x, OptionType type) noexcept {
    // The put delta comes from Phi(-d1) directly; dq * (Phi(d1) - 1) would
    // cancel catastrophically deep out of the money.
    if (type == OptionType::Put) {
        return (-x.dq) * normal_cdf(-x.d1);
    }
    return x.dq * normal_cdf(x.d1);
}

[[nodiscard]] inline double gamma_of(const Terms& x, double s, double t, double sigma,
                                     double q) noexcept {
    // Gamma's dividend discount is pow(e, -q t), not exp(-q t): the two differ
    // in the last bit for about half of all arguments, and gamma has always
    // been quoted with the power form.
    const double p = std::pow(kE, (-q) * t);
    return p * normal_pdf(x.d1) / ((s * sigma) * x.sqrt_t);
}

[[nodiscard]] inline double vega_of(const Terms& x, double s) noexcept {
    return ((x.dq * s) * normal_pdf(x.d1)) * x.sqrt_t;
}

[[nodiscard]] inline double rho_of(const Terms& x, double k, double t, double r,
                                   OptionType type) noexcept {
    const double dr = std::exp((-r) * t);
    if (type == OptionType::Put) {
        return normal_cdf(-x.d2) * (dr * ((-k) * t)) / kPercent;
    }
    return normal_cdf(x.d2) * (dr * (k * t)) / kPercent;
}

}  // namespace

Result<double> delta(double s, double k, double t, double r, double sigma, double q,
                     OptionType type) noexcept {
    return delta_of(terms(s, k, t, r, sigma, q), type);
}

Result<double> gamma(double s, double k, double t, double r, double sigma, double q) noexcept {
    return gamma_of(terms(s, k, t, r, sigma, q), s, t, sigma, q);
}

Result<double> theta(double s, double k, double t, double r, double sigma, double q,
                     OptionType type) noexcept {
    const Terms x = terms(s, k, t, r, sigma, q);
    const double dr = std::exp((-r) * t);
    // The divisor 2 sqrt(t) is formed as sqrt(t) + sqrt(t): exact, and the
    // form the reference values were computed with.
    const double a = -((sigma * s) * x.dq) * normal_pdf(x.d1) / (x.sqrt_t + x.sqrt_t);
    const double b = (k * r) * dr;
    const double c = (s * q) * x.dq;
    const double annual = type == OptionType::Put
                              ? (b * normal_cdf(-x.d2) + a) - c * normal_cdf(-x.d1)
                              : (a - b * normal_cdf(x.d2)) + c * normal_cdf(x.d1);
    return annual / kDaysPerYear;
}

Result<double> vega(double s, double k, double t, double r, double sigma, double q) noexcept {
    return vega_of(terms(s, k, t, r, sigma, q), s);
}

Result<double> rho(double s, double k, double t, double r, double sigma, double q,
                   OptionType type) noexcept {
    return rho_of(terms(s, k, t, r, sigma, q), k, t, r, type);
}

namespace {

// What the value and the five Greeks have in common, each computed once and
// with the very expression the single operations use, so that sharing them
// changes no bit.  Phi of the option's own sign: Phi(d1), Phi(d2) for a
// call, Phi(-d1), Phi(-d2) for a put.
struct Shared {
    Terms x;
    double dr;    // exp(-r t)
    double cdf1;  // Phi(+-d1)
    double cdf2;  // Phi(+-d2)
    double pdf1;  // phi(d1)
    bool put;
};

[[nodiscard]] inline Shared shared_terms(double s, double k, double t, double r, double sigma,
                                         double q, OptionType type) noexcept {
    const Terms x = terms(s, k, t, r, sigma, q);
    const bool put = type == OptionType::Put;
    return {x,
            std::exp((-r) * t),
            normal_cdf(put ? -x.d1 : x.d1),
            normal_cdf(put ? -x.d2 : x.d2),
            normal_pdf(x.d1),
            put};
}

// The groupings are those of delta_of, gamma_of, theta, vega_of and rho_of.
[[nodiscard]] inline Greeks greeks_of(const Shared& z, double s, double k, double t, double r,
                                      double sigma, double q) noexcept {
    const Terms& x = z.x;
    const double delta = z.put ? (-x.dq) * z.cdf1 : x.dq * z.cdf1;
    const double p = std::pow(kE, (-q) * t);
    const double gamma = p * z.pdf1 / ((s * sigma) * x.sqrt_t);
    const double a = -((sigma * s) * x.dq) * z.pdf1 / (x.sqrt_t + x.sqrt_t);
    const double b = (k * r) * z.dr;
    const double c = (s * q) * x.dq;
    const double annual = z.put ? (b * z.cdf2 + a) - c * z.cdf1 : (a - b * z.cdf2) + c * z.cdf1;
    const double vega = ((x.dq * s) * z.pdf1) * x.sqrt_t;
    const double rho = z.put ? z.cdf2 * (z.dr * ((-k) * t)) / kPercent
                             : z.cdf2 * (z.dr * (k * t)) / kPercent;
    return Greeks{delta, gamma, annual / kDaysPerYear, vega, rho};
}

[[nodiscard]] double extended_out_of_the_money(double s, double k, double t, double r,
                                               double sigma, double q, OptionType type) noexcept;

// The value from the terms, exp(-r t) and Phi(+-d1), Phi(+-d2) of the
// option's sign.
[[nodiscard]] inline double value_of(const Terms& x, double dr, double cdf1, double cdf2,
                                     double s, double k, double t, double r, double sigma,
                                     double q, OptionType type) noexcept {
    const bool put = type == OptionType::Put;
    const double sq = s * x.dq;
    const double kr = k * dr;
    const double plus = put ? kr * cdf2 : sq * cdf1;
    const double minus = put ? sq * cdf1 : kr * cdf2;
    const double value = plus - minus;
    // More than three quarters of the larger term cancelled: the rounding
    // errors of the terms would be magnified more than fourfold.  Or a term
    // left the range of a double where the value need not: sigma^2 overflows
    // past sigma ~ 1e154 (d1 infinite, though d1 ~ v / 2 and d2 ~ -v / 2), or
    // exp(-r t) overflows while Phi(d2) underflows (inf * 0).  Extended
    // precision has the range for both.
    if ((minus > 0.75 * plus && std::isfinite(plus)) || !std::isfinite(x.d1) ||
        !std::isfinite(value)) {
        return extended_out_of_the_money(s, k, t, r, sigma, q, type);
    }
    return value;
}

}  // namespace

Result<Greeks> all_greeks(double s, double k, double t, double r, double sigma, double q,
                          OptionType type) noexcept {
    return greeks_of(shared_terms(s, k, t, r, sigma, q, type), s, k, t, r, sigma, q);
}

Result<Valuation> valuation(double s, double k, double t, double r, double sigma, double q,
                            OptionType type) noexcept {
    const Shared z = shared_terms(s, k, t, r, sigma, q, type);
    return Valuation{value_of(z.x, z.dr, z.cdf1, z.cdf2, s, k, t, r, sigma, q, type),
                     greeks_of(z, s, k, t, r, sigma, q)};
}

namespace {

// The out-of-the-money value with the two terms of the formula formed in
// x87 extended precision (64-bit significand): eleven more bits than the
// difference can cancel in the cases where this path is taken.
[[nodiscard]] double extended_out_of_the_money(double s, double k, double t, double r,
                                               double sigma, double q, OptionType type) noexcept {
    using ld = long double;
    const ld sqrt_t = std::sqrt(static_cast<ld>(t));
    const ld v = sqrt_t * sigma;
    const ld d1 = ((static_cast<ld>(sigma) * sigma * 0.5L + (static_cast<ld>(r) - q)) * t +
                   std::log(static_cast<ld>(s) / k)) / v;
    const ld d2 = d1 - v;
    const ld sq = static_cast<ld>(s) * std::exp(-static_cast<ld>(q) * t);
    const ld kr = static_cast<ld>(k) * std::exp(-static_cast<ld>(r) * t);
    constexpr ld kSqrt2L = 1.41421356237309504880168872420969808L;
    const auto cdf = [](ld x) { return std::erfc(-x / kSqrt2L) * 0.5L; };
    const ld value = type == OptionType::Put ? kr * cdf(-d2) - sq * cdf(-d1)
                                             : sq * cdf(d1) - kr * cdf(d2);
    return value > 0.0L ? static_cast<double>(value) : 0.0;
}

}  // namespace

Result<double> price(double s, double k, double t, double r, double sigma, double q,
                     OptionType type) noexcept {
    const Terms x = terms(s, k, t, r, sigma, q);
    const bool put = type == OptionType::Put;
    // Phi(-d) for the put, never 1 - Phi(d): the lower tail comes from erfc.
    return value_of(x, std::exp((-r) * t), normal_cdf(put ? -x.d1 : x.d1),
                    normal_cdf(put ? -x.d2 : x.d2), s, k, t, r, sigma, q, type);
}

bool zero_total_volatility(double t, double sigma) noexcept {
    // Past these bounds the product cannot underflow, and the square root
    // (the slow part of the test) is skipped.
    if (t > 1e-200 && sigma > 1e-100) {
        return false;
    }
    return std::sqrt(t) * sigma == 0.0;
}

namespace {

// Phi(d1), Phi(d2) in the limit of zero total volatility: 1, 0 or 1/2 by the
// sign of the log-moneyness of the forward.
struct ZeroVolatilityTerms {
    double cdf;        // Phi(d1) = Phi(d2)
    double pdf;        // phi(d1) = phi(d2): phi(0) at the money forward, else 0
    bool at_forward;
    double dq;
    double dr;
};

[[nodiscard]] ZeroVolatilityTerms zero_volatility_terms(double s, double k, double t, double r,
                                                        double sigma, double q) noexcept {
    const double m = (sigma * sigma * 0.5 + (r - q)) * t + std::log(s / k);
    const bool at_forward = m == 0.0;
    return {m > 0.0 ? 1.0 : (at_forward ? 0.5 : 0.0), at_forward ? 1.0 / kSqrt2Pi : 0.0,
            at_forward, std::exp((-q) * t), std::exp((-r) * t)};
}

}  // namespace

double price_at_zero_volatility(double s, double k, double t, double r, double sigma, double q,
                                OptionType type) noexcept {
    (void)sigma;
    const double forward_value = s * std::exp((-q) * t);
    const double strike_value = k * std::exp((-r) * t);
    const double value =
        type == OptionType::Put ? strike_value - forward_value : forward_value - strike_value;
    return value > 0.0 ? value : 0.0;
}

Greeks greeks_at_zero_volatility(double s, double k, double t, double r, double sigma, double q,
                                 OptionType type) noexcept {
    const ZeroVolatilityTerms z = zero_volatility_terms(s, k, t, r, sigma, q);
    const bool put = type == OptionType::Put;
    const double cdf = put ? 1.0 - z.cdf : z.cdf;  // Phi(-d) for the put: 0, 1 or 1/2, exact
    const double delta = put ? (-z.dq) * cdf : z.dq * cdf;
    const double gamma = z.at_forward ? std::numeric_limits<double>::infinity() : 0.0;
    // The density term -s sigma e^(-qt) phi(d1) / (2 sqrt t): off the forward
    // the density vanishes faster than sqrt(t); at it, it diverges at expiry
    // when there is volatility, and is 0 without volatility.
    const double density_term = (z.at_forward && t == 0.0 && sigma > 0.0)
                                    ? -std::numeric_limits<double>::infinity()
                                    : 0.0;
    const double b = (k * r) * z.dr;
    const double c = (s * q) * z.dq;
    const double annual = put ? (b * cdf + density_term) - c * cdf
                              : (density_term - b * cdf) + c * cdf;
    const double vega = ((z.dq * s) * z.pdf) * std::sqrt(t);
    const double rho = put ? cdf * (z.dr * ((-k) * t)) / kPercent
                           : cdf * (z.dr * (k * t)) / kPercent;
    return Greeks{delta, gamma, annual / kDaysPerYear, vega, rho};
}

}  // namespace greekmill::black_scholes
