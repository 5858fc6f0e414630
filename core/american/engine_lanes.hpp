// The spectral engine on the lane kernels of core/fast/: the QD+ start, the
// FP-B system and its Newton steps, the premium integral and the Greeks.
// Included once by each spectral_*.cpp, which defines GREEKMILL_FAST_ISA,
// GREEKMILL_FAST_LANES and GREEKMILL_SPECTRAL_TABLE.
//
// How the bits stay the same at every width: the quadrature points of a node
// (and the points of the premium integral) are independent lanes, each
// computed by the same sequence of IEEE operations whatever the vector holds
// beside it; every sum over points, nodes or interpolation weights runs in
// scalar code in one fixed order; the scalar exp, log and normal functions
// are lane 0 of the same kernels.  The core is built with -ffp-contract=off
// and without fast-math, so nothing is fused or reassociated.
#pragma once

#ifndef GREEKMILL_FAST_ISA
#error "include engine_lanes.hpp only from a per-instruction-set translation unit"
#endif

#include <algorithm>
#include <array>
#include <cmath>
#include <cstring>
#include <functional>
#include <limits>
#include <memory>
#include <new>
#include <numbers>

#include "american/boundary.hpp"
#include "american/put_result.hpp"
#include "american/quadrature.hpp"
#include "american/engine.hpp"
#include "fast/lanes.hpp"

