// Accuracy and speed of the spectral American engine, per tier, on the
// benchmark portfolios:
//   puts    the 6,000-put grid of Andersen, Lake and Offengenden (2016):
//           strike 100, spot {25,50,80,90,100,110,120,150,175,200}, expiry
//           {30,91,183,274,365} days, rate {2..10 %}, yield {0..12 %},
//           volatility {10..60 %};
//   calls   the same grid as calls;
//   long    1,000 seeded options (puts and calls) with expiries of 2 to 30 years;
//   double  60 seeded options in the double-boundary regime (20 of them with
//           the spot within 4 % of the strike; puts q < r < 0,
//           calls r < q < 0), against an extrapolated binomial tree (BBSR).
// The reference of the first three is the engine at a finer setting than the
// high tier (tiers.hpp: kReference); the Python script beside this file
// cross-checks it with QuantLib and times QuantLib's engines.
//
// Usage: american_accuracy [cases.csv [set]]   (writes the cases and references;
//        with a set name, runs that set only)
//        american_accuracy --edges   (the edges of the domain: bounds,
//        monotonicity in T, the boundary's monotonicity in tau and the Greeks
//        at the boundary, per tier; see edges() below)
//        american_accuracy --frontier > frontier.csv   (the accuracy-speed
//        frontier: RMSE, max error and time per option on the puts and the
//        long-dated set for a sweep of settings (n, l, m, p) and for the
//        tiers; docs/plot_american_frontier.py draws it beside QuantLib)
#include <algorithm>
#include <cmath>
#include <cstdio>
#include <ctime>
#include <random>
#include <string>
#include <vector>

#include "american/american.hpp"
#include "american/collocation.hpp"
#include "american/tiers.hpp"
#include "american_reference.hpp"
#include "black_scholes.hpp"

using namespace greekmill;
using american::Accuracy;

namespace {

struct Case {
    std::string set;
    OptionType type;
    double s, k;
    int days;
    double r, q, sigma;
    double t() const { return days / 365.0; }
};

std::vector<Case> grid(OptionType type, const char* name) {
    std::vector<Case> cases;
    for (double s : {25.0, 50.0, 80.0, 90.0, 100.0, 110.0, 120.0, 150.0, 175.0, 200.0}) {
        for (int days : {30, 91, 183, 274, 365}) {
            for (double r : {0.02, 0.04, 0.06, 0.08, 0.10}) {
                for (double q : {0.0, 0.04, 0.08, 0.12}) {
                    for (double sigma : {0.1, 0.2, 0.3, 0.4, 0.5, 0.6}) {
                        cases.push_back({name, type, s, 100.0, days, r, q, sigma});
                    }
                }
            }
        }
    }
    return cases;
}

std::vector<Case> long_dated() {
    std::mt19937_64 rng(20160601);
    std::uniform_real_distribution<double> u(0.0, 1.0);
    std::vector<Case> cases;
    for (int i = 0; i < 1000; ++i) {
        Case c{"long", i % 2 == 0 ? OptionType::Put : OptionType::Call, 25.0 + 175.0 * u(rng),
               100.0, 730 + static_cast<int>(u(rng) * (10950 - 730)), 0.02 + 0.08 * u(rng),
               0.12 * u(rng), 0.1 + 0.5 * u(rng)};
        cases.push_back(c);
    }
    return cases;
}

std::vector<Case> double_boundary() {
    std::mt19937_64 rng(2021);
    std::uniform_real_distribution<double> u(0.0, 1.0);
    std::vector<Case> cases;
    for (int i = 0; i < 40; ++i) {
        const double a = -0.05 * u(rng);            // the higher of the two rates
        const double b = a - 0.01 - 0.04 * u(rng);  // the lower one
        const bool put = i % 2 == 0;
        Case c{"double", put ? OptionType::Put : OptionType::Call, 60.0 + 80.0 * u(rng), 100.0,
               36 + static_cast<int>(u(rng) * (1825 - 36)), put ? a : b, put ? b : a,
               0.1 + 0.4 * u(rng)};
        cases.push_back(c);
    }
    // Spots within 4 % of the strike, where the grid switches between the
    // spot on a node and the spot between nodes.
    for (int i = 0; i < 20; ++i) {
        const double a = -0.05 * u(rng);
        const double b = a - 0.01 - 0.04 * u(rng);
        const bool put = i % 2 == 0;
        Case c{"double", put ? OptionType::Put : OptionType::Call,
               100.0 * std::exp(-0.04 + 0.08 * u(rng)), 100.0,
               36 + static_cast<int>(u(rng) * (1825 - 36)), put ? a : b, put ? b : a,
               0.1 + 0.4 * u(rng)};
        cases.push_back(c);
    }
    return cases;
}

double cpu_seconds() {
    timespec ts{};
    clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &ts);
    return ts.tv_sec + 1e-9 * ts.tv_nsec;
}

