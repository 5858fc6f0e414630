// The result every solver of the engine returns: the value of a put and its
// derivatives in natural units (per unit of spot, per year of time to expiry,
// per 1.0 of volatility and of each rate).  Calls reach the solvers through
// put-call symmetry and greekmill's units are applied once, in american.cpp.
#pragma once

#include <cmath>

#include "fast/fast_math.hpp"
#include "option.hpp"

namespace greekmill::american::detail {

struct PutResult {
    double value;
    double delta;    // dV/dS
    double gamma;    // d2V/dS2
    double dtau;     // dV/dT, T the time to expiry
    double dsigma;   // dV/dsigma
    double drate;    // dV/dr
    double dyield;   // dV/dq
};

// The put exercised now: K - S, delta -1.
[[nodiscard]] inline PutResult exercised_put(double s, double k) noexcept {
    PutResult x{};
    x.value = k - s;
    x.delta = -1.0;
    return x;
}

// The European put (Black-Scholes-Merton with a continuous yield) and its
// derivatives; t > 0 and sigma > 0.  The engine's own helper, on the
// kernels of core/fast/ (never the platform's maths library), so that its
// bits are the same on every machine.
[[nodiscard]] inline PutResult european_put(double s, double k, double t, double r, double q,
                                            double sigma) noexcept {
    const double sqrt_t = std::sqrt(t);
    const double v = sigma * sqrt_t;
    const double d_plus = (fast::log(s / k) + (r - q) * t) / v + 0.5 * v;
    const double d_minus = d_plus - v;
    const double dr = fast::exp(-r * t);
    const double dq = fast::exp(-q * t);
    const double n_minus = fast::normal_cdf(-d_minus);
    const double n_plus = fast::normal_cdf(-d_plus);
    const double density = fast::normal_pdf(d_plus);
    PutResult x{};
    x.value = k * dr * n_minus - s * dq * n_plus;
    x.delta = -dq * n_plus;
    x.gamma = dq * density / (s * v);
    x.dsigma = s * dq * density * sqrt_t;
    x.drate = -k * t * dr * n_minus;
    x.dyield = s * t * dq * n_plus;
    // The Black-Scholes equation: dV/dT = sigma^2 s^2 gamma / 2 + (r - q) s delta - r V.
    x.dtau = 0.5 * sigma * sigma * s * s * x.gamma + (r - q) * s * x.delta - r * x.value;
    return x;
}

}  // namespace greekmill::american::detail
