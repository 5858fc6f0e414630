// One finite-difference solver for options on a spot that follows
// Black-Scholes-Merton between known dates where it jumps down by a cash
// amount.  The equation is solved in x = ln S, backwards in the time to
// expiry tau:
//
//   dV/dtau = sigma^2/2 V_xx + (r - q - sigma^2/2) V_x - r V,
//
// on a non-uniform mesh x_j = x_K + lambda sinh(delta (j - j_K)) that puts the
// strike on a node and spends its nodes near it, with the theta scheme
// (Crank-Nicolson, each start of a stretch between jumps smoothed by
// implicit Euler half steps, Rannacher 1984), time levels that fall on every
// jump, and the jump condition V(S, t-) = V(max(S - D, 0), t+) applied by
// quintic interpolation.  An American constraint V >= payoff is solved
// exactly at every step: where the exercise region is a half-line (r > 0)
// by the Brennan-Schwartz elimination towards it, otherwise by policy
// iteration (Howard's algorithm on the linear complementarity problem),
// which assumes no shape: a half-line, an interval (a put with q < r <= 0
// has two boundaries), or none.
//
// The value, delta and gamma are read at the spot; dV/dsigma, dV/dr and
// dV/dq come from the tangent schemes, the derivative of the discrete scheme
// itself with the exercise set held, which reuse each step's factorisation.  Solves on
// the mesh, on every other node and on every fourth, with the time levels
// thinned alike, give the Romberg extrapolation of the O(h^2 + dt^2) error
// (or the mesh and every other node its Richardson extrapolation).
//
// Work arrays live on the heap, taken once per solve, outside the time loop:
// a solve runs the same on a thread with a small stack.
#pragma once

#include <atomic>
#include <span>

#include "option.hpp"

namespace greekmill::grid {

// The spot drops by `amount` (never below 0) when the time to expiry
// reaches `tau`, 0 < tau <= t.  Jumps are given in increasing tau (the
// latest ex-date first).
struct Jump {
    double tau;
    double amount;
};

struct Problem {
    double s, k, t, r, q, sigma;  // t > 0, sigma > 0
    OptionType type;
    bool american;
    std::span<const Jump> jumps;
    // Read between jumps: once true, the solve stops and reports it (a long
    // schedule under a cancelled job).  Null: never.
    const std::atomic<bool>* cancel = nullptr;
};

// Intervals of the finest mesh (a multiple of 8) and its time steps in all
// (a multiple of 4); the coarser solves have a half (and with three levels a
// quarter) of each; one level is the finest solve alone.  Three levels
// need the coarsest mesh to resolve the option already; two suit the
// coarsest grids.
struct Resolution {
    int space;
    int time;
    int levels = 3;
};

// Natural units: per unit of spot, per year of time to expiry, per 1.0 of
// volatility and of the rate.
struct Solution {
    double value;
    double delta;
    double gamma;
    double dtau;
    double dsigma;
    double drate;
    double dyield;
    // American: the spot lies between two nodes of the finest mesh that
    // both sit on the exercise value today (inside the discrete exercise
    // region).
    bool exercised;
};

[[nodiscard]] Result<Solution> solve(const Problem& problem, Resolution resolution,
                                     bool sensitivities) noexcept;

}  // namespace greekmill::grid
