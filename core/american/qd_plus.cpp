#include "qd_plus.hpp"

#include <cmath>

#include "option.hpp"

namespace greekmill::american::detail {
namespace {

struct QdTerms {
    double h;            // 1 - exp(-r tau)
    double alpha;        // 2 r / sigma^2
    double beta;         // 2 (r - q) / sigma^2
    double lambda;       // the negative root of the perpetual-style quadratic
    double lambda_prime; // d lambda / d h
};

// The residual of Li's boundary equation (2010, eq. 11 with the QD+
// correction c0 of eq. 14): at the critical spot S*,
//   (1 - e^{-q tau} Phi(-d1(S*))) S* + (lambda + c0) (K - S* - p(S*)) = 0,
// which is value matching plus smooth pasting of p + A (S/S*)^(lambda + c0).
double residual(double s, double tau, double r, double q, double sigma,
                const QdTerms& c) noexcept {
    const double v = sigma * std::sqrt(tau);
    const double d1 = (std::log(s) + (r - q) * tau) / v + 0.5 * v;
    const double d2 = d1 - v;
    const double dr = std::exp(-r * tau);
    const double dq = std::exp(-q * tau);
    const double put = dr * normal_cdf(-d2) - s * dq * normal_cdf(-d1);
    // Theta of the European put in calendar time, dp/dt = -dp/dtau.
    const double theta = r * dr * normal_cdf(-d2) - q * s * dq * normal_cdf(-d1) -
                         0.5 * sigma * s * dq * normal_pdf(d1) / std::sqrt(tau);
    const double premium = 1.0 - s - put;
    const double denominator = 2.0 * c.lambda + c.beta - 1.0;
    double c0 = 0.0;
    if (premium > 1e-300) {
        c0 = -((1.0 - c.h) * c.alpha / denominator) *
             (1.0 / c.h - theta / (r * dr * premium) + c.lambda_prime / denominator);
    }
    return (1.0 - dq * normal_cdf(-d1)) * s + (c.lambda + c0) * premium;
}

}  // namespace

double qd_plus_boundary(double tau, double r, double q, double sigma, double x_limit,
                        double guess) noexcept {
    const double sigma2 = sigma * sigma;
    QdTerms c{};
    c.h = -std::expm1(-r * tau);
    c.alpha = 2.0 * r / sigma2;
    c.beta = 2.0 * (r - q) / sigma2;
    const double root = std::sqrt((c.beta - 1.0) * (c.beta - 1.0) + 4.0 * c.alpha / c.h);
    c.lambda = 0.5 * (-(c.beta - 1.0) - root);
    c.lambda_prime = c.alpha / (c.h * c.h * root);

    // The secant method in ln S from the guess, kept inside (0, X]: the
    // result only starts the Newton iteration of the boundary, so 1e-6 in
    // ln S is plenty.
    const double upper = std::log(x_limit);
    const double lower = upper - 50.0;
    // Steps on the scale of the boundary's distance from X, sigma sqrt(tau).
    const double scale = sigma * std::sqrt(tau);
    double x0 = std::fmin(std::log(guess), upper - 0.1 * scale);
    double x1 = x0 - 0.5 * scale;
    double f0 = residual(std::exp(x0), tau, r, q, sigma, c);
    double f1 = residual(std::exp(x1), tau, r, q, sigma, c);
    for (int iteration = 0; iteration < 20; ++iteration) {
        if (!std::isfinite(f0) || !std::isfinite(f1) || f1 == f0) {
            break;
        }
        double next = x1 - f1 * (x1 - x0) / (f1 - f0);
        if (!std::isfinite(next)) {
            break;
        }
        next = std::fmin(next, 0.5 * (x1 + upper));
        next = std::fmax(next, 0.5 * (x1 + lower));
        x0 = x1;
        f0 = f1;
        x1 = next;
        if (std::fabs(x1 - x0) < 1e-5 * scale) {
            break;
        }
        f1 = residual(std::exp(x1), tau, r, q, sigma, c);
    }
    if (!std::isfinite(x1)) {
        return x_limit;
    }
    return std::exp(x1);
}

}  // namespace greekmill::american::detail
