// Speed of the fast kernels, one thread: ns per option for the European
// price, delta and five Greeks over a random book of 10^6 options, at every
// width this CPU runs, beside the exact scalar loop over core/black_scholes.*;
// the Bjerksund-Stensland value and Greeks on the first twentieth of it;
// and ns per element of the maths kernels beside glibc's scalar functions and
// its vector library (libmvec, AVX2 and AVX-512 variants).
//
//   bench/fast_math/run.sh speed [options, default 1000000] [rounds, default 7]
//
// Cases are run round-robin, `rounds` times, and the median is reported with
// its ratio to the median of its baseline (the exact scalar loop of the same
// output, glibc's scalar function, one thread), so that a machine shared with
// other work skews all cases alike; the best round is printed too.  Times
// are the thread's CPU time (time-slicing by other processes excluded),
// except for the two-thread cases and their one-thread baselines, which are
// wall-clock time.
#include <immintrin.h>

#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <functional>
#include <random>
#include <string>
#include <thread>
#include <time.h>
#include <vector>

#include "batch/columns.hpp"
#include "bjerksund_stensland.hpp"
#include "black_scholes.hpp"
#include "fast/bjerksund_stensland_fast.hpp"
#include "fast/european_fast.hpp"
#include "fast/fast_math.hpp"
#include "option.hpp"

extern "C" {
__m256d _ZGVdN4v_exp(__m256d);
__m256d _ZGVdN4v_log(__m256d);
__m256d _ZGVdN4v_erfc(__m256d);
__m512d _ZGVeN8v_exp(__m512d);
__m512d _ZGVeN8v_log(__m512d);
__m512d _ZGVeN8v_erfc(__m512d);
}

namespace {

namespace fast = greekmill::fast;
namespace bs = greekmill::black_scholes;
using greekmill::OptionType;

volatile double g_sink = 0;

struct Case {
    std::string name;
    std::string baseline;  // name of the case it is compared with
    std::function<void()> run;
    std::size_t elements;
    bool wall;  // wall-clock time (the two-thread cases), else this thread's CPU time
    std::vector<double> ns;
};

double thread_cpu_ns() {
    timespec ts{};
    clock_gettime(CLOCK_THREAD_CPUTIME_ID, &ts);
    return static_cast<double>(ts.tv_sec) * 1e9 + static_cast<double>(ts.tv_nsec);
}

[[gnu::target("avx2")]] void mvec_avx2(__m256d (*f)(__m256d), const double* x, double* y,
                                       std::size_t n) {
    for (std::size_t i = 0; i + 4 <= n; i += 4) {
        _mm256_storeu_pd(y + i, f(_mm256_loadu_pd(x + i)));
    }
}

[[gnu::target("avx512f")]] void mvec_avx512(__m512d (*f)(__m512d), const double* x, double* y,
                                            std::size_t n) {
    for (std::size_t i = 0; i + 8 <= n; i += 8) {
        _mm512_storeu_pd(y + i, f(_mm512_loadu_pd(x + i)));
    }
}

// The exact path's price: the Black-Scholes-Merton value on glibc's exp,
// log and erfc (core/option.hpp's normal_cdf), as the exact core writes its
// Greeks.
double exact_price(double s, double k, double t, double r, double sigma, double q,
                   bool put) {
    const double sqrt_t = std::sqrt(t);
    const double v = sqrt_t * sigma;
    const double d1 = ((sigma * sigma * 0.5 + (r - q)) * t + std::log(s / k)) / v;
    const double d2 = d1 - v;
    const double dq = std::exp((-q) * t);
    const double dr = std::exp((-r) * t);
    if (put) {
        return (k * dr) * greekmill::normal_cdf(-d2) - (s * dq) * greekmill::normal_cdf(-d1);
    }
    return (s * dq) * greekmill::normal_cdf(d1) - (k * dr) * greekmill::normal_cdf(d2);
}

}  // namespace

