#include "quadrature.hpp"

#include <cmath>
#include <numbers>

namespace greekmill::american::detail {
namespace {

// Gauss-Legendre nodes x_j and weights on [-1, 1] by Newton's method on the
// three-term recurrence of P_n, started from Tricomi's approximation.
void gauss_legendre(int n, double* x, double* w) noexcept {
    for (int i = 0; i < n; ++i) {
        double z = std::cos(std::numbers::pi * (i + 0.75) / (n + 0.5));
        double derivative = 1.0;
        for (int iteration = 0; iteration < 100; ++iteration) {
            double p0 = 1.0;
            double p1 = z;
            for (int k = 2; k <= n; ++k) {
                const double p2 = ((2.0 * k - 1.0) * z * p1 - (k - 1.0) * p0) / k;
                p0 = p1;
                p1 = p2;
            }
            if (n == 1) {
                p0 = 1.0;
            }
            derivative = n * (z * p1 - p0) / (z * z - 1.0);
            const double step = p1 / derivative;
            z -= step;
            if (std::fabs(step) < 1e-16) {
                break;
            }
        }
        x[i] = z;
        w[i] = 2.0 / ((1.0 - z * z) * derivative * derivative);
    }
}

void fill_rule(int n, GaussRule& rule) noexcept {
    std::array<double, kMaxP> x{};
    std::array<double, kMaxP> w{};
    gauss_legendre(n, x.data(), w.data());
    for (int j = 0; j < n; ++j) {
        const double theta = std::numbers::pi * 0.25 * (1.0 + x[j]);
        rule.sin[j] = std::sin(theta);
        rule.cos[j] = std::cos(theta);
        rule.weight[j] = std::numbers::pi * 0.25 * w[j];
    }
}

// Barycentric Lagrange weights of the Chebyshev-Lobatto nodes at y
// (Berrut and Trefethen 2004, the second form): w_k = (-1)^k, halved at the
// two ends.
void lagrange_weights(const Tables& t, double y, double* out) noexcept {
    const int n = t.tier.n;
    double sum = 0.0;
    for (int k = 0; k <= n; ++k) {
        if (y == t.node[k]) {
            for (int m = 0; m <= n; ++m) {
                out[m] = m == k ? 1.0 : 0.0;
            }
            return;
        }
    }
    for (int k = 0; k <= n; ++k) {
        const double sign = (k % 2 == 0) ? 1.0 : -1.0;
        const double half = (k == 0 || k == n) ? 0.5 : 1.0;
        out[k] = sign * half / (y - t.node[k]);
        sum += out[k];
    }
    for (int k = 0; k <= n; ++k) {
        out[k] /= sum;
    }
}

void build(const Tier& tier, Tables& t) noexcept {
    t.tier = tier;
    for (int k = 0; k <= tier.n; ++k) {
        t.node[k] = 0.5 * (1.0 - std::cos(std::numbers::pi * k / tier.n));
    }
    t.node[0] = 0.0;
    t.node[tier.n] = 1.0;
    fill_rule(tier.l, t.boundary_rule);
    fill_rule(tier.p, t.premium_rule);
    for (int i = 1; i <= tier.n; ++i) {
        for (int j = 0; j < tier.l; ++j) {
            lagrange_weights(t, t.node[i] * t.boundary_rule.sin[j], t.lagrange[i][j].data());
        }
    }
    for (int j = 0; j < tier.p; ++j) {
        lagrange_weights(t, t.premium_rule.sin[j], t.premium_lagrange[j].data());
    }
}

// The three tiers' tables, filled in place (they are too large for a
// temporary on a worker thread's stack).
struct AllTables {
    Tables fast{};
    Tables accurate{};
    Tables high{};
    AllTables() noexcept {
        build(kFast, fast);
        build(kAccurate, accurate);
        build(kHigh, high);
    }
};

}  // namespace

void build_tables(const Tier& tier, Tables& out) noexcept {
    build(tier, out);
}

const Tables& tables(Accuracy accuracy) noexcept {
    // Built on first use, read-only afterwards; C++ makes the initialisation
    // of a function-local static thread-safe.
    static const AllTables all;
    switch (accuracy) {
        case Accuracy::Fast:
            return all.fast;
        case Accuracy::High:
            return all.high;
        case Accuracy::Accurate:
        default:
            return all.accurate;
    }
}

}  // namespace greekmill::american::detail