american::detail::Tables reference_tables;

// Early exercise pays only for a put with r > 0 and a call with q > 0 on
// these sets; elsewhere the engine returns the European value exactly.
bool single_boundary(const Case& c) { return c.type == OptionType::Put ? c.r > 0.0 : c.q > 0.0; }

double value_at(const Case& c, double s, double t, double r, double sigma) {
    if (!single_boundary(c)) {
        return *american::price(s, c.k, t, r, sigma, c.q, c.type, Accuracy::High);
    }
    return american::detail::spectral_solve(reference_tables, s, c.k, t, r, sigma, c.q, c.type,
                                            false)
        ->value;
}

double reference_value(const Case& c) { return value_at(c, c.s, c.t(), c.r, c.sigma); }

american::detail::PutResult reference_greeks(const Case& c) {
    if (!single_boundary(c)) {
        const auto v =
            *american::value_and_greeks(c.s, c.k, c.t(), c.r, c.sigma, c.q, c.type, Accuracy::High);
        american::detail::PutResult x{};
        x.value = v.price;
        x.delta = v.greeks.delta;
        x.gamma = v.greeks.gamma;
        x.dtau = -365.0 * v.greeks.theta;
        x.dsigma = v.greeks.vega;
        x.drate = 100.0 * v.greeks.rho;
        return x;
    }
    return *american::detail::spectral_solve(reference_tables, c.s, c.k, c.t(), c.r, c.sigma,
                                             c.q, c.type, true);
}

struct Errors {
    double rmse;
    double max;
};

Errors errors(const std::vector<double>& a, const std::vector<double>& b) {
    double sum = 0.0;
    double worst = 0.0;
    for (std::size_t i = 0; i < a.size(); ++i) {
        const double e = std::fabs(a[i] - b[i]);
        sum += e * e;
        worst = std::max(worst, e);
    }
    return {std::sqrt(sum / a.size()), worst};
}

// Microseconds of CPU time per option, the best of `rounds` passes.
template <class F>
double time_per_option(const std::vector<Case>& cases, int rounds, F f) {
    double best = 1e300;
    volatile double sink = 0.0;
    for (int round = 0; round < rounds; ++round) {
        const double start = cpu_seconds();
        for (const Case& c : cases) {
            sink = sink + f(c);
        }
        best = std::min(best, cpu_seconds() - start);
    }
    return 1e6 * best / cases.size();
}

const char* kTierNames[3] = {"fast", "accurate", "high"};

// One row of the frontier: errors against the reference and CPU time.
template <class Price>
void frontier_row(const char* label, const std::vector<Case>& cases,
                  const std::vector<double>& reference, Price price) {
    std::vector<double> value(cases.size());
    for (std::size_t i = 0; i < cases.size(); ++i) {
        value[i] = price(cases[i]);
    }
    const Errors e = errors(value, reference);
    std::printf("%s,%s,%.3e,%.3e,%.3f\n", cases.front().set.c_str(), label, e.rmse, e.max,
                time_per_option(cases, 3, price));
    std::fflush(stdout);
}

