#include "black_scholes.hpp"

#include <cmath>
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

Result<Greeks> all_greeks(double s, double k, double t, double r, double sigma, double q,
                          OptionType type) noexcept {
    const Terms x = terms(s, k, t, r, sigma, q);
    Result<double> th = theta(s, k, t, r, sigma, q, type);
    if (!th) {
        return std::unexpected(std::move(th).error());
    }
    return Greeks{delta_of(x, type), gamma_of(x, s, t, sigma, q), *th, vega_of(x, s),
                  rho_of(x, k, t, r, type)};
}

}  // namespace greekmill::black_scholes
