// Benchmark driver of the European implied volatility: a plain loop over
// cases, on one thread, timed by the thread's CPU clock.
//
//   driver solve CASES OUT [REPEATS]   CASES: n records of 7 doubles
//                                      (price, s, k, t, r, q, type 0/1);
//                                      OUT: n doubles (NaN where the core
//                                      returns an error); prints ns/volatility,
//                                      the best of REPEATS passes.
//   driver random N SEED [REPEATS]     N seeded market cases (calls and puts,
//                                      in and out of the money), priced from
//                                      the normalised Black function; prints
//                                      ns/volatility and the largest round-
//                                      trip error over its allowance.
//   driver american N SEED             (built with GREEKMILL_DRIVER_AMERICAN
//                                      and the engine) N seeded American
//                                      round trips: cost against one accurate
//                                      price, error, repricing.
#include <algorithm>
#include <ctime>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <limits>
#include <random>
#include <vector>

#include "implied_volatility.hpp"
#include "implied_volatility_detail.hpp"
#ifdef GREEKMILL_DRIVER_AMERICAN
#include "american/american.hpp"
#endif

namespace iv = greekmill::implied_volatility;
using greekmill::OptionType;

namespace {

struct Case {
    double price, s, k, t, r, q, type;
};

// CPU time of this thread: on a machine shared with other work it counts
// only the time the loop was scheduled, unlike the wall clock.
double thread_seconds() {
    timespec ts{};
    clock_gettime(CLOCK_THREAD_CPUTIME_ID, &ts);
    return static_cast<double>(ts.tv_sec) + 1e-9 * static_cast<double>(ts.tv_nsec);
}

double solve_all(const std::vector<Case>& cases, std::vector<double>& out) {
    const double start = thread_seconds();
    for (std::size_t i = 0; i < cases.size(); ++i) {
        const Case& c = cases[i];
        const auto v = iv::european(c.price, c.s, c.k, c.t, c.r, c.q,
                                    c.type == 0.0 ? OptionType::Call : OptionType::Put);
        out[i] = v ? *v : std::numeric_limits<double>::quiet_NaN();
    }
    const double stop = thread_seconds();
    return (stop - start) * 1e9 / static_cast<double>(cases.size());
}

double best_of(const std::vector<Case>& cases, std::vector<double>& out, int repeats) {
    double best = std::numeric_limits<double>::infinity();
    for (int i = 0; i < repeats; ++i) {
        best = std::min(best, solve_all(cases, out));
    }
    return best;
}

// The price of a European option from the normalised Black function, as
// the core reduces it (b is symmetric under x -> -x, call <-> put), and the
// allowance 4 ulp(price) / vega of the accuracy target.
struct Priced {
    double price;
    double allowance;
};

Priced price_of(double s, double k, double t, double r, double q, double sigma, bool put) {
    double x = std::log(s / k) + (r - q) * t;
    if (put) {
        x = -x;
    }
    const double norm = std::sqrt(s * k) * std::exp(-0.5 * (r + q) * t);
    const double total = sigma * std::sqrt(t);
    const double otm = iv::detail::normalised_black(-std::fabs(x), total);
    const double intrinsic = x > 0.0 ? 2.0 * std::sinh(0.5 * x) : 0.0;
    const double price = norm * (otm + intrinsic);
    const double h = x / total;
    const double vega = norm * std::exp(-0.5 * (h * h + 0.25 * total * total)) *
                        0.3989422804014327 * std::sqrt(t);
    const double ulp = std::nextafter(price, INFINITY) - price;
    return {price, std::fmax(4.0 * ulp / vega, 4.0 * (std::nextafter(sigma, INFINITY) - sigma))};
}

}  // namespace

