#include "quadrature.hpp"

#include <cmath>
#include <numbers>

namespace greekmill::american::detail {
namespace {

// pi/2 as a head and a tail (0x3FF921FB54442D18 and 0x3C91A62633145C07), so
// that pi/2 - theta keeps its digits for theta close to pi/2.
constexpr double kHalfPiHi = 0x1.921fb54442d18p0;
constexpr double kHalfPiLo = 0x1.1a62633145c07p-54;

// sin and cos of |x| <= pi/4 by their Taylor series (the first term left out
// is below 2e-18 relative there), summed by Horner's rule from the top.
void sin_cos_quarter(double x, double& sin_x, double& cos_x) noexcept {
    const double z = x * x;
    double s = 0.0;
    double c = 0.0;
    for (int k = 11; k >= 1; --k) {
        // sin: sum (-1)^k x^(2k+1) / (2k+1)!, cos: sum (-1)^k x^(2k) / (2k)!.
        s = 1.0 - z * s / ((2.0 * k) * (2.0 * k + 1.0));
        c = 1.0 - z * c / ((2.0 * k - 1.0) * (2.0 * k));
    }
    sin_x = x * s;
    cos_x = c;
}

}  // namespace

// The engine's own sine and cosine: nothing here may depend on the platform's
// maths library, so that the tables (and every value priced with them) have
// the same bits on every machine.
SinCos sin_cos(double theta) noexcept {
    SinCos out{};
    if (theta <= 0.25 * kHalfPiHi * 2.0) {
        sin_cos_quarter(theta, out.sin, out.cos);
    } else {
        const double c = (kHalfPiHi - theta) + kHalfPiLo;
        sin_cos_quarter(c, out.cos, out.sin);
    }
    return out;
}

double arc_cos(double c) noexcept {
    // Newton's method on cos(theta) = c from the Chebyshev-like start
    // pi/2 - c: the iteration is monotone once past the first step.
    double theta = kHalfPiHi - c;
    for (int i = 0; i < 40; ++i) {
        const SinCos sc = sin_cos(theta);
        const double step = (sc.cos - c) / sc.sin;
        theta += step;
        if (!(std::fabs(step) > 1e-16 * theta)) {
            break;
        }
    }
    return theta;
}

namespace {

// cos(x) for x in [0, pi].
double cos_of(double x) noexcept {
    if (x <= kHalfPiHi) {
        return sin_cos(x).cos;
    }
    return -sin_cos((2.0 * kHalfPiHi - x) + 2.0 * kHalfPiLo).cos;
}

// Gauss-Legendre nodes x_j and weights on [-1, 1] by Newton's method on the
// three-term recurrence of P_n, started from Tricomi's approximation.
void gauss_legendre(int n, double* x, double* w) noexcept {
    for (int i = 0; i < n; ++i) {
        double z = cos_of(std::numbers::pi * (i + 0.75) / (n + 0.5));
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
        const SinCos sc = sin_cos(theta);
        rule.sin[j] = sc.sin;
        rule.cos[j] = sc.cos;
        rule.weight[j] = std::numbers::pi * 0.25 * w[j];
        rule.x[j] = x[j];
        rule.w[j] = w[j];
    }
}

// Barycentric Lagrange weights of the Chebyshev-Lobatto nodes at y
// (Berrut and Trefethen 2004, the second form): w_k = (-1)^k, halved at the
// two ends.
void barycentric(const Tables& t, double y, double* out) noexcept {
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
        // (1 - cos(k pi / n)) / 2 = sin^2(k pi / (2 n)), without the cancellation.
        const double sine = sin_cos(std::numbers::pi * 0.5 * k / tier.n).sin;
        t.node[k] = sine * sine;
    }
    t.node[0] = 0.0;
    t.node[tier.n] = 1.0;
    fill_rule(tier.l, t.boundary_rule);
    fill_rule(tier.p, t.premium_rule);
    for (int i = 1; i <= tier.n; ++i) {
        for (int j = 0; j < tier.l; ++j) {
            barycentric(t, t.node[i] * t.boundary_rule.sin[j], t.lagrange[i][j].data());
            for (int k = 0; k <= tier.n; ++k) {
                t.lagrange_by_node[i][k][j] = t.lagrange[i][j][k];
            }
        }
    }
    for (int j = 0; j < tier.p; ++j) {
        barycentric(t, t.premium_rule.sin[j], t.premium_lagrange[j].data());
    }
}

// The tiers' tables, filled in place (they are too large for a temporary on
// a worker thread's stack).
struct AllTables {
    Tables fast{};
    Tables fast_long{};
    Tables accurate{};
    Tables accurate_long{};
    Tables high{};
    Tables high_long{};
    AllTables() noexcept {
        build(kFast, fast);
        build(kFastLong, fast_long);
        build(kAccurate, accurate);
        build(kAccurateLong, accurate_long);
        build(kHigh, high);
        build(kHighLong, high_long);
    }
};

}  // namespace

void build_tables(const Tier& tier, Tables& out) noexcept {
    build(tier, out);
}

void lagrange_weights(const Tables& t, double y, double* out) noexcept {
    barycentric(t, y, out);
}

const Tables& tables(Accuracy accuracy, double total_volatility) noexcept {
    // Built on first use, read-only afterwards; C++ makes the initialisation
    // of a function-local static thread-safe.
    static const AllTables all;
    const bool long_setting = total_volatility >= kLongTotalVolatility;
    switch (accuracy) {
        case Accuracy::Fast:
            return long_setting ? all.fast_long : all.fast;
        case Accuracy::High:
            return long_setting ? all.high_long : all.high;
        case Accuracy::Accurate:
        default:
            return long_setting ? all.accurate_long : all.accurate;
    }
}

}  // namespace greekmill::american::detail
