// The baseline of the array benchmark: the core's own C++ loop over
// contiguous columns, with no Python, no pool and no domain check.
//   core_loop OPERATION N ROUNDS [mixed]
// OPERATION: price, delta, greeks (glibc, sharing the common terms),
// valuation, or fast_greeks (the vector kernels alone, into outputs written
// before).  With "mixed" a column of random calls and puts, else puts.
// Prints the median CPU nanoseconds per option over ROUNDS rounds.
#include <algorithm>
#include <ctime>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <random>
#include <vector>

#include "batch/columns.hpp"
#include "black_scholes.hpp"
#include "fast/european_fast.hpp"

namespace bs = greekmill::black_scholes;

int main(int argc, char** argv) {
    if (argc != 4 && argc != 5) {
        std::fprintf(stderr,
                     "usage: core_loop price|delta|greeks|valuation|fast_greeks N ROUNDS [mixed]\n");
        return 2;
    }
    const bool mixed = argc == 5 && std::strcmp(argv[4], "mixed") == 0;
    const char* what = argv[1];
    const std::size_t n = std::strtoull(argv[2], nullptr, 10);
    const int rounds = std::atoi(argv[3]);
    // The same distribution as bench/arrays/per_option.py draws.
    std::mt19937_64 rng(7);
    auto uniform = [&](double lo, double hi) {
        return std::uniform_real_distribution<double>(lo, hi)(rng);
    };
    std::vector<double> s(n), k(n), t(n), r(n), sigma(n), q(n);
    for (std::size_t i = 0; i < n; ++i) {
        s[i] = uniform(50, 150), k[i] = uniform(50, 150), t[i] = uniform(0.02, 2.0);
        r[i] = uniform(0.0, 0.08), sigma[i] = uniform(0.05, 0.8), q[i] = uniform(0.0, 0.05);
    }
    std::vector<double> out0(n), out1(n), out2(n), out3(n), out4(n), out5(n);
    std::vector<std::uint8_t> codes(n, 1);
    std::vector<greekmill::OptionType> types(n, greekmill::OptionType::Put);
    if (mixed) {
        for (std::size_t i = 0; i < n; ++i) {
            codes[i] = uniform(0.0, 1.0) < 0.5 ? 0 : 1;
            types[i] = codes[i] == 0 ? greekmill::OptionType::Call : greekmill::OptionType::Put;
        }
    }
    namespace batch = greekmill::batch;
    const batch::Inputs columns{{nullptr, 0},     {s.data(), 1},     {k.data(), 1},
                                {t.data(), 1},    {r.data(), 1},     {sigma.data(), 1},
                                {q.data(), 1},    {codes.data(), 1}, {}};
    const batch::Outputs outputs{{out0.data(), out1.data(), out2.data(), out3.data(), out4.data()}};
    for (double* out : {out0.data(), out1.data(), out2.data(), out3.data(), out4.data()}) {
        std::fill(out, out + n, 0.0);  // first touch before the clock
    }
    std::vector<double> times;
    for (int round = 0; round < rounds; ++round) {
        // CPU time of this process (one thread): the machine may be shared.
        const std::clock_t start = std::clock();
        if (std::strcmp(what, "price") == 0) {
            for (std::size_t i = 0; i < n; ++i) {
                out0[i] = *bs::price(s[i], k[i], t[i], r[i], sigma[i], q[i], types[i]);
            }
        } else if (std::strcmp(what, "delta") == 0) {
            for (std::size_t i = 0; i < n; ++i) {
                out0[i] = *bs::delta(s[i], k[i], t[i], r[i], sigma[i], q[i], types[i]);
            }
        } else if (std::strcmp(what, "fast_greeks") == 0) {
            greekmill::fast::european_greeks(columns, outputs, 0, n, greekmill::fast::Width::Auto);
        } else if (std::strcmp(what, "valuation") == 0) {
            for (std::size_t i = 0; i < n; ++i) {
                const bs::Valuation v =
                    *bs::valuation(s[i], k[i], t[i], r[i], sigma[i], q[i], types[i]);
                out0[i] = v.price, out1[i] = v.greeks.delta, out2[i] = v.greeks.gamma,
                out3[i] = v.greeks.theta, out4[i] = v.greeks.vega, out5[i] = v.greeks.rho;
            }
        } else {
            for (std::size_t i = 0; i < n; ++i) {
                const greekmill::Greeks g =
                    *bs::all_greeks(s[i], k[i], t[i], r[i], sigma[i], q[i], types[i]);
                out0[i] = g.delta, out1[i] = g.gamma, out2[i] = g.theta, out3[i] = g.vega,
                out4[i] = g.rho;
            }
        }
        const std::clock_t stop = std::clock();
        times.push_back(static_cast<double>(stop - start) * (1e9 / CLOCKS_PER_SEC) /
                        static_cast<double>(n));
    }
    std::sort(times.begin(), times.end());
    std::printf("%.3f\n", times[times.size() / 2]);
    return 0;
}
