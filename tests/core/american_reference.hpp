// An independent reference for the American engine, written for the tests:
// a binomial tree whose last step uses the Black-Scholes value (Broadie and
// Detemple's BBS), with Richardson extrapolation over N and N/2 steps (BBSR).
// It takes the maximum with the exercise value at every node, so it needs no
// assumption about the shape of the exercise region (one or two boundaries).
#pragma once

#include <cmath>
#include <vector>

namespace greekmill::testing {

inline double reference_normal_cdf(double x) { return 0.5 * std::erfc(-x / std::sqrt(2.0)); }

// Black-Scholes-Merton European value, written here independently of the core.
inline double reference_european(double s, double k, double t, double r, double sigma, double q,
                                 bool call) {
    if (t <= 0.0 || sigma <= 0.0) {
        const double forward = s * std::exp(-q * t) - k * std::exp(-r * t);
        return std::fmax(call ? forward : -forward, 0.0);
    }
    const double v = sigma * std::sqrt(t);
    const double d1 = (std::log(s / k) + (r - q + 0.5 * sigma * sigma) * t) / v;
    const double d2 = d1 - v;
    if (call) {
        return s * std::exp(-q * t) * reference_normal_cdf(d1) -
               k * std::exp(-r * t) * reference_normal_cdf(d2);
    }
    return k * std::exp(-r * t) * reference_normal_cdf(-d2) -
           s * std::exp(-q * t) * reference_normal_cdf(-d1);
}

inline double bbs_tree(double s, double k, double t, double r, double sigma, double q, bool call,
                       int steps) {
    const double dt = t / steps;
    const double u = std::exp(sigma * std::sqrt(dt));
    const double d = 1.0 / u;
    const double p = (std::exp((r - q) * dt) - d) / (u - d);
    const double discount = std::exp(-r * dt);
    // Plain comparisons (no NaN reaches the tree): std::fmax is a library
    // call and would dominate the run time.
    const double sign = call ? 1.0 : -1.0;
    const auto exercise = [&](double spot) {
        const double x = sign * (spot - k);
        return x > 0.0 ? x : 0.0;
    };
    std::vector<double> v(steps);
    const double u2 = u * u;
    double spot = s * std::pow(u, -(steps - 1));
    for (int j = 0; j < steps; ++j, spot *= u2) {
        v[j] = std::fmax(exercise(spot), reference_european(spot, k, dt, r, sigma, q, call));
    }
    for (int n = steps - 2; n >= 0; --n) {
        spot = s * std::pow(u, -n);
        for (int j = 0; j <= n; ++j, spot *= u2) {
            const double hold = discount * (p * v[j + 1] + (1.0 - p) * v[j]);
            const double now = exercise(spot);
            v[j] = now > hold ? now : hold;
        }
    }
    return v[0];
}

// BBSR: 2 V(N) - V(N/2).
inline double reference_american(double s, double k, double t, double r, double sigma, double q,
                                 bool call, int steps = 1200) {
    return 2.0 * bbs_tree(s, k, t, r, sigma, q, call, steps) -
           bbs_tree(s, k, t, r, sigma, q, call, steps / 2);
}

}  // namespace greekmill::testing
