// Nodes and weights that depend only on the accuracy tier, computed once
// (an immutable function-local static per tier) and shared by every option.
//
// Two grids live here:
//  * the Chebyshev-Lobatto nodes y_k = (1 - cos(k pi / n)) / 2, k = 0..n, in
//    y = sqrt(tau / T): Andersen, Lake and Offengenden (2016, section 4.1)
//    interpolate the transformed boundary H(sqrt tau) = ln(B(tau) / X)^2 on
//    them (their eq. 4.1-4.3), X = B(0+);
//  * Gauss-Legendre rules in an angle theta on [0, pi/2], with the
//    substitution u = tau sin^2(theta), tau - u = tau cos^2(theta).  ALO
//    substitute tau - u = tau (1 + x)^2 / 4, which removes the 1/sqrt(tau - u)
//    singularity of the kernels; the angle removes it as well and also makes
//    sqrt(u) = sqrt(tau) sin(theta), the interpolation variable, smooth at
//    u = 0, where the boundary has its square-root-times-log behaviour.
// Because the quadrature point of node i sits at y = y_i sin(theta_j)
// whatever the option, the Lagrange weights of every interpolation the
// engine performs are tabulated here too.
#pragma once

#include <array>

#include "tiers.hpp"

namespace greekmill::american::detail {

struct GaussRule {
    std::array<double, kMaxP> sin;     // sin(theta_j)
    std::array<double, kMaxP> cos;     // cos(theta_j)
    std::array<double, kMaxP> weight;  // d theta weight, pi/4 * Gauss-Legendre weight
    std::array<double, kMaxP> x;       // the Gauss-Legendre nodes on [-1, 1]
    std::array<double, kMaxP> w;       // and weights, for rules on sub-intervals
};

inline constexpr int kLagrangeRow = (kMaxN + 1 + 7) / 8 * 8;

struct Tables {
    Tier tier;
    std::array<double, kMaxN + 1> node;  // y_k in [0, 1]
    GaussRule boundary_rule;             // l points
    GaussRule premium_rule;              // p points
    // lagrange[i][j][k]: weight of node k at y_i sin(theta_j) (boundary rule);
    // rows padded with zeros to whole vectors of eight.
    std::array<std::array<std::array<double, kLagrangeRow>, kMaxL>, kMaxN + 1> lagrange;
    // The same weights with the points innermost, lagrange_by_node[i][k][j],
    // so that the interpolation at every point of a node runs in lanes.
    std::array<std::array<std::array<double, kMaxL>, kMaxN + 1>, kMaxN + 1> lagrange_by_node;
    // premium_lagrange[j][k]: weight of node k at sin(theta_j) (premium rule).
    std::array<std::array<double, kMaxN + 1>, kMaxP> premium_lagrange;
};

// The tables of a tier for options of total volatility sigma sqrt(T).
[[nodiscard]] const Tables& tables(Accuracy accuracy, double total_volatility) noexcept;

// Fills tables for any tier within the capacities (the benchmark's finer
// settings); the engine itself uses only tables(accuracy, total_volatility).
void build_tables(const Tier& tier, Tables& out) noexcept;

struct SinCos {
    double sin;
    double cos;
};

// sin and cos of theta in [0, pi/2], and the angle in [0, pi/2] of a cosine
// in [0, 1]: the engine's own, to a few 1e-16, with the same bits on every
// machine (no platform maths library).
[[nodiscard]] SinCos sin_cos(double theta) noexcept;
[[nodiscard]] double arc_cos(double c) noexcept;

// Barycentric Lagrange weights of the tables' nodes at y in [0, 1].
void lagrange_weights(const Tables& t, double y, double* out) noexcept;

}  // namespace greekmill::american::detail
