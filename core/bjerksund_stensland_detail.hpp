// Building blocks of the Bjerksund-Stensland call value.  Internal to the
// core: call_price is assembled from these, and the core tests reach the
// intermediates (shape constants, triggers, the twelve terms) through
// `internals` without widening the public interface.
#pragma once

#include <array>
#include <cmath>

#include "option.hpp"

namespace greekmill::bjerksund_stensland::detail {

// The life T is split at the golden-section point t1 = 0.6180339887498949 T,
// (sqrt(5) - 1) / 2 rounded to double (0x3FE3C6EF372FE950).
inline constexpr double kSplit = 0.6180339887498949;

// Generalized Black-Scholes European call with cost of carry b.  The caller
// passes v = sigma^2, sqrt(T) and ln(S / K) so that the American branch
// computes each of them once.
[[nodiscard]] inline double european_call(double S, double K, double T, double r, double b,
                                          double sigma, double v, double sqrt_T,
                                          double ln_s_k) noexcept {
    const double d1 = (ln_s_k + (0.5 * v + b) * T) / (sqrt_T * sigma);
    const double d2 = d1 - sqrt_T * sigma;
    return (std::exp((b - r) * T) * S) * normal_cdf(d1) -
           (std::exp((-r) * T) * K) * normal_cdf(d2);
}

// Shape constants of the flat trigger: beta is the power of S in the
// perpetual solution, the trigger runs from b0 (at expiry) towards b_inf
// (the perpetual trigger) as the remaining life grows.
struct Shape {
    double v;      // sigma^2
    double beta;
    double b_inf;  // beta / (beta - 1) K
    double b0;     // max(r / (r - b) K, K), a NaN operand ignored
};

[[nodiscard]] inline Shape shape(double K, double r, double b, double sigma) noexcept {
    const double v = sigma * sigma;
    const double u = b / v;
    const double beta = std::sqrt((r + r) / v + (u - 0.5) * (u - 0.5)) + (0.5 - u);
    const double b_inf = (beta / (beta - 1.0)) * K;
    const double lower = (r / (r - b)) * K;
    double b0 = lower > K ? lower : K;
    if (std::isnan(lower)) {
        b0 = K;
    } else if (std::isnan(K)) {
        b0 = lower;
    }
    return {v, beta, b_inf, b0};
}

// Exponent h(tau) of the trigger for a remaining life tau.
[[nodiscard]] inline double trigger_exponent(const Shape& sh, double tau, double sqrt_tau,
                                             double b, double sigma) noexcept {
    return (-(sqrt_tau * (sigma + sigma) + tau * b) * sh.b0) / (sh.b_inf - sh.b0);
}

// The flat exercise trigger I(tau) for exponent h = h(tau).
[[nodiscard]] inline double trigger(const Shape& sh, double h) noexcept {
    return (1.0 - std::exp(h)) * (sh.b_inf - sh.b0) + sh.b0;
}

// The twelve-term approximation for triggers I1 (horizon t1) and I2 (T).
struct Approximation {
    double t1;
    double h1;       // h(t1)
    double i1;       // I(t1)
    double alpha1;   // I1^-beta (I1 - K)
    double alpha2;   // I2^-beta (I2 - K)
    std::array<double, 12> terms;  // signed as they enter the sum
    double a;        // the sum, accumulated left to right
};

[[nodiscard]] inline Approximation twelve_terms(double S, double K, double T, double r, double b,
                                                double sigma, const Shape& sh, double sqrt_T,
                                                double i2, double ln_s_k) noexcept {
    const double v = sh.v;
    const double beta = sh.beta;

    const double t1 = kSplit * T;
    const double sqrt_t1 = std::sqrt(t1);
    const double h1 = trigger_exponent(sh, t1, sqrt_t1, b, sigma);
    const double i1 = trigger(sh, h1);
    const double alpha1 = std::pow(i1, -beta) * (i1 - K);
    const double alpha2 = std::pow(i2, -beta) * (i2 - K);

    // Quantities shared by the six terms of each horizon.  Every distinct
    // power, logarithm and reflection factor is computed once.
    const double s_pow_beta = std::pow(S, beta);
    const double m_beta = (beta - 0.5) * v + b;
    const double m_one = b + 0.5 * v;
    const double m_zero = b - 0.5 * v;
    const double w = (b + b) / v;
    const double ratio = i1 / S;
    const double reflect_beta = std::pow(ratio, ((beta + beta) - 1.0) + w);
    const double reflect_one = std::pow(ratio, 1.0 + w);
    const double reflect_zero = std::pow(ratio, w - 1.0);
    // ln(I1 / S) for the reflection shift, ln(S / I1) for the distance: two
    // logarithms of the two quotients, as the approximation is written, not
    // one negated logarithm.
    const double ln_i1_s = std::log(i1 / S);
    const double ln_s_i1 = std::log(S / i1);
    const double ln_s_i2 = std::log(S / i2);

    struct Horizon {
        double tau;
        double sigma_tau;  // sqrt(tau) sigma
        double z;          // 2 ln(I1 / S) / sigma_tau
        double p_beta;     // exp(lambda(beta, tau)) S^beta
        double p_one;      // exp(lambda(1, tau)) S
        double p_zero;     // exp(lambda(0, tau))
    };
    const auto horizon = [&](double tau, double sqrt_tau) noexcept {
        const double sigma_tau = sqrt_tau * sigma;
        return Horizon{
            tau,
            sigma_tau,
            (ln_i1_s + ln_i1_s) / sigma_tau,
            std::exp(tau * (((beta * 0.5) * (beta - 1.0)) * v) + (tau * (b * beta) - tau * r)) *
                s_pow_beta,
            std::exp(tau * b - tau * r) * S,
            std::exp(-(tau * r)),
        };
    };
    // G(gamma, H, tau) = P (Phi(D) - R Phi(D - z)),  D = -(tau m + ln(S / H)) / sigma_tau.
    const auto g = [](const Horizon& hz, double p, double m, double reflect,
                      double ln_s_h) noexcept {
        const double d = -(hz.tau * m + ln_s_h) / hz.sigma_tau;
        return p * (normal_cdf(d) - reflect * normal_cdf(d - hz.z));
    };

    const Horizon a = horizon(t1, sqrt_t1);
    const Horizon z = horizon(T, sqrt_T);
    const std::array<double, 12> terms{
        alpha1 * g(a, a.p_beta, m_beta, reflect_beta, ln_s_i1),
        -(alpha1 * g(a, a.p_beta, m_beta, reflect_beta, ln_s_i2)),
        g(a, a.p_one, m_one, reflect_one, ln_s_i2),
        -g(a, a.p_one, m_one, reflect_one, ln_s_k),
        -(g(a, a.p_zero, m_zero, reflect_zero, ln_s_i2) * K),
        g(a, a.p_zero, m_zero, reflect_zero, ln_s_k) * K,
        alpha2 * g(z, z.p_beta, m_beta, reflect_beta, ln_s_i2),
        -(alpha2 * g(z, z.p_beta, m_beta, reflect_beta, ln_s_i1)),
        g(z, z.p_one, m_one, reflect_one, ln_s_i1),
        -g(z, z.p_one, m_one, reflect_one, ln_s_i2),
        -(g(z, z.p_zero, m_zero, reflect_zero, ln_s_i1) * K),
        g(z, z.p_zero, m_zero, reflect_zero, ln_s_i2) * K,
    };
    double sum = terms[0];
    for (std::size_t i = 1; i < terms.size(); ++i) {
        sum += terms[i];
    }
    return {t1, h1, i1, alpha1, alpha2, terms, sum};
}

// Every intermediate of one evaluation, computed whatever branch call_price
// would take.  For tests and diagnostics only.
struct Internals {
    Shape shape;
    double h2;  // h(T)
    double i2;  // I(T)
    Approximation approx;
    double european;
};

[[nodiscard]] inline Internals internals(double S, double K, double T, double r, double b,
                                         double sigma) noexcept {
    const Shape sh = shape(K, r, b, sigma);
    const double sqrt_T = std::sqrt(T);
    const double h2 = trigger_exponent(sh, T, sqrt_T, b, sigma);
    const double i2 = trigger(sh, h2);
    const double ln_s_k = std::log(S / K);
    return {sh, h2, i2, twelve_terms(S, K, T, r, b, sigma, sh, sqrt_T, i2, ln_s_k),
            european_call(S, K, T, r, b, sigma, sh.v, sqrt_T, ln_s_k)};
}

}  // namespace greekmill::bjerksund_stensland::detail