int main(int argc, char** argv) {
    const std::size_t n = argc > 1 ? std::strtoull(argv[1], nullptr, 10) : 1000000;
    const int rounds = argc > 2 ? std::atoi(argv[2]) : 7;

    // The random book: spot 50..150, strike 50..150, 0.05..3 years, rate
    // 0..8 %, volatility 5..80 %, yield 0..5 %, calls and puts.
    std::mt19937_64 gen(20261208);
    auto uniform = [&](double a, double b) { return std::uniform_real_distribution<double>(a, b)(gen); };
    std::vector<double> s(n), k(n), t(n), r(n), sigma(n), q(n);
    std::vector<std::uint8_t> type(n);
    for (std::size_t i = 0; i < n; ++i) {
        s[i] = uniform(50, 150);
        k[i] = uniform(50, 150);
        t[i] = uniform(0.05, 3);
        r[i] = uniform(0, 0.08);
        sigma[i] = uniform(0.05, 0.8);
        q[i] = uniform(0, 0.05);
        type[i] = gen() & 1;
    }
    std::vector<double> out0(n), out1(n), out2(n), out3(n), out4(n);
    greekmill::batch::Inputs x;
    x.s = {s.data(), 1};
    x.k = {k.data(), 1};
    x.t = {t.data(), 1};
    x.r = {r.data(), 1};
    x.sigma = {sigma.data(), 1};
    x.q = {q.data(), 1};
    x.type = {type.data(), 1};
    greekmill::batch::Outputs y;
    y.out[0] = out0.data();
    y.out[1] = out1.data();
    y.out[2] = out2.data();
    y.out[3] = out3.data();
    y.out[4] = out4.data();

    // Kernel inputs: exp on [-20, 5], log on [1e-3, 1e3], erfc / Phi on [-10, 10].
    std::vector<double> ex(n), lx(n), nx(n), kout(n);
    for (std::size_t i = 0; i < n; ++i) {
        ex[i] = uniform(-20, 5);
        lx[i] = std::exp(uniform(std::log(1e-3), std::log(1e3)));
        nx[i] = uniform(-10, 10);
    }

    std::vector<Case> cases;
    std::size_t elements = n;
    bool wall = false;
    auto add = [&](std::string name, std::string baseline, std::function<void()> f) {
        cases.push_back({std::move(name), std::move(baseline), std::move(f), elements, wall, {}});
    };
    add("price exact scalar", "price exact scalar", [&] {
        for (std::size_t i = 0; i < n; ++i) {
            out0[i] = exact_price(s[i], k[i], t[i], r[i], sigma[i], q[i], type[i] != 0);
        }
    });
    add("delta exact scalar", "delta exact scalar", [&] {
        for (std::size_t i = 0; i < n; ++i) {
            out0[i] = *bs::delta(s[i], k[i], t[i], r[i], sigma[i], q[i],
                                 type[i] ? OptionType::Put : OptionType::Call);
        }
    });
    add("greeks exact scalar", "greeks exact scalar", [&] {
        for (std::size_t i = 0; i < n; ++i) {
            const auto g = *bs::all_greeks(s[i], k[i], t[i], r[i], sigma[i], q[i],
                                           type[i] ? OptionType::Put : OptionType::Call);
            out0[i] = g.delta;
            out1[i] = g.gamma;
            out2[i] = g.theta;
            out3[i] = g.vega;
            out4[i] = g.rho;
        }
    });
    const std::pair<fast::Width, const char*> widths[] = {
        {fast::Width::Sse2, "sse2"}, {fast::Width::Avx2, "avx2"}, {fast::Width::Avx512, "avx512"}};
    for (const auto& [w, wname] : widths) {
        if (!fast::supported(w)) {
            continue;
        }
        const std::string suffix = std::string(" fast ") + wname;
        add("price" + suffix, "price exact scalar", [&, w] { fast::european_price(x, y, 0, n, w); });
        add("delta" + suffix, "delta exact scalar", [&, w] { fast::european_delta(x, y, 0, n, w); });
        add("greeks" + suffix, "greeks exact scalar",
            [&, w] { fast::european_greeks(x, y, 0, n, w); });
    }
    // Two threads, each on one half (the split the worker pool makes).
    auto two_threads = [&](auto kernel) {
        std::thread other([&] { kernel(x, y, n / 2, n, fast::Width::Auto); });
        kernel(x, y, 0, n / 2, fast::Width::Auto);
        other.join();
    };
    wall = true;
    add("price fast auto 2 threads (wall)", "price fast auto 1 thread (wall)",
        [&] { two_threads(fast::european_price); });
    add("price fast auto 1 thread (wall)", "price fast auto 1 thread (wall)",
        [&] { fast::european_price(x, y, 0, n, fast::Width::Auto); });
    add("greeks fast auto 2 threads (wall)", "greeks fast auto 1 thread (wall)",
        [&] { two_threads(fast::european_greeks); });
    add("greeks fast auto 1 thread (wall)", "greeks fast auto 1 thread (wall)",
        [&] { fast::european_greeks(x, y, 0, n, fast::Width::Auto); });
    wall = false;
    // Bjerksund-Stensland on the first twentieth of the book (it costs
    // dozens of normal distribution functions per value).
    elements = n / 20;
    const std::size_t m = elements;
    add("am price exact scalar", "am price exact scalar", [&] {
        for (std::size_t i = 0; i < m; ++i) {
            out0[i] = *greekmill::bjerksund_stensland::price(
                s[i], k[i], t[i], r[i], sigma[i], q[i], type[i] ? OptionType::Put : OptionType::Call);
        }
    });
    add("am greeks exact scalar", "am greeks exact scalar", [&] {
        for (std::size_t i = 0; i < m; ++i) {
            const auto g = *greekmill::bjerksund_stensland::all_greeks(
                s[i], k[i], t[i], r[i], sigma[i], q[i], type[i] ? OptionType::Put : OptionType::Call);
            out0[i] = g.delta;
            out1[i] = g.gamma;
            out2[i] = g.theta;
            out3[i] = g.vega;
            out4[i] = g.rho;
        }
    });
    add("am delta exact scalar", "am delta exact scalar", [&] {
        for (std::size_t i = 0; i < m; ++i) {
            out0[i] = *greekmill::bjerksund_stensland::delta(
                s[i], k[i], t[i], r[i], sigma[i], q[i], type[i] ? OptionType::Put : OptionType::Call);
        }
    });
    for (const auto& [w, wname] : widths) {
        if (!fast::supported(w)) {
            continue;
        }
        const std::string suffix = std::string(" fast ") + wname;
        add("am delta" + suffix, "am delta exact scalar",
            [&, w] { fast::bjerksund_stensland_delta(x, y, 0, m, w); });
        add("am price" + suffix, "am price exact scalar",
            [&, w] { fast::bjerksund_stensland_price(x, y, 0, m, w); });
        add("am greeks" + suffix, "am greeks exact scalar",
            [&, w] { fast::bjerksund_stensland_greeks(x, y, 0, m, w); });
    }
    elements = n;
    // Kernels alone.
    add("exp glibc scalar", "exp glibc scalar", [&] {
        for (std::size_t i = 0; i < n; ++i) kout[i] = std::exp(ex[i]);
    });
    add("log glibc scalar", "log glibc scalar", [&] {
        for (std::size_t i = 0; i < n; ++i) kout[i] = std::log(lx[i]);
    });
    add("erfc glibc scalar", "erfc glibc scalar", [&] {
        for (std::size_t i = 0; i < n; ++i) kout[i] = std::erfc(nx[i]);
    });
    add("Phi exact (glibc erfc)", "Phi exact (glibc erfc)", [&] {
        for (std::size_t i = 0; i < n; ++i) kout[i] = greekmill::normal_cdf(nx[i]);
    });
    if (fast::supported(fast::Width::Avx2)) {
        add("exp libmvec avx2", "exp glibc scalar", [&] { mvec_avx2(_ZGVdN4v_exp, ex.data(), kout.data(), n); });
        add("log libmvec avx2", "log glibc scalar", [&] { mvec_avx2(_ZGVdN4v_log, lx.data(), kout.data(), n); });
        add("erfc libmvec avx2", "erfc glibc scalar", [&] { mvec_avx2(_ZGVdN4v_erfc, nx.data(), kout.data(), n); });
    }
    if (fast::supported(fast::Width::Avx512)) {
        add("exp libmvec avx512", "exp glibc scalar", [&] { mvec_avx512(_ZGVeN8v_exp, ex.data(), kout.data(), n); });
        add("log libmvec avx512", "log glibc scalar", [&] { mvec_avx512(_ZGVeN8v_log, lx.data(), kout.data(), n); });
        add("erfc libmvec avx512", "erfc glibc scalar", [&] { mvec_avx512(_ZGVeN8v_erfc, nx.data(), kout.data(), n); });
    }
    for (const auto& [w, wname] : widths) {
        if (!fast::supported(w)) {
            continue;
        }
        const std::string suffix = std::string(" fast ") + wname;
        add("exp" + suffix, "exp glibc scalar", [&, w] { fast::exp(ex.data(), kout.data(), n, w); });
        add("log" + suffix, "log glibc scalar", [&, w] { fast::log(lx.data(), kout.data(), n, w); });
        add("erfc" + suffix, "erfc glibc scalar", [&, w] { fast::erfc(nx.data(), kout.data(), n, w); });
        add("Phi" + suffix, "Phi exact (glibc erfc)",
            [&, w] { fast::normal_cdf(nx.data(), kout.data(), n, w); });
    }

    for (int round = 0; round < rounds; ++round) {
        for (Case& c : cases) {
            const auto start = std::chrono::steady_clock::now();
            const double cpu_start = thread_cpu_ns();
            c.run();
            const double cpu = thread_cpu_ns() - cpu_start;
            const auto stop = std::chrono::steady_clock::now();
            const double wall_ns = std::chrono::duration<double, std::nano>(stop - start).count();
            c.ns.push_back((c.wall ? wall_ns : cpu) / static_cast<double>(c.elements));
            g_sink = g_sink + out0[n / 2] + kout[n / 3];
        }
    }
    auto median = [](std::vector<double> v) {
        std::sort(v.begin(), v.end());
        return v[v.size() / 2];
    };
    std::printf("%zu elements, %d rounds, median ns per element; auto width here: %s\n\n", n,
                rounds,
                fast::resolve(fast::Width::Auto) == fast::Width::Avx512 ? "avx512"
                : fast::resolve(fast::Width::Auto) == fast::Width::Avx2 ? "avx2"
                                                                         : "sse2");
    std::printf("| case | median ns | vs baseline | best ns | baseline |\n|---|---|---|---|---|\n");
    for (const Case& c : cases) {
        double base = 0;
        for (const Case& b : cases) {
            if (b.name == c.baseline) {
                base = median(b.ns);
            }
        }
        const double m = median(c.ns);
        const double best = *std::min_element(c.ns.begin(), c.ns.end());
        std::printf("| %s | %.2f | %.3f | %.2f | %s |\n", c.name.c_str(), m, m / base, best,
                    c.baseline.c_str());
    }

    // Two threads on a machine whose cores are busy with other work: the wall
    // time above then shows the contention, not the kernels.  Each thread's
    // own CPU time per element, against one thread's, shows whether the two
    // halves slow each other down (shared caches, memory, clocks): when they
    // do not, two free cores take half the one-thread time.
    std::printf("\nTwo threads, each thread's CPU ns per element of its half (median of %d):\n\n"
                "| kernel | 1 thread | 2 threads, first | 2 threads, second |\n|---|---|---|---|\n",
                rounds);
    auto per_thread = [&](const char* label, auto kernel) {
        std::vector<double> one, first, second;
        for (int round = 0; round < rounds; ++round) {
            double c0 = thread_cpu_ns();
            kernel(x, y, 0, n, fast::Width::Auto);
            one.push_back((thread_cpu_ns() - c0) / static_cast<double>(n));
            double other_ns = 0;
            std::thread other([&] {
                const double c = thread_cpu_ns();
                kernel(x, y, n / 2, n, fast::Width::Auto);
                other_ns = thread_cpu_ns() - c;
            });
            c0 = thread_cpu_ns();
            kernel(x, y, 0, n / 2, fast::Width::Auto);
            first.push_back((thread_cpu_ns() - c0) / static_cast<double>(n / 2));
            other.join();
            second.push_back(other_ns / static_cast<double>(n - n / 2));
        }
        std::printf("| %s | %.2f | %.2f | %.2f |\n", label, median(one), median(first),
                    median(second));
    };
    per_thread("price", fast::european_price);
    per_thread("greeks", fast::european_greeks);
    return 0;
}