int frontier() {
    namespace detail = american::detail;
    static detail::Tables tables;
    const detail::Tier sweep[] = {
        {6, 8, 2, 16, 1e-9},    {8, 8, 1, 32, 1e-9},    {8, 8, 2, 24, 1e-9},
        {8, 8, 2, 32, 1e-9},    {10, 8, 2, 32, 1e-9},   {12, 8, 2, 32, 1e-9},
        {12, 16, 2, 32, 1e-9},  {12, 16, 3, 32, 1e-12}, {16, 8, 2, 32, 1e-9},
        {16, 16, 2, 32, 1e-12}, {16, 16, 3, 32, 1e-12}, {16, 24, 3, 64, 1e-12},
        {20, 16, 3, 64, 1e-12}, {24, 16, 3, 64, 1e-12}, {24, 24, 4, 64, 1e-14},
        {32, 24, 4, 128, 1e-14},
    };
    std::printf("set,setting,rmse,max,us\n");
    for (const std::vector<Case>& cases : {grid(OptionType::Put, "puts"), long_dated()}) {
        std::vector<double> reference(cases.size());
        for (std::size_t i = 0; i < cases.size(); ++i) {
            reference[i] = reference_value(cases[i]);
        }
        for (const detail::Tier& tier : sweep) {
            detail::build_tables(tier, tables);
            char label[64];
            std::snprintf(label, sizeof label, "n=%d l=%d m=%d p=%d", tier.n, tier.l, tier.m,
                          tier.p);
            frontier_row(label, cases, reference, [&](const Case& c) {
                if (!single_boundary(c)) {
                    return *american::price(c.s, c.k, c.t(), c.r, c.sigma, c.q, c.type,
                                            Accuracy::Fast);
                }
                return detail::spectral_solve(tables, c.s, c.k, c.t(), c.r, c.sigma, c.q, c.type,
                                              false)->value;
            });
        }
        for (int tier = 0; tier < 3; ++tier) {
            const std::string label = std::string("tier ") + kTierNames[tier];
            frontier_row(label.c_str(), cases, reference, [&](const Case& c) {
                return *american::price(c.s, c.k, c.t(), c.r, c.sigma, c.q, c.type,
                                        static_cast<Accuracy>(tier));
            });
        }
    }
    return 0;
}


// ---- The edges of the domain, where no finer reference is independent
// enough: rigorous bounds and monotonicity instead.  Three seeded sets:
//   corner   400 options, T 10-50 years, sigma 0.5-5 %, r and q 0-30 %,
//            spot 37-272 (strike 100), puts and calls: the long-dated,
//            low-volatility, high-carry corner;
//   wide     1,000 options, T 1e-3-50 years, sigma 0.5-300 %, r and q
//            -1-30 %, 20 % of them with q = 0, spot 5-2,000;
//   boundary 400 options of the wide set's ranges (sigma 3-150 %, T 0.01-30
//            years, r and q 0-20 %), spot at B(1 +- 0.001) just outside the
//            exercise region;
//   double   200 options in the double-boundary regime (puts q < r < 0,
//            calls r < q < 0), half with expiries of 1-30 days and spots
//            within 10 % of the strike, half 0.01-5 years within 30 %:
//            the signs of gamma and vega, which the model fixes (the value
//            is convex in the spot).
// Per tier: the largest shortfall below max(European, exercise value,
// exercise on the best fixed date) and the largest fall from T to 1.02 T
// (both per unit of strike); the largest rise of the boundary over 60 values
// of tau in (0, T] (per unit of strike, where it must fall for a put and
// rise for a call); and theta, vega and rho at the boundary against central
// differences of the same tier's price, counted where they differ by more
// than 1 % and 10 times the difference's own error (estimated from steps h
// and 2 h), and the largest difference (theta per day, vega per 1.0, rho per
// percentage point).

double european_value(double s, double k, double t, double r, double sigma, double q,
                      OptionType type) {
    if (black_scholes::zero_total_volatility(t, sigma)) {
        return black_scholes::price_at_zero_volatility(s, k, t, r, sigma, q, type);
    }
    return *black_scholes::price(s, k, t, r, sigma, q, type);
}

