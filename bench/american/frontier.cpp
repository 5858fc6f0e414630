// The accuracy-speed frontier of the spectral engine: RMSE and max error on
// the 6,000 puts of the benchmark grid (and the 1,000 options of 2 to 30
// years) against the finer reference setting, and the CPU time per option,
// for a sweep of settings (n, l, m, p), then for the tiers as the engine
// picks them.  Writes CSV; docs/plot_american_frontier.py draws it beside
// QuantLib's schemes (bench/american/run.sh runs both).
//
// Usage: frontier > frontier.csv
#include <algorithm>
#include <cmath>
#include <cstdio>
#include <ctime>
#include <random>
#include <vector>

#include "american/american.hpp"
#include "american/collocation.hpp"
#include "american/tiers.hpp"

using namespace greekmill;
namespace detail = american::detail;

namespace {

struct Case {
    OptionType type;
    double s, k, t, r, q, sigma;
};

std::vector<Case> puts() {
    std::vector<Case> cases;
    for (double s : {25.0, 50.0, 80.0, 90.0, 100.0, 110.0, 120.0, 150.0, 175.0, 200.0}) {
        for (int days : {30, 91, 183, 274, 365}) {
            for (double r : {0.02, 0.04, 0.06, 0.08, 0.10}) {
                for (double q : {0.0, 0.04, 0.08, 0.12}) {
                    for (double sigma : {0.1, 0.2, 0.3, 0.4, 0.5, 0.6}) {
                        cases.push_back({OptionType::Put, s, 100.0, days / 365.0, r, q, sigma});
                    }
                }
            }
        }
    }
    return cases;
}

// The long-dated set of american_accuracy.cpp (same seed and draws).
std::vector<Case> long_dated() {
    std::mt19937_64 rng(20160601);
    std::uniform_real_distribution<double> u(0.0, 1.0);
    std::vector<Case> cases;
    for (int i = 0; i < 1000; ++i) {
        const OptionType type = i % 2 == 0 ? OptionType::Put : OptionType::Call;
        const double s = 25.0 + 175.0 * u(rng);
        const int days = 730 + static_cast<int>(u(rng) * (10950 - 730));
        const double r = 0.02 + 0.08 * u(rng);
        const double q = 0.12 * u(rng);
        const double sigma = 0.1 + 0.5 * u(rng);
        cases.push_back({type, s, 100.0, days / 365.0, r, q, sigma});
    }
    return cases;
}

double cpu_seconds() {
    timespec ts{};
    clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &ts);
    return ts.tv_sec + 1e-9 * ts.tv_nsec;
}

// Every option of these sets has early exercise (put r > 0, call q > 0)
// except calls with q = 0, which the engine prices as European.
bool single_boundary(const Case& c) { return c.type == OptionType::Put ? c.r > 0.0 : c.q > 0.0; }

template <class Price>
void measure(const char* set, const char* label, const std::vector<Case>& cases,
             const std::vector<double>& reference, Price price) {
    double sum = 0.0;
    double worst = 0.0;
    for (std::size_t i = 0; i < cases.size(); ++i) {
        const double e = std::fabs(price(cases[i]) - reference[i]);
        sum += e * e;
        worst = std::max(worst, e);
    }
    double best = 1e300;
    volatile double sink = 0.0;
    for (int round = 0; round < 3; ++round) {
        const double start = cpu_seconds();
        for (const Case& c : cases) {
            sink = sink + price(c);
        }
        best = std::min(best, cpu_seconds() - start);
    }
    std::printf("%s,%s,%.3e,%.3e,%.3f\n", set, label, std::sqrt(sum / cases.size()), worst,
                1e6 * best / cases.size());
    std::fflush(stdout);
}

}  // namespace

int main() {
    static detail::Tables reference_tables;
    static detail::Tables tables;
    detail::build_tables(detail::kReference, reference_tables);
    const detail::Tier sweep[] = {
        {6, 8, 2, 16, 1e-9},   {8, 8, 1, 32, 1e-9},   {8, 8, 2, 24, 1e-9},
        {8, 8, 2, 32, 1e-9},   {10, 8, 2, 32, 1e-9},  {12, 8, 2, 32, 1e-9},
        {12, 16, 2, 32, 1e-9}, {12, 16, 3, 32, 1e-12}, {16, 8, 2, 32, 1e-9},
        {16, 16, 2, 32, 1e-12}, {16, 16, 3, 32, 1e-12}, {16, 24, 3, 64, 1e-12},
        {20, 16, 3, 64, 1e-12}, {24, 16, 3, 64, 1e-12}, {24, 24, 4, 64, 1e-14},
        {32, 24, 4, 128, 1e-14},
    };
    std::printf("set,setting,rmse,max,us\n");
    const std::vector<Case> sets[2] = {puts(), long_dated()};
    const char* names[2] = {"puts", "long"};
    for (int which = 0; which < 2; ++which) {
        const std::vector<Case>& cases = sets[which];
        std::vector<double> reference(cases.size());
        for (std::size_t i = 0; i < cases.size(); ++i) {
            const Case& c = cases[i];
            reference[i] =
                single_boundary(c)
                    ? detail::spectral_solve(reference_tables, c.s, c.k, c.t, c.r, c.sigma, c.q,
                                             c.type, false)->value
                    : *american::price(c.s, c.k, c.t, c.r, c.sigma, c.q, c.type,
                                       american::Accuracy::High);
        }
        for (const detail::Tier& tier : sweep) {
            detail::build_tables(tier, tables);
            char label[64];
            std::snprintf(label, sizeof label, "n=%d l=%d m=%d p=%d", tier.n, tier.l, tier.m,
                          tier.p);
            measure(names[which], label, cases, reference, [&](const Case& c) {
                if (!single_boundary(c)) {
                    return *american::price(c.s, c.k, c.t, c.r, c.sigma, c.q, c.type,
                                            american::Accuracy::Fast);
                }
                return detail::spectral_solve(tables, c.s, c.k, c.t, c.r, c.sigma, c.q, c.type,
                                              false)->value;
            });
        }
        const char* tier_names[3] = {"tier fast", "tier accurate", "tier high"};
        for (int tier = 0; tier < 3; ++tier) {
            const auto accuracy = static_cast<american::Accuracy>(tier);
            measure(names[which], tier_names[tier], cases, reference, [&](const Case& c) {
                return *american::price(c.s, c.k, c.t, c.r, c.sigma, c.q, c.type, accuracy);
            });
        }
    }
}
