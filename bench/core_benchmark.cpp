// ns per call of the pricing core, without Python.  Google Benchmark; run by
// bench/run.sh (or build/bench/bench/core_benchmark after configuring with
// -DGREEKMILL_BUILD_BENCHMARKS=ON).
//
// The American price is timed once in each branch of the approximation
// (European, twelve terms, immediate exercise), and the American
// all_greeks is timed beside the price of the same inputs so that the report
// can state all_greeks / (11 x price).

#include <benchmark/benchmark.h>

#include "cases.hpp"

namespace {

using namespace greekmill::bench;

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

void BM_bs_delta(benchmark::State& state) { run(state, kEuropean, bs_delta); }
void BM_bs_all_greeks(benchmark::State& state) { run(state, kEuropean, bs_all_greeks); }
void BM_am_price_european_branch(benchmark::State& state) {
    run(state, kAmEuropeanBranch, am_price);
}
void BM_am_price_twelve_terms(benchmark::State& state) { run(state, kAmTwelveTerms, am_price); }
void BM_am_price_immediate_exercise(benchmark::State& state) {
    run(state, kAmImmediate, am_price);
}
void BM_am_delta(benchmark::State& state) { run(state, kAmTwelveTerms, am_delta); }
void BM_am_all_greeks(benchmark::State& state) { run(state, kAmTwelveTerms, am_all_greeks); }
void BM_am_five_singles(benchmark::State& state) { run(state, kAmTwelveTerms, am_five_singles); }

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