double lower_bound(double s, double k, double t, double r, double sigma, double q,
                   OptionType type) {
    constexpr int kDates = 200;
    double best = std::fmax(type == OptionType::Call ? s - k : k - s, 0.0);
    double best_t = t;
    const auto at = [&](double u) { return european_value(s, k, u, r, sigma, q, type); };
    for (int i = 1; i <= kDates; ++i) {
        const double v = at(t * i / kDates);
        if (v > best) {
            best = v;
            best_t = t * i / kDates;
        }
    }
    double lo = std::fmax(best_t - t / kDates, 0.0);
    double hi = std::fmin(best_t + t / kDates, t);
    for (int i = 0; i < 60; ++i) {
        const double a = lo + 0.381966 * (hi - lo);
        const double b = lo + 0.618034 * (hi - lo);
        if (at(a) > at(b)) {
            hi = b;
        } else {
            lo = a;
        }
    }
    return std::fmax(best, at(0.5 * (lo + hi)));
}

struct EdgeCase {
    double s, k, t, r, q, sigma;
    OptionType type;
};

std::vector<EdgeCase> edge_set(int which) {
    std::mt19937_64 rng(2600 + which);
    std::uniform_real_distribution<double> u(0.0, 1.0);
    const auto log_uniform = [&](double a, double b) {
        return std::exp(std::log(a) + u(rng) * std::log(b / a));
    };
    std::vector<EdgeCase> cases;
    const int count = which == 1 ? 1000 : (which == 3 ? 200 : 400);
    for (int i = 0; i < count; ++i) {
        EdgeCase c{};
        c.k = 100.0;
        c.type = i % 2 == 0 ? OptionType::Put : OptionType::Call;
        if (which == 0) {
            c.s = 100.0 * std::exp(2.0 * (u(rng) - 0.5));
            c.t = 10.0 + 40.0 * u(rng);
            c.r = 0.3 * u(rng);
            c.q = 0.3 * u(rng);
            c.sigma = log_uniform(0.005, 0.05);
        } else if (which == 1) {
            c.s = 100.0 * std::exp(6.0 * (u(rng) - 0.5));
            c.t = log_uniform(1e-3, 50.0);
            c.r = -0.01 + 0.31 * u(rng);
            c.q = u(rng) < 0.2 ? 0.0 : -0.01 + 0.31 * u(rng);
            c.sigma = log_uniform(0.005, 3.0);
        } else if (which == 3) {
            const bool days = i < count / 2;
            c.t = days ? (1.0 + 29.0 * u(rng)) / 365.0 : 0.01 + 5.0 * u(rng);
            c.s = 100.0 * std::exp((days ? 0.2 : 0.6) * (u(rng) - 0.5));
            const double high = -0.05 * u(rng);
            const double low = high - 0.05 * u(rng) - 1e-3;
            c.r = c.type == OptionType::Put ? high : low;
            c.q = c.type == OptionType::Put ? low : high;
            c.sigma = 0.05 + 0.5 * u(rng);
        } else {
            c.t = log_uniform(0.01, 30.0);
            c.r = 0.005 + 0.195 * u(rng);
            c.q = 0.005 + 0.195 * u(rng);
            c.sigma = log_uniform(0.03, 1.5);
            const double b = *american::exercise_boundary(c.t, c.k, c.r, c.sigma, c.q, c.type,
                                                          Accuracy::High);
            c.s = c.type == OptionType::Call ? b * (1.0 - 1e-3) : b * (1.0 + 1e-3);
        }
        cases.push_back(c);
    }
    return cases;
}

