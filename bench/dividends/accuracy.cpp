// Accuracy and cost of the cash-dividend engine (core/grid) per tier, on a
// portfolio of strike 100 with up to four quarterly dividends, against the
// same solver on a 4096 x 4096 mesh (Romberg-extrapolated, converged to
// about 1e-8; bench/dividends/quantlib_compare.py checks it against
// QuantLib).  Prints a Markdown table and writes the cases with the
// reference values to the CSV file named on the command line.  Further
// arguments SPACE,TIME,LEVELS (e.g. 256,256,3) add the American error and
// cost of the solver at those resolutions: the frontier the tiers are
// chosen from.
#include <algorithm>
#include <ctime>
#include <cmath>
#include <cstdio>
#include <functional>
#include <vector>

#include "grid/cash_dividends.hpp"
#include "grid/log_spot.hpp"

namespace {

using namespace greekmill;

constexpr double kStrike = 100.0;
constexpr int kExDays[] = {45, 136, 227, 318};
constexpr double kAmount = 1.0;

struct Case {
    double s, t, r, sigma;
    int days;
    OptionType type;
    std::vector<grid::Jump> jumps;
    grid::Solution reference;
    grid::Solution european;
};

std::vector<Case> portfolio() {
    std::vector<Case> cases;
    for (int days : {182, 365, 730}) {
        for (double s : {90.0, 100.0, 110.0}) {
            for (double sigma : {0.2, 0.4}) {
                for (OptionType type : {OptionType::Call, OptionType::Put}) {
                    cases.push_back({s, days / 365.0, 0.05, sigma, days, type, {}, {}, {}});
                }
            }
        }
    }
    return cases;
}

std::vector<double> times(const Case&) {
    std::vector<double> out;
    for (int d : kExDays) {
        out.push_back(d / 365.0);
    }
    return out;
}

// CPU time of this thread: on a shared machine, what the work cost.
double now_ms() {
    timespec t{};
    clock_gettime(CLOCK_THREAD_CPUTIME_ID, &t);
    return static_cast<double>(t.tv_sec) * 1e3 + static_cast<double>(t.tv_nsec) * 1e-6;
}

// One thread, CPU time per option of the price alone and with the Greeks; the
// best of three passes over the portfolio.
struct Cost {
    double price_ms = 1e300;
    double greeks_ms = 1e300;
};

Cost cost(const std::vector<Case>& cases, const std::function<double(const Case&, bool)>& price) {
    Cost best;
    for (int pass = 0; pass < 3; ++pass) {
        for (bool greeks : {false, true}) {
            const double start = now_ms();
            double sink = 0.0;
            for (const Case& c : cases) {
                sink += price(c, greeks);
            }
            const double per = (now_ms() - start) / cases.size();
            double& slot = greeks ? best.greeks_ms : best.price_ms;
            slot = std::min(slot, per);
            if (sink == -1.0) {
                std::printf("-");
            }
        }
    }
    return best;
}

}  // namespace

