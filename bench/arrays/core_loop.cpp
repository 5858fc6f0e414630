// The baseline of the array benchmark: the core's own C++ loop over
// contiguous columns, with no Python, no pool and no domain check.
//   core_loop OPERATION N ROUNDS   (OPERATION: price, delta or greeks)
// prints the median nanoseconds per option over ROUNDS rounds.
#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <random>
#include <vector>

#include "black_scholes.hpp"

namespace bs = greekmill::black_scholes;

int main(int argc, char** argv) {
    if (argc != 4) {
        std::fprintf(stderr, "usage: core_loop price|delta|greeks N ROUNDS\n");
        return 2;
    }
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
    std::vector<double> out0(n), out1(n), out2(n), out3(n), out4(n);
    const auto type = greekmill::OptionType::Put;
    std::vector<double> times;
    for (int round = 0; round < rounds; ++round) {
        const auto start = std::chrono::steady_clock::now();
        if (std::strcmp(what, "price") == 0) {
            for (std::size_t i = 0; i < n; ++i) {
                out0[i] = *bs::price(s[i], k[i], t[i], r[i], sigma[i], q[i], type);
            }
        } else if (std::strcmp(what, "delta") == 0) {
            for (std::size_t i = 0; i < n; ++i) {
                out0[i] = *bs::delta(s[i], k[i], t[i], r[i], sigma[i], q[i], type);
            }
        } else {
            for (std::size_t i = 0; i < n; ++i) {
                const greekmill::Greeks g = *bs::all_greeks(s[i], k[i], t[i], r[i], sigma[i], q[i], type);
                out0[i] = g.delta, out1[i] = g.gamma, out2[i] = g.theta, out3[i] = g.vega,
                out4[i] = g.rho;
            }
        }
        const auto stop = std::chrono::steady_clock::now();
        times.push_back(std::chrono::duration<double, std::nano>(stop - start).count() /
                        static_cast<double>(n));
    }
    std::sort(times.begin(), times.end());
    std::printf("%.3f\n", times[times.size() / 2]);
    return 0;
}