int edges() {
    const char* names[4] = {"corner", "wide", "boundary", "double"};
    std::printf("| set | tier | below the lower bound: max (count > 1e-12 K) | fall from T to 1.02 T: "
                "max (count > 1e-9 K) | boundary rise in tau: max (count > 1e-9 K) | theta / "
                "vega / rho off the bump |\n");
    std::printf("|---|---|---|---|---|---|\n");
    for (int which = 0; which < 4; ++which) {
        const std::vector<EdgeCase> cases = edge_set(which);
        std::vector<double> bound(cases.size());
        for (std::size_t i = 0; i < cases.size(); ++i) {
            const EdgeCase& c = cases[i];
            bound[i] = lower_bound(c.s, c.k, c.t, c.r, c.sigma, c.q, c.type);
        }
        for (int tier = 0; tier < 3; ++tier) {
            const Accuracy a = static_cast<Accuracy>(tier);
            double below = 0.0;
            double fall = 0.0;
            double rise = 0.0;
            int below_count = 0;
            int fall_count = 0;
            int rise_count = 0;
            int greek_count[3] = {};
            double greek_worst[3] = {};
            for (std::size_t i = 0; i < cases.size(); ++i) {
                const EdgeCase& c = cases[i];
                const double v = *american::price(c.s, c.k, c.t, c.r, c.sigma, c.q, c.type, a);
                const double longer =
                    *american::price(c.s, c.k, 1.02 * c.t, c.r, c.sigma, c.q, c.type, a);
                below = std::max(below, (bound[i] - v) / c.k);
                below_count += bound[i] - v > 1e-12 * c.k;
                fall = std::max(fall, (v - longer) / c.k);
                fall_count += v - longer > 1e-9 * c.k;
                if (which == 3) {
                    const auto g = *american::value_and_greeks(c.s, c.k, c.t, c.r, c.sigma, c.q,
                                                               c.type, a);
                    greek_count[0] += g.greeks.gamma < 0.0;
                    greek_count[1] += g.greeks.vega < 0.0;
                    continue;
                }
                if (which != 2) {
                    const bool put = c.type == OptionType::Put;
                    if (!(put ? c.r > 0.0 || (c.r == 0.0 && c.q < 0.0)
                              : c.q > 0.0 || (c.q == 0.0 && c.r < 0.0))) {
                        continue;  // no boundary to follow
                    }
                    double previous = 0.0;
                    double worst = 0.0;
                    for (int j = 1; j <= 60; ++j) {
                        const double tau = c.t * (j / 60.0) * (j / 60.0);
                        const double b = *american::exercise_boundary(tau, c.k, c.r, c.sigma,
                                                                      c.q, c.type, a);
                        if (j > 1) {
                            worst = std::max(worst, (put ? b - previous : previous - b) / c.k);
                        }
                        previous = b;
                    }
                    rise = std::max(rise, worst);
                    rise_count += worst > 1e-9;
                    continue;
                }
                const auto g = *american::value_and_greeks(c.s, c.k, c.t, c.r, c.sigma, c.q,
                                                           c.type, a);
                const auto bumped = [&](int which_greek, double h) {
                    const auto at = [&](double e) {
                        return *american::price(c.s, c.k, c.t + (which_greek == 0 ? e : 0.0),
                                                c.r + (which_greek == 2 ? e : 0.0),
                                                c.sigma + (which_greek == 1 ? e : 0.0), c.q,
                                                c.type, a);
                    };
                    return (at(h) - at(-h)) / (2.0 * h);
                };
                const double steps[3] = {1e-4 * c.t, 1e-4, 1e-5};
                const double units[3] = {-1.0 / 365.0, 1.0, 0.01};
                const double analytic[3] = {g.greeks.theta, g.greeks.vega, g.greeks.rho};
                for (int w = 0; w < 3; ++w) {
                    const double d1 = units[w] * bumped(w, steps[w]);
                    const double d2 = units[w] * bumped(w, 2.0 * steps[w]);
                    const double off = std::fabs(analytic[w] - d1);
                    greek_count[w] += off > 0.01 * std::fabs(d1) && off > 10.0 * std::fabs(d1 - d2);
                    greek_worst[w] = std::max(greek_worst[w], off);
                }
            }
            char greeks[128] = "";
            if (which == 2) {
                std::snprintf(greeks, sizeof greeks, "%d / %d / %d of %zu (max off %.1e / %.1e / %.1e)",
                              greek_count[0], greek_count[1], greek_count[2], cases.size(),
                              greek_worst[0], greek_worst[1], greek_worst[2]);
            }
            if (which == 3) {
                std::snprintf(greeks, sizeof greeks, "gamma < 0: %d, vega < 0: %d of %zu",
                              greek_count[0], greek_count[1], cases.size());
            }
            char rises[64] = "";
            if (which < 2) {
                std::snprintf(rises, sizeof rises, "%.1e (%d)", rise, rise_count);
            }
            std::printf("| %s | %s | %.1e (%d) | %.1e (%d) | %s | %s |\n", names[which],
                        kTierNames[tier], below, below_count, fall, fall_count, rises, greeks);
            std::fflush(stdout);
        }
    }
    return 0;
}
}  // namespace