namespace greekmill::american::detail::GREEKMILL_FAST_ISA {
namespace {

namespace lanes = greekmill::fast::GREEKMILL_FAST_ISA;

constexpr int kN = GREEKMILL_FAST_LANES;
using D = lanes::Lanes<kN>::D;
using D2 = lanes::D2;

// 1 / sqrt(2 pi) rounded to double (0x3FD9884533D43651).
constexpr double kInvSqrt2Pi = 0x1.9884533d43651p-2;
// Columns are padded to a whole number of vectors of the widest build.
constexpr int kPad = 8;
constexpr int kMaxPoints = 4 * kMaxP;  // up to four pieces of the premium integral
// Newton steps give way to chord steps once a step was below this.  (Chords
// from larger steps, 3e-3 or 3e-2, cost the accurate tier 6x and 60x its
// RMSE on the puts for 10-25 % of its time.)
constexpr double kChordBelow = 1e-4;
constexpr int kExtraSteps = 2;

[[nodiscard]] constexpr int padded(int count) noexcept { return (count + kPad - 1) / kPad * kPad; }

[[gnu::always_inline]] inline D load(const double* p) noexcept {
    D v;
    std::memcpy(&v, p, sizeof v);
    return v;
}

[[gnu::always_inline]] inline void store(double* p, D v) noexcept { std::memcpy(p, &v, sizeof v); }

[[gnu::always_inline]] inline D splat(double x) noexcept { return lanes::splat<D>(x); }

// Scalar values: lane 0 of the kernels.
[[gnu::always_inline]] inline double exp1(double x) noexcept {
    return lanes::exp(lanes::splat<D2>(x))[0];
}
[[gnu::always_inline]] inline double log1(double x) noexcept {
    return lanes::log(lanes::splat<D2>(x))[0];
}
[[gnu::always_inline]] inline double cdf1(double x) noexcept {
    return lanes::normal_cdf(lanes::splat<D2>(x))[0];
}

// e^x - 1 without the cancellation of exp(x) - 1 for small x: the Taylor
// series below 1/2 (the first term left out, x^18/18!, is below 3e-22).
[[nodiscard]] inline double exp_minus_one(double x) noexcept {
    if (!(std::fabs(x) < 0.5)) {
        return exp1(x) - 1.0;
    }
    double sum = 0.0;
    for (int k = 17; k >= 1; --k) {
        sum = x / k * (1.0 + sum);
    }
    return sum;
}

// ---- Work arrays: one set per thread, made on first use (they are too
// large for a small thread stack, and allocating per option would cost).

// Quantities of the FP-B map at node i and point j that do not change
// between iterations: sigma sqrt(tau_i - u_j), its reciprocal, tau_i - u_j,
// exp(-q (tau_i - u_j)), and the weights of int f du / sqrt(tau - u) (already
// divided by sigma) and of int f du.
struct NodeGrid {
    // Per node (padded with copies of the last node, for lanes over nodes):
    // tau_i, sigma sqrt(tau_i), exp(-q tau_i), and from the current iterate
    // the node's own terms of the map.
    alignas(64) double tau[kLagrangeRow];
    alignas(64) double sigma_sqrt_tau[kLagrangeRow];
    alignas(64) double discount_q_0[kLagrangeRow];
    alignas(64) double d_plus_0[kLagrangeRow];
    alignas(64) double psi_0[kLagrangeRow];
    alignas(64) double cap_psi_0[kLagrangeRow];
    alignas(64) double z_0[kLagrangeRow];
    alignas(64) double ratio[kLagrangeRow];  // N(tau_i) / D(tau_i)
    alignas(64) double sv[kMaxN + 1][kMaxL];
    alignas(64) double inv_sv[kMaxN + 1][kMaxL];
    alignas(64) double v[kMaxN + 1][kMaxL];
    alignas(64) double discount_q[kMaxN + 1][kMaxL];
    alignas(64) double weight_n[kMaxN + 1][kMaxL];
    alignas(64) double weight_d[kMaxN + 1][kMaxL];
    // G(u_j) at the points of each node, from the current iterate.
    alignas(64) double g_u[kMaxN + 1][kMaxL];
    // Points per node (l, or 2 l where the integral is split), and the
    // interpolation weights at them: rows[j * kLagrangeRow + k] and
    // columns[k * kMaxL + j], the tier's tables or, at split nodes, the
    // option's own below.
    std::array<int, kMaxN + 1> count;
    std::array<const double*, kMaxN + 1> rows;
    std::array<const double*, kMaxN + 1> columns;
    alignas(64) double split_rows[kMaxN + 1][kMaxL][kLagrangeRow];
    alignas(64) double split_columns[kMaxN + 1][kMaxN + 1][kMaxL];
};

// The discrete system at the current nodes: the residual F(ln B) - ln B, the
// Newton matrix I - dF/d ln B and the right-hand sides dF/dp (+ the part that
// moves with X).  Rows and columns 1..n are stored from 0.
struct System {
    std::array<std::array<double, kMaxN>, kMaxN> matrix;
    std::array<std::array<double, 4>, kMaxN> rhs;  // [residual, sigma, r, q]
    std::array<int, kMaxN> pivot;
    std::array<bool, kMaxN> row_finite;
};

// The points of the premium integral (up to four pieces when it is split).
struct PremiumPoints {
    alignas(64) double sin[kMaxPoints];
    alignas(64) double cos[kMaxPoints];
    alignas(64) double weight[kMaxPoints];
    alignas(64) double g[kMaxPoints];
    alignas(64) double b[kMaxPoints];  // B(u) / K
    alignas(64) double dr[kMaxPoints];
    alignas(64) double dq[kMaxPoints];
    alignas(64) double n_minus[kMaxPoints];
    alignas(64) double n_plus[kMaxPoints];
    alignas(64) double pdf[kMaxPoints];
    alignas(64) double d_plus[kMaxPoints];
    // Interpolation weights of the points of a split integral.
    double lagrange[kMaxPoints][kMaxN + 1];
};

struct Workspace {
    NodeGrid grid;
    System system;
    PremiumPoints premium;
};

[[nodiscard]] Workspace* workspace() noexcept {
    thread_local std::unique_ptr<Workspace> held;
    if (!held) {
        held.reset(new (std::nothrow) Workspace);
    }
    return held.get();
}

// The negative root of sigma^2 x (x - 1) / 2 + (r - q) x - r = 0 (r >= 0; 0
// when r = 0 and q >= -sigma^2 / 2):
// the perpetual put's exponent; its boundary is K lambda / (lambda - 1)
// (McKean 1965; Merton 1973).
[[nodiscard]] double perpetual_lambda(double r, double q, double sigma) noexcept {
    const double sigma2 = sigma * sigma;
    const double a = 0.5 - (r - q) / sigma2;
    return a - std::sqrt(a * a + 2.0 * r / sigma2);
}

// d ln B* / d(sigma, r, q) of the perpetual boundary B* = K lambda / (lambda - 1)
// (0 where there is none, lambda = 0).
[[nodiscard]] std::array<double, 3> perpetual_ln_boundary_slopes(double r, double q,
                                                                 double sigma) noexcept {
    const double sigma2 = sigma * sigma;
    const double sigma3 = sigma2 * sigma;
    const double a = 0.5 - (r - q) / sigma2;
    const double root = std::sqrt(a * a + 2.0 * r / sigma2);
    const double lambda = a - root;
    if (!(lambda < 0.0)) {
        return {0.0, 0.0, 0.0};
    }
    const double dlambda_dsigma =
        2.0 * (r - q) / sigma3 - (a * 2.0 * (r - q) / sigma3 - 2.0 * r / sigma3) / root;
    const double dlambda_dr = -1.0 / sigma2 - (1.0 - a) / (sigma2 * root);
    const double dlambda_dq = 1.0 / sigma2 - a / (sigma2 * root);
    const double slope = -1.0 / (lambda * (lambda - 1.0));
    return {slope * dlambda_dsigma, slope * dlambda_dr, slope * dlambda_dq};
}

// ---- QD+ (Li 2010): the start of Newton's method at the nodes, every node
// a lane of one root search.

// Li's terms at one node (strike 1).
struct QdLanes {
    D tau, h, lambda, lambda_prime, dr, dq, v, sqrt_tau;
};

// The residual of Li's boundary equation (2010, eq. 11 with the QD+
// correction c0 of eq. 14) at the critical spot S* = e^x (strike 1):
//   (1 - e^{-q tau} Phi(-d1(S*))) S* + (lambda + c0) (K - S* - p(S*)) = 0,
// which is value matching plus smooth pasting of p + A (S/S*)^(lambda + c0).
D qd_residual(D x, double r, double q, double sigma, double alpha, double beta,
              const QdLanes& c) noexcept {
    const D s = lanes::exp(x);
    const D d1 = (x + (r - q) * c.tau) / c.v + 0.5 * c.v;
    const D d2 = d1 - c.v;
    const lanes::NormalAt<D> at_d1 = lanes::normal_at(d1);
    const D n_d1 = at_d1.cdf_neg;
    const D n_d2 = lanes::normal_cdf(-d2);
    const D put = c.dr * n_d2 - s * c.dq * n_d1;
    // Theta of the European put in calendar time, dp/dt = -dp/dtau.
    const D theta = r * c.dr * n_d2 - q * s * c.dq * n_d1 -
                    0.5 * sigma * s * c.dq * at_d1.pdf / c.sqrt_tau;
    const D premium = 1.0 - s - put;
    const D denominator = 2.0 * c.lambda + beta - 1.0;
    D c0;
    if (r > 0.0) {
        c0 = -((1.0 - c.h) * alpha / denominator) *
             (1.0 / c.h - theta / (r * c.dr * premium) + c.lambda_prime / denominator);
    } else {
        // r = 0 (q < 0): h = 0 and alpha = 0, but alpha / h = 2 / (sigma^2 tau),
        // alpha / r = 2 / sigma^2 and alpha lambda' = (alpha / h)^2 / root
        // stay finite; the same c0 in those terms.
        const D alpha_over_h = 2.0 / (sigma * sigma * c.tau);
        c0 = -((1.0 - c.h) / denominator) *
             (alpha_over_h - 2.0 * theta / (sigma * sigma * c.dr * premium) +
              c.lambda_prime / denominator);
    }
    const D correction = lanes::select(premium > 1e-300, c0, D{});
    return (1.0 - c.dq * n_d1) * s + (c.lambda + correction) * premium;
}

// ln S* of QD+ at the count nodes taus[0..count) (at most kPad lanes of
// work per vector), written to ln_b.  The residual is negative as S -> 0
// (the second term tends to (lambda + c0) K (1 - e^{-r tau}) < 0) and
// positive next to X, where lambda ~ -1/(sigma sqrt tau) dominates.  Each
// lane searches down from X in steps of the boundary's natural scale
// sigma sqrt(tau), growing threefold, until the residual changes sign, then
// narrows the bracket by the Illinois variant of regula falsi.  The result
// only starts Newton's method, and QD+ itself is good to a few 1e-3, so 2e-3
// of the scale is plenty.  A lane that has finished keeps its state, so its
// result does not depend on the lanes beside it.
void qd_plus_ln_boundaries(const double* taus, int count, double r, double q, double sigma,
                           double ln_x, double* ln_b) noexcept {
    const double sigma2 = sigma * sigma;
    const double alpha = 2.0 * r / sigma2;
    const double beta = 2.0 * (r - q) / sigma2;
    for (int first = 0; first < count; first += kN) {
        alignas(64) double tau_at[kN];
        alignas(64) double h_at[kN];
        for (int j = 0; j < kN; ++j) {
            tau_at[j] = taus[first + j < count ? first + j : count - 1];
            h_at[j] = -exp_minus_one(-r * tau_at[j]);
        }
        QdLanes c{};
        c.tau = load(tau_at);
        c.h = load(h_at);
        if (r > 0.0) {
            const D root = lanes::sqrt((beta - 1.0) * (beta - 1.0) + 4.0 * alpha / c.h);
            c.lambda = 0.5 * (-(beta - 1.0) - root);
            c.lambda_prime = alpha / (c.h * c.h * root);
        } else {
            // The limit r -> 0 (q < 0): 4 alpha / h -> 8 / (sigma^2 tau); the
            // field holds alpha lambda', which qd_residual reads as such.
            const D alpha_over_h = 2.0 / (sigma2 * c.tau);
            const D root = lanes::sqrt((beta - 1.0) * (beta - 1.0) + 4.0 * alpha_over_h);
            c.lambda = 0.5 * (-(beta - 1.0) - root);
            c.lambda_prime = alpha_over_h * alpha_over_h / root;
        }
        c.dr = lanes::exp((-r) * c.tau);
        c.dq = lanes::exp((-q) * c.tau);
        c.sqrt_tau = lanes::sqrt(c.tau);
        c.v = sigma * c.sqrt_tau;
        const D scale = c.v;
        const D upper = splat(ln_x);
        const auto f = [&](D x) { return qd_residual(x, r, q, sigma, alpha, beta, c); };

        D b = upper - 0.01 * scale;
        D fb = f(b);
        // Lanes whose residual is already negative there have their root
        // within 1 % of the scale of X; lanes with a non-finite residual
        // start from X.
        auto done = (fb < 0.0) | (fb != fb);
        D result = lanes::select(fb < 0.0, upper - 0.005 * scale, upper);
        D a = b;
        D fa = fb;
        D step = 0.25 * scale;
        auto bracketed = fb != fb;  // false in every lane
        for (int i = 0; i < 30 && lanes::any_lane(~(done | bracketed)); ++i) {
            const auto searching = ~(done | bracketed);
            const D x = b - step;
            const D fx = f(x);
            const auto below = searching & (fx < 0.0);
            const auto above = searching & (fx >= 0.0);
            a = lanes::select(below, x, a);
            fa = lanes::select(below, fx, fa);
            b = lanes::select(above, x, b);
            fb = lanes::select(above, fx, fb);
            bracketed = bracketed | below;
            done = done | (searching & (fx != fx));
            step = lanes::select(searching, step * 3.0, step);
        }
        // Never bracketed: X.
        done = done | ~bracketed;
        D side{};  // -1: a moved last, +1: b moved last
        D x_root = 0.5 * (a + b);
        for (int i = 0; i < 40 && lanes::any_lane(~done); ++i) {
            const auto active = ~done;
            const D x = (a * fb - b * fa) / (fb - fa);
            const D fx = f(x);
            x_root = lanes::select(active, x, x_root);
            const auto bad = active & (fx != fx);
            const auto low = active & ~bad & (fx < 0.0);
            const auto high = active & ~bad & (fx >= 0.0);
            fb = lanes::select(low & (side == -1.0), fb * 0.5, fb);
            fa = lanes::select(high & (side == 1.0), fa * 0.5, fa);
            a = lanes::select(low, x, a);
            fa = lanes::select(low, fx, fa);
            b = lanes::select(high, x, b);
            fb = lanes::select(high, fx, fb);
            side = lanes::select(low, splat(-1.0), lanes::select(high, splat(1.0), side));
            const D width = b - a;
            const D magnitude = lanes::select(width < 0.0, -width, width);
            done = done | bad | (active & ((magnitude < 2e-3 * scale) | (fx == 0.0)));
        }
        result = lanes::select(bracketed, lanes::select(x_root < upper, x_root, upper), result);
        alignas(64) double out[kN];
        store(out, result);
        for (int j = 0; j < kN && first + j < count; ++j) {
            ln_b[first + j] = out[j];
        }
    }
}

// ---- The boundary: the FP-B system of Andersen, Lake and Offengenden
// (2016, eq. 3.7-3.9 with 4.5) on Chebyshev nodes in sqrt(tau).

// G(u) = sqrt(sum_k w_k G_k^2) from interpolation weights over the nodes;
// ln B(u) = ln X - G(u).  The interpolant of H = G^2 >= 0 may dip below
// zero between nodes near tau = 0.
[[nodiscard]] inline double interpolated_g(const Boundary& b, const double* weights) noexcept {
    const int n = b.tables->tier.n;
    double h = 0.0;
    for (int k = 1; k <= n; ++k) {
        h += weights[k] * (b.g[k] * b.g[k]);
    }
    return h > 0.0 ? std::sqrt(h) : 0.0;
}

// The kernels of node i decay like phi(d+) with d+ ~ (r - q + sigma^2/2)
// sqrt(v) / sigma in v = tau_i - u: where the carry is large against the
// volatility they live in a layer sqrt(v) < 8 sigma / |r - q + sigma^2/2|
// next to u = tau_i, which the fixed rule in theta cannot resolve once it is
// thinner than a fraction of sqrt(tau_i) (long expiries at low volatility:
// the boundary then came out anywhere between X and far below the perpetual
// boundary).  There the integral is split where sqrt(v) is the layer's width,
// with the rule on each piece.  Tiers whose 2 l points exceed the capacity
// keep the single rule.
void build_grid(const Boundary& b, NodeGrid& grid) noexcept {
    const Tables& tab = *b.tables;
    const GaussRule& rule = tab.boundary_rule;
    const int l = tab.tier.l;
    const int n = tab.tier.n;
    const double sqrt_t = std::sqrt(b.t);
    for (int i = 1; i < kLagrangeRow; ++i) {
        const double node = tab.node[i <= n ? i : n];
        grid.tau[i] = b.t * node * node;
        grid.sigma_sqrt_tau[i] = b.sigma * (sqrt_t * node);
    }
    for (int i = 1; i <= n; i += kN) {
        store(grid.discount_q_0 + i, lanes::exp((-b.q) * load(grid.tau + i)));
    }
    const double carry = std::fabs(b.r - b.q + 0.5 * b.sigma * b.sigma);
    const double layer = 6.0 * b.sigma / carry;  // in sqrt(v); +inf without carry
    for (int i = 1; i <= n; ++i) {
        const double tau = grid.tau[i];
        const double sqrt_tau = sqrt_t * tab.node[i];
        std::array<double, kMaxL> sin_at;
        std::array<double, kMaxL> cos_at;
        std::array<double, kMaxL> weight_at;
        int count = l;
        if (layer < 0.9 * sqrt_tau && 2 * l <= kMaxL) {
            // cos(theta_split) = layer / sqrt(tau).
            const double theta_split = arc_cos(layer / sqrt_tau);
            const double pieces[2][2] = {{0.0, theta_split},
                                         {theta_split, 0.5 * std::numbers::pi}};
            count = 0;
            for (const auto& piece : pieces) {
                const double half = 0.5 * (piece[1] - piece[0]);
                for (int j = 0; j < l; ++j) {
                    const SinCos sc = sin_cos(piece[0] + half * (1.0 + rule.x[j]));
                    sin_at[count] = sc.sin;
                    cos_at[count] = sc.cos;
                    weight_at[count] = half * rule.w[j];
                    ++count;
                }
            }
            for (int j = 0; j < padded(count); ++j) {
                double* row = grid.split_rows[i][j];
                if (j < count) {
                    lagrange_weights(tab, tab.node[i] * sin_at[j], row);
                } else {
                    std::fill(row, row + n + 1, 0.0);
                }
                std::fill(row + n + 1, row + kLagrangeRow, 0.0);
                for (int k = 0; k <= n; ++k) {
                    grid.split_columns[i][k][j] = row[k];
                }
            }
            grid.rows[i] = &grid.split_rows[i][0][0];
            grid.columns[i] = &grid.split_columns[i][0][0];
        } else {
            for (int j = 0; j < l; ++j) {
                sin_at[j] = rule.sin[j];
                cos_at[j] = rule.cos[j];
                weight_at[j] = rule.weight[j];
            }
            grid.rows[i] = tab.lagrange[i][0].data();
            grid.columns[i] = tab.lagrange_by_node[i][0].data();
        }
        grid.count[i] = count;
        // Padding lanes repeat the last point; no sum ever reads them.
        for (int jp = 0; jp < padded(count); ++jp) {
            const int j = jp < count ? jp : count - 1;
            // u = tau sin^2(theta), tau - u = tau cos^2(theta):
            // du = 2 tau sin cos d theta, du / sqrt(tau - u) = 2 sqrt(tau) sin d theta.
            grid.v[i][jp] = tau * cos_at[j] * cos_at[j];
            grid.sv[i][jp] = b.sigma * sqrt_tau * cos_at[j];
            grid.inv_sv[i][jp] = 1.0 / grid.sv[i][jp];
            grid.weight_n[i][jp] = weight_at[j] * 2.0 * sqrt_tau * sin_at[j] / b.sigma;
            grid.weight_d[i][jp] = weight_at[j] * 2.0 * tau * sin_at[j] * cos_at[j];
        }
        const D minus_q = splat(-b.q);
        for (int j = 0; j < padded(count); j += kN) {
            store(&grid.discount_q[i][j], lanes::exp(minus_q * load(&grid.v[i][j])));
        }
    }
}

// G(u_j) at the quadrature points of every node: interpolated_g with the
// points in lanes (each lane sums over the nodes in the same order).
void point_g(const Boundary& b, NodeGrid& grid) noexcept {
    const int n = b.tables->tier.n;
    std::array<double, kMaxN + 1> g2{};
    for (int k = 1; k <= n; ++k) {
        g2[k] = b.g[k] * b.g[k];
    }
    for (int i = 1; i <= n; ++i) {
        const double* columns = grid.columns[i];
        for (int j = 0; j < padded(grid.count[i]); j += kN) {
            D h{};
            for (int k = 1; k <= n; ++k) {
                h += load(columns + k * kMaxL + j) * g2[k];
            }
            store(&grid.g_u[i][j], lanes::select(h > 0.0, lanes::sqrt(h), D{}));
        }
    }
}

// The nodes' own terms of the map from the current iterate, nodes in lanes:
// d+(tau_i, B_i), psi(tau_i, B_i), Psi(tau_i, B_i) and z_i = B_i (K = 1).
void node_terms(const Boundary& b, NodeGrid& grid) noexcept {
    const int n = b.tables->tier.n;
    alignas(64) double ln_b[kLagrangeRow];
    for (int i = 1; i < kLagrangeRow; ++i) {
        ln_b[i] = b.ln_b[i <= n ? i : n];
    }
    const D drift = splat(b.r - b.q);
    for (int i = 1; i <= n; i += kN) {
        const D st = load(grid.sigma_sqrt_tau + i);
        const D ln_z = load(ln_b + i);
        const D d_plus_0 = (ln_z + drift * load(grid.tau + i)) / st + 0.5 * st;
        const lanes::NormalAt<D> at_0 = lanes::normal_at(d_plus_0);
        const D discount_q_0 = load(grid.discount_q_0 + i);
        store(grid.d_plus_0 + i, d_plus_0);
        store(grid.psi_0 + i, discount_q_0 * at_0.pdf);
        store(grid.cap_psi_0 + i, discount_q_0 * at_0.cdf);
        store(grid.z_0 + i, lanes::exp(ln_z));
    }
}

// F_i = ln(N / D) at every node from the ratios, nodes in lanes.
void node_logs(const NodeGrid& grid, int n, double* f) noexcept {
    for (int i = 1; i <= n; i += kN) {
        store(f + i, lanes::log(load(grid.ratio + i)));
    }
}

// Partial derivatives of F_i = ln N(tau_i) - ln D(tau_i) at node i.
struct NodeDerivatives {
    double own;                      // dF_i / d ln B(tau_i), the B(u) held fixed
    std::array<double, 3> parameter; // dF_i / d(sigma, r, q), every B held fixed
    alignas(64) std::array<double, kMaxL> point; // dF_i / d ln B(u_j), padded lanes 0

};

// The FP-B map (ALO eq. 3.7-3.9), written with the identity
// e^{-r v} phi(d-(v, z)) = z e^{-q v} phi(d+(v, z)) so that one exponential
// and one normal distribution per point suffice, and multiplied through by
// e^{-r tau} (numerator) and e^{-q tau} (denominator):
//   B(tau) = K N(tau) / D(tau),
//   N = z0 psi(tau, z0) / (sigma sqrt tau)
//       + r int_0^tau z psi(tau - u, z) / (sigma sqrt(tau - u)) du,
//   D = psi(tau, z0) / (sigma sqrt tau) + Psi(tau, z0)
//       + q int_0^tau [psi(tau - u, z) / (sigma sqrt(tau - u)) + Psi(tau - u, z)] du,
// with z0 = B(tau) / K, z = B(tau) / B(u), psi(v, z) = e^{-q v} phi(d+(v, z)),
// Psi(v, z) = e^{-q v} Phi(d+(v, z)).  Returns N / D (K = 1); node_terms
// has filled the node's own terms.
template <bool kDerivatives>
double fp_map(const Boundary& b, const NodeGrid& grid, int i, NodeDerivatives* out) noexcept {
    const int l = grid.count[i];
    const double r = b.r;
    const double q = b.q;
    const double sigma = b.sigma;
    const double drift = r - q;
    const double inv_sigma = 1.0 / sigma;
    const double tau = grid.tau[i];
    const double st = grid.sigma_sqrt_tau[i];
    const double ln_b = b.ln_b[i];

    const double d_plus_0 = grid.d_plus_0[i];
    const double psi_0 = grid.psi_0[i];
    const double cap_psi_0 = grid.cap_psi_0[i];
    const double z_0 = grid.z_0[i];
    const double n_0 = z_0 * psi_0 / st;
    const double d1_0 = psi_0 / st;
    const double d_0 = d1_0 + cap_psi_0;

    std::array<double, 4> dn_0{};
    std::array<double, 4> dd_0{};
    if constexpr (kDerivatives) {
        const double d_minus_0 = d_plus_0 - st;
        const double root_v = st / sigma;  // sqrt(tau)
        const double rv_s = root_v / sigma;
        dn_0 = {-n_0 * d_minus_0 / st, n_0 * (d_plus_0 * d_minus_0 - 1.0) / sigma,
                -n_0 * d_plus_0 * rv_s, n_0 * (d_plus_0 * rv_s - tau)};
        dd_0 = {-d1_0 * d_plus_0 / st + psi_0 / st,
                d1_0 * (d_plus_0 * d_minus_0 - 1.0) / sigma - psi_0 * d_minus_0 / sigma,
                -d1_0 * d_plus_0 * rv_s + psi_0 * rv_s,
                d1_0 * (d_plus_0 * rv_s - tau) - psi_0 * rv_s - tau * cap_psi_0};
    }

    // Every point a lane.  The sums over the points run as eight partial
    // sums, point j into sum j mod 8 in the order of j, whatever the width
    // (a vector of N lanes carries N of the eight), then one fixed tree: so
    // the bits do not depend on the width.  Padding points add 0.
    // sums: 0 N, 1 D, then d/d ln z, sigma, r, q of N (2-5) and of D (6-9).
    constexpr int kSums = kDerivatives ? 10 : 2;
    constexpr int kParts = kPad / kN;
    D sums[kSums][kParts] = {};
    alignas(64) double point_n[kMaxL];
    alignas(64) double point_d[kMaxL];
    const D ln_b_v = splat(ln_b);
    const D ln_x_v = splat(b.ln_x);
    const D drift_v = splat(drift);
    for (int block = 0; block < l; block += kPad) {
        for (int part = 0; part < kParts; ++part) {
            const int j = block + part * kN;
            D index{};
            for (int lane = 0; lane < kN; ++lane) {
                index[lane] = j + lane;
            }
            const auto real = index < static_cast<double>(l);
            const D ell = ln_b_v - (ln_x_v - load(&grid.g_u[i][j]));
            const D sv = load(&grid.sv[i][j]);
            const D inv_sv = load(&grid.inv_sv[i][j]);
            const D v = load(&grid.v[i][j]);
            const D d_plus = (ell + drift_v * v) * inv_sv + 0.5 * sv;
            const lanes::NormalAt<D> normal = lanes::normal_at(d_plus);
            const D eq = load(&grid.discount_q[i][j]);
            const D psi = eq * normal.pdf;
            const D cap_psi = eq * normal.cdf;
            const D z = lanes::exp(ell);
            const D wd = lanes::select(real, load(&grid.weight_d[i][j]), D{});
            const D t_d1 = lanes::select(real, load(&grid.weight_n[i][j]), D{}) * psi;
            const D t_n = t_d1 * z;
            const D t_d2 = wd * cap_psi;
            sums[0][part] += t_n;
            sums[1][part] += t_d1 + t_d2;
            if constexpr (kDerivatives) {
                const D d_minus = d_plus - sv;
                const D rv_s = v * inv_sv;  // sqrt(v) / sigma
                const D wd_psi = wd * psi;
                const D ln_n = -t_n * d_minus * inv_sv;
                const D ln_d = (wd_psi - t_d1 * d_plus) * inv_sv;
                const D product = d_plus * d_minus - 1.0;
                store(point_n + j, ln_n);
                store(point_d + j, ln_d);
                sums[2][part] += ln_n;
                sums[6][part] += ln_d;
                sums[3][part] += t_n * product * inv_sigma;
                sums[7][part] += (t_d1 * product - wd_psi * d_minus) * inv_sigma;
                sums[4][part] += -t_n * d_plus * rv_s;
                sums[8][part] += (wd_psi - t_d1 * d_plus) * rv_s;
                sums[5][part] += t_n * (d_plus * rv_s - v);
                sums[9][part] += t_d1 * (d_plus * rv_s - v) - wd_psi * rv_s - wd * v * cap_psi;
            }
        }
    }
    double total[kSums];
    for (int k = 0; k < kSums; ++k) {
        alignas(64) double part[kPad];
        for (int c = 0; c < kParts; ++c) {
            store(part + c * kN, sums[k][c]);
        }
        total[k] = ((part[0] + part[1]) + (part[2] + part[3])) +
                   ((part[4] + part[5]) + (part[6] + part[7]));
    }
    const double sum_n = total[0];
    const double sum_d = total[1];
    std::array<double, 4> dn{};
    std::array<double, 4> dd{};
    if constexpr (kDerivatives) {
        dn = {total[2], total[3], total[4], total[5]};
        dd = {total[6], total[7], total[8], total[9]};
    }
    const double numerator = n_0 + r * sum_n;
    const double denominator = d_0 + q * sum_d;
    if constexpr (kDerivatives) {
        const double inv_n = 1.0 / numerator;
        const double inv_d = 1.0 / denominator;
        out->own = (dn_0[0] + r * dn[0]) * inv_n - (dd_0[0] + q * dd[0]) * inv_d;
        out->parameter[kSigma] = (dn_0[1] + r * dn[1]) * inv_n - (dd_0[1] + q * dd[1]) * inv_d;
        out->parameter[kRate] =
            (dn_0[2] + sum_n + r * dn[2]) * inv_n - (dd_0[2] + q * dd[2]) * inv_d;
        out->parameter[kYield] =
            (dn_0[3] + r * dn[3]) * inv_n - (dd_0[3] + sum_d + q * dd[3]) * inv_d;
        for (int j = 0; j < l; ++j) {
            // ln z_j = ln B(tau_i) - ln B(u_j).
            out->point[j] = -(r * point_n[j] * inv_n - q * point_d[j] * inv_d);
        }
        for (int j = l; j < padded(l); ++j) {
            out->point[j] = 0.0;
        }
    }
    return numerator / denominator;
}

// The boundary lies between the perpetual boundary and B(0+) at every tau;
// an iterate outside is brought back (only ever active where the map's
// discretisation has failed, never at a converged boundary).
void set_node(Boundary& b, int i, double ln_b) noexcept {
    b.ln_b[i] = ln_b > b.ln_x ? b.ln_x : (ln_b < b.ln_floor ? b.ln_floor : ln_b);
    b.g[i] = b.ln_x - b.ln_b[i];
}

void assemble(const Boundary& b, NodeGrid& grid, const std::array<double, 3>& dln_x,
              System& sys) noexcept {
    const int n = b.tables->tier.n;
    for (int i = 1; i <= n; ++i) {
        const int l = grid.count[i];
        NodeDerivatives d;
        grid.ratio[i] = fp_map<true>(b, grid, i, &d);
        auto& row = sys.matrix[i - 1];
        row.fill(0.0);
        row[i - 1] = 1.0 - d.own;
        // d ln B(u) = sum_k M_k d ln B_k + (1 - sum_k M_k) d ln X with
        // M_k = L_k G_k / G(u), from G(u)^2 = sum_k L_k G_k^2 (eq. 4.3):
        // the row gains -G_k sum_j c_j L_jk / G(u_j), node by node.
        // Where G(u_j) = 0, ln B(u) = ln X: that point moves with X alone.
        alignas(64) double scale[kMaxL];
        for (int j = 0; j < l; j += kN) {
            const D g_u = load(&grid.g_u[i][j]);
            const D c = load(d.point.data() + j);
            store(scale + j, lanes::select(g_u > 1e-300, c / g_u, D{}));
        }
        double x_coefficient = 0.0;
        for (int j = 0; j < l; ++j) {
            x_coefficient += d.point[j];
        }
        // pulled[k] = sum_j L_jk c_j / G(u_j), the nodes in lanes.
        alignas(64) double pulled[kLagrangeRow];
        for (int k = 0; k <= n; k += kN) {
            D sum{};
            for (int j = 0; j < l; ++j) {
                sum += load(grid.rows[i] + j * kLagrangeRow + k) * scale[j];
            }
            store(pulled + k, sum);
        }
        for (int k = 1; k <= n; ++k) {
            const double m = b.g[k] * pulled[k];
            row[k - 1] -= m;
            x_coefficient -= m;
        }
        for (int p = 0; p < 3; ++p) {
            sys.rhs[i - 1][p + 1] = d.parameter[p] + x_coefficient * dln_x[p];
        }
        sys.row_finite[i - 1] = std::isfinite(x_coefficient);
    }
    alignas(64) double f[kLagrangeRow];
    node_logs(grid, n, f);
    for (int i = 1; i <= n; ++i) {
        auto& row = sys.matrix[i - 1];
        sys.rhs[i - 1][0] = f[i] - b.ln_b[i];
        bool finite = std::isfinite(f[i]) && sys.row_finite[i - 1];
        for (int k = 0; k < n; ++k) {
            finite = finite && std::isfinite(row[k]);
        }
        if (!finite) {
            // An underflowed kernel (a start far from the boundary at a
            // short expiry): hold this node for the step rather than let a
            // non-finite row spoil every other node's step.
            row.fill(0.0);
            row[i - 1] = 1.0;
            sys.rhs[i - 1] = {0.0, 0.0, 0.0, 0.0};
        }
    }
}

// LU factorisation with partial pivoting, in place (L's multipliers below the
// diagonal), so that later chord steps reuse it.
void factor(System& sys, int n) noexcept {
    auto& a = sys.matrix;
    for (int col = 0; col < n; ++col) {
        int pivot = col;
        for (int row = col + 1; row < n; ++row) {
            if (std::fabs(a[row][col]) > std::fabs(a[pivot][col])) {
                pivot = row;
            }
        }
        sys.pivot[col] = pivot;
        if (pivot != col) {
            std::swap_ranges(a[col].begin(), a[col].begin() + n, a[pivot].begin());
        }
        const double inv = 1.0 / a[col][col];
        // Row updates in lanes over the columns right of col (a lane left of
        // it keeps its multiplier; columns from n on are never read).
        const int first = (col + 1) / kN * kN;
        D index{};
        for (int lane = 0; lane < kN; ++lane) {
            index[lane] = first + lane;
        }
        for (int row = col + 1; row < n; ++row) {
            const double factor = a[row][col] * inv;
            a[row][col] = factor;
            D column = index;
            for (int k = first; k < n; k += kN) {
                const D current = load(&a[row][k]);
                const D updated = current - factor * load(&a[col][k]);
                store(&a[row][k], lanes::select(column > static_cast<double>(col), updated,
                                                current));
                column += static_cast<double>(kN);
            }
        }
    }
}

// Solves with the factors for columns [first, last) of rhs.
void solve_factored(System& sys, int n, int first, int last) noexcept {
    const auto& a = sys.matrix;
    auto& rhs = sys.rhs;
    for (int col = 0; col < n; ++col) {
        for (int p = first; p < last; ++p) {
            std::swap(rhs[col][p], rhs[sys.pivot[col]][p]);
        }
        for (int row = col + 1; row < n; ++row) {
            for (int p = first; p < last; ++p) {
                rhs[row][p] -= a[row][col] * rhs[col][p];
            }
        }
    }
    for (int row = n - 1; row >= 0; --row) {
        for (int p = first; p < last; ++p) {
            double sum = rhs[row][p];
            for (int k = row + 1; k < n; ++k) {
                sum -= a[row][k] * rhs[k][p];
            }
            rhs[row][p] = sum / a[row][row];
        }
    }
}

// Solves for the boundary on [0, t]: r > 0 (or r = 0 > q), sigma > 0, t > 0.  With a
// sensitivity record, also the derivatives of ln B with respect to sigma,
// r and q, from the matrix of the last Newton step.
void solve_boundary(const Tables& tables, double t, double r, double q, double sigma,
                    Workspace& work, Boundary& out, BoundarySensitivity* sensitivity) noexcept {
    const int n = tables.tier.n;
    out.tables = &tables;
    out.t = t;
    out.r = r;
    out.q = q;
    out.sigma = sigma;
    // B(0+) = K min(1, r / q) (ALO eq. 2.4).
    out.ln_x = q > r ? log1(r / q) : 0.0;
    const double lambda = perpetual_lambda(r, q, sigma);
    // With r = 0 and q >= -sigma^2 / 2 there is no perpetual boundary
    // (lambda = 0): the boundary falls towards 0 as tau grows.
    out.ln_floor = lambda < 0.0 ? std::fmin(log1(lambda / (lambda - 1.0)), out.ln_x)
                                : -std::numeric_limits<double>::infinity();
    out.ln_b[0] = out.ln_x;
    out.g[0] = 0.0;
    // QD+ at the first nodes and every other node beyond, all in one lane
    // search; the nodes between are interpolated linearly in sqrt(tau), well
    // within QD+'s own error of a few 1e-3.
    std::array<double, kMaxN + 1> qd_tau;
    std::array<int, kMaxN + 1> qd_node;
    std::array<double, kMaxN + 1> qd_ln_b;
    int qd_count = 0;
    for (int i = 1; i <= n; ++i) {
        if (i > 4 && i % 2 == 1 && i < n) {
            continue;
        }
        qd_tau[qd_count] = t * tables.node[i] * tables.node[i];
        qd_node[qd_count] = i;
        ++qd_count;
    }
    qd_plus_ln_boundaries(qd_tau.data(), qd_count, r, q, sigma, out.ln_x, qd_ln_b.data());
    for (int j = 0; j < qd_count; ++j) {
        set_node(out, qd_node[j], qd_ln_b[j]);
    }
    for (int i = 5; i < n; i += 2) {
        const double w =
            (tables.node[i] - tables.node[i - 1]) / (tables.node[i + 1] - tables.node[i - 1]);
        set_node(out, i, out.ln_b[i - 1] + w * (out.ln_b[i + 1] - out.ln_b[i - 1]));
    }
    // d ln X / d(sigma, r, q): X = r / q when q > r.
    std::array<double, 3> dln_x{0.0, 0.0, 0.0};
    if (q > r) {
        dln_x = {0.0, 1.0 / r, -1.0 / q};
    }

    NodeGrid& grid = work.grid;
    System& sys = work.system;
    build_grid(out, grid);
    out.iterations = 0;
    double last_change = 1.0;
    // The iterate before the last step, that step and the residual there.
    std::array<double, kMaxN + 1> previous_ln_b{};
    std::array<double, kMaxN + 1> previous_step{};
    double previous_residual = std::numeric_limits<double>::infinity();
    // The iterate with the smallest residual met so far.
    double best_residual = std::numeric_limits<double>::infinity();
    std::array<double, kMaxN + 1> best_ln_b = out.ln_b;
    // The tier's m steps suffice once Newton's method is in its quadratic
    // regime; a last step still above kChordBelow means it is not (low
    // volatility against the carry, where the start is far off): up to
    // kExtraSteps more.  (The fast tier's two steps left a put at 5 %
    // volatility and 6.5 years 6e-4 off, with a vega of 22 against 3.4.)
    for (int iteration = 0;
         iteration < tables.tier.m ||
         (iteration < tables.tier.m + kExtraSteps && last_change >= kChordBelow);
         ++iteration) {
        // Newton's method on the discrete FP-B system: from the QD+ start
        // (error ~1e-3 in ln B) each step squares the error.  Once a step
        // was below 1e-4 the next one is a chord step with the same
        // factors: its contraction factor is that small step, and it needs
        // no derivatives.  (Chord steps from the start gain only a factor ~10
        // per step, because the Jacobian at the short-expiry nodes moves
        // with the boundary.)  With sensitivities wanted every step is a
        // Newton step, so that they come from the Jacobian at the last
        // iterate but one, not at an early one.
        point_g(out, grid);
        node_terms(out, grid);
        const bool chord = last_change < kChordBelow && sensitivity == nullptr;
        if (chord) {
            for (int i = 1; i <= n; ++i) {
                grid.ratio[i] = fp_map<false>(out, grid, i, nullptr);
            }
            alignas(64) double f[kLagrangeRow];
            node_logs(grid, n, f);
            for (int i = 1; i <= n; ++i) {
                sys.rhs[i - 1][0] = f[i] - out.ln_b[i];
            }
        } else {
            assemble(out, grid, dln_x, sys);
        }
        // A step that raised the residual (where the quadrature cannot
        // resolve the kernels, a total volatility far below the carry's
        // pull, Newton's method can run away from a good start) is halved
        // from the iterate before it; the next step is a Newton step.  Never
        // active where the iteration converges.
        double residual = 0.0;
        for (int i = 0; i < n; ++i) {
            const double r_i = std::fabs(sys.rhs[i][0]);
            residual = r_i > residual || r_i != r_i ? r_i : residual;
        }
        if (residual < best_residual) {
            best_residual = residual;
            best_ln_b = out.ln_b;
        }
        if (!(residual <= previous_residual)) {
            double change = 0.0;
            for (int i = 1; i <= n; ++i) {
                previous_step[i] *= 0.5;
                set_node(out, i, previous_ln_b[i] + previous_step[i]);
                change = std::fmax(change, std::fabs(previous_step[i]));
            }
            if (sensitivity != nullptr && !chord) {
                // Should the iteration end here, the sensitivities come from
                // this Jacobian.
                factor(sys, n);
                solve_factored(sys, n, 1, 4);
            }
            ++out.iterations;
            last_change = 1.0;
            if (change < tables.tier.tolerance) {
                break;
            }
            continue;
        }
        previous_residual = residual;
        if (!chord) {
            factor(sys, n);
        }
        solve_factored(sys, n, 0, chord || sensitivity == nullptr ? 1 : 4);
        double change = 0.0;
        for (int i = 1; i <= n; ++i) {
            double step = sys.rhs[i - 1][0];
            if (!std::isfinite(step)) {
                step = 0.0;  // an underflowed kernel: keep the node
            }
            // Far from the fixed point a full step can overshoot: no node
            // moves by more than a quarter in ln B at once.
            step = std::fmax(-0.25, std::fmin(0.25, step));
            previous_ln_b[i] = out.ln_b[i];
            set_node(out, i, out.ln_b[i] + step);
            previous_step[i] = out.ln_b[i] - previous_ln_b[i];
            change = std::fmax(change, std::fabs(step));
        }
        ++out.iterations;
        last_change = change;
        if (change < tables.tier.tolerance) {
            break;
        }
    }
    if (last_change >= kChordBelow) {
        // The budget ran out with Newton's method not yet quadratic (the
        // discrete map's Jacobian is poor where the quadrature hardly
        // resolves the kernels: low volatility against the carry), and the
        // last step was never checked: it could leave every node at B(0+)
        // while the start was within 3e-4 of the fixed point, and the
        // boundary jumped between the two as tau moved.  The iterate with
        // the smallest residual is kept.
        point_g(out, grid);
        node_terms(out, grid);
        for (int i = 1; i <= n; ++i) {
            grid.ratio[i] = fp_map<false>(out, grid, i, nullptr);
        }
        alignas(64) double f[kLagrangeRow];
        node_logs(grid, n, f);
        double residual = 0.0;
        for (int i = 1; i <= n; ++i) {
            const double r_i = std::fabs(f[i] - out.ln_b[i]);
            residual = r_i > residual || r_i != r_i ? r_i : residual;
        }
        if (!(residual <= best_residual)) {
            for (int i = 1; i <= n; ++i) {
                set_node(out, i, best_ln_b[i]);
            }
        }
    }
    if (sensitivity != nullptr) {
        // The implicit-function derivative of the discrete fixed point,
        // (I - dF/d ln B) d ln B / dp = dF/dp, with the matrix of the last
        // Newton step (one step old: its error is the size of that step).
        // A node held at the perpetual boundary (where the boundary reaches
        // it within a time far below t, low volatility against a high carry)
        // is not a fixed point of the map: it moves with the perpetual
        // boundary, d ln B* / dp = -(d lambda / dp) / (lambda (lambda - 1)).
        // The implicit-function derivative gave it any value there (a vega 12
        // times the bump's at "high").
        const std::array<double, 3> dln_floor = perpetual_ln_boundary_slopes(r, q, sigma);
        for (int p = 0; p < 3; ++p) {
            sensitivity->ln_x[p] = dln_x[p];
            sensitivity->ln_b[p][0] = dln_x[p];
            for (int i = 1; i <= n; ++i) {
                sensitivity->ln_b[p][i] =
                    out.ln_b[i] == out.ln_floor ? dln_floor[p] : sys.rhs[i - 1][p + 1];
            }
        }
    }
}

// Where the carry pulls the spot down to the boundary (q > r), the premium's
// integrand, in v = t - u the time from now, switches on where the spot's
// forward meets the boundary: d+-(v, S / B(t - v)) changes sign where
//   c(v) = ln(S / B(t - v)) + (r - q) v = 0,
// over a width sigma sqrt(v) / (q - r) about that v*.  At low volatility
// and high carry, over a long expiry, that width is a small fraction of t
// anywhere in (0, t), not next to v = 0: a fixed rule in theta steps over
// it (a 46-year call at 0.93 % volatility came out below the value of
// exercising on one fixed date, and fell as the expiry grew).  c falls
// strictly in v (B(u) rises as u falls), so v* is found by bisection on the
// interpolated boundary, and the window of eight widths either side of it
// becomes a piece of its own where the rule would put few points in it.
struct Transition {
    bool found;
    double from;  // the window's ends as cos(theta) = sqrt(v / t)
    double to;
};

[[nodiscard]] Transition premium_transition(const Boundary& b, double ln_s) noexcept {
    const Tables& tab = *b.tables;
    const double drift = b.r - b.q;
    Transition out{false, 0.0, 0.0};
    if (!(drift < 0.0)) {
        return out;
    }
    std::array<double, kMaxN + 1> weights;
    const auto c = [&](double v) {
        const double u = b.t - v;
        lagrange_weights(tab, std::sqrt(std::fmax(u, 0.0) / b.t), weights.data());
        return ln_s - (b.ln_x - interpolated_g(b, weights.data())) + drift * v;
    };
    double v_star = b.t;
    if (c(b.t) < 0.0) {
        double low = 0.0;
        double high = b.t;
        for (int i = 0; i < 60 && high - low > 1e-12 * b.t; ++i) {
            const double mid = 0.5 * (low + high);
            (c(mid) > 0.0 ? low : high) = mid;
        }
        v_star = 0.5 * (low + high);
    }
    const double half_width =
        (8.0 * b.sigma * std::sqrt(v_star) + 0.5 * b.sigma * b.sigma * v_star) / -drift;
    // cos(theta) = sqrt(v / t) at the window's ends.  A window that spans
    // half the range of theta holds half the rule's points already.
    out.from = std::sqrt(std::fmin(v_star + half_width, b.t) / b.t);
    out.to = std::sqrt(std::fmax(v_star - half_width, 0.0) / b.t);
    out.found = arc_cos(out.to) - arc_cos(out.from) < 0.25 * std::numbers::pi;
    return out;
}

// ---- The value: the European value plus the early-exercise premium
// integrated along the boundary (Kim 1990; ALO eq. 2.5), and its
// derivatives from the same boundary.

// The premium integral, u = t sin^2(theta), v = t - u = t cos^2(theta):
//   int_0^t [r K e^{-r v} Phi(-d-(v, S/B(u))) - q S e^{-q v} Phi(-d+(v, S/B(u)))] du.
// Close to the boundary the integrand changes over sqrt(v) ~ ln(S / B(t)) /
// sigma next to v = 0, a layer the fixed rule cannot resolve once it is
// thinner than about sqrt(t) / 6.7: then the integral is split where sqrt(v)
// is six layer widths, with a Gauss-Legendre rule on each piece.  (Measured
// on the benchmark grids: splitting only below sqrt(t) / 12 doubles the
// worst gamma and long-dated value errors; four widths trade a better delta
// and vega for a twice worse gamma.)
//
// Delta and gamma differentiate the representation in s (the boundary does
// not depend on s); dV/dT comes from the Black-Scholes equation; the
// parameter derivatives add to the fixed-boundary derivative the boundary's
// own sensitivity, d g / d ln B(u) = S psi (r K / B - q) / (sigma sqrt v).
template <bool kGreeks>
PutResult integrate(const Boundary& b, const BoundarySensitivity* sensitivity, double s, double k,
                    PremiumPoints& pts) noexcept {
    const Tables& tab = *b.tables;
    const GaussRule& rule = tab.premium_rule;
    const int n = tab.tier.n;
    const int p = tab.tier.p;
    const double r = b.r;
    const double q = b.q;
    const double sigma = b.sigma;
    const double ln_s = log1(s / k);
    const double layer = (ln_s - b.ln_b[n]) / sigma;  // in sqrt(v)
    const double split = 6.0 * layer;
    const double sqrt_t = std::sqrt(b.t);

    // The cuts as cos(theta) = sqrt(v / t), then the pieces in theta
    // between them, each with the rule.
    std::array<double, 3> cuts{};
    int cut_count = 0;
    if (split < 0.9 * sqrt_t) {
        cuts[cut_count++] = split / sqrt_t;
    }
    const Transition crossing = premium_transition(b, ln_s);
    if (crossing.found) {
        cuts[cut_count++] = crossing.from;
        cuts[cut_count++] = crossing.to;
    }
    std::array<double, 5> edges{};  // in theta, ascending
    int edge_count = 0;
    edges[edge_count++] = 0.0;
    std::sort(cuts.begin(), cuts.begin() + cut_count, std::greater<double>());
    for (int c = 0; c < cut_count; ++c) {
        if (cuts[c] > 0.0 && cuts[c] < 1.0) {
            const double theta = arc_cos(cuts[c]);
            if (theta > edges[edge_count - 1]) {
                edges[edge_count++] = theta;
            }
        }
    }
    const bool whole = edge_count == 1;
    edges[edge_count++] = 0.5 * std::numbers::pi;

    // The points, their weights and the boundary there.
    int count = 0;
    if (whole) {
        for (int j = 0; j < p; ++j) {
            pts.sin[j] = rule.sin[j];
            pts.cos[j] = rule.cos[j];
            pts.weight[j] = rule.weight[j];
            pts.g[j] = interpolated_g(b, tab.premium_lagrange[j].data());
        }
        count = p;
    } else {
        for (int piece = 0; piece + 1 < edge_count; ++piece) {
            const double half = 0.5 * (edges[piece + 1] - edges[piece]);
            for (int j = 0; j < p; ++j) {
                const SinCos sc = sin_cos(edges[piece] + half * (1.0 + rule.x[j]));
                pts.sin[count] = sc.sin;
                pts.cos[count] = sc.cos;
                pts.weight[count] = half * rule.w[j];
                lagrange_weights(tab, sc.sin, pts.lagrange[count]);
                pts.g[count] = interpolated_g(b, pts.lagrange[count]);
                ++count;
            }
        }
    }
    for (int j = count; j < padded(count); ++j) {
        pts.sin[j] = pts.sin[count - 1];
        pts.cos[j] = pts.cos[count - 1];
        pts.weight[j] = 0.0;
        pts.g[j] = pts.g[count - 1];
    }

    // The transcendental part, a lane per point.
    {
        const D ln_s_v = splat(ln_s);
        const D ln_x_v = splat(b.ln_x);
        const D drift = splat(r - q);
        const D sqrt_t_v = splat(sqrt_t);
        for (int j = 0; j < count; j += kN) {
            const D ln_b = ln_x_v - load(pts.g + j);  // ln(B(u) / K)
            const D ell = ln_s_v - ln_b;               // ln(S / B(u))
            const D root_v = sqrt_t_v * load(pts.cos + j);
            const D v = root_v * root_v;
            const D sv = sigma * root_v;
            const D d_plus = (ell + drift * v) / sv + 0.5 * sv;
            const D d_minus = d_plus - sv;
            const lanes::NormalAt<D> plus = lanes::normal_at(d_plus);
            store(pts.d_plus + j, d_plus);
            store(pts.n_plus + j, plus.cdf_neg);
            store(pts.pdf + j, plus.pdf);
            store(pts.n_minus + j, lanes::normal_cdf(-d_minus));
            store(pts.dr + j, lanes::exp((-r) * v));
            store(pts.dq + j, lanes::exp((-q) * v));
            if constexpr (kGreeks) {
                store(pts.b + j, lanes::exp(ln_b));
            }
        }
    }

    double premium = 0.0;
    double delta = 0.0;
    double gamma = 0.0;
    double dsigma = 0.0;
    double drate = 0.0;
    double dyield = 0.0;
    double dilation = 0.0;  // T dP/dT, P the premium integral
    for (int j = 0; j < count; ++j) {
        const double sin_theta = pts.sin[j];
        const double cos_theta = pts.cos[j];
        const double weight = pts.weight[j];
        const double dr = pts.dr[j];
        const double dq = pts.dq[j];
        const double n_minus = pts.n_minus[j];
        const double n_plus = pts.n_plus[j];
        const double w = weight * 2.0 * b.t * sin_theta * cos_theta;  // du
        premium += w * (r * k * dr * n_minus - q * s * dq * n_plus);
        if constexpr (kGreeks) {
            const double root_v = sqrt_t * cos_theta;
            const double v = root_v * root_v;
            const double sv = sigma * root_v;
            const double d_plus = pts.d_plus[j];
            const double d_minus = d_plus - sv;
            // du / sqrt(v), finite as v -> 0.
            const double wn = weight * 2.0 * sqrt_t * sin_theta;
            const double psi = dq * pts.pdf[j];
            const double ratio = r / pts.b[j];  // r K / B(u)
            const double pull = q - ratio;      // q - r K / B(u)
            delta += wn * psi * pull / sigma - w * q * dq * n_plus;
            gamma += (wn * psi / (s * sigma)) * (q - d_plus * pull / sv);
            dsigma += w * s * psi * (ratio * d_plus - q * d_minus) / sigma;
            drate += w * (k * dr * n_minus * (1.0 - r * v) + s * psi * (root_v / sigma) * pull);
            dyield += w * (-s * dq * n_plus * (1.0 - q * v) - s * psi * (root_v / sigma) * pull);
            const double boundary_term = -wn * s * psi * pull / sigma;
            const double* lagrange = whole ? tab.premium_lagrange[j].data() : pts.lagrange[j];
            const double g_u = pts.g[j];
            double m_sum = 0.0;
            std::array<double, 3> dln_b{0.0, 0.0, 0.0};
            if (g_u > 1e-300) {
                for (int kk = 1; kk <= n; ++kk) {
                    const double m = lagrange[kk] * b.g[kk] / g_u;
                    m_sum += m;
                    for (int par = 0; par < 3; ++par) {
                        dln_b[par] += m * sensitivity->ln_b[par][kk];
                    }
                }
            }
            for (int par = 0; par < 3; ++par) {
                dln_b[par] += (1.0 - m_sum) * sensitivity->ln_x[par];
            }
            dsigma += boundary_term * dln_b[kSigma];
            drate += boundary_term * dln_b[kRate];
            dyield += boundary_term * dln_b[kYield];
            // The integrand of dV/dT (below): f + v df/dv + u df/d ln B d ln B/du.
            // With the identity r K e^{-r v} phi(d-) = S psi r K / B(u) and
            // v d(d+-)/dv = (-ell + (r - q +- sigma^2 / 2) v) / (2 sigma sqrt v):
            const double ell = d_plus * sv - (r - q) * v - 0.5 * sv * sv;  // ln(S / B(u))
            const double v_d_plus = (-ell + (r - q + 0.5 * sigma * sigma) * v) / (2.0 * sv);
            const double v_d_minus = (-ell + (r - q - 0.5 * sigma * sigma) * v) / (2.0 * sv);
            const double v_f_v = v * (-r * r * k * dr * n_minus + q * q * s * dq * n_plus) +
                                 s * psi * (q * v_d_plus - ratio * v_d_minus);
            dilation += w * (r * k * dr * n_minus - q * s * dq * n_plus + v_f_v);
            // u d ln B/du = -(y / 2) dG/dy, G^2 = H = sum_k L_k(y) G_k^2 in
            // y = sqrt(u / t): -y H'(y) / (4 G), with the barycentric derivative
            // L'_k(y) = L_k(y) (sum_m L_m / (y - y_m) - 1 / (y - y_k)).
            const double y = pts.sin[j];
            if (g_u > 1e-300) {
                double c = 0.0;
                bool at_node = false;
                for (int kk = 0; kk <= n; ++kk) {
                    const double gap = y - tab.node[kk];
                    at_node = at_node || gap == 0.0;
                    c += gap != 0.0 ? lagrange[kk] / gap : 0.0;
                }
                if (!at_node) {
                    double h_slope = 0.0;
                    for (int kk = 1; kk <= n; ++kk) {
                        h_slope += lagrange[kk] * (b.g[kk] * b.g[kk]) *
                                   (c - 1.0 / (y - tab.node[kk]));
                    }
                    dilation -= boundary_term * y * h_slope / (4.0 * g_u);
                }
            }
        }
    }
    PutResult x = european_put(s, k, b.t, r, q, sigma);
    // The early-exercise premium is never negative: quadrature error must
    // not take the value below the European value.
    x.value += std::fmax(premium, 0.0);
    if constexpr (kGreeks) {
        x.delta += delta;
        x.gamma += gamma;
        x.dsigma += dsigma;
        x.drate += drate;
        x.dyield += dyield;
        // dV/dT from the representation itself: with u = T s,
        //   P(T) = int_0^1 f(T (1 - s), B(T s)) T ds,
        //   T dP/dT = int_0^T [f + v df/dv + u df/dB B'(u)] du,
        // where u B'(u) stays finite as u -> 0.  Next to the boundary the
        // Black-Scholes equation forms theta as sigma^2 S^2 gamma / 2 -
        // (r K - q S) + ..., terms that cancel to nearly 0 there, so gamma's
        // quadrature error came back multiplied by sigma^2 S^2 / 2 (a
        // positive theta of 3e-4 a day at high total volatility, where the
        // value cannot fall with the expiry).
        if (premium > 0.0) {
            x.dtau += dilation / b.t;
        }
    }
    return x;
}

// The perpetual American put, r >= 0, sigma > 0, and its derivatives:
// V = (K - B*) (S / B*)^lambda = K / (1 - lambda) (S / B*)^lambda above its
// boundary B* = K lambda / (lambda - 1), the exercise value below.  With
// lambda = a - sqrt(a^2 + 2 r / sigma^2), a = 1/2 - (r - q) / sigma^2,
// dV/d lambda = V ln(S / B*) (the terms through B* cancel), so every
// parameter derivative is V ln(S / B*) d lambda / dp; dV/dT = 0.
[[nodiscard]] PutResult perpetual_put(double s, double k, double r, double q,
                                      double sigma) noexcept {
    const double sigma2 = sigma * sigma;
    const double a = 0.5 - (r - q) / sigma2;
    const double root = std::sqrt(a * a + 2.0 * r / sigma2);
    const double lambda = a - root;
    if (!(lambda < 0.0)) {
        // r = 0, q >= -sigma^2 / 2: no perpetual boundary; K bounds the value.
        PutResult bound{};
        bound.value = k;
        return bound;
    }
    const double boundary = k * (lambda / (lambda - 1.0));
    if (s <= boundary) {
        return exercised_put(s, k);
    }
    const double ln_ratio = log1(s / boundary);
    PutResult x{};
    x.value = (k - boundary) * exp1(lambda * ln_ratio);
    x.delta = lambda * x.value / s;
    x.gamma = lambda * (lambda - 1.0) * x.value / (s * s);
    const double slope = x.value * ln_ratio;  // dV / d lambda
    const double sigma3 = sigma2 * sigma;
    const double dlambda_dsigma =
        2.0 * (r - q) / sigma3 - (a * 2.0 * (r - q) / sigma3 - 2.0 * r / sigma3) / root;
    const double dlambda_dr = -1.0 / sigma2 - (1.0 - a) / (sigma2 * root);
    const double dlambda_dq = 1.0 / sigma2 - a / (sigma2 * root);
    x.dsigma = slope * dlambda_dsigma;
    x.drate = slope * dlambda_dr;
    x.dyield = slope * dlambda_dq;
    return x;
}

Result<PutResult> put(const Tables& tables, double s, double k, double t, double r, double sigma,
                      double q, bool greeks) noexcept {
    Workspace* work = workspace();
    if (work == nullptr) {
        return std::unexpected(OptionError::invalid_parameters(
            "the American engine could not allocate its work arrays"));
    }
    Boundary boundary;
    BoundarySensitivity sensitivity;
    solve_boundary(tables, t, r, q, sigma, *work, boundary, greeks ? &sensitivity : nullptr);
    if (s <= k * exp1(boundary.ln_b[tables.tier.n])) {
        return exercised_put(s, k);
    }
    PutResult x = greeks ? integrate<true>(boundary, &sensitivity, s, k, work->premium)
                         : integrate<false>(boundary, nullptr, s, k, work->premium);
    // The exercise value is a lower bound of the true value; quadrature
    // error next to the boundary must not take the value below it.
    if (x.value < k - s) {
        x = exercised_put(s, k);
    }
    // The perpetual put bounds the value from above.  Where the boundary
    // moves on a time scale far below t (long expiries at low volatility and
    // high carry) its interpolant cannot follow it, and the premium integral
    // can overshoot; the bound caps the value there, with its own Greeks,
    // which are those of the capped value.
    const PutResult perpetual = perpetual_put(s, k, r, q, sigma);
    if (x.value > perpetual.value) {
        x = perpetual;
    }
    if (!std::isfinite(x.value)) {
        return std::unexpected(OptionError::invalid_parameters(
            "the American engine could not price these inputs"));
    }
    return x;
}

double ln_boundary(const Tables& tables, double tau, double r, double q, double sigma) noexcept {
    Workspace* work = workspace();
    if (work == nullptr) {
        return std::numeric_limits<double>::quiet_NaN();
    }
    Boundary boundary;
    solve_boundary(tables, tau, r, q, sigma, *work, boundary, nullptr);
    return boundary.ln_b[tables.tier.n];
}

}  // namespace
}  // namespace greekmill::american::detail::GREEKMILL_FAST_ISA

namespace greekmill::american::detail {

const SpectralEngine GREEKMILL_SPECTRAL_TABLE = {
    &GREEKMILL_FAST_ISA::put,
    &GREEKMILL_FAST_ISA::ln_boundary,
};

}  // namespace greekmill::american::detail
