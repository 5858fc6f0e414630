// European options with precision="fast": the Black-Scholes-Merton price and
// Greeks of core/black_scholes.* (same formulas, grouping and units: theta
// per calendar day, vega per 1.0 of volatility, rho per percentage point)
// on the vectorised maths of fast_math.hpp, over ranges of batch columns.
//
// Every element of [begin, end) has passed the domain check (finite,
// s > 0, k > 0, t >= 0, sigma >= 0).  Columns may be broadcast scalars
// (stride 0) or contiguous (stride 1).  Results are the same bits for every
// width and every split of a range.  They differ from the exact path by the
// few ulps of the maths functions, amplified only where the formulas are
// ill-conditioned (docs/fast_math.md has the measured errors).
//
// Where sigma sqrt(t) = 0 (t = 0 or sigma = 0) the formulas take their
// limits: d1 = d2 = +-inf by the sign of ln(s/k) + (r - q) t, or 0 at the
// money-forward (Phi = 1/2).  Terms with phi(d1) vanish off the
// money-forward; at it, gamma is +inf, vega is s e^{-qt} sqrt(t) phi(0) and
// theta's phi term is -inf when t = 0 (0 when sigma = 0 and t > 0).
// Gamma's dividend discount is exp(-q t) (the exact path's pow(e, -q t)
// differs from it by an ulp at most).
#pragma once

#include <cstddef>

#include "batch/columns.hpp"
#include "fast/fast_math.hpp"

namespace greekmill::fast {

// y.out[0][i] = the output for element i, i in [begin, end).
void european_price(const batch::Inputs& x, const batch::Outputs& y, std::size_t begin,
                    std::size_t end, Width w) noexcept;
void european_delta(const batch::Inputs& x, const batch::Outputs& y, std::size_t begin,
                    std::size_t end, Width w) noexcept;
void european_gamma(const batch::Inputs& x, const batch::Outputs& y, std::size_t begin,
                    std::size_t end, Width w) noexcept;
void european_theta(const batch::Inputs& x, const batch::Outputs& y, std::size_t begin,
                    std::size_t end, Width w) noexcept;
void european_vega(const batch::Inputs& x, const batch::Outputs& y, std::size_t begin,
                   std::size_t end, Width w) noexcept;
void european_rho(const batch::Inputs& x, const batch::Outputs& y, std::size_t begin,
                  std::size_t end, Width w) noexcept;
// y.out[0..4] = delta, gamma, theta, vega, rho; each the bits of the single
// kernel.
void european_greeks(const batch::Inputs& x, const batch::Outputs& y, std::size_t begin,
                     std::size_t end, Width w) noexcept;

}  // namespace greekmill::fast