int main(int argc, char** argv) {
    american::detail::build_tables(american::detail::kReference, reference_tables);
    if (argc > 1 && std::string(argv[1]) == "--frontier") {
        return frontier();
    }
    if (argc > 1 && std::string(argv[1]) == "--edges") {
        return edges();
    }
    const std::vector<Case> sets[4] = {grid(OptionType::Put, "puts"),
                                       grid(OptionType::Call, "calls"), long_dated(),
                                       double_boundary()};
    std::FILE* csv = argc > 1 ? std::fopen(argv[1], "w") : nullptr;
    if (csv != nullptr) {
        std::fprintf(csv, "set,type,s,k,days,r,q,sigma,reference\n");
    }

    std::printf("| set | tier | RMSE | max error | us per option (price) | Greeks / price |\n");
    std::printf("|---|---|---|---|---|---|\n");
    for (const auto& cases : sets) {
        // An optional second argument runs one set only (e.g. "double").
        if (argc > 2 && cases.front().set != argv[2]) {
            continue;
        }
        const bool dbl = cases.front().set == "double";
        std::vector<double> reference(cases.size());
        for (std::size_t i = 0; i < cases.size(); ++i) {
            const Case& c = cases[i];
            reference[i] = dbl ? testing::reference_american(c.s, c.k, c.t(), c.r, c.sigma, c.q,
                                                             c.type == OptionType::Call, 10000)
                               : reference_value(c);
            if (csv != nullptr) {
                std::fprintf(csv, "%s,%s,%.17g,%.17g,%d,%.17g,%.17g,%.17g,%.17g\n", c.set.c_str(),
                             c.type == OptionType::Put ? "put" : "call", c.s, c.k, c.days, c.r,
                             c.q, c.sigma, reference[i]);
            }
        }
        const int rounds = dbl ? 1 : 3;
        for (int tier = 0; tier < 3; ++tier) {
            const Accuracy a = static_cast<Accuracy>(tier);
            std::vector<double> value(cases.size());
            for (std::size_t i = 0; i < cases.size(); ++i) {
                const Case& c = cases[i];
                value[i] = *american::price(c.s, c.k, c.t(), c.r, c.sigma, c.q, c.type, a);
            }
            const Errors e = errors(value, reference);
            const double price_us = time_per_option(cases, rounds, [&](const Case& c) {
                return *american::price(c.s, c.k, c.t(), c.r, c.sigma, c.q, c.type, a);
            });
            const double greeks_us = time_per_option(cases, rounds, [&](const Case& c) {
                return american::value_and_greeks(c.s, c.k, c.t(), c.r, c.sigma, c.q, c.type, a)
                    ->greeks.gamma;
            });
            std::printf("| %s | %s | %.2e | %.2e | %.2f | %.2f |\n", cases.front().set.c_str(),
                        kTierNames[tier], e.rmse, e.max, price_us, greeks_us / price_us);
        }
        if (dbl) {
            // The tree's own convergence: 10,000 against 5,000 steps.
            double worst = 0.0;
            for (std::size_t i = 0; i < cases.size(); i += 8) {
                const Case& c = cases[i];
                worst = std::max(worst, std::fabs(reference[i] - testing::reference_american(
                                                                     c.s, c.k, c.t(), c.r, c.sigma,
                                                                     c.q, c.type == OptionType::Call,
                                                                     5000)));
            }
            std::printf("\ndouble-boundary reference (BBSR tree, 10,000 steps): change against "
                        "5,000 steps at most %.1e\n",
                        worst);
        } else {
            // Convergence of the high tier: change against the finer setting.
            std::vector<double> high(cases.size());
            for (std::size_t i = 0; i < cases.size(); ++i) {
                const Case& c = cases[i];
                high[i] = *american::price(c.s, c.k, c.t(), c.r, c.sigma, c.q, c.type,
                                           Accuracy::High);
            }
            std::printf("| %s | reference setting vs high | | %.2e | %.2f | |\n",
                        cases.front().set.c_str(), errors(high, reference).max,
                        time_per_option(cases, 1, [](const Case& c) { return reference_value(c); }));
            // An independent check of the reference: the extrapolated tree
            // (10,000 steps) on every 200th option.
            double worst = 0.0;
            for (std::size_t i = 0; i < cases.size(); i += 200) {
                const Case& c = cases[i];
                worst = std::max(worst, std::fabs(reference[i] - testing::reference_american(
                                                                     c.s, c.k, c.t(), c.r, c.sigma,
                                                                     c.q, c.type == OptionType::Call,
                                                                     10000)));
            }
            std::printf("| %s | reference setting vs BBSR tree (10,000 steps), every 200th | | %.2e | | |\n",
                        cases.front().set.c_str(), worst);
        }
    }
    if (csv != nullptr) {
        std::fclose(csv);
    }

    // Greeks at the accurate tier against the reference setting's Greeks, and
    // the reference setting's Greeks against bump-and-re-solve, on the puts
    // and calls grid.
    std::printf("\n| Greek | accurate vs reference: max | RMS | reference vs bump-and-re-solve: max |\n");
    std::printf("|---|---|---|---|\n");
    double worst[5] = {};
    double sum[5] = {};
    double bump[5] = {};
    int count = 0;
    for (const auto* set : {&sets[0], &sets[1]}) {
        for (std::size_t i = 0; i < set->size(); i += 1) {
            const Case& c = (*set)[i];
            const auto v = *american::value_and_greeks(c.s, c.k, c.t(), c.r, c.sigma, c.q, c.type,
                                                       Accuracy::Accurate);
            const american::detail::PutResult ref = reference_greeks(c);
            const double ref_greeks[5] = {ref.delta, ref.gamma, -ref.dtau / 365.0, ref.dsigma,
                                          ref.drate / 100.0};
            const double got[5] = {v.greeks.delta, v.greeks.gamma, v.greeks.theta, v.greeks.vega,
                                   v.greeks.rho};
            for (int g = 0; g < 5; ++g) {
                const double e = std::fabs(got[g] - ref_greeks[g]);
                worst[g] = std::max(worst[g], e);
                sum[g] += e * e;
            }
            ++count;
            if (i % 20 == 0) {
                const auto at = [&](double s, double t, double r, double sigma) {
                    return value_at(c, s, t, r, sigma);
                };
                const double hs = 1e-3 * c.s;
                const double v0 = at(c.s, c.t(), c.r, c.sigma);
                const double up = at(c.s + hs, c.t(), c.r, c.sigma);
                const double down = at(c.s - hs, c.t(), c.r, c.sigma);
                const double ht = 1e-4;
                const double h = 1e-5;
                const double numeric[5] = {
                    (up - down) / (2.0 * hs), (up - 2.0 * v0 + down) / (hs * hs),
                    -(at(c.s, c.t() + ht, c.r, c.sigma) - at(c.s, c.t() - ht, c.r, c.sigma)) /
                        (2.0 * ht) / 365.0,
                    (at(c.s, c.t(), c.r, c.sigma + h) - at(c.s, c.t(), c.r, c.sigma - h)) /
                        (2.0 * h),
                    (at(c.s, c.t(), c.r + h, c.sigma) - at(c.s, c.t(), c.r - h, c.sigma)) /
                        (2.0 * h) / 100.0};
                const bool exercised = ref.delta == (c.type == OptionType::Put ? -1.0 : 1.0) &&
                                       ref.gamma == 0.0;
                if (!exercised) {
                    for (int g = 0; g < 5; ++g) {
                        bump[g] = std::max(bump[g], std::fabs(numeric[g] - ref_greeks[g]));
                    }
                }
            }
        }
    }
    const char* names[5] = {"delta", "gamma", "theta (per day)", "vega", "rho (per 1 %)"};
    for (int g = 0; g < 5; ++g) {
        std::printf("| %s | %.1e | %.1e | %.1e |\n", names[g], worst[g], std::sqrt(sum[g] / count),
                    bump[g]);
    }
    return 0;
}
