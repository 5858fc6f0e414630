// Accuracy and cost of the cash-dividend engine on the whole validation set
// (../shared/data/dividends_validation.csv: 382 options in ten families,
// with independent reference values), per family and per tier.  Prints one
// Markdown table: the American price's max error and RMSE, the max errors of
// delta, gamma and theta (per day), the European price's max error, and the
// mean CPU time per option of one American valuation (price and Greeks) on
// one thread, and of the European price alone (over the options with a
// dividend left).  Only rows flagged trusted are compared; every row is timed.
//   validation CSV [SPACE,TIME,LEVELS ...]
// Further arguments measure the American price at those resolutions of the
// grid instead of the tiers (error against cost: the frontier the tiers are
// chosen from).  GREEKMILL_BERMUDAN=1 compares instead, on the American
// calls with q <= 0 and r >= 0 that the quadrature values, the grid at each
// tier (what they took before) with the quadrature, per family: the max
// errors of price, delta, gamma and theta and the CPU time of a valuation.
#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <fstream>
#include <map>
#include <sstream>
#include <string>
#include <vector>

#include "american/american.hpp"
#include "black_scholes.hpp"
#include "grid/cash_dividends.hpp"
#include "grid/european_quadrature.hpp"
#include "grid/log_spot.hpp"

namespace {

using namespace greekmill;

struct Row {
    std::string family;
    int id;
    OptionType type;
    double s, k, t, r, q, sigma;
    std::vector<double> times, amounts;
    double am_price, am_delta, am_gamma, am_theta, am_price_err;
    bool am_trusted;
    double eu_price, eu_price_err;
    bool eu_trusted;
};

std::vector<double> split_numbers(const std::string& text) {
    std::vector<double> out;
    std::stringstream in(text);
    std::string item;
    while (std::getline(in, item, ';')) {
        if (!item.empty()) {
            out.push_back(std::strtod(item.c_str(), nullptr));
        }
    }
    return out;
}

std::vector<Row> read(const char* path) {
    std::ifstream in(path);
    std::string line;
    std::getline(in, line);
    std::vector<std::string> header;
    {
        std::stringstream h(line);
        std::string name;
        while (std::getline(h, name, ',')) {
            header.push_back(name);
        }
    }
    const auto column = [&](const char* name) {
        const auto it = std::find(header.begin(), header.end(), name);
        if (it == header.end()) {
            std::fprintf(stderr, "no column %s\n", name);
            std::exit(1);
        }
        return static_cast<std::size_t>(it - header.begin());
    };
    std::vector<Row> rows;
    while (std::getline(in, line)) {
        std::vector<std::string> f;
        std::stringstream cells(line);
        std::string cell;
        while (std::getline(cells, cell, ',')) {
            f.push_back(cell);
        }
        const auto num = [&](const char* name) {
            return std::strtod(f[column(name)].c_str(), nullptr);
        };
        Row r;
        r.family = f[column("family")];
        r.id = std::atoi(f[column("id")].c_str());
        r.type = f[column("type")] == "call" ? OptionType::Call : OptionType::Put;
        r.s = num("s");
        r.k = num("k");
        r.t = num("t_days") / 365.0;
        r.r = num("r");
        r.q = num("q");
        r.sigma = num("sigma");
        for (double d : split_numbers(f[column("div_days")])) {
            r.times.push_back(d / 365.0);
        }
        r.amounts = split_numbers(f[column("div_amounts")]);
        r.am_price = num("am_price");
        r.am_delta = num("am_delta");
        r.am_gamma = num("am_gamma");
        r.am_theta = num("am_theta");
        r.am_price_err = num("am_price_err");
        r.am_trusted = num("am_trusted") == 1.0;
        r.eu_price = num("eu_price");
        r.eu_price_err = num("eu_price_err");
        r.eu_trusted = num("eu_trusted") == 1.0;
        rows.push_back(std::move(r));
    }
    return rows;
}

double now_us() {
    timespec t{};
    clock_gettime(CLOCK_THREAD_CPUTIME_ID, &t);
    return static_cast<double>(t.tv_sec) * 1e6 + static_cast<double>(t.tv_nsec) * 1e-3;
}

struct Stats {
    int rows = 0, trusted = 0, failed = 0, european_rows = 0;
    double price = 0.0, sum_sq = 0.0, delta = 0.0, gamma = 0.0, theta = 0.0, european = 0.0;
    double us = 0.0;
    double price_us = 0.0;
    double european_us = 0.0;
    void merge(const Stats& o) {
        rows += o.rows;
        trusted += o.trusted;
        failed += o.failed;
        european_rows += o.european_rows;
        price = std::max(price, o.price);
        sum_sq += o.sum_sq;
        delta = std::max(delta, o.delta);
        gamma = std::max(gamma, o.gamma);
        theta = std::max(theta, o.theta);
        european = std::max(european, o.european);
        us += o.us;
        price_us += o.price_us;
        european_us += o.european_us;
    }
};

dividends::Schedule schedule_of(const Row& r) { return {r.times, r.amounts}; }

// The grid of each American tier, as core/grid/cash_dividends.cpp sets them.
grid::Resolution resolution_of(int tier) {
    constexpr grid::Resolution tiers[3] = {{128, 128, 2}, {256, 256, 3}, {1024, 512, 3}};
    return tiers[tier];
}

// The jumps the engine sees (inside (0, t), positive), latest ex-date first.
std::vector<grid::Jump> jumps_of(const Row& r) {
    std::vector<grid::Jump> jumps;
    for (std::size_t i = r.times.size(); i-- > 0;) {
        if (r.times[i] > 0.0 && r.times[i] < r.t && r.amounts[i] > 0.0) {
            jumps.push_back({r.t - r.times[i], r.amounts[i]});
        }
    }
    return jumps;
}

void print_row(const std::string& name, const Stats& s) {
    std::printf("| %s | %d (%d) | %.1e | %.1e | %.1e | %.1e | %.1e | %.1e | %.0f | %.2f | %.1f |%s\n",
                name.c_str(), s.rows, s.trusted, s.price,
                std::sqrt(s.sum_sq / std::max(1, s.trusted)), s.delta, s.gamma, s.theta,
                s.european, s.us / std::max(1, s.rows), s.us / std::max(1e-9, s.price_us),
                s.european_us / std::max(1, s.european_rows),
                s.failed > 0 ? (" " + std::to_string(s.failed) + " failed").c_str() : "");
}

}  // namespace

