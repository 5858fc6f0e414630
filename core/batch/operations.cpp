#include "operations.hpp"

#include <algorithm>
#include <array>
#include <cmath>
#include <cstring>
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

// With cash dividends the value and the Greeks of one grid solve: the
// tangent passes only read the value's time levels, so the value of a solve
// with sensitivities has the bits of the value-only solve of dividend_price.
[[nodiscard]] inline Result<american::Valuation> dividend_valuation(
    const Market& m, dividends::Style style) noexcept {
    return with_dividends(m, style, true);
}

[[nodiscard]] inline Result<black_scholes::Valuation> european_valuation(const Market& m) noexcept {
    namespace bs = black_scholes;
    if (pays_dividends(m)) {
        const Result<american::Valuation> v = dividend_valuation(m, dividends::Style::European);
        if (!v) {
            return std::unexpected(v.error());
        }
        return bs::Valuation{v->price, v->greeks};
    }
    if (bs::zero_total_volatility(m.t, m.sigma)) {
        return bs::Valuation{bs::price_at_zero_volatility(m.s, m.k, m.t, m.r, m.sigma, m.q, m.type),
                             bs::greeks_at_zero_volatility(m.s, m.k, m.t, m.r, m.sigma, m.q,
                                                           m.type)};
    }
    return bs::valuation(m.s, m.k, m.t, m.r, m.sigma, m.q, m.type);
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

[[nodiscard]] inline Result<black_scholes::Valuation> closed_form_valuation(
    const Market& m) noexcept {
    namespace bjs = bjerksund_stensland;
    const Result<double> price = bjs::price(m.s, m.k, m.t, m.r, m.sigma, m.q, m.type);
    const Result<Greeks> greeks = bjs::all_greeks(m.s, m.k, m.t, m.r, m.sigma, m.q, m.type);
    if (!price || !greeks) {
        return std::unexpected(!price ? price.error() : greeks.error());
    }
    return black_scholes::Valuation{*price, *greeks};
}

// ---- Kernels: one loop shape for every scalar-valued and Greeks-valued model.

// Inputs in the domain never give a NaN reported as a value: a NaN there is
// a formula overflowing, recorded as such (the element stays NaN).
[[nodiscard]] inline bool any_nan(const Greeks& g) noexcept {
    bool nan = std::isnan(g.delta);
    nan |= std::isnan(g.gamma);
    nan |= std::isnan(g.theta);
    nan |= std::isnan(g.vega);
    nan |= std::isnan(g.rho);
    return nan;
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

template <class V, Result<V> (*Value)(const Market&) noexcept>
void valuation_kernel(const Inputs& x, const Outputs& y, std::size_t begin, std::size_t end,
                      const Settings& settings, Failures& failures) noexcept {
    const Outputs greeks_out{{y.out[1], y.out[2], y.out[3], y.out[4], y.out[5]}};
    // NaNs as the single kernels leave them: the value's own, and all five
    // Greeks when any of them overflowed.
    for (std::size_t i = begin; i < end; ++i) {
        const Result<V> v = Value(market(x, i, settings));
        if (!v) {
            store_failure(y, 6, i);
            failures.add(i, Failure::NotConverged);
            continue;
        }
        y.out[0][i] = v->price;
        const bool greeks_nan = any_nan(v->greeks);
        if (greeks_nan) {
            store_failure(greeks_out, 5, i);
        } else {
            store_greeks(greeks_out, i, v->greeks);
        }
        if (greeks_nan || std::isnan(v->price)) {
            failures.add(i, Failure::NotRepresentable);
        }
    }
}

// ---- precision="fast": the same formulas on the vectorised kernels, which
// take whole ranges.

using FastKernel = void (*)(const Inputs&, const Outputs&, std::size_t, std::size_t,
                            fast::Width) noexcept;

// An AVX2 clone of the domain checks beside the baseline on x86-64 Linux
// with glibc (the clones are chosen by an ifunc, which musl, Mach-O and PE
// lack); one generic version elsewhere.  They only compare, so every version
// answers alike.
#if defined(__x86_64__) && defined(__linux__) && defined(__GLIBC__)
#define GM_AVX2_CLONE [[gnu::target_clones("avx2", "default")]]
#else
#define GM_AVX2_CLONE
#endif

using Lanes4 = double __attribute__((vector_size(32)));
using Mask4 = std::int64_t __attribute__((vector_size(32)));

// Whether any of values[0, count) is a NaN: vector comparisons that only
// accumulate, compiled for AVX2 and for the x86-64 baseline.
GM_AVX2_CLONE bool any_nan_in(const double* values, std::size_t count) noexcept {
    Mask4 unordered{};
    std::size_t i = 0;
    for (; i + 4 <= count; i += 4) {
        Lanes4 v;
        std::memcpy(&v, values + i, sizeof v);
        unordered |= v != v;
    }
    bool nan = (unordered[0] | unordered[1] | unordered[2] | unordered[3]) != 0;
    for (; i < count; ++i) {
        nan |= std::isnan(values[i]);
    }
    return nan;
}

template <Kernel Exact, FastKernel Fast, int kOutputs = 1>
void with_precision(const Inputs& x, const Outputs& y, std::size_t begin, std::size_t end,
                    const Settings& settings, Failures& failures) noexcept {
    if (settings.precision != Precision::Fast) {
        Exact(x, y, begin, end, settings, failures);
        return;
    }
    Fast(x, y, begin, end, settings.width);
    // The vectorised kernels know no dividends: an element with one before
    // its expiry is valued again by the exact path (the grid); the others
    // keep their fast bits, schedule or none.
    const bool schedule = !settings.dividends.times.empty();
    if (schedule) {
        for (std::size_t i = begin; i < end; ++i) {
            if (pays_dividends(market(x, i, settings))) {
                Exact(x, y, i, i + 1, settings, failures);
            }
        }
    }
    bool nan_found = false;  // the usual range has none: one pass per output
    for (int j = 0; j < kOutputs; ++j) {
        nan_found |= any_nan_in(y.out[j] + begin, end - begin);
    }
    if (!nan_found) {
        return;
    }
    for (std::size_t i = begin; i < end; ++i) {
        if (schedule && pays_dividends(market(x, i, settings))) {
            continue;  // the exact path recorded its own failures
        }
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

// The value and the Greeks of the vector kernels, one after the other over
// the range, each output the single kernel's bits; the NaNs of a formula
// that overflowed as the single operations leave them (the value's own, all
// five Greeks when any of them is NaN).
template <Kernel Exact, FastKernel Price, FastKernel AllGreeks>
void valuation_with_precision(const Inputs& x, const Outputs& y, std::size_t begin,
                              std::size_t end, const Settings& settings,
                              Failures& failures) noexcept {
    if (settings.precision != Precision::Fast) {
        Exact(x, y, begin, end, settings, failures);
        return;
    }
    const Outputs greeks_out{{y.out[1], y.out[2], y.out[3], y.out[4], y.out[5]}};
    Price(x, y, begin, end, settings.width);
    AllGreeks(x, greeks_out, begin, end, settings.width);
    // As with_precision: elements with a dividend before expiry go to the grid.
    const bool schedule = !settings.dividends.times.empty();
    if (schedule) {
        for (std::size_t i = begin; i < end; ++i) {
            if (pays_dividends(market(x, i, settings))) {
                Exact(x, y, i, i + 1, settings, failures);
            }
        }
    }
    bool nan_found = false;
    for (int j = 0; j < 6; ++j) {
        nan_found |= any_nan_in(y.out[j] + begin, end - begin);
    }
    if (!nan_found) {
        return;
    }
    for (std::size_t i = begin; i < end; ++i) {
        if (schedule && pays_dividends(market(x, i, settings))) {
            continue;
        }
        bool greeks_nan = false;
        for (int j = 1; j < 6; ++j) {
            greeks_nan |= std::isnan(y.out[j][i]);
        }
        if (greeks_nan) {
            store_failure(greeks_out, 5, i);
        }
        if (greeks_nan || std::isnan(y.out[0][i])) {
            failures.add(i, Failure::NotRepresentable);
        }
    }
}

// ---- The accurate American engine: every output from one boundary solve.

// The value comes from the same solve as the Greeks (every boundary step a
// Newton step), so that price, greeks and valuation agree bit for bit: the
// value-only solve, with chord steps once the steps are small, gives other
// last digits (within 1e-10 of the value) for about 3 % less time.
[[nodiscard]] inline Result<double> accurate_price(const Market& m) noexcept {
    if (pays_dividends(m)) {
        return dividend_price(m, dividends::Style::American);
    }
    const Result<american::Valuation> v =
        american::value_and_greeks(m.s, m.k, m.t, m.r, m.sigma, m.q, m.type, m.accuracy);
    if (!v) {
        return std::unexpected(v.error());
    }
    return v->price;
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

[[nodiscard]] inline Result<american::Valuation> accurate_valuation(const Market& m) noexcept {
    if (pays_dividends(m)) {
        return dividend_valuation(m, dividends::Style::American);
    }
    return american::value_and_greeks(m.s, m.k, m.t, m.r, m.sigma, m.q, m.type, m.accuracy);
}

template <Field F>
[[nodiscard]] inline Result<double> accurate_single(const Market& m) noexcept {
    const Result<Greeks> g = accurate_greeks(m);
    if (!g) {
        return std::unexpected(g.error());
    }
    return field_of(*g, F);
}

// The time to expiry tau travels in the s column.  In the double-boundary
// regime (put with q < r <= 0, call with r < q <= 0, the put's rates
// mirrored) the exercise region is an interval: no single boundary, which
// the engine reports as an error like any other; it is told apart here.
void exercise_boundary_kernel(const Inputs& x, const Outputs& y, std::size_t begin,
                              std::size_t end, const Settings& settings,
                              Failures& failures) noexcept {
    for (std::size_t i = begin; i < end; ++i) {
        const Market m = market(x, i, settings);
        const bool call = m.type == OptionType::Call;
        const double rate = call ? m.q : m.r;
        const double yield = call ? m.r : m.q;
        if (rate <= 0.0 && yield < rate) {
            y.out[0][i] = kNaN;
            failures.add(i, Failure::DoubleBoundary);
            continue;
        }
        const Result<double> boundary =
            american::exercise_boundary(m.s, m.k, m.r, m.sigma, m.q, m.type, m.accuracy);
        y.out[0][i] = boundary ? *boundary : kNaN;
        if (!boundary) {
            failures.add(i, Failure::NotConverged);
        } else if (std::isnan(*boundary)) {
            failures.add(i, Failure::NotRepresentable);
        }
    }
}

// ---- Implied volatility: the solver's errors are the failures of the bounds.

[[nodiscard]] inline Failure failure_of(implied_volatility::Error error) noexcept {
    switch (error) {
        case implied_volatility::Error::BelowLowerBound: return Failure::PriceBelowLowerBound;
        case implied_volatility::Error::AboveUpperBound: return Failure::PriceAboveUpperBound;
        case implied_volatility::Error::NoVolatilityInformation:
            return Failure::NoVolatilityInformation;
        case implied_volatility::Error::NotConverged: return Failure::NotConverged;
        case implied_volatility::Error::BelowResolution: return Failure::PriceBelowResolution;
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

// The closed forms: their kernels may run before their block is checked.
constexpr bool kArithmetic = true;

const std::array kOperations{
    Operation{"european_price", Domain::Pricing, 1, kEuropeanCost,
              with_precision<value_kernel<european_price>, fast::european_price>, kArithmetic},
    Operation{"european_delta", Domain::Pricing, 1, kEuropeanCost,
              with_precision<value_kernel<european_single<Field::Delta>>, fast::european_delta>,
              kArithmetic},
    Operation{"european_gamma", Domain::Pricing, 1, kEuropeanCost,
              with_precision<value_kernel<european_single<Field::Gamma>>, fast::european_gamma>,
              kArithmetic},
    Operation{"european_theta", Domain::Pricing, 1, kEuropeanCost,
              with_precision<value_kernel<european_single<Field::Theta>>, fast::european_theta>,
              kArithmetic},
    Operation{"european_vega", Domain::Pricing, 1, kEuropeanCost,
              with_precision<value_kernel<european_single<Field::Vega>>, fast::european_vega>,
              kArithmetic},
    Operation{"european_rho", Domain::Pricing, 1, kEuropeanCost,
              with_precision<value_kernel<european_single<Field::Rho>>, fast::european_rho>,
              kArithmetic},
    Operation{"european_greeks", Domain::Pricing, 5, 3 * kEuropeanCost,
              with_precision<greeks_kernel<european_greeks>, fast::european_greeks, 5>,
              kArithmetic},
    Operation{"european_valuation", Domain::Pricing, 6, 3 * kEuropeanCost,
              valuation_with_precision<
                  valuation_kernel<black_scholes::Valuation, european_valuation>,
                  fast::european_price, fast::european_greeks>,
              kArithmetic},
    Operation{"bjerksund_stensland_price", Domain::Pricing, 1, kClosedFormCost,
              with_precision<value_kernel<closed_form_price>, fast::bjerksund_stensland_price>,
              kArithmetic},
    Operation{"bjerksund_stensland_delta", Domain::Pricing, 1, 2 * kClosedFormCost,
              with_precision<value_kernel<closed_form_single<Field::Delta>>,
                             fast::bjerksund_stensland_delta>, kArithmetic},
    Operation{"bjerksund_stensland_gamma", Domain::Pricing, 1, 3 * kClosedFormCost,
              with_precision<value_kernel<closed_form_single<Field::Gamma>>,
                             fast::bjerksund_stensland_gamma>, kArithmetic},
    Operation{"bjerksund_stensland_theta", Domain::Pricing, 1, 2 * kClosedFormCost,
              with_precision<value_kernel<closed_form_single<Field::Theta>>,
                             fast::bjerksund_stensland_theta>, kArithmetic},
    Operation{"bjerksund_stensland_vega", Domain::Pricing, 1, 2 * kClosedFormCost,
              with_precision<value_kernel<closed_form_single<Field::Vega>>,
                             fast::bjerksund_stensland_vega>, kArithmetic},
    Operation{"bjerksund_stensland_rho", Domain::Pricing, 1, 2 * kClosedFormCost,
              with_precision<value_kernel<closed_form_single<Field::Rho>>,
                             fast::bjerksund_stensland_rho>, kArithmetic},
    Operation{"bjerksund_stensland_greeks", Domain::Pricing, 5, kClosedFormGreeksCost,
              with_precision<greeks_kernel<closed_form_greeks>, fast::bjerksund_stensland_greeks,
                             5>,
              kArithmetic},
    Operation{"bjerksund_stensland_valuation", Domain::Pricing, 6,
              kClosedFormGreeksCost + kClosedFormCost,
              valuation_with_precision<
                  valuation_kernel<black_scholes::Valuation, closed_form_valuation>,
                  fast::bjerksund_stensland_price, fast::bjerksund_stensland_greeks>,
              kArithmetic},
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
    Operation{"spectral_valuation", Domain::Pricing, 6, kSpectralCost,
              valuation_kernel<american::Valuation, accurate_valuation>},
    Operation{"exercise_boundary", Domain::ExerciseBoundary, 1, kSpectralCost,
              exercise_boundary_kernel},
    Operation{"european_implied_volatility", Domain::ImpliedVolatility, 1, 5 * kEuropeanCost,
              implied_volatility_kernel<false>},
    Operation{"american_implied_volatility", Domain::ImpliedVolatility, 1, 5 * kSpectralCost,
              implied_volatility_kernel<true>},
};

// The pricing domain, tested a block at a time for the usual case of a
// block without a failure: a broadcast value once, a contiguous column by
// vector comparisons that only accumulate whether any lane failed (the
// compiler does not vectorise scalar comparisons itself: they may raise the
// invalid flag on a NaN).  Every comparison with a NaN is false, so NaNs
// fail the range tests.  Compiled for AVX2 and for the x86-64 baseline, the
// loader picking the version the CPU runs.
enum class Bound { Positive, NonNegative, Finite };

template <Bound B>
[[nodiscard]] inline bool within(double v) noexcept {
    constexpr double kBig = std::numeric_limits<double>::max();
    if constexpr (B == Bound::Positive) {
        return (v > 0.0) & (v <= kBig);
    } else if constexpr (B == Bound::NonNegative) {
        return (v >= 0.0) & (v <= kBig);
    } else {
        return (v >= -kBig) & (v <= kBig);
    }
}

template <Bound B>
[[nodiscard]] inline bool column_within(Column c, std::size_t count) noexcept {
    if (c.stride == 0) {
        return within<B>(c.data[0]);
    }
    constexpr double kBig = std::numeric_limits<double>::max();
    constexpr double kLow = B == Bound::Finite ? -kBig : 0.0;
    Mask4 failed{};
    std::size_t i = 0;
    for (; i + 4 <= count; i += 4) {
        Lanes4 v;
        std::memcpy(&v, c.data + i, sizeof v);
        const Mask4 above = B == Bound::Positive ? (v > kLow) : (v >= kLow);
        failed |= ~(above & (v <= kBig));
    }
    bool ok = (failed[0] | failed[1] | failed[2] | failed[3]) == 0;
    for (; i < count; ++i) {
        ok &= within<B>(c.data[i]);
    }
    return ok;
}

GM_AVX2_CLONE bool pricing_block_ok(const Inputs& x, std::size_t count) noexcept {
    bool ok = true;
    if (x.type.stride == 0) {
        ok = x.type.data[0] <= 1;
    } else {
        std::uint8_t above_one = 0;
        for (std::size_t i = 0; i < count; ++i) {
            above_one |= static_cast<std::uint8_t>(x.type.data[i] >> 1);
        }
        ok = above_one == 0;
    }
    ok &= column_within<Bound::Positive>(x.s, count);
    ok &= column_within<Bound::Positive>(x.k, count);
    ok &= column_within<Bound::NonNegative>(x.t, count);
    ok &= column_within<Bound::Finite>(x.r, count);
    ok &= column_within<Bound::NonNegative>(x.sigma, count);
    ok &= column_within<Bound::Finite>(x.q, count);
    return ok;
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

namespace {

// The columns of elements [shift, ...) seen from index 0: each block is
// handed to the kernels with its own decoded option types.
[[nodiscard]] inline Column shifted(Column c, std::size_t shift) noexcept {
    return {c.data + shift * c.stride, c.stride};
}

[[nodiscard]] inline Inputs shifted(const Inputs& x, std::size_t shift) noexcept {
    Inputs b = x;
    b.price = shifted(x.price, shift);
    b.s = shifted(x.s, shift);
    b.k = shifted(x.k, shift);
    b.t = shifted(x.t, shift);
    b.r = shifted(x.r, shift);
    b.sigma = shifted(x.sigma, shift);
    b.q = shifted(x.q, shift);
    return b;
}

[[nodiscard]] inline Outputs shifted(const Outputs& y, int outputs, std::size_t shift) noexcept {
    Outputs b;
    for (int j = 0; j < outputs; ++j) {
        b.out[j] = y.out[j] + shift;
    }
    return b;
}

}  // namespace

void run_range(const Operation& op, const Inputs& x, const Outputs& y, std::size_t begin,
               std::size_t end, const Settings& settings, Failures& failures) noexcept {
    // Blocks keep the option types and the domain flags on the stack; a block
    // without a failure (the usual case) goes to the kernel whole.
    constexpr std::size_t kBlock = 512;
    std::array<std::uint8_t, kBlock> codes;
    std::array<std::uint8_t, kBlock> ok;
    // One option type for the whole book stays a broadcast code, which the
    // vector kernels splat instead of gathering.
    const bool one_type = x.types.stride == 0;
    std::uint8_t the_type = kNotAnOptionType;
    if (one_type) {
        decode_option_types(x.types, 0, 1, &the_type);
    }
    for (std::size_t block = begin; block < end; block += kBlock) {
        const std::size_t block_end = block + kBlock < end ? block + kBlock : end;
        const std::size_t count = block_end - block;
        Inputs xb = shifted(x, block);
        const Outputs yb = shifted(y, op.outputs, block);
        if (one_type) {
            xb.type = {&the_type, 0};
        } else {
            decode_option_types(x.types, block, block_end, codes.data());
            xb.type = {codes.data(), 1};
        }
        // The usual block has no failure and goes to the kernel whole.  A
        // closed form computes it first and checks it after, in the cache
        // its kernel filled; an engine that iterates is checked first.
        Failures local = failures.local(block);
        if (op.domain == Domain::Pricing) {
            // With a schedule an element may go to the grid solver, which
            // is safe only for inputs in the domain.
            if (op.any_input_is_safe && settings.dividends.times.empty()) {
                op.kernel(xb, yb, 0, count, settings, local);
                if (pricing_block_ok(xb, count)) {
                    failures.merge(local, block);
                    continue;
                }
                local = failures.local(block);
            } else if (pricing_block_ok(xb, count)) {
                op.kernel(xb, yb, 0, count, settings, local);
                failures.merge(local, block);
                continue;
            }
        }
        // Element by element: each failure's reason, and the kernel on the
        // runs between them.
        bool any_bad = false;
        for (std::size_t i = 0; i < count; ++i) {
            ok[i] = static_cast<std::uint8_t>(check_domain(op.domain, xb, i) == Failure::None &&
                                              xb.type.data[i * xb.type.stride] <= 1);
            any_bad |= ok[i] == 0;
        }
        if (!any_bad) {
            op.kernel(xb, yb, 0, count, settings, local);
            failures.merge(local, block);
            continue;
        }
        for (std::size_t i = 0; i < count; ++i) {
            if (ok[i] == 0) {
                const bool type_ok = xb.type.data[i * xb.type.stride] <= 1;
                local.add(i, type_ok ? check_domain(op.domain, xb, i) : Failure::OptionType);
                store_failure(yb, op.outputs, i);
            }
        }
        std::size_t i = 0;
        while (i < count) {
            if (ok[i] == 0) {
                ++i;
                continue;
            }
            std::size_t run_end = i;
            while (run_end < count && ok[run_end] != 0) {
                ++run_end;
            }
            op.kernel(xb, yb, i, run_end, settings, local);
            i = run_end;
        }
        failures.merge(local, block);
    }
}

}  // namespace greekmill::batch
