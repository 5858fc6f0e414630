// The European outputs of precision="fast" against the exact path and
// against the same formulas in quad precision (libquadmath), on three seeded
// books: the benchmark's random book, deep in- and out-of-the-money tails,
// and short expiries at low volatility.  Prints, per book and output, the
// largest and median relative error of fast and exact against quad, and of
// fast against exact.
//
//   bench/fast_math/run.sh versus_exact [options per book, default 1000000]
//
// Then Bjerksund-Stensland fast against exact on a tenth as many options.
//
// Relative errors are taken where the quad value is a normal double (at or
// above 2^-1022 in magnitude; below, both paths underflow); an output whose
// value cancels (price, theta near their zeros) can show a large relative
// error on a tiny value for both paths alike.
#include <quadmath.h>

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <random>
#include <vector>

#include "batch/columns.hpp"
#include "bjerksund_stensland.hpp"
#include "black_scholes.hpp"
#include "fast/bjerksund_stensland_fast.hpp"
#include "fast/european_fast.hpp"
#include "option.hpp"

namespace {

using Quad = __float128;

struct Option {
    double s, k, t, r, sigma, q;
    bool put;
};

Quad cdf(Quad x) { return erfcq(-x / sqrtq(2.0Q)) / 2; }
Quad pdf(Quad x) { return expq(-x * x / 2) / sqrtq(2 * M_PIq); }

// price, delta, gamma, theta, vega, rho in quad precision (v = sigma sqrt t > 0).
void reference(const Option& o, Quad out[6]) {
    const Quad s = o.s, k = o.k, t = o.t, r = o.r, sigma = o.sigma, q = o.q;
    const Quad sqrt_t = sqrtq(t);
    const Quad v = sigma * sqrt_t;
    const Quad d1 = ((sigma * sigma / 2 + (r - q)) * t + logq(s / k)) / v;
    const Quad d2 = d1 - v;
    const Quad dq = expq(-q * t);
    const Quad dr = expq(-r * t);
    const Quad a = -(sigma * s * dq) * pdf(d1) / (2 * sqrt_t);
    const Quad b = k * r * dr;
    const Quad c = s * q * dq;
    if (o.put) {
        out[0] = k * dr * cdf(-d2) - s * dq * cdf(-d1);
        out[1] = -dq * cdf(-d1);
        out[3] = (b * cdf(-d2) + a - c * cdf(-d1)) / 365;
        out[5] = -cdf(-d2) * dr * k * t / 100;
    } else {
        out[0] = s * dq * cdf(d1) - k * dr * cdf(d2);
        out[1] = dq * cdf(d1);
        out[3] = (a - b * cdf(d2) + c * cdf(d1)) / 365;
        out[5] = cdf(d2) * dr * k * t / 100;
    }
    out[2] = dq * pdf(d1) / (s * sigma * sqrt_t);
    out[4] = s * dq * pdf(d1) * sqrt_t;
}

double exact_price(const Option& o) {
    const double sqrt_t = std::sqrt(o.t);
    const double v = sqrt_t * o.sigma;
    const double d1 = ((o.sigma * o.sigma * 0.5 + (o.r - o.q)) * o.t + std::log(o.s / o.k)) / v;
    const double d2 = d1 - v;
    const double dq = std::exp((-o.q) * o.t);
    const double dr = std::exp((-o.r) * o.t);
    return o.put ? (o.k * dr) * greekmill::normal_cdf(-d2) - (o.s * dq) * greekmill::normal_cdf(-d1)
                 : (o.s * dq) * greekmill::normal_cdf(d1) - (o.k * dr) * greekmill::normal_cdf(d2);
}

double rel(double x, Quad ref) {
    if (ref == 0) {
        return x == 0 ? 0.0 : INFINITY;
    }
    const Quad d = (static_cast<Quad>(x) - ref) / ref;
    return static_cast<double>(fabsq(d));
}

struct Column {
    std::vector<double> fast_quad, exact_quad, fast_exact;
};

double median(std::vector<double> v) {
    std::nth_element(v.begin(), v.begin() + v.size() / 2, v.end());
    return v[v.size() / 2];
}

template <class Gen>
void book(const char* name, std::size_t n, Gen make) {
    std::vector<Option> options(n);
    for (Option& o : options) {
        o = make();
    }
    std::vector<double> s(n), k(n), t(n), r(n), sigma(n), q(n);
    std::vector<std::uint8_t> type(n);
    for (std::size_t i = 0; i < n; ++i) {
        s[i] = options[i].s;
        k[i] = options[i].k;
        t[i] = options[i].t;
        r[i] = options[i].r;
        sigma[i] = options[i].sigma;
        q[i] = options[i].q;
        type[i] = options[i].put ? 1 : 0;
    }
    greekmill::batch::Inputs x;
    x.s = {s.data(), 1};
    x.k = {k.data(), 1};
    x.t = {t.data(), 1};
    x.r = {r.data(), 1};
    x.sigma = {sigma.data(), 1};
    x.q = {q.data(), 1};
    x.type = {type.data(), 1};
    std::vector<double> out[6];
    for (auto& c : out) {
        c.resize(n);
    }
    greekmill::batch::Outputs yp;
    yp.out[0] = out[0].data();
    greekmill::batch::Outputs yg;
    for (int j = 0; j < 5; ++j) {
        yg.out[j] = out[j + 1].data();
    }
    namespace fast = greekmill::fast;
    fast::european_price(x, yp, 0, n, fast::Width::Auto);
    fast::european_greeks(x, yg, 0, n, fast::Width::Auto);

    Column cols[6];
    for (std::size_t i = 0; i < n; ++i) {
        const Option& o = options[i];
        const auto g = *greekmill::black_scholes::all_greeks(
            o.s, o.k, o.t, o.r, o.sigma, o.q,
            o.put ? greekmill::OptionType::Put : greekmill::OptionType::Call);
        const double exact[6] = {exact_price(o), g.delta, g.gamma, g.theta, g.vega, g.rho};
        Quad ref[6];
        reference(o, ref);
        for (int j = 0; j < 6; ++j) {
            // Normal doubles only: below 2^-1022 relative error has no meaning.
            if (fabsq(ref[j]) < 0x1p-1022Q) {
                continue;
            }
            cols[j].fast_quad.push_back(rel(out[j][i], ref[j]));
            cols[j].exact_quad.push_back(rel(exact[j], ref[j]));
            if (std::fabs(exact[j]) >= 0x1p-1022) {
                cols[j].fast_exact.push_back(rel(out[j][i], static_cast<Quad>(exact[j])));
            }
        }
    }
    const char* names[6] = {"price", "delta", "gamma", "theta", "vega", "rho"};
    for (int j = 0; j < 6; ++j) {
        const Column& c = cols[j];
        std::printf("| %s | %s | %zu | %.2e | %.2e | %.2e | %.2e | %.2e | %.2e |\n", name, names[j],
                    c.fast_quad.size(), *std::max_element(c.fast_quad.begin(), c.fast_quad.end()),
                    median(c.fast_quad), *std::max_element(c.exact_quad.begin(), c.exact_quad.end()),
                    median(c.exact_quad),
                    *std::max_element(c.fast_exact.begin(), c.fast_exact.end()),
                    median(c.fast_exact));
        std::fflush(stdout);
    }
}

double quantile(std::vector<double> v, double p) {
    const std::size_t at = std::min(v.size() - 1, static_cast<std::size_t>(p * v.size()));
    std::nth_element(v.begin(), v.begin() + at, v.end());
    return v[at];
}

// Bjerksund-Stensland, fast against exact (no quad reference): relative
// differences where the exact value is at least 1e-12 in magnitude.
template <class Gen>
void american_book(const char* name, std::size_t n, Gen make) {
    std::vector<double> s(n), k(n), t(n), r(n), sigma(n), q(n);
    std::vector<std::uint8_t> type(n);
    for (std::size_t i = 0; i < n; ++i) {
        const Option o = make();
        s[i] = o.s;
        k[i] = o.k;
        t[i] = o.t;
        r[i] = o.r;
        sigma[i] = o.sigma;
        q[i] = o.q;
        type[i] = o.put ? 1 : 0;
    }
    greekmill::batch::Inputs x;
    x.s = {s.data(), 1};
    x.k = {k.data(), 1};
    x.t = {t.data(), 1};
    x.r = {r.data(), 1};
    x.sigma = {sigma.data(), 1};
    x.q = {q.data(), 1};
    x.type = {type.data(), 1};
    std::vector<double> out[6];
    for (auto& c : out) {
        c.resize(n);
    }
    greekmill::batch::Outputs yp;
    yp.out[0] = out[0].data();
    greekmill::batch::Outputs yg;
    for (int j = 0; j < 5; ++j) {
        yg.out[j] = out[j + 1].data();
    }
    namespace fast = greekmill::fast;
    fast::bjerksund_stensland_price(x, yp, 0, n, fast::Width::Auto);
    fast::bjerksund_stensland_greeks(x, yg, 0, n, fast::Width::Auto);
    std::vector<double> diff[6];
    for (std::size_t i = 0; i < n; ++i) {
        const auto type_i = type[i] ? greekmill::OptionType::Put : greekmill::OptionType::Call;
        namespace am = greekmill::bjerksund_stensland;
        const auto g = *am::all_greeks(s[i], k[i], t[i], r[i], sigma[i], q[i], type_i);
        const double exact[6] = {*am::price(s[i], k[i], t[i], r[i], sigma[i], q[i], type_i),
                                 g.delta, g.gamma, g.theta, g.vega, g.rho};
        for (int j = 0; j < 6; ++j) {
            if (std::fabs(exact[j]) >= 1e-12) {
                diff[j].push_back(std::fabs(out[j][i] - exact[j]) / std::fabs(exact[j]));
            }
        }
    }
    const char* names[6] = {"price", "delta", "gamma", "theta", "vega", "rho"};
    for (int j = 0; j < 6; ++j) {
        std::printf("| %s | %s | %zu | %.2e | %.2e | %.2e | %.2e |\n", name, names[j],
                    diff[j].size(), quantile(diff[j], 0.5), quantile(diff[j], 0.99),
                    quantile(diff[j], 0.999), *std::max_element(diff[j].begin(), diff[j].end()));
        std::fflush(stdout);
    }
}

}  // namespace

