// Runs one core operation n times, for instruction counts under
// `valgrind --tool=callgrind` where timings on a shared machine are too
// noisy.  bench/run.sh runs it twice per case (n and 2n calls) and takes the
// difference, so start-up and the loader cancel out.
//
//   core_instructions CASE N     CASE: bs_delta bs_greeks am_price_european
//                                am_price_twelve am_price_immediate am_delta
//                                am_greeks am_singles (the five single Greeks)

#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "cases.hpp"

namespace {

using namespace greekmill::bench;

template <class T>
inline void opaque(T& value) {
    asm volatile("" : "+m"(value));
}

double value_of(double x) { return x; }
double value_of(const greekmill::Greeks& g) { return g.rho; }

template <class Op>
int loop(Inputs in, long n, Op op) {
    double sink = 0.0;
    for (long i = 0; i < n; ++i) {
        opaque(in);
        sink += value_of(op(in));
        opaque(sink);
    }
    return sink == sink ? 0 : 1;
}

template <auto Op>
int run_case(Inputs in, long n) {
    return loop(in, n, Op);
}

}  // namespace

int main(int argc, char** argv) {
    if (argc != 3) {
        std::fprintf(stderr, "usage: %s CASE N\n", argv[0]);
        return 2;
    }
    const char* name = argv[1];
    const long n = std::strtol(argv[2], nullptr, 10);
    struct Case {
        const char* name;
        Inputs inputs;
        int (*run)(Inputs, long);
    };
    const Case cases[] = {
        {"bs_delta", kEuropean, run_case<bs_delta>},
        {"bs_greeks", kEuropean, run_case<bs_all_greeks>},
        {"am_price_european", kAmEuropeanBranch, run_case<am_price>},
        {"am_price_twelve", kAmTwelveTerms, run_case<am_price>},
        {"am_price_immediate", kAmImmediate, run_case<am_price>},
        {"am_delta", kAmTwelveTerms, run_case<am_delta>},
        {"am_greeks", kAmTwelveTerms, run_case<am_all_greeks>},
        {"am_singles", kAmTwelveTerms, run_case<am_five_singles>},
    };
    for (const Case& c : cases) {
        if (std::strcmp(name, c.name) == 0) {
            return c.run(c.inputs, n);
        }
    }
    std::fprintf(stderr, "unknown case %s\n", name);
    return 2;
}
