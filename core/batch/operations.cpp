#include "operations.hpp"

#include <algorithm>
#include <array>
#include <cmath>
#include <limits>

#include "american/american.hpp"
#include "bjerksund_stensland.hpp"
#include "black_scholes.hpp"
#include "fast/bjerksund_stensland_fast.hpp"
#include "fast/european_fast.hpp"
#include "implied_volatility.hpp"

namespace greekmill::batch {
namespace {

constexpr double kNaN = std::numeric_limits<double>::quiet_NaN();

// One element's inputs and the tier of the accurate engine (which the other
// models do not read).
struct Market {
    double s, k, t, r, sigma, q;
    OptionType type;
    american::Accuracy accuracy;
    dividends::Schedule dividends;
};

[[nodiscard]] inline Market market(const Inputs& x, std::size_t i,
                                   const Settings& settings) noexcept {
    return {x.s[i],     x.k[i], x.t[i],    x.r[i],
            x.sigma[i], x.q[i], x.type[i], settings.accuracy, settings.dividends};
}

// Which of the five Greeks a single-output operation returns.
enum class Field { Delta, Gamma, Theta, Vega, Rho };

[[nodiscard]] inline double field_of(const Greeks& g, Field f) noexcept {
    switch (f) {
        case Field::Delta: return g.delta;
        case Field::Gamma: return g.gamma;
        case Field::Theta: return g.theta;
        case Field::Vega: return g.vega;
        case Field::Rho: return g.rho;
    }
    return kNaN;
}

inline void store_greeks(const Outputs& y, std::size_t i, const Greeks& g) noexcept {
    y.out[0][i] = g.delta;
    y.out[1][i] = g.gamma;
    y.out[2][i] = g.theta;
    y.out[3][i] = g.vega;
    y.out[4][i] = g.rho;
}

inline void store_failure(const Outputs& y, int outputs, std::size_t i) noexcept {
    for (int j = 0; j < outputs; ++j) {
        y.out[j][i] = kNaN;
    }
}

// Every core operation succeeds today; a failure it may report one day
// becomes a NaN element recorded as such, never a value.
template <class T>
[[nodiscard]] inline bool take(const Result<T>& result, T& value) noexcept {
    if (!result) {
        return false;
    }
    value = *result;
    return true;
}

// ---- Cash dividends before expiry: the grid solver, European or American.

[[nodiscard]] inline bool pays_dividends(const Market& m) noexcept {
    return dividends::applies(m.dividends, m.t);
}

[[nodiscard]] inline Result<american::Valuation> with_dividends(const Market& m,
                                                                dividends::Style style,
                                                                bool greeks) noexcept {
    return dividends::value(m.s, m.k, m.t, m.r, m.sigma, m.q, m.type, style, m.accuracy,
                            m.dividends, greeks);
}

template <Field F>
[[nodiscard]] inline Result<double> dividend_single(const Market& m,
                                                    dividends::Style style) noexcept {
    const Result<american::Valuation> v = with_dividends(m, style, true);
    if (!v) {
        return std::unexpected(v.error());
    }
    return field_of(v->greeks, F);
}

[[nodiscard]] inline Result<double> dividend_price(const Market& m,
                                                   dividends::Style style) noexcept {
    const Result<american::Valuation> v = with_dividends(m, style, false);
    if (!v) {
        return std::unexpected(v.error());
    }
    return v->price;
}

[[nodiscard]] inline Result<Greeks> dividend_greeks(const Market& m,
                                                    dividends::Style style) noexcept {
    const Result<american::Valuation> v = with_dividends(m, style, true);
    if (!v) {
        return std::unexpected(v.error());
    }
    return v->greeks;
}

// ---- European (Black-Scholes-Merton): the core's Greeks where the total
// volatility is positive, their limits where it is 0.

template <Field F>
[[nodiscard]] inline Result<double> european_single(const Market& m) noexcept {
    namespace bs = black_scholes;
    if (pays_dividends(m)) {
        return dividend_single<F>(m, dividends::Style::European);
    }
    if (bs::zero_total_volatility(m.t, m.sigma)) {
        return field_of(bs::greeks_at_zero_volatility(m.s, m.k, m.t, m.r, m.sigma, m.q, m.type), F);
    }
    switch (F) {
        case Field::Delta: return bs::delta(m.s, m.k, m.t, m.r, m.sigma, m.q, m.type);
        case Field::Gamma: return bs::gamma(m.s, m.k, m.t, m.r, m.sigma, m.q);
        case Field::Theta: return bs::theta(m.s, m.k, m.t, m.r, m.sigma, m.q, m.type);
        case Field::Vega: return bs::vega(m.s, m.k, m.t, m.r, m.sigma, m.q);
        case Field::Rho: return bs::rho(m.s, m.k, m.t, m.r, m.sigma, m.q, m.type);
    }
    return kNaN;
}

[[nodiscard]] inline Result<double> european_price(const Market& m) noexcept {
    namespace bs = black_scholes;
    if (pays_dividends(m)) {
        return dividend_price(m, dividends::Style::European);
    }
    if (bs::zero_total_volatility(m.t, m.sigma)) {
        return bs::price_at_zero_volatility(m.s, m.k, m.t, m.r, m.sigma, m.q, m.type);
    }
    return bs::price(m.s, m.k, m.t, m.r, m.sigma, m.q, m.type);
}

[[nodiscard]] inline Result<Greeks> european_greeks(const Market& m) noexcept {
    namespace bs = black_scholes;
    if (pays_dividends(m)) {
        return dividend_greeks(m, dividends::Style::European);
    }
    if (bs::zero_total_volatility(m.t, m.sigma)) {
        return bs::greeks_at_zero_volatility(m.s, m.k, m.t, m.r, m.sigma, m.q, m.type);
    }
    return bs::all_greeks(m.s, m.k, m.t, m.r, m.sigma, m.q, m.type);
}

// ---- The closed form of greekmill_python, element by element.

template <Field F>
[[nodiscard]] inline Result<double> closed_form_single(const Market& m) noexcept {
    namespace bjs = bjerksund_stensland;
    switch (F) {
        case Field::Delta: return bjs::delta(m.s, m.k, m.t, m.r, m.sigma, m.q, m.type);
        case Field::Gamma: return bjs::gamma(m.s, m.k, m.t, m.r, m.sigma, m.q, m.type);
        case Field::Theta: return bjs::theta(m.s, m.k, m.t, m.r, m.sigma, m.q, m.type);
        case Field::Vega: return bjs::vega(m.s, m.k, m.t, m.r, m.sigma, m.q, m.type);
        case Field::Rho: return bjs::rho(m.s, m.k, m.t, m.r, m.sigma, m.q, m.type);
    }
    return kNaN;
}

[[nodiscard]] inline Result<double> closed_form_price(const Market& m) noexcept {
    return bjerksund_stensland::price(m.s, m.k, m.t, m.r, m.sigma, m.q, m.type);
}

[[nodiscard]] inline Result<Greeks> closed_form_greeks(const Market& m) noexcept {
    return bjerksund_stensland::all_greeks(m.s, m.k, m.t, m.r, m.sigma, m.q, m.type);
}

// ---- Kernels: one loop shape for every scalar-valued and Greeks-valued model.

// Inputs in the domain never give a NaN reported as a value: a NaN there is
// a formula overflowing, recorded as such (the element stays NaN).
[[nodiscard]] inline bool any_nan(const Greeks& g) noexcept {
    return std::isnan(g.delta) | std::isnan(g.gamma) | std::isnan(g.theta) |
           std::isnan(g.vega) | std::isnan(g.rho);
}

template <Result<double> (*Value)(const Market&) noexcept>
void value_kernel(const Inputs& x, const Outputs& y, std::size_t begin, std::size_t end,
                  const Settings& settings, Failures& failures) noexcept {
    double* out = y.out[0];
    for (std::size_t i = begin; i < end; ++i) {
        double v;
        if (!take(Value(market(x, i, settings)), v)) {
            out[i] = kNaN;
            failures.add(i, Failure::NotConverged);
        } else {
            out[i] = v;
            if (std::isnan(v)) {
                failures.add(i, Failure::NotRepresentable);
            }
        }
    }
}

template <Result<Greeks> (*Value)(const Market&) noexcept>
void greeks_kernel(const Inputs& x, const Outputs& y, std::size_t begin, std::size_t end,
                   const Settings& settings, Failures& failures) noexcept {
    for (std::size_t i = begin; i < end; ++i) {
        Greeks g;
        if (!take(Value(market(x, i, settings)), g)) {
            store_failure(y, 5, i);
            failures.add(i, Failure::NotConverged);
        } else if (any_nan(g)) {
            store_failure(y, 5, i);
            failures.add(i, Failure::NotRepresentable);
        } else {
            store_greeks(y, i, g);
        }
    }
}

// ---- precision="fast": the same formulas on the vectorised kernels, which
// take whole ranges.

using FastKernel = void (*)(const Inputs&, const Outputs&, std::size_t, std::size_t,
                            fast::Width) noexcept;

template <Kernel Exact, FastKernel Fast, int kOutputs = 1>
void with_precision(const Inputs& x, const Outputs& y, std::size_t begin, std::size_t end,
                    const Settings& settings, Failures& failures) noexcept {
    // The vectorised kernels know no dividends: a schedule takes the exact
    // path, which sends the elements it concerns to the grid.
    if (settings.precision != Precision::Fast || !settings.dividends.times.empty()) {
        Exact(x, y, begin, end, settings, failures);
        return;
    }
    Fast(x, y, begin, end, settings.width);
    for (std::size_t i = begin; i < end; ++i) {
        bool nan = false;
        for (int j = 0; j < kOutputs; ++j) {
            nan |= std::isnan(y.out[j][i]);
        }
        if (nan) {
            store_failure(y, kOutputs, i);
            failures.add(i, Failure::NotRepresentable);
        }
    }
}

// ---- The accurate American engine: every output from one boundary solve.

[[nodiscard]] inline Result<double> accurate_price(const Market& m) noexcept {
    if (pays_dividends(m)) {
        return dividend_price(m, dividends::Style::American);
    }
    return american::price(m.s, m.k, m.t, m.r, m.sigma, m.q, m.type, m.accuracy);
}

[[nodiscard]] inline Result<Greeks> accurate_greeks(const Market& m) noexcept {
    if (pays_dividends(m)) {
        return dividend_greeks(m, dividends::Style::American);
    }
    const Result<american::Valuation> v =
        american::value_and_greeks(m.s, m.k, m.t, m.r, m.sigma, m.q, m.type, m.accuracy);
    if (!v) {
        return std::unexpected(v.error());
    }
    return v->greeks;
}

template <Field F>
[[nodiscard]] inline Result<double> accurate_single(const Market& m) noexcept {
    const Result<Greeks> g = accurate_greeks(m);
    if (!g) {
        return std::unexpected(g.error());
    }
    return field_of(*g, F);
}

// The time to expiry tau travels in the s column.
[[nodiscard]] inline Result<double> exercise_boundary(const Market& m) noexcept {
    return american::exercise_boundary(m.s, m.k, m.r, m.sigma, m.q, m.type, m.accuracy);
}

// ---- Implied volatility: the solver's errors are the failures of the bounds.

[[nodiscard]] inline Failure failure_of(implied_volatility::Error error) noexcept {
    switch (error) {
        case implied_volatility::Error::BelowLowerBound: return Failure::PriceBelowLowerBound;
        case implied_volatility::Error::AboveUpperBound: return Failure::PriceAboveUpperBound;
        case implied_volatility::Error::NoVolatilityInformation:
            return Failure::NoVolatilityInformation;
        case implied_volatility::Error::NotConverged: return Failure::NotConverged;
    }
    return Failure::NotConverged;
}

template <bool American>
void implied_volatility_kernel(const Inputs& x, const Outputs& y, std::size_t begin,
                               std::size_t end, const Settings& settings,
                               Failures& failures) noexcept {
    for (std::size_t i = begin; i < end; ++i) {
        const double price = x.price[i];
        const Market m = market(x, i, settings);
        const auto sigma =
            pays_dividends(m)
                ? dividends::implied_volatility(
                      price, m.s, m.k, m.t, m.r, m.q, m.type,
                      American ? dividends::Style::American : dividends::Style::European,
                      m.accuracy, m.dividends)
            : American ? implied_volatility::american(price, m.s, m.k, m.t, m.r, m.q, m.type,
                                                    m.accuracy)
                     : implied_volatility::european(price, m.s, m.k, m.t, m.r, m.q, m.type);
        if (sigma) {
            y.out[0][i] = *sigma;
        } else {
            y.out[0][i] = kNaN;
            failures.add(i, failure_of(sigma.error()));
        }
    }
}

[[nodiscard]] inline bool positive(double v) noexcept { return v > 0.0 && v < INFINITY; }
[[nodiscard]] inline bool nonnegative(double v) noexcept { return v >= 0.0 && v < INFINITY; }
[[nodiscard]] inline bool finite(double v) noexcept { return std::isfinite(v); }

constexpr double kEuropeanCost = 1.0;
constexpr double kClosedFormCost = 20.0;
constexpr double kClosedFormGreeksCost = 160.0;
constexpr double kSpectralCost = 200.0;

const std::array kOperations{
    Operation{"european_price", Domain::Pricing, 1, kEuropeanCost,
              with_precision<value_kernel<european_price>, fast::european_price>},
    Operation{"european_delta", Domain::Pricing, 1, kEuropeanCost,
              with_precision<value_kernel<european_single<Field::Delta>>, fast::european_delta>},
    Operation{"european_gamma", Domain::Pricing, 1, kEuropeanCost,
              with_precision<value_kernel<european_single<Field::Gamma>>, fast::european_gamma>},
    Operation{"european_theta", Domain::Pricing, 1, kEuropeanCost,
              with_precision<value_kernel<european_single<Field::Theta>>, fast::european_theta>},
    Operation{"european_vega", Domain::Pricing, 1, kEuropeanCost,
              with_precision<value_kernel<european_single<Field::Vega>>, fast::european_vega>},
    Operation{"european_rho", Domain::Pricing, 1, kEuropeanCost,
              with_precision<value_kernel<european_single<Field::Rho>>, fast::european_rho>},
    Operation{"european_greeks", Domain::Pricing, 5, 3 * kEuropeanCost,
              with_precision<greeks_kernel<european_greeks>, fast::european_greeks, 5>},
    Operation{"bjerksund_stensland_price", Domain::Pricing, 1, kClosedFormCost,
              with_precision<value_kernel<closed_form_price>, fast::bjerksund_stensland_price>},
    Operation{"bjerksund_stensland_delta", Domain::Pricing, 1, 2 * kClosedFormCost,
              with_precision<value_kernel<closed_form_single<Field::Delta>>,
                             fast::bjerksund_stensland_delta>},
    Operation{"bjerksund_stensland_gamma", Domain::Pricing, 1, 3 * kClosedFormCost,
              with_precision<value_kernel<closed_form_single<Field::Gamma>>,
                             fast::bjerksund_stensland_gamma>},
    Operation{"bjerksund_stensland_theta", Domain::Pricing, 1, 2 * kClosedFormCost,
              with_precision<value_kernel<closed_form_single<Field::Theta>>,
                             fast::bjerksund_stensland_theta>},
    Operation{"bjerksund_stensland_vega", Domain::Pricing, 1, 2 * kClosedFormCost,
              with_precision<value_kernel<closed_form_single<Field::Vega>>,
                             fast::bjerksund_stensland_vega>},
    Operation{"bjerksund_stensland_rho", Domain::Pricing, 1, 2 * kClosedFormCost,
              with_precision<value_kernel<closed_form_single<Field::Rho>>,
                             fast::bjerksund_stensland_rho>},
    Operation{"bjerksund_stensland_greeks", Domain::Pricing, 5, kClosedFormGreeksCost,
              with_precision<greeks_kernel<closed_form_greeks>, fast::bjerksund_stensland_greeks,
                             5>},
    Operation{"spectral_price", Domain::Pricing, 1, kSpectralCost,
              value_kernel<accurate_price>},
    Operation{"spectral_delta", Domain::Pricing, 1, kSpectralCost,
              value_kernel<accurate_single<Field::Delta>>},
    Operation{"spectral_gamma", Domain::Pricing, 1, kSpectralCost,
              value_kernel<accurate_single<Field::Gamma>>},
    Operation{"spectral_theta", Domain::Pricing, 1, kSpectralCost,
              value_kernel<accurate_single<Field::Theta>>},
    Operation{"spectral_vega", Domain::Pricing, 1, kSpectralCost,
              value_kernel<accurate_single<Field::Vega>>},
    Operation{"spectral_rho", Domain::Pricing, 1, kSpectralCost,
              value_kernel<accurate_single<Field::Rho>>},
    Operation{"spectral_greeks", Domain::Pricing, 5, kSpectralCost,
              greeks_kernel<accurate_greeks>},
    Operation{"exercise_boundary", Domain::ExerciseBoundary, 1, kSpectralCost,
              value_kernel<exercise_boundary>},
    Operation{"european_implied_volatility", Domain::ImpliedVolatility, 1, 5 * kEuropeanCost,
              implied_volatility_kernel<false>},
    Operation{"american_implied_volatility", Domain::ImpliedVolatility, 1, 5 * kSpectralCost,
              implied_volatility_kernel<true>},
};

// The pricing domain as one expression without branches: every comparison
// with a NaN is false, so NaNs fail the range tests.
[[nodiscard]] inline bool in_pricing_domain(const Inputs& x, std::size_t i) noexcept {
    const double s = x.s[i], k = x.k[i], t = x.t[i], r = x.r[i], sigma = x.sigma[i], q = x.q[i];
    const double big = std::numeric_limits<double>::max();
    return (s > 0.0) & (s <= big) & (k > 0.0) & (k <= big) & (t >= 0.0) & (t <= big) &
           (r >= -big) & (r <= big) & (sigma >= 0.0) & (sigma <= big) & (q >= -big) & (q <= big);
}

}  // namespace

std::span<const Operation> operations() noexcept { return kOperations; }

Failure check_domain(Domain domain, const Inputs& x, std::size_t i) noexcept {
    if (domain == Domain::ImpliedVolatility && !finite(x.price[i])) {
        return Failure::Price;
    }
    if (domain == Domain::ExerciseBoundary) {
        // The time to expiry tau travels in the s column.
        if (!nonnegative(x.s[i])) {
            return Failure::Expiry;
        }
    } else if (!positive(x.s[i])) {
        return Failure::Spot;
    }
    if (!positive(x.k[i])) {
        return Failure::Strike;
    }
    if (domain != Domain::ExerciseBoundary && !nonnegative(x.t[i])) {
        return Failure::Expiry;
    }
    if (!finite(x.r[i])) {
        return Failure::Rate;
    }
    if (domain != Domain::ImpliedVolatility && !nonnegative(x.sigma[i])) {
        return Failure::Volatility;
    }
    if (!finite(x.q[i])) {
        return Failure::Yield;
    }
    return Failure::None;
}

void run_range(const Operation& op, const Inputs& x, const Outputs& y, std::size_t begin,
               std::size_t end, const Settings& settings, Failures& failures) noexcept {
    // Blocks keep the domain flags on the stack; a block without a failure
    // (the usual case) goes to the kernel whole.
    constexpr std::size_t kBlock = 512;
    std::array<bool, kBlock> bad;
    for (std::size_t block = begin; block < end; block += kBlock) {
        const std::size_t block_end = block + kBlock < end ? block + kBlock : end;
        // A branch-free pass finds whether the block has any failure; only
        // then is each element's reason looked up.
        bool any_bad = false;
        for (std::size_t i = block; i < block_end; ++i) {
            const bool in_domain = op.domain == Domain::Pricing ? in_pricing_domain(x, i)
                                                                  : check_domain(op.domain, x, i) == Failure::None;
            bad[i - block] = !in_domain;
            any_bad |= !in_domain;
        }
        if (any_bad) {
            for (std::size_t i = block; i < block_end; ++i) {
                if (bad[i - block]) {
                    failures.add(i, check_domain(op.domain, x, i));
                    store_failure(y, op.outputs, i);
                }
            }
        }
        if (!any_bad) {
            op.kernel(x, y, block, block_end, settings, failures);
            continue;
        }
        std::size_t i = block;
        while (i < block_end) {
            if (bad[i - block]) {
                ++i;
                continue;
            }
            std::size_t run_end = i;
            while (run_end < block_end && !bad[run_end - block]) {
                ++run_end;
            }
            op.kernel(x, y, i, run_end, settings, failures);
            i = run_end;
        }
    }
}

}  // namespace greekmill::batch
