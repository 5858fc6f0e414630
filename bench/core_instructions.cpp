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

template <class T>
inline void opaque(T& value) {
    asm volatile("" : "+m"(value));
}

template <class Op>
int loop(Inputs in, long n, Op op) {
    double sink = 0.0;
    for (long i = 0; i < n; ++i) {
        opaque(in);
        sink += op(in);
        opaque(sink);
    }
    return sink == sink ? 0 : 1;
}

}  // namespace

int main(int argc, char** argv) {
    if (argc != 3) {
        std::fprintf(stderr, "usage: %s CASE N\n", argv[0]);
        return 2;
    }
    const char* name = argv[1];
    const long n = std::strtol(argv[2], nullptr, 10);
    const Inputs european{100.0, 100.0, 1.0, 0.05, 0.2, 0.0, OptionType::Call};
    const Inputs am_european{100.0, 100.0, 0.5, 0.05, 0.2, 0.0, OptionType::Call};
    const Inputs twelve{100.0, 100.0, 0.5, 0.05, 0.2, 0.03, OptionType::Put};
    const Inputs immediate{150.0, 100.0, 0.5, 0.05, 0.2, 0.10, OptionType::Call};
    const auto price = [](const Inputs& x) {
        return *am::price(x.s, x.k, x.t, x.r, x.sigma, x.q, x.type);
    };
    if (std::strcmp(name, "bs_delta") == 0) {
        return loop(european, n, [](const Inputs& x) {
            return *bs::delta(x.s, x.k, x.t, x.r, x.sigma, x.q, x.type);
        });
    }
    if (std::strcmp(name, "bs_greeks") == 0) {
        return loop(european, n, [](const Inputs& x) {
            return bs::all_greeks(x.s, x.k, x.t, x.r, x.sigma, x.q, x.type)->rho;
        });
    }
    if (std::strcmp(name, "am_price_european") == 0) return loop(am_european, n, price);
    if (std::strcmp(name, "am_price_twelve") == 0) return loop(twelve, n, price);
    if (std::strcmp(name, "am_price_immediate") == 0) return loop(immediate, n, price);
    if (std::strcmp(name, "am_delta") == 0) {
        return loop(twelve, n, [](const Inputs& x) {
            return *am::delta(x.s, x.k, x.t, x.r, x.sigma, x.q, x.type);
        });
    }
    if (std::strcmp(name, "am_greeks") == 0) {
        return loop(twelve, n, [](const Inputs& x) {
            return am::all_greeks(x.s, x.k, x.t, x.r, x.sigma, x.q, x.type)->rho;
        });
    }
    if (std::strcmp(name, "am_singles") == 0) {
        return loop(twelve, n, [](const Inputs& x) {
            return *am::delta(x.s, x.k, x.t, x.r, x.sigma, x.q, x.type) +
                   *am::gamma(x.s, x.k, x.t, x.r, x.sigma, x.q, x.type) +
                   *am::theta(x.s, x.k, x.t, x.r, x.sigma, x.q, x.type) +
                   *am::vega(x.s, x.k, x.t, x.r, x.sigma, x.q, x.type) +
                   *am::rho(x.s, x.k, x.t, x.r, x.sigma, x.q, x.type);
        });
    }
    std::fprintf(stderr, "unknown case %s\n", name);
    return 2;
}
