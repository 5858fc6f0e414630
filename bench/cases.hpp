// The benchmark cases of the pricing core, shared by the Google Benchmark
// (core_benchmark) and the instruction-count driver (core_instructions), so
// that both measure the same inputs and the same operations.
#pragma once

#include "bjerksund_stensland.hpp"
#include "black_scholes.hpp"

namespace greekmill::bench {

namespace bs = greekmill::black_scholes;
namespace am = greekmill::bjerksund_stensland;

struct Inputs {
    double s, k, t, r, sigma, q;
    OptionType type;
};

// The at-the-money European reference case.
inline constexpr Inputs kEuropean{100.0, 100.0, 1.0, 0.05, 0.2, 0.0, OptionType::Call};
// b = r takes the European branch of the American price.
inline constexpr Inputs kAmEuropeanBranch{100.0, 100.0, 0.5, 0.05, 0.2, 0.0, OptionType::Call};
// A put priced through the twelve terms (the Python benchmark's am_* case too).
inline constexpr Inputs kAmTwelveTerms{100.0, 100.0, 0.5, 0.05, 0.2, 0.03, OptionType::Put};
// S >= I2: immediate exercise.
inline constexpr Inputs kAmImmediate{150.0, 100.0, 0.5, 0.05, 0.2, 0.10, OptionType::Call};

inline double bs_delta(const Inputs& x) {
    return *bs::delta(x.s, x.k, x.t, x.r, x.sigma, x.q, x.type);
}
inline Greeks bs_all_greeks(const Inputs& x) {
    return *bs::all_greeks(x.s, x.k, x.t, x.r, x.sigma, x.q, x.type);
}
inline double am_price(const Inputs& x) {
    return *am::price(x.s, x.k, x.t, x.r, x.sigma, x.q, x.type);
}
inline double am_delta(const Inputs& x) {
    return *am::delta(x.s, x.k, x.t, x.r, x.sigma, x.q, x.type);
}
inline Greeks am_all_greeks(const Inputs& x) {
    return *am::all_greeks(x.s, x.k, x.t, x.r, x.sigma, x.q, x.type);
}
// The five single Greeks in turn: the eleven evaluations that all_greeks
// replaces by eight.
inline double am_five_singles(const Inputs& x) {
    return *am::delta(x.s, x.k, x.t, x.r, x.sigma, x.q, x.type) +
           *am::gamma(x.s, x.k, x.t, x.r, x.sigma, x.q, x.type) +
           *am::theta(x.s, x.k, x.t, x.r, x.sigma, x.q, x.type) +
           *am::vega(x.s, x.k, x.t, x.r, x.sigma, x.q, x.type) +
           *am::rho(x.s, x.k, x.t, x.r, x.sigma, x.q, x.type);
}

}  // namespace greekmill::bench
