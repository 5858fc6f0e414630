#include "cash_dividends.hpp"

#include <algorithm>
#include <cmath>
#include <cstddef>
#include <cstdio>
#include <string>
#include <limits>
#include <memory>
#include <new>

#include "fast/fast_math.hpp"
#include "european_quadrature.hpp"
#include "golden_section.hpp"
#include "log_spot.hpp"

namespace greekmill::dividends {
namespace {

constexpr double kDaysPerYear = 365.0;
constexpr double kPercent = 100.0;

// Mesh intervals, time steps and extrapolation levels of the finest solve,
// per tier, chosen from the frontier of error on the whole validation set
// against cost (README: bench/dividends/validate.sh with resolutions).  The
// fast tier's coarsest mesh is too coarse for a third level.
constexpr grid::Resolution kAmericanTiers[3] = {{128, 128, 2}, {256, 256, 3}, {1024, 512, 3}};
// European values are held to 1e-7 of a strike of 100, whatever the tier.
constexpr grid::Resolution kEuropeanResolution{512, 512};

// The range of total volatility sigma sqrt(t) the grid resolves, measured
// against the closed forms: below the lower end the PDE is dominated by its
// drift, which the mesh (scaled by sigma sqrt(t)) cannot carry; above the
// upper end an American call loses 1e-5 and more to the coarse outer mesh.
// At or below kDeterministicVolatility the value is the zero-volatility
// limit, which it differs from by about s sigma sqrt(t) (the spot's spread):
// continuous as sigma -> 0.  Between the two, a clear error.
constexpr double kDeterministicVolatility = 1e-10;
constexpr double kMinTotalVolatility = 5e-3;
constexpr double kMaxTotalVolatility = 1.5;
// European values come from the quadrature (european_quadrature.hpp), which
// holds 1e-12 of a strike of 100 against an independent integral of one
// dividend up to sigma sqrt(t) = 6, and agrees within 1.5e-11 with meshes
// four times finer for up to twelve dividends at 1.5 to 5: it resolves up
// to kMaxEuropeanTotalVolatility (with the same drift bound and lower end,
// untested beyond them).  So do American calls with q <= 0 and r >= 0,
// which it values with exercise at the ex-dates' eves (within 1.1e-10 of an
// independent integral of one dividend up to sigma sqrt(t) = 5).
constexpr double kMaxEuropeanTotalVolatility = 5.0;
// The mesh spans the drift of ln S, (|r - q| + sigma^2/2) t, beside six
// standard deviations, with its nodes concentrated within one of the
// strike: a drift of more than kMaxDriftRatio deviations leaves the
// exercise boundary and the kinks on a mesh too coarse for them (an ATM
// put over 1e4 years at sigma 0.01 read as exercised, worth 0 for 0.037;
// between 3 and 10 deviations, seeded random options of "accurate" differ
// from "high" by up to 1e-1).  The validation set reaches 1.5.
constexpr double kMaxDriftRatio = 3.0;
// How far outside the no-arbitrage bounds a grid value may fall (its own
// error, relative to the larger of spot and strike) before it is a failure.
constexpr double kBoundSlack = 1e-4;

// An American put with r <= 0 and q >= r is never exercised early.  The
// exercise value K - S earns r K - q S a year, below 0 wherever the put is
// in the money (q >= 0: both terms; r <= q < 0: |q| S < |r| K for S < K),
// and a drop by cash only raises the put held.  Its value is the European
// one, which the quadrature gives to 1e-8 (the grid would read the American
// problem to its own 1e-4, above or below it).
[[nodiscard]] bool never_exercised_early(OptionType type, double r, double q) noexcept {
    return type == OptionType::Put && r <= 0.0 && q >= r;
}

// American calls with q <= 0 and r >= 0 are exercised only at the ex-dates'
// eves and valued by the quadrature (where it resolves the schedule and, for
// q < 0, each eve's exercise region is a half-line), and
// American puts never exercised early are European: both take the European
// range of total volatility.
[[nodiscard]] Style range_of(OptionType type, double r, double q, Style style) noexcept {
    return (type == OptionType::Call && q <= 0.0 && r >= 0.0) || never_exercised_early(type, r, q)
               ? Style::European
               : style;
}

[[nodiscard]] double max_total_volatility(Style style) noexcept {
    return style == Style::European ? kMaxEuropeanTotalVolatility : kMaxTotalVolatility;
}

[[nodiscard]] std::string total_volatility_reason(double total, Style style) {
    char text[256];
    std::snprintf(text, sizeof text,
                  "the total volatility sigma*sqrt(t) = %.6g is outside the range the "
                  "cash-dividend engine resolves, [%.6g, %.6g] with a drift of at most %.6g "
                  "times it (or <= %.6g, the zero-volatility limit)",
                  total, kMinTotalVolatility, max_total_volatility(style), kMaxDriftRatio,
                  kDeterministicVolatility);
    return text;
}

// Whether the engine of the style resolves sigma: sigma sqrt(t) within its
// range and the drift within kMaxDriftRatio deviations.
[[nodiscard]] bool resolves(double t, double r, double q, double sigma, Style style) noexcept {
    const double total = sigma * std::sqrt(t);
    const double drift = (std::fabs(r - q) + 0.5 * sigma * sigma) * t;
    return total >= kMinTotalVolatility && total <= max_total_volatility(style) &&
           drift <= kMaxDriftRatio * total;
}

// The volatilities the grid resolves at (t, r, q), [lo, hi]; false when
// there are none.  The drift bound is (|r - q|/sigma + sigma/2) sqrt(t) <=
// kMaxDriftRatio, a quadratic in sigma whose smaller root is the low end.
[[nodiscard]] bool volatility_range(double t, double r, double q, Style style, double& lo,
                                    double& hi) noexcept {
    const double root_t = std::sqrt(t);
    const double a = std::fabs(r - q) * root_t;
    const double discriminant = kMaxDriftRatio * kMaxDriftRatio - 2.0 * a * root_t;
    if (!(discriminant >= 0.0)) {
        return false;
    }
    // sigma1 = (R - sqrt(R^2 - 2 a sqrt t)) / sqrt t, in the form without
    // cancellation: 2 a / (R + sqrt(...)).
    const double drift_low = 2.0 * a / (kMaxDriftRatio + std::sqrt(discriminant));
    // Each end 1e-12 inside the range: (0.005 / sqrt t) sqrt t rounds to
    // 0.004999999999999999 for some t (32 days), and an end outside it left
    // no volatility to search, the price of an ordinary option unsolved.
    constexpr double kInside = 1e-12;
    lo = std::fmax(kMinTotalVolatility / root_t, drift_low) * (1.0 + kInside);
    hi = max_total_volatility(style) / root_t * (1.0 - kInside);
    return lo <= hi && resolves(t, r, q, lo, style) && resolves(t, r, q, hi, style);
}

[[nodiscard]] bool counts(double time, double amount, double t) noexcept {
    return time > 0.0 && time < t && amount > 0.0;
}

[[nodiscard]] double exercise_value(double s, double k, OptionType type) noexcept {
    return type == OptionType::Call ? s - k : k - s;
}

// sigma = 0: the spot moves as S e^{(r - q) u} between ex-dates and drops by
// each dividend.  A European option pays its payoff at T; an American one
// is exercised at the best of today, just before and just after each
// ex-date, expiry and the points within a stretch where q S(u) = r K (the
// running yield of the exercised position changes sign there).
[[nodiscard]] double deterministic_value(double s, double k, double t, double r, double q,
                                         OptionType type, Style style,
                                         const Schedule& schedule) noexcept {
    const bool american = style == Style::American;
    const double sign = type == OptionType::Call ? 1.0 : -1.0;
    // +0.0: a value of nothing reads 0, never -0.
    double best = american ? std::fmax(sign * (s - k), 0.0) + 0.0 : 0.0;
    const auto consider = [&](double u, double spot) {
        best = std::fmax(best, fast::exp(-r * u) * sign * (spot - k));
    };
    double spot = s;
    double now = 0.0;
    std::size_t i = 0;
    while (true) {
        while (i < schedule.times.size() && !counts(schedule.times[i], schedule.amounts[i], t)) {
            ++i;
        }
        const double end = i < schedule.times.size() ? schedule.times[i] : t;
        const double spot_end = spot * fast::exp((r - q) * (end - now));
        if (american) {
            consider(now, spot);  // just after a drop: a put's best moment
            consider(end, spot_end);
            if (q != r && q * spot * r * k > 0.0) {
                const double u = now + fast::log(r * k / (q * spot)) / (r - q);
                if (u > now && u < end) {
                    consider(u, spot * fast::exp((r - q) * (u - now)));
                }
            }
        } else if (end >= t) {
            consider(t, spot_end);
        }
        if (end >= t) {
            break;
        }
        spot = std::fmax(spot_end - schedule.amounts[i], 0.0);
        now = end;
        ++i;
    }
    return best + 0.0;
}

// The steepest |delta| of any option here: a drop by cash moves the spot
// after it by at most the move before it, and a unit of spot held to expiry
// is worth e^{-q t} of the spot today (more than one unit where q < 0); an
// exercised option moves one for one.  A solver's overshoot beyond it near
// the exercise boundary is its error.
[[nodiscard]] double steepest_delta(double t, double q) noexcept {
    return std::fmax(1.0, fast::exp(-q * t));
}

// The deterministic value and its derivatives by central differences of
// that exact function (it is piecewise smooth); gamma and vega are those of
// the zero-volatility limit, 0.
[[nodiscard]] american::Valuation deterministic(double s, double k, double t, double r, double q,
                                                OptionType type, Style style,
                                                const Schedule& schedule, bool greeks) noexcept {
    american::Valuation v{};
    v.price = deterministic_value(s, k, t, r, q, type, style, schedule);
    if (!greeks) {
        return v;
    }
    const double hs = 1e-6 * s;
    v.greeks.delta = (deterministic_value(s + hs, k, t, r, q, type, style, schedule) -
                      deterministic_value(s - hs, k, t, r, q, type, style, schedule)) /
                     (2.0 * hs);
    // A difference across a kink of the exercise value may round past the
    // steepest slope.
    const double steepest = steepest_delta(t, q);
    v.greeks.delta = std::clamp(v.greeks.delta, -steepest, steepest);
    const double hr = 1e-6;
    v.greeks.rho = (deterministic_value(s, k, t, r + hr, q, type, style, schedule) -
                    deterministic_value(s, k, t, r - hr, q, type, style, schedule)) /
                   (2.0 * hr) / kPercent;
    // One day later the expiry and every ex-date are a day closer (those
    // passing 0 have gone ex): theta is that change.  An option of a day or
    // less takes the change over half its life, per day.
    const double day = 1.0 / kDaysPerYear;
    const double h = t > day ? day : 0.5 * t;
    const std::size_t n = schedule.times.size();
    std::unique_ptr<double[]> shifted(new (std::nothrow) double[n > 0 ? n : 1]);
    if (shifted && h > 0.0) {
        for (std::size_t i = 0; i < n; ++i) {
            shifted[i] = schedule.times[i] - h;
        }
        const Schedule moved{{shifted.get(), n}, schedule.amounts};
        const double later = deterministic_value(s, k, t - h, r, q, type, style, moved);
        v.greeks.theta = t > day ? later - v.price : (later - v.price) * (day / h);
    }
    return v;
}

// The dividends that fall inside (0, t) as jumps of the grid, latest
// ex-date (smallest time to expiry) first.
struct Jumps {
    std::unique_ptr<grid::Jump[]> items;
    std::size_t size = 0;
};

[[nodiscard]] bool make_jumps(const Schedule& schedule, double t, Jumps& jumps) noexcept {
    std::size_t n = 0;
    for (std::size_t i = 0; i < schedule.times.size(); ++i) {
        n += counts(schedule.times[i], schedule.amounts[i], t) ? 1 : 0;
    }
    jumps.items.reset(new (std::nothrow) grid::Jump[n > 0 ? n : 1]);
    if (!jumps.items) {
        return false;
    }
    jumps.size = n;
    std::size_t at = n;
    for (std::size_t i = 0; i < schedule.times.size(); ++i) {
        if (counts(schedule.times[i], schedule.amounts[i], t)) {
            jumps.items[--at] = {t - schedule.times[i], schedule.amounts[i]};
        }
    }
    return true;
}

[[nodiscard]] grid::Resolution resolution(Style style, american::Accuracy accuracy) noexcept {
    if (style == Style::European) {
        return kEuropeanResolution;
    }
    return kAmericanTiers[static_cast<int>(accuracy)];
}

[[nodiscard]] Result<grid::Solution> solve(double s, double k, double t, double r, double sigma,
                                           double q, OptionType type, Style style,
                                           american::Accuracy accuracy, const Jumps& jumps,
                                           bool sensitivities,
                                           const std::atomic<bool>* cancel = nullptr) noexcept {
    const grid::Problem problem{s,    k,    t,
                                r,    q,    sigma,
                                type, style == Style::American,
                                {jumps.items.get(), jumps.size}, cancel};
    // European values by quadrature (American puts never exercised early
    // among them), and American calls with q <= 0 and
    // r >= 0 (exercised only at the ex-dates' eves: the quadrature with
    // exercise there, exact where the grid is accurate to 1e-4), but for
    // schedules whose stretches are far shorter than the spread of the whole
    // path (daily ex-dates over years), whose meshes would outgrow it: those
    // keep the grid, where the grid resolves them, and are an error beyond.
    const bool bermudan = grid::exercises_only_at_ex_dates(problem);
    const bool european_value =
        style == Style::European || never_exercised_early(type, r, q);
    if (european_value || bermudan) {
        if (grid::european_resolves(problem)) {
            Result<grid::Solution> x = bermudan ? grid::american_call(problem, sensitivities)
                                                : grid::european(problem, sensitivities);
            if (x || (cancel != nullptr && cancel->load(std::memory_order_relaxed))) {
                return x;
            }
        }
        if (!resolves(t, r, q, sigma, Style::American)) {
            char text[160];
            std::snprintf(text, sizeof text,
                          "the quadrature could not value these inputs (ex-dates this close "
                          "together need the grid, which resolves sigma*sqrt(t) up to %.6g)",
                          kMaxTotalVolatility);
            return std::unexpected(OptionError::invalid_parameters(text));
        }
    }
    return grid::solve(problem, resolution(style, accuracy), sensitivities);
}

// The engine's value as callers get it: the solve, and for an American
// value from the grid, the European value (and its Greeks) where the grid's
// falls below it.  The grid's American value carries its own error (up to
// about 1e-5 at "fast"), which may put an option with little early-exercise
// premium below the European value the quadrature gives to 1e-8; there the
// option is the European one.  (The quadrature's American calls take
// max(exercise, continuation) at every node of the European recursion:
// above it to its rounding; puts never exercised early are the European
// value.  Schedules too dense for the quadrature have a European value from
// a finer grid, which would cost more than the American one: both are grids
// there, and the floor is left out.)  Implied volatility searches on this
// value, not the grid's alone: a price on the floor otherwise came back as
// the volatility at which the grid reaches it (0.40042 for 0.4, repricing
// 2.8e-2 high).
[[nodiscard]] Result<grid::Solution> floored_solve(double s, double k, double t, double r,
                                                   double sigma, double q, OptionType type,
                                                   Style style, american::Accuracy accuracy,
                                                   const Jumps& jumps, bool sensitivities,
                                                   const std::atomic<bool>* cancel) noexcept {
    Result<grid::Solution> x =
        solve(s, k, t, r, sigma, q, type, style, accuracy, jumps, sensitivities, cancel);
    if (!x || style != Style::American) {
        return x;
    }
    const grid::Problem problem{s,    k,    t,    r, q, sigma,
                                type, true, {jumps.items.get(), jumps.size}};
    if (!grid::european_resolves(problem) || grid::exercises_only_at_ex_dates(problem) ||
        never_exercised_early(type, r, q)) {
        return x;
    }
    const double exercise = type == OptionType::Call ? s - k : k - s;
    const Result<grid::Solution> european =
        solve(s, k, t, r, sigma, q, type, Style::European, accuracy, jumps, false, cancel);
    if (!european || !(european->value > x->value && european->value > exercise)) {
        return x;
    }
    return sensitivities
               ? solve(s, k, t, r, sigma, q, type, Style::European, accuracy, jumps, true, cancel)
               : european;
}

// No-arbitrage bounds of a value in this model.  The spot at expiry is
// never above S e^{(r-q) t} on average (drops are >= 0) and never below the
// forward of the linear model, S e^{(r-q) t} - sum D e^{(r-q)(t - t_i)} (the
// floor at 0 only raises it).
struct Bounds {
    double lower;
    double upper;
};

[[nodiscard]] Bounds bounds(double s, double k, double t, double r, double q, OptionType type,
                            Style style, const Jumps& jumps) noexcept {
    double paid = 0.0;  // present value of the dividends, as the stock delivers them at t
    for (std::size_t i = 0; i < jumps.size; ++i) {
        const double tau = jumps.items[i].tau;  // time from the ex-date to expiry
        paid += jumps.items[i].amount * fast::exp(-r * (t - tau) - q * tau);
    }
    const double stock = s * fast::exp(-q * t);
    const double strike = k * fast::exp(-r * t);
    Bounds b{};
    if (type == OptionType::Call) {
        b.lower = std::fmax(stock - paid - strike, 0.0);
        b.upper = stock;
        if (style == Style::American) {
            b.lower = std::fmax(b.lower, s - k);
            b.upper = std::fmax(s, stock);
        }
    } else {
        b.lower = std::fmax(strike - stock, 0.0);
        b.upper = strike;
        if (style == Style::American) {
            b.lower = std::fmax(b.lower, k - s);
            b.upper = std::fmax(k, strike);
        }
    }
    return b;
}

}  // namespace

bool applies(const Schedule& schedule, double t) noexcept {
    for (std::size_t i = 0; i < schedule.times.size(); ++i) {
        if (counts(schedule.times[i], schedule.amounts[i], t)) {
            return true;
        }
    }
    return false;
}

Result<american::Valuation> value(double s, double k, double t, double r, double sigma, double q,
                                  OptionType type, Style style, american::Accuracy accuracy,
                                  const Schedule& schedule, bool greeks) noexcept {
    if (type != OptionType::Call && type != OptionType::Put) {
        return std::unexpected(OptionError::invalid_option_type());
    }
    const double total = sigma * std::sqrt(t);
    if (total <= kDeterministicVolatility) {
        return deterministic(s, k, t, r, q, type, style, schedule, greeks);
    }
    if (const Style range = range_of(type, r, q, style); !resolves(t, r, q, sigma, range)) {
        return std::unexpected(
            OptionError::invalid_parameters(total_volatility_reason(total, range)));
    }
    Jumps jumps;
    if (!make_jumps(schedule, t, jumps)) {
        return std::unexpected(OptionError::invalid_parameters("out of memory for the schedule"));
    }
    const Result<grid::Solution> x = floored_solve(s, k, t, r, sigma, q, type, style, accuracy,
                                                   jumps, greeks, schedule.cancel);
    if (!x) {
        return std::unexpected(x.error());
    }
    // The no-arbitrage bounds of the model (bounds.hpp below): a value the
    // grid puts outside them by more than its own error is a failure, never
    // returned; within it, the bound.
    const Bounds b = bounds(s, k, t, r, q, type, style, jumps);
    const double slack = kBoundSlack * std::fmax(s, k);
    if (!(x->value >= b.lower - slack && x->value <= b.upper + slack)) {
        return std::unexpected(OptionError::invalid_parameters(
            "the grid solver could not value these inputs within the no-arbitrage bounds"));
    }
    american::Valuation v{};
    v.price = std::clamp(x->value, b.lower, b.upper);
    const double sign = type == OptionType::Call ? 1.0 : -1.0;
    const double exercise = sign * (s - k);
    // Inside the discrete exercise region, and worth exercising: with
    // volatility an option is worth more than 0, never held at s = k.
    if (style == Style::American && (v.price <= exercise || (x->exercised && exercise > 0.0))) {
        // In the exercise region: the exercise value exactly, delta +-1,
        // gamma 0; theta, vega and rho those of s - k or k - s, 0.
        v.price = exercise + 0.0;
        if (greeks) {
            v.greeks.delta = sign;
        }
        return v;
    }
    if (greeks) {
        const double steepest = steepest_delta(t, q);
        v.greeks.delta = type == OptionType::Call ? std::clamp(x->delta, 0.0, steepest)
                                                  : std::clamp(x->delta, -steepest, 0.0);
        v.greeks.gamma = x->gamma;
        // Calendar time runs against time to expiry.
        v.greeks.theta = -x->dtau / kDaysPerYear;
        v.greeks.vega = x->dsigma;
        v.greeks.rho = x->drate / kPercent;
    }
    return v;
}

std::expected<double, implied_volatility::Error> implied_volatility(
    double price, double s, double k, double t, double r, double q, OptionType type, Style style,
    american::Accuracy accuracy, const Schedule& schedule) noexcept {
    using implied_volatility::Error;
    const bool american = style == Style::American;
    // The value as the volatility grows without bound: the discounted strike
    // (put) or spot (call); an American one at least the strike or the spot.
    const double discounted =
        (type == OptionType::Put ? k : s) * fast::exp(-(type == OptionType::Put ? r : q) * t);
    const double upper =
        american ? std::fmax(type == OptionType::Put ? k : s, discounted) : discounted;
    const double exercise = american ? std::fmax(exercise_value(s, k, type), 0.0) : 0.0;
    const double tolerance = 4.0 * std::numeric_limits<double>::epsilon() * std::fmax(upper, price);
    if (!(price >= exercise - tolerance)) {
        return std::unexpected(Error::BelowLowerBound);
    }
    if (price >= upper) {
        return std::unexpected(Error::AboveUpperBound);
    }
    if (american && price <= exercise + tolerance) {
        return std::unexpected(Error::NoVolatilityInformation);
    }
    if (t == 0.0) {
        return std::unexpected(Error::AboveUpperBound);
    }
    const double floor = deterministic_value(s, k, t, r, q, type, style, schedule);
    if (price >= floor - tolerance && price <= floor + tolerance) {
        return 0.0;
    }
    Jumps jumps;
    if (!make_jumps(schedule, t, jumps)) {
        return std::unexpected(Error::NotConverged);
    }
    // The root is sought within the total volatility the grid resolves: a
    // finite bracket from the start, each end a root's side only once a
    // value there was seen on it.
    double lo = 0.0;
    double hi = 0.0;
    Style range = range_of(type, r, q, style);
    if (range == Style::European) {
        // A schedule the quadrature leaves to the grid (stretches far
        // shorter than the spread of the path) has the grid's range: the
        // quadrature's whole range made the search start beyond it and
        // stop there (a put over thirty years with two dividends a
        // second apart, refused at every price).
        const grid::Problem widest{s,    k,    t,
                                   r,    q,    max_total_volatility(Style::European) / std::sqrt(t),
                                   type, style == Style::American,
                                   {jumps.items.get(), jumps.size}};
        // (Where it resolves the schedule only at the larger volatilities,
        // the grid takes the smaller ones, within its own range.)
        if (!grid::european_resolves(widest)) {
            range = Style::American;
        }
    }
    if (!volatility_range(t, r, q, range, lo, hi)) {
        return std::unexpected(Error::NotConverged);
    }
    // Newton steps on the engine's value and vega, kept inside the bracket
    // [low, high] of a root by bisection, where the value rises with sigma
    // (`rising`) or falls: `low` is the side where it lies below the price
    // (rising) or above it.
    const auto search = [&](double sigma, double low, double high, bool seen_low,
                            bool seen_high, bool rising) -> std::expected<double, Error> {
        const double sign = rising ? 1.0 : -1.0;
        // The smallest residual seen: a bracket that closes on a jump of the
        // value (where a schedule passes from the quadrature to the grid as
        // sigma moves, and the grid's value differs by its error) has no
        // root, and its end is no volatility of the price.
        double closest = std::numeric_limits<double>::infinity();
        const double matched = 1e-9 * std::fmax(s, k);
        constexpr int kMaxEvaluations = 60;
        double last_solved = std::numeric_limits<double>::quiet_NaN();
        for (int evaluation = 0; evaluation < kMaxEvaluations; ++evaluation) {
            const Result<grid::Solution> x = floored_solve(s, k, t, r, sigma, q, type, style,
                                                           accuracy, jumps, true, schedule.cancel);
            if (!x) {
                // A volatility the engines do not resolve (the quadrature's
                // meshes outgrow it where its estimate allowed it, and the
                // grid's range ends lower): an end of the bracket not yet
                // seen moves halfway back towards the last volatility
                // solved, and the search goes on there (a deep in-the-money
                // put whose flat value sent the first Newton step to the
                // range's top was refused at every price).
                const bool cancelled =
                    schedule.cancel != nullptr && schedule.cancel->load(std::memory_order_relaxed);
                if (cancelled || std::isnan(last_solved)) {
                    return std::unexpected(Error::NotConverged);
                }
                const double back = 0.5 * (last_solved + sigma);
                if (!seen_high && (high - last_solved) * (sigma - last_solved) > 0.0) {
                    high = back;
                } else if (!seen_low && (low - last_solved) * (sigma - last_solved) > 0.0) {
                    low = back;
                } else {
                    return std::unexpected(Error::NotConverged);
                }
                sigma = back;
                continue;
            }
            last_solved = sigma;
            const double residual = x->value - price;
            if (residual == 0.0) {
                return sigma;
            }
            closest = std::fmin(closest, std::fabs(residual));
            if (sign * residual < 0.0) {
                low = sigma;
                seen_low = true;
            } else {
                high = sigma;
                seen_high = true;
            }
            double next = sigma - residual / x->dsigma;
            // A Newton step this small has matched the price, whatever the
            // bracket: one that rounds to sigma itself sits on the end it
            // has just become, and read as outside it, it sent the search
            // to the range's far end and out of evaluations (a European call
            // over ten years priced at sigma 0.26877..., refused).
            if (sign * x->dsigma > 0.0 && std::fabs(next - sigma) <= 1e-12 * sigma &&
                std::fabs(residual) <= matched) {
                return next;
            }
            const bool newton = sign * x->dsigma > 0.0 && next > std::fmin(low, high) &&
                                next < std::fmax(low, high);
            if (!newton) {
                // Bisection once both sides were seen, else the unseen end of
                // the range itself: a root beyond the range shows there as a
                // residual of the same sign, and the price cannot be matched.
                next = !seen_high ? high : !seen_low ? low : 0.5 * (low + high);
                if (next == sigma) {
                    return std::unexpected(Error::NotConverged);
                }
            }
            // The value is smooth in sigma to the engine's error, far below
            // the steps at which this stops: a bracket this narrow has
            // matched the price.
            if (seen_low && seen_high && std::fabs(high - low) <= 1e-14 * std::fmax(low, high)) {
                if (!(closest <= matched)) {
                    return std::unexpected(Error::NotConverged);
                }
                return next;
            }
            sigma = next;
        }
        return std::unexpected(Error::NotConverged);
    };
    if (price < floor - tolerance) {
        // Below the value at zero volatility, which bounds the value from
        // below only where it rises with sigma: where a dividend can take the
        // spot to 0, the value just before its ex-date, V(max(S - D, 0)),
        // bends down at S = D, and volatility may lower the value (a put on
        // a spot of 62.47 with twelve dividends of 5: 74.32 at sigma 0, 69.31
        // at 0.556).  The range is walked up geometrically for a value below
        // the price; the root lies on the falling stretch before it (the
        // smaller of the two volatilities such a price has).
        // Where no step of the walk is below the price, the lowest value
        // near its lowest step is sought (golden section) before the price
        // is called too low.
        constexpr int kWalk = 12;
        const auto walk = [&](int i) {
            return lo * std::pow(hi / lo, static_cast<double>(i) / (kWalk - 1));
        };
        bool failed = false;
        const auto value_at = [&](double sigma) {
            const Result<grid::Solution> x = floored_solve(s, k, t, r, sigma, q, type, style,
                                                           accuracy, jumps, false, schedule.cancel);
            failed = failed || !x;
            return x ? x->value : 0.0;
        };
        int lowest = 0;
        double lowest_value = std::numeric_limits<double>::infinity();
        for (int i = 0; i < kWalk; ++i) {
            const double value = value_at(walk(i));
            if (failed) {
                return std::unexpected(Error::NotConverged);
            }
            if (value < price) {
                if (i == 0) {
                    // The falling stretch's root lies between the zero-
                    // volatility value and the smallest volatility resolved,
                    // beyond the engine's reach; the value rises again after
                    // its dip, and the price's other volatility, on that
                    // rising stretch, is the one returned (a put over thirty
                    // years at r = -3 % whose spot a dividend ruins at zero
                    // volatility: 245.96 at sigma 0, 243.47 at the range's
                    // 0.058, the price 244.85 at 0.873).
                    for (int j = 1; j < kWalk; ++j) {
                        const double above = value_at(walk(j));
                        if (failed) {
                            return std::unexpected(Error::NotConverged);
                        }
                        if (above >= price) {
                            return search(0.5 * (walk(j - 1) + walk(j)), walk(j - 1), walk(j),
                                          true, true, true);
                        }
                    }
                    return std::unexpected(Error::NotConverged);
                }
                return search(0.5 * (walk(i - 1) + walk(i)), walk(i - 1), walk(i), true, true,
                              false);
            }
            if (value < lowest_value) {
                lowest = i;
                lowest_value = value;
            }
        }
        if (lowest == 0 || lowest == kWalk - 1) {
            return std::unexpected(Error::BelowLowerBound);
        }
        const grid::GoldenSection dip = grid::golden_section(
            value_at, walk(lowest - 1), walk(lowest + 1), 40, 0.0,
            [&](double, double value) { return failed || value < price; });
        if (failed) {
            return std::unexpected(Error::NotConverged);
        }
        if (dip.accepted) {
            return search(0.5 * (dip.low + dip.x), dip.low, dip.x, false, true, false);
        }
        // A price at the lowest value itself: its volatility is where that
        // lies, to the engine's resolution in sigma.
        if (dip.value <= price + 1e-9 * std::fmax(s, k)) {
            return dip.x;
        }
        return std::unexpected(Error::BelowLowerBound);
    }
    // Start from the European volatility of the price on the spot less the
    // present value of the dividends (the escrowed model).
    double escrowed = s;
    for (std::size_t i = 0; i < jumps.size; ++i) {
        escrowed -= jumps.items[i].amount * fast::exp(-r * (t - jumps.items[i].tau));
    }
    double sigma = 0.3;
    if (escrowed > 0.0) {
        const auto guess = implied_volatility::european(price, escrowed, k, t, r, q, type);
        if (guess && *guess > 0.0 && std::isfinite(*guess)) {
            sigma = *guess;
        }
    }
    return search(std::clamp(sigma, lo, hi), lo, hi, false, false, true);
}

}  // namespace greekmill::dividends