int main(int argc, char** argv) {
    const std::size_t n = argc > 1 ? std::strtoull(argv[1], nullptr, 10) : 1000000;
    std::printf("| book | output | n | fast max rel | fast median | exact max rel | exact median "
                "| fast vs exact max | fast vs exact median |\n");
    std::printf("|---|---|---|---|---|---|---|---|---|\n");
    std::mt19937_64 gen(20261208);
    auto u = [&](double a, double b) { return std::uniform_real_distribution<double>(a, b)(gen); };
    // The speed benchmark's random book.
    book("random", n, [&] {
        return Option{u(50, 150), u(50, 150), u(0.05, 3), u(0, 0.08), u(0.05, 0.8), u(0, 0.05),
                      (gen() & 1) != 0};
    });
    // Tails: strikes up to e^4 away from spot at low volatility (|d1| up to ~40).
    book("tails", n, [&] {
        const double s = u(50, 150);
        return Option{s, s * std::exp(u(-4, 4)), u(0.02, 1), u(0, 0.08), u(0.05, 0.4),
                      u(0, 0.05), (gen() & 1) != 0};
    });
    // Short expiries, low volatility.
    book("short", n, [&] {
        const double s = u(50, 150);
        return Option{s, s * std::exp(u(-0.01, 0.01)), u(1e-6, 1e-3), u(0, 0.08), u(0.01, 0.1),
                      u(0, 0.05), (gen() & 1) != 0};
    });
    std::printf("\nBjerksund-Stensland, fast against exact, relative differences where "
                "|exact| >= 1e-12:\n\n");
    std::printf("| book | output | n | median | 99 %% | 99.9 %% | max |\n|---|---|---|---|---|---|---|\n");
    american_book("random", n / 10, [&] {
        return Option{u(50, 150), u(50, 150), u(0.05, 3), u(0, 0.08), u(0.05, 0.8), u(0, 0.08),
                      (gen() & 1) != 0};
    });
    return 0;
}
