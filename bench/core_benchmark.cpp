// ns per call of the pricing core, without Python.  Google Benchmark; run by
// bench/run.sh (or build/bench/bench/core_benchmark after configuring with
// -DGREEKMILL_BUILD_BENCHMARKS=ON).
//
// The American price is timed once in each branch of the approximation
// (European, twelve terms, immediate exercise), and the American
// all_greeks is timed beside the price of the same inputs so that the report
// can state all_greeks / (11 x price).

#include <benchmark/benchmark.h>

#include "bjerksund_stensland.hpp"
#include "black_scholes.hpp"

namespace {

namespace bs = greekmill::black_scholes;
namespace am = greekmill::bjerksund_stensland;
using greekmill::OptionType;

struct Inputs {
    double s, k, t, r, sigma, q;
    OptionType type;
};

// The at-the-money European reference case.
constexpr Inputs kEuropean{100.0, 100.0, 1.0, 0.05, 0.2, 0.0, OptionType::Call};
// b = r takes the European branch.
constexpr Inputs kAmEuropeanBranch{100.0, 100.0, 0.5, 0.05, 0.2, 0.0, OptionType::Call};
// A put priced through the twelve terms (the Python benchmark's
// am_* case too).
constexpr Inputs kAmTwelveTerms{100.0, 100.0, 0.5, 0.05, 0.2, 0.03, OptionType::Put};
// S >= I2: immediate exercise.
constexpr Inputs kAmImmediate{150.0, 100.0, 0.5, 0.05, 0.2, 0.10, OptionType::Call};

// The inputs pass through DoNotOptimize on every iteration, so the compiler
// cannot fold or hoist the pure call.
template <class Op>
void run(benchmark::State& state, Inputs in, Op op) {
    for (auto _ : state) {
        benchmark::DoNotOptimize(in);
        auto result = op(in);
        benchmark::DoNotOptimize(result);
    }
}

void BM_bs_delta(benchmark::State& state) {
    run(state, kEuropean,
        [](const Inputs& x) { return *bs::delta(x.s, x.k, x.t, x.r, x.sigma, x.q, x.type); });
}
void BM_bs_all_greeks(benchmark::State& state) {
    run(state, kEuropean, [](const Inputs& x) {
        return *bs::all_greeks(x.s, x.k, x.t, x.r, x.sigma, x.q, x.type);
    });
}
void price(benchmark::State& state, Inputs in) {
    run(state, in,
        [](const Inputs& x) { return *am::price(x.s, x.k, x.t, x.r, x.sigma, x.q, x.type); });
}
void BM_am_price_european_branch(benchmark::State& state) { price(state, kAmEuropeanBranch); }
void BM_am_price_twelve_terms(benchmark::State& state) { price(state, kAmTwelveTerms); }
void BM_am_price_immediate_exercise(benchmark::State& state) { price(state, kAmImmediate); }
void BM_am_delta(benchmark::State& state) {
    run(state, kAmTwelveTerms,
        [](const Inputs& x) { return *am::delta(x.s, x.k, x.t, x.r, x.sigma, x.q, x.type); });
}
void BM_am_all_greeks(benchmark::State& state) {
    run(state, kAmTwelveTerms, [](const Inputs& x) {
        return *am::all_greeks(x.s, x.k, x.t, x.r, x.sigma, x.q, x.type);
    });
}

// The five single Greeks in turn: the eleven evaluations that all_greeks
// replaces by eight.
void BM_am_five_singles(benchmark::State& state) {
    run(state, kAmTwelveTerms, [](const Inputs& x) {
        return *am::delta(x.s, x.k, x.t, x.r, x.sigma, x.q, x.type) +
               *am::gamma(x.s, x.k, x.t, x.r, x.sigma, x.q, x.type) +
               *am::theta(x.s, x.k, x.t, x.r, x.sigma, x.q, x.type) +
               *am::vega(x.s, x.k, x.t, x.r, x.sigma, x.q, x.type) +
               *am::rho(x.s, x.k, x.t, x.r, x.sigma, x.q, x.type);
    });
}

}  // namespace

BENCHMARK(BM_bs_delta);
BENCHMARK(BM_bs_all_greeks);
BENCHMARK(BM_am_price_european_branch);
BENCHMARK(BM_am_price_twelve_terms);
BENCHMARK(BM_am_price_immediate_exercise);
BENCHMARK(BM_am_delta);
BENCHMARK(BM_am_all_greeks);
BENCHMARK(BM_am_five_singles);

BENCHMARK_MAIN();