int main(int argc, char** argv) {
    if (argc < 2) {
        std::fprintf(stderr, "usage: validation CSV [SPACE,TIME,LEVELS ...]\n");
        return 1;
    }
    const std::vector<Row> rows = read(argv[1]);
    std::vector<std::string> families;
    for (const Row& r : rows) {
        if (std::find(families.begin(), families.end(), r.family) == families.end()) {
            families.push_back(r.family);
        }
    }
    if (std::getenv("GREEKMILL_BERMUDAN") != nullptr) {
        std::printf("| engine / family | rows (trusted) | American max | delta max | gamma max |"
                    " theta max (per day) | µs per option (Greeks) | European µs (Greeks) |\n");
        std::printf("|---|---|---|---|---|---|---|---|\n");
        const char* engines[] = {"grid fast", "grid accurate", "grid high", "quadrature"};
        for (int engine = 0; engine < 4; ++engine) {
            std::map<std::string, Stats> by_family;
            for (const Row& r : rows) {
                const std::vector<grid::Jump> jumps = jumps_of(r);
                const grid::Problem p{r.s, r.k, r.t, r.r, r.q, r.sigma, r.type, true, jumps};
                if (jumps.empty() || r.sigma == 0.0 || !grid::exercises_only_at_ex_dates(p) ||
                    !grid::european_resolves(p)) {
                    continue;
                }
                Stats& s = by_family[r.family];
                ++s.rows;
                const double start = now_us();
                const auto x = engine < 3 ? grid::solve(p, resolution_of(engine), true)
                                          : grid::american_call(p, true);
                s.us += now_us() - start;
                if (engine == 3) {
                    // The European value of the same option, for the cost.
                    grid::Problem european = p;
                    european.american = false;
                    const double european_start = now_us();
                    (void)grid::european(european, true);
                    s.european_us += now_us() - european_start;
                    ++s.european_rows;
                }
                if (!x) {
                    ++s.failed;
                    continue;
                }
                if (!r.am_trusted) {
                    continue;
                }
                ++s.trusted;
                // As dividends::value returns it: exercised, S - K and delta 1.
                const bool held = !(x->value <= r.s - r.k || (x->exercised && r.s > r.k));
                const double price = held ? x->value : r.s - r.k;
                const double delta = held ? std::clamp(x->delta, 0.0, 1.0) : 1.0;
                const double gamma = held ? x->gamma : 0.0;
                const double theta = held ? -x->dtau / 365.0 : 0.0;
                const double e = price - r.am_price;
                // GREEKMILL_BERMUDAN=rows: the quadrature's rows off by more
                // than 1e-8, with the reference's own error estimate beside.
                if (engine == 3 && std::fabs(e) > 1e-8 &&
                    std::string(std::getenv("GREEKMILL_BERMUDAN")) == "rows") {
                    std::fprintf(stderr, "  %s row %d: error %.2e, reference's estimate %.2e\n",
                                 r.family.c_str(), r.id, e, r.am_price_err);
                }
                s.price = std::max(s.price, std::fabs(e));
                s.sum_sq += e * e;
                s.delta = std::max(s.delta, std::fabs(delta - r.am_delta));
                s.gamma = std::max(s.gamma, std::fabs(gamma - r.am_gamma));
                s.theta = std::max(s.theta, std::fabs(theta - r.am_theta));
            }
            Stats all;
            for (const std::string& f : families) {
                if (by_family.count(f) == 0) {
                    continue;
                }
                const Stats& s = by_family[f];
                all.merge(s);
                std::printf("| %s / %s | %d (%d) | %.1e | %.1e | %.1e | %.1e | %.0f | %.0f |%s\n",
                            engines[engine], f.c_str(), s.rows, s.trusted, s.price, s.delta,
                            s.gamma, s.theta, s.us / std::max(1, s.rows),
                            s.european_us / std::max(1, s.european_rows),
                            s.failed > 0 ? (" " + std::to_string(s.failed) + " failed").c_str()
                                         : "");
            }
            std::printf("| **%s, all** | %d (%d) | %.1e | %.1e | %.1e | %.1e | %.0f | %.0f |\n",
                        engines[engine], all.rows, all.trusted, all.price, all.delta, all.gamma,
                        all.theta, all.us / std::max(1, all.rows),
                        all.european_us / std::max(1, all.european_rows));
        }
        return 0;
    }
    if (argc > 2) {
        std::printf("| resolution | %s max | RMSE | µs per option (price) |\n",
                    std::getenv("GREEKMILL_EUROPEAN") != nullptr ? "European" : "American");
        std::printf("|---|---|---|---|\n");
        for (int arg = 2; arg < argc; ++arg) {
            grid::Resolution res{};
            if (std::sscanf(argv[arg], "%d,%d,%d", &res.space, &res.time, &res.levels) != 3) {
                std::fprintf(stderr, "expected SPACE,TIME,LEVELS, got %s\n", argv[arg]);
                return 1;
            }
            double max = 0.0, sq = 0.0, us = 0.0;
            int n = 0, timed = 0;
            std::map<std::string, double> family_max;
            std::map<std::string, int> family_worst;
            int id = -1;
            for (const Row& r : rows) {
                ++id;
                const std::vector<grid::Jump> jumps = jumps_of(r);
                if (jumps.empty() || r.sigma == 0.0) {
                    continue;
                }
                // GREEKMILL_EUROPEAN: the European value instead.
                const bool european = std::getenv("GREEKMILL_EUROPEAN") != nullptr;
                const grid::Problem p{r.s, r.k, r.t, r.r, r.q, r.sigma, r.type, !european, jumps};
                const double reference = european ? r.eu_price : r.am_price;
                const bool trusted = european ? r.eu_trusted : r.am_trusted;
                const double start = now_us();
                const auto x = grid::solve(p, res, false);
                us += now_us() - start;
                if (const char* only = std::getenv("GREEKMILL_ROW");
                    only != nullptr && std::atoi(only) == id && x) {
                    std::fprintf(stderr, "  row %d: %.10f error %.2e\n", id, x->value,
                                 x->value - reference);
                }
                ++timed;
                if (x && trusted) {
                    const double e = x->value - reference;
                    max = std::max(max, std::fabs(e));
                    sq += e * e;
                    ++n;
                    if (std::fabs(e) > family_max[r.family]) {
                        family_max[r.family] = std::fabs(e);
                        family_worst[r.family] = id;
                    }
                }
            }
            if (std::getenv("GREEKMILL_FAMILIES") != nullptr) {
                for (const auto& [family, worst] : family_max) {
                    std::fprintf(stderr, "  %s %.1e (row %d)\n", family.c_str(), worst,
                                 family_worst[family]);
                }
            }
            std::printf("| %d x %d, %d levels | %.1e | %.1e | %.0f |\n", res.space, res.time,
                        res.levels, max, std::sqrt(sq / std::max(1, n)), us / std::max(1, timed));
        }
        if (std::getenv("GREEKMILL_EUROPEAN") != nullptr) {
            // The quadrature the package uses, in the same run: the grids'
            // cost over its own is the ratio to quote.
            double max = 0.0, sq = 0.0, us = 0.0, greeks_us = 0.0;
            int n = 0, timed = 0;
            for (const Row& r : rows) {
                const std::vector<grid::Jump> jumps = jumps_of(r);
                if (jumps.empty() || r.sigma == 0.0) {
                    continue;
                }
                const grid::Problem p{r.s, r.k, r.t, r.r, r.q, r.sigma, r.type, false, jumps};
                const double start = now_us();
                const auto x = grid::european(p, false);
                us += now_us() - start;
                const double with_greeks = now_us();
                (void)grid::european(p, true);
                greeks_us += now_us() - with_greeks;
                ++timed;
                if (x && r.eu_trusted) {
                    const double e = x->value - r.eu_price;
                    max = std::max(max, std::fabs(e));
                    sq += e * e;
                    ++n;
                }
            }
            std::printf("| quadrature | %.1e | %.1e | %.0f (with the Greeks: %.0f) |\n", max,
                        std::sqrt(sq / std::max(1, n)), us / std::max(1, timed),
                        greeks_us / std::max(1, timed));
        }
        return 0;
    }
    std::printf("| tier / family | rows (trusted) | American max | RMSE | delta max | gamma max |"
                " theta max (per day) | European max | µs per option | Greeks / price |"
                " European µs (price) |\n");
    std::printf("|---|---|---|---|---|---|---|---|---|---|---|\n");
    const char* tiers[] = {"fast", "accurate", "high"};
    for (int tier = 0; tier < 3; ++tier) {
        const auto accuracy = static_cast<american::Accuracy>(tier);
        std::map<std::string, Stats> by_family;
        for (const Row& r : rows) {
            Stats& s = by_family[r.family];
            ++s.rows;
            // As the package routes it: an option with no dividend left
            // keeps the engines without dividends.
            const bool grid = dividends::applies(schedule_of(r), r.t);
            const double start = now_us();
            const auto am =
                grid ? dividends::value(r.s, r.k, r.t, r.r, r.sigma, r.q, r.type,
                                        dividends::Style::American, accuracy, schedule_of(r), true)
                     : american::value_and_greeks(r.s, r.k, r.t, r.r, r.sigma, r.q, r.type,
                                                  accuracy);
            s.us += now_us() - start;
            // The price alone, for the cost of the Greeks beside it.
            const double alone = now_us();
            const auto price_only =
                grid ? dividends::value(r.s, r.k, r.t, r.r, r.sigma, r.q, r.type,
                                        dividends::Style::American, accuracy, schedule_of(r),
                                        false)
                     : american::value_and_greeks(r.s, r.k, r.t, r.r, r.sigma, r.q, r.type,
                                                  accuracy);
            s.price_us += now_us() - alone;
            if (!price_only) {
                ++s.failed;
            }
            Result<double> eu = black_scholes::price(r.s, r.k, r.t, r.r, r.sigma, r.q, r.type);
            if (grid) {
                const double european_start = now_us();
                const auto v = dividends::value(r.s, r.k, r.t, r.r, r.sigma, r.q, r.type,
                                                dividends::Style::European, accuracy,
                                                schedule_of(r), false);
                s.european_us += now_us() - european_start;
                ++s.european_rows;
                eu = v ? Result<double>(v->price) : Result<double>(std::unexpected(v.error()));
            }
            if (!am || !eu) {
                ++s.failed;
                continue;
            }
            if (r.am_trusted) {
                ++s.trusted;
                const double e = am->price - r.am_price;
                s.price = std::max(s.price, std::fabs(e));
                s.sum_sq += e * e;
                s.delta = std::max(s.delta, std::fabs(am->greeks.delta - r.am_delta));
                s.gamma = std::max(s.gamma, std::fabs(am->greeks.gamma - r.am_gamma));
                s.theta = std::max(s.theta, std::fabs(am->greeks.theta - r.am_theta));
            }
            if (r.eu_trusted) {
                const double e = std::fabs(*eu - r.eu_price);
                s.european = std::max(s.european, e);
                // GREEKMILL_EUROPEAN_ROWS: the rows off by more than 1e-8,
                // with the reference's own error estimate beside.
                if (tier == 0 && e > 1e-8 && std::getenv("GREEKMILL_EUROPEAN_ROWS") != nullptr) {
                    std::fprintf(stderr, "  %s row: error %.2e, reference's estimate %.2e\n",
                                 r.family.c_str(), e, r.eu_price_err);
                }
            }
        }
        Stats all;
        for (const std::string& f : families) {
            print_row(std::string(tiers[tier]) + " / " + f, by_family[f]);
            all.merge(by_family[f]);
        }
        print_row(std::string("**") + tiers[tier] + ", all**", all);
    }
    return 0;
}
