// The double-boundary regime of a put, q < r <= 0: early exercise is optimal
// only between a lower boundary Y(tau) and an upper one B(tau), starting at
// Y(0+) = K r/q and B(0+) = K, and the two meet at a finite tau beyond which
// the option is European (Battauz, De Donno and Sbuelz 2015; Andersen and
// Lake 2021).  Priced here by the project's own solver: Crank-Nicolson in
// ln S with Rannacher start-up, the linear complementarity problem of each
// step solved exactly by policy iteration, which needs no assumption about the
// shape of the exercise region.
#pragma once

#include "american.hpp"
#include "put_result.hpp"

namespace greekmill::american::detail {

// t > 0, sigma > 0.  Delta and gamma from the grid, dV/dT from the
// Black-Scholes equation, the parameter derivatives by central differences
// on the same grid (so the discretisation error is smooth in them).
[[nodiscard]] PutResult double_boundary_put(double s, double k, double t, double r, double q,
                                            double sigma, Accuracy accuracy,
                                            bool greeks) noexcept;

}  // namespace greekmill::american::detail
