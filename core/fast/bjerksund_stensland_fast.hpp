// American options after Bjerksund and Stensland (2002) with
// precision="fast": the formulas, branches, bumps and units of
// core/bjerksund_stensland.* on the vectorised maths of fast_math.hpp, over
// ranges of batch columns.  Every element of [begin, end) has passed the
// domain check (finite, s > 0, k > 0, t >= 0, sigma >= 0); columns have
// stride 0 or 1.  Results are the same bits for every width and every split
// of a range; their distance from the exact path is in docs/fast_math.md
// (the Greeks are finite differences, which amplify the few-ulp differences
// of the value: by about 1e4 for delta, vega and rho, 1e8 for gamma).
#pragma once

#include <cstddef>

#include "batch/columns.hpp"
#include "fast/fast_math.hpp"

namespace greekmill::fast {

// y.out[0][i] = the American value of element i.
void bjerksund_stensland_price(const batch::Inputs& x, const batch::Outputs& y, std::size_t begin,
                               std::size_t end, Width w) noexcept;
// y.out[0][i] = one Greek of element i, from only the values it needs; the
// same bits as the field of bjerksund_stensland_greeks.
void bjerksund_stensland_delta(const batch::Inputs& x, const batch::Outputs& y,
                               std::size_t begin, std::size_t end, Width w) noexcept;
void bjerksund_stensland_gamma(const batch::Inputs& x, const batch::Outputs& y,
                               std::size_t begin, std::size_t end, Width w) noexcept;
void bjerksund_stensland_theta(const batch::Inputs& x, const batch::Outputs& y,
                               std::size_t begin, std::size_t end, Width w) noexcept;
void bjerksund_stensland_vega(const batch::Inputs& x, const batch::Outputs& y,
                              std::size_t begin, std::size_t end, Width w) noexcept;
void bjerksund_stensland_rho(const batch::Inputs& x, const batch::Outputs& y,
                             std::size_t begin, std::size_t end, Width w) noexcept;
// y.out[0..4] = delta, gamma, theta, vega, rho (the bumps of all_greeks).
void bjerksund_stensland_greeks(const batch::Inputs& x, const batch::Outputs& y,
                                std::size_t begin, std::size_t end, Width w) noexcept;

}  // namespace greekmill::fast
