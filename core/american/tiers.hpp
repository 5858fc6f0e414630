// The accuracy tiers of the spectral engine as constant tables.
//
// Andersen, Lake and Offengenden (2016) steer the engine with four numbers
// (their section 5): n, the degree of the Chebyshev interpolant of the
// exercise boundary in sqrt(tau); l, the Gauss-Legendre order of the integrals
// inside the fixed-point map; m, the number of fixed-point iterations (the
// first a partial Jacobi-Newton step); p, the Gauss-Legendre order of the
// final premium integral.  Each tier's error, measured on the benchmark
// portfolios, is in docs/american_engine.md.
#pragma once

#include "american.hpp"

namespace greekmill::american::detail {

struct Tier {
    int n;            // Chebyshev degree: nodes 0..n in sqrt(tau)
    int l;            // quadrature points per boundary integral
    int m;            // fixed-point iterations at most
    int p;            // quadrature points of the premium integral
    double tolerance; // stop iterating once no node moves more (in ln B)
};

// m counts Newton steps on the discrete FP-B system (see engine_lanes.hpp):
// from the QD+ start each step squares the error, so two to four suffice.
// The error is set by n (the interpolation of the boundary near tau = 0,
// where it behaves like sqrt(tau ln tau)) and p.  Both needs grow with the
// total volatility sigma sqrt(T): the boundary moves further from B(0+) and
// the near-expiry structure is squeezed into the first nodes.  So each tier
// has a second setting for sigma sqrt(T) >= kLongTotalVolatility, chosen
// from a sweep of (n, l, m, p) (docs/american_frontier.png): measured on
// 1,000 options of 2 to 30 years, the max error of the fast tier's short
// setting grows from 2e-5 below sigma sqrt(T) = 0.5 to 1.4e-3 at 2-3.3,
// and its long setting keeps it below 1e-4 (the accurate tier's one setting
// meets its targets on both sets; n = 24 was worse than 20 on the long
// options, 7e-6 against 3e-6).  l is a multiple of eight, so
// that no lane of the widest vectors is wasted.
inline constexpr Tier kFast{8, 8, 2, 32, 1e-9};
inline constexpr Tier kFastLong{16, 8, 2, 32, 1e-9};
inline constexpr Tier kAccurate{20, 16, 3, 64, 1e-12};
inline constexpr Tier kAccurateLong{20, 16, 3, 64, 1e-12};
inline constexpr Tier kHigh{24, 24, 4, 64, 1e-14};
inline constexpr Tier kHighLong{32, 24, 4, 128, 1e-14};
inline constexpr double kLongTotalVolatility = 0.5;
// The finer setting the benchmark measures the tiers against.
inline constexpr Tier kReference{32, 48, 6, 128, 1e-15};

// Capacities of the fixed-size work arrays: the largest tier and the finer
// setting the benchmark checks the high tier's convergence against.
inline constexpr int kMaxN = 32;
inline constexpr int kMaxL = 48;
inline constexpr int kMaxP = 256;

}  // namespace greekmill::american::detail