int main(int argc, char** argv) {
    std::vector<Case> cases = portfolio();
    const std::vector<double> amounts(4, kAmount);
    const std::vector<double> ex_times = times(cases[0]);
    const dividends::Schedule schedule{ex_times, amounts};
    for (Case& c : cases) {
        std::vector<grid::Jump>& jumps = c.jumps;
        for (int i = 3; i >= 0; --i) {
            if (ex_times[i] < c.t) {
                jumps.push_back({c.t - ex_times[i], kAmount});
            }
        }
        std::reverse(jumps.begin(), jumps.end());
        std::sort(jumps.begin(), jumps.end(),
                  [](const grid::Jump& a, const grid::Jump& b) { return a.tau < b.tau; });
        const grid::Problem american{c.s, kStrike, c.t, c.r, 0.0, c.sigma, c.type, true, jumps};
        const grid::Problem european{c.s, kStrike, c.t, c.r, 0.0, c.sigma, c.type, false, jumps};
        c.reference = *grid::solve(american, {4096, 4096}, true);
        c.european = *grid::solve(european, {4096, 4096}, true);
    }
    std::printf("| tier | max abs price error | RMSE | max abs delta error | max abs gamma error |"
                " max abs vega error | price, ms per option | Greeks / price |\n");
    std::printf("|---|---|---|---|---|---|---|---|\n");
    const char* names[] = {"fast", "accurate", "high", "European"};
    for (int tier = 0; tier < 4; ++tier) {
        const bool is_european = tier == 3;
        const auto accuracy = static_cast<american::Accuracy>(is_european ? 1 : tier);
        const auto style = is_european ? dividends::Style::European : dividends::Style::American;
        double max_price = 0.0, sum_sq = 0.0, max_delta = 0.0, max_gamma = 0.0, max_vega = 0.0;
        for (const Case& c : cases) {
            const auto v = *dividends::value(c.s, kStrike, c.t, c.r, c.sigma, 0.0, c.type, style,
                                             accuracy, schedule, true);
            const grid::Solution& ref = is_european ? c.european : c.reference;
            const double e = v.price - ref.value;
            max_price = std::max(max_price, std::fabs(e));
            sum_sq += e * e;
            max_delta = std::max(max_delta, std::fabs(v.greeks.delta - ref.delta));
            max_gamma = std::max(max_gamma, std::fabs(v.greeks.gamma - ref.gamma));
            max_vega = std::max(max_vega, std::fabs(v.greeks.vega - ref.dsigma));
        }
        const Cost spent = cost(cases, [&](const Case& c, bool greeks) {
            return dividends::value(c.s, kStrike, c.t, c.r, c.sigma, 0.0, c.type, style, accuracy,
                                    schedule, greeks)
                ->price;
        });
        std::printf("| %s | %.1e | %.1e | %.1e | %.1e | %.1e | %.3f | %.2f |\n", names[tier],
                    max_price, std::sqrt(sum_sq / cases.size()), max_delta, max_gamma, max_vega,
                    spent.price_ms, spent.greeks_ms / spent.price_ms);
    }
    for (int arg = 2; arg < argc; ++arg) {
        grid::Resolution resolution{};
        if (std::sscanf(argv[arg], "%d,%d,%d", &resolution.space, &resolution.time,
                        &resolution.levels) != 3) {
            std::fprintf(stderr, "expected SPACE,TIME,LEVELS, got %s\n", argv[arg]);
            return 1;
        }
        const auto american = [&](const Case& c) {
            return grid::Problem{c.s, kStrike, c.t, c.r, 0.0, c.sigma, c.type, true, c.jumps};
        };
        double max_price = 0.0, sum_sq = 0.0;
        for (const Case& c : cases) {
            const double e = grid::solve(american(c), resolution, false)->value - c.reference.value;
            max_price = std::max(max_price, std::fabs(e));
            sum_sq += e * e;
        }
        const Cost spent = cost(cases, [&](const Case& c, bool greeks) {
            return grid::solve(american(c), resolution, greeks)->value;
        });
        std::printf("| American %d x %d, %d levels | %.1e | %.1e | %.3f | %.2f |\n",
                    resolution.space, resolution.time, resolution.levels, max_price,
                    std::sqrt(sum_sq / cases.size()), spent.price_ms,
                    spent.greeks_ms / spent.price_ms);
    }
    if (argc > 1) {
        FILE* out = std::fopen(argv[1], "w");
        std::fprintf(out, "s,days,r,sigma,type,american,european,delta,gamma\n");
        for (const Case& c : cases) {
            std::fprintf(out, "%.17g,%d,%.17g,%.17g,%s,%.17g,%.17g,%.17g,%.17g\n", c.s, c.days,
                         c.r, c.sigma, c.type == OptionType::Call ? "call" : "put",
                         c.reference.value, c.european.value, c.reference.delta,
                         c.reference.gamma);
        }
        std::fclose(out);
    }
    return 0;
}
