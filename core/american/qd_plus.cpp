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

    // The root in ln S, bracketed: the residual is negative as S -> 0 (the
    // second term tends to (lambda + c0) K (1 - e^{-r tau}) < 0) and
    // positive next to X, where lambda ~ -1/(sigma sqrt tau) dominates.  The
    // search starts at the guess (the previous node's root) and expands in
    // steps of the boundary's natural scale sigma sqrt(tau); the Illinois
    // variant of regula falsi then needs a handful of evaluations.  The
    // result only starts Newton's method, and QD+ itself is good to a few 1e-3, so
    // 2e-3 of the scale is plenty.
    const double upper = std::log(x_limit);
    const double scale = sigma * std::sqrt(tau);
    const auto f = [&](double x) { return residual(std::exp(x), tau, r, q, sigma, c); };
    double x = std::fmin(std::log(guess), upper - 0.01 * scale);
    double fx = f(x);
    if (!std::isfinite(fx)) {
        return x_limit;
    }
    double a = x;
    double fa = fx;
    double b = x;
    double fb = fx;
    double step = 0.25 * scale;
    for (int i = 0; i < 60 && (fa >= 0.0) == (fb >= 0.0); ++i) {
        if (fx >= 0.0) {
            a = b - step;  // root below
            fa = f(a);
            if (fa >= 0.0) {
                b = a;
                fb = fa;
            }
        } else {
            b = std::fmin(a + step, upper);  // root above
            fb = f(b);
            if (fb < 0.0) {
                if (b >= upper) {
                    return x_limit;
                }
                a = b;
                fa = fb;
            }
        }
        step *= 3.0;
        if (!std::isfinite(fa) || !std::isfinite(fb)) {
            return x_limit;
        }
    }
    if ((fa >= 0.0) == (fb >= 0.0)) {
        return x_limit;
    }
    // Illinois: f(a) < 0 < f(b).
    if (fa > 0.0) {
        std::swap(a, b);
        std::swap(fa, fb);
    }
    int side = 0;
    double x_root = 0.5 * (a + b);
    for (int i = 0; i < 40; ++i) {
        x_root = (a * fb - b * fa) / (fb - fa);
        const double fr = f(x_root);
        if (!std::isfinite(fr)) {
            break;
        }
        if (fr < 0.0) {
            a = x_root;
            fa = fr;
            if (side == -1) {
                fb *= 0.5;
            }
            side = -1;
        } else {
            b = x_root;
            fb = fr;
            if (side == 1) {
                fa *= 0.5;
            }
            side = 1;
        }
        if (std::fabs(b - a) < 2e-3 * scale || fr == 0.0) {
            break;
        }
    }
    return std::exp(std::fmin(x_root, upper));
}

}  // namespace greekmill::american::detail
