// The boundary solved on Chebyshev nodes from its integral equation, on a given
// set of tables, for the single-boundary
// regime (put: r > 0; call: q > 0), t > 0, sigma > 0.  american.cpp reaches it
// through the tier tables; the benchmark also through finer settings.
#pragma once

#include "put_result.hpp"
#include "quadrature.hpp"

namespace greekmill::american::detail {

[[nodiscard]] Result<PutResult> spectral_put(const Tables& tables, double s, double k, double t,
                                             double r, double sigma, double q,
                                             bool greeks) noexcept;

// Either type, calls by put-call symmetry; derivatives in natural units.
[[nodiscard]] Result<PutResult> spectral_solve(const Tables& tables, double s, double k, double t,
                                               double r, double sigma, double q, OptionType type,
                                               bool greeks) noexcept;

}  // namespace greekmill::american::detail
