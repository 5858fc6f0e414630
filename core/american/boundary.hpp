// The exercise boundary of an American put as the fixed point of the FP-B
// map of Andersen, Lake and Offengenden (2016, eq. 3.7-3.9 with 4.5), on
// Chebyshev nodes in sqrt(tau), and its sensitivities to sigma, r and q
// (solved in engine_lanes.hpp).  Strike 1: the boundary of strike K is K
// times this one.
#pragma once

#include <array>

#include "quadrature.hpp"

namespace greekmill::american::detail {

struct Boundary {
    const Tables* tables;
    double t;      // longest time to expiry covered
    double r;
    double q;
    double sigma;
    double ln_x;   // ln B(0+), B(0+) = min(1, r / q)
    double ln_floor;  // ln of the perpetual boundary, below every B(tau)
    // At the nodes tau_k = t y_k^2: ln B and G = ln X - ln B = sqrt(H) >= 0.
    std::array<double, kMaxN + 1> ln_b;
    std::array<double, kMaxN + 1> g;
    int iterations;  // fixed-point iterations performed
};

// Derivatives of ln B at the nodes (and of ln X) with respect to sigma, r, q.
struct BoundarySensitivity {
    std::array<std::array<double, kMaxN + 1>, 3> ln_b;  // [parameter][node]
    std::array<double, 3> ln_x;
};

enum Parameter : int { kSigma = 0, kRate = 1, kYield = 2 };

}  // namespace greekmill::american::detail