int main(int argc, char** argv) {
    if (argc >= 4 && std::string_view(argv[1]) == "solve") {
        std::FILE* in = std::fopen(argv[2], "rb");
        if (in == nullptr) {
            return 2;
        }
        std::vector<Case> cases;
        Case c;
        while (std::fread(&c, sizeof(Case), 1, in) == 1) {
            cases.push_back(c);
        }
        std::fclose(in);
        std::vector<double> out(cases.size());
        const int repeats = argc >= 5 ? std::atoi(argv[4]) : 5;
        const double ns = best_of(cases, out, repeats);
        std::FILE* o = std::fopen(argv[3], "wb");
        std::fwrite(out.data(), sizeof(double), out.size(), o);
        std::fclose(o);
        std::printf("%.1f\n", ns);
        return 0;
    }
    if (argc >= 4 && std::string_view(argv[1]) == "random") {
        const auto n = static_cast<std::size_t>(std::atoll(argv[2]));
        std::mt19937_64 rng(static_cast<unsigned long long>(std::atoll(argv[3])));
        std::uniform_real_distribution<double> unit(0.0, 1.0);
        std::vector<Case> cases(n);
        std::vector<double> sigmas(n);
        std::vector<double> allowances(n);
        for (std::size_t i = 0; i < n; ++i) {
            // k a power of two makes s / k exact, so that the reference price
            // and the solver see the same log-moneyness (in the money an ulp
            // of x is many ulps of the price).
            const double k = 128.0;
            const double s = 128.0 * std::exp(0.8 * (unit(rng) - 0.5));  // 86 to 191
            const double t = 0.02 + 2.98 * unit(rng);
            const double r = 0.06 * unit(rng) - 0.01;
            const double q = 0.04 * unit(rng);
            const double sigma = 0.05 + 0.95 * unit(rng);
            const bool put = unit(rng) < 0.5;
            const Priced p = price_of(s, k, t, r, q, sigma, put);
            cases[i] = {p.price, s, k, t, r, q, put ? 1.0 : 0.0};
            sigmas[i] = sigma;
            allowances[i] = p.allowance;
        }
        std::vector<double> out(n);
        const int repeats = argc >= 5 ? std::atoi(argv[4]) : 5;
        const double ns = best_of(cases, out, repeats);
        // Over the cases the price determines (allowance below 1e-3 sigma):
        // the largest error in units of the allowance.  The reference price
        // is itself rounded, so about 1 is what a perfect solver shows.
        double worst = 0.0;
        std::size_t failed = 0;
        std::size_t determined = 0;
        for (std::size_t i = 0; i < n; ++i) {
            if (!(allowances[i] < 1e-3 * sigmas[i])) {
                continue;
            }
            ++determined;
            if (!std::isfinite(out[i])) {
                ++failed;
                continue;
            }
            worst = std::max(worst, std::fabs(out[i] - sigmas[i]) / allowances[i]);
        }
        std::printf("ns_per_volatility %.1f\ndetermined %zu of %zu\nfailed %zu\n"
                    "worst_error_over_allowance %.3g\n",
                    ns, determined, n, failed, worst);
        return 0;
    }
#ifdef GREEKMILL_DRIVER_AMERICAN
    if (argc >= 4 && std::string_view(argv[1]) == "american") {
        // N seeded cases: price with the accurate engine, then solve; the
        // cost of a solve against that of one accurate price, the largest
        // error where the vega exceeds 1e-6 of the spot, and the largest
        // relative difference of the repriced value.
        namespace engine = greekmill::american;
        const auto n = std::atoi(argv[2]);
        std::mt19937_64 rng(static_cast<unsigned long long>(std::atoll(argv[3])));
        std::uniform_real_distribution<double> unit(0.0, 1.0);
        double price_seconds = 0.0;
        double solve_seconds = 0.0;
        double worst = 0.0;
        double worst_reprice = 0.0;
        int counted = 0;
        int failed = 0;
        int no_information = 0;
        for (int i = 0; i < n; ++i) {
            const double s = 100.0;
            const double k = s * std::exp(0.6 * (unit(rng) - 0.5));
            const double t = 0.05 + 2.95 * unit(rng);
            const double r = 0.08 * unit(rng);
            const double q = 0.06 * unit(rng) - 0.01;
            const double sigma = 0.05 + 0.75 * unit(rng);
            const OptionType type = unit(rng) < 0.5 ? OptionType::Put : OptionType::Call;
            double a = thread_seconds();
            const auto p = engine::price(s, k, t, r, sigma, q, type, engine::Accuracy::Accurate);
            price_seconds += thread_seconds() - a;
            a = thread_seconds();
            const auto v = iv::american(*p, s, k, t, r, q, type, engine::Accuracy::Accurate);
            solve_seconds += thread_seconds() - a;
            const double h = 1e-5;
            const double vega =
                (*engine::price(s, k, t, r, sigma + h, q, type, engine::Accuracy::Accurate) -
                 *engine::price(s, k, t, r, sigma - h, q, type, engine::Accuracy::Accurate)) /
                (2.0 * h);
            if (!v) {
                if (v.error() == iv::Error::NoVolatilityInformation) {
                    ++no_information;
                }
                if (vega > 1e-6 * s) {
                    ++failed;
                }
                continue;
            }
            const double repriced =
                *engine::price(s, k, t, r, *v, q, type, engine::Accuracy::Accurate);
            worst_reprice = std::max(worst_reprice, std::fabs(repriced - *p) / *p);
            if (vega > 1e-6 * s) {
                ++counted;
                worst = std::max(worst, std::fabs(*v - sigma));
            }
        }
        std::printf("cases %d (vega > 1e-6 s: %d; failed there %d; no volatility information %d)\n"
                    "accurate_price_us %.1f\nsolve_us %.1f\nsolve_over_price %.2f\n"
                    "worst_abs_error_sigma %.3g\nworst_relative_reprice %.3g\n",
                    n, counted, failed, no_information, 1e6 * price_seconds / n,
                    1e6 * solve_seconds / n, solve_seconds / price_seconds, worst, worst_reprice);
        return 0;
    }
#endif
    std::fprintf(stderr, "usage: driver solve CASES OUT [REPEATS] | driver random N SEED [REPEATS]"
                         " | driver american N SEED\n");
    return 2;
}
