#include "cash_dividends.hpp"

#include <algorithm>
#include <cmath>
#include <cstddef>
#include <limits>
#include <memory>
#include <new>

#include "fast/fast_math.hpp"
#include "log_spot.hpp"

namespace greekmill::dividends {
namespace {

constexpr double kDaysPerYear = 365.0;
constexpr double kPercent = 100.0;
constexpr double kInfinity = std::numeric_limits<double>::infinity();

// Mesh intervals, time steps and extrapolation levels of the finest solve,
// per tier; each tier's measured error and cost are in the README.  The
// fast tier's coarsest mesh is too coarse for a third level.
constexpr grid::Resolution kAmericanTiers[3] = {{128, 80, 2}, {256, 256, 3}, {768, 768, 3}};
// European values are held to 1e-7 of a strike of 100, whatever the tier.
constexpr grid::Resolution kEuropeanResolution{512, 512};

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
    double best = american ? std::fmax(sign * (s - k), 0.0) : 0.0;
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
    return best;
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
    const double hr = 1e-6;
    v.greeks.rho = (deterministic_value(s, k, t, r + hr, q, type, style, schedule) -
                    deterministic_value(s, k, t, r - hr, q, type, style, schedule)) /
                   (2.0 * hr) / kPercent;
    // One day later the expiry and every ex-date are a day closer; the
    // schedule is read with times shifted through the expiry instead.
    const double day = 1.0 / kDaysPerYear;
    if (t > day) {
        double later = 0.0;
        {
            // Values with today moved forward by a day: expiry t - day, each
            // ex-date one day nearer (those passing 0 have gone ex).
            const std::size_t n = schedule.times.size();
            std::unique_ptr<double[]> shifted(new (std::nothrow) double[n > 0 ? n : 1]);
            if (shifted) {
                for (std::size_t i = 0; i < n; ++i) {
                    shifted[i] = schedule.times[i] - day;
                }
                const Schedule moved{{shifted.get(), n}, schedule.amounts};
                later = deterministic_value(s, k, t - day, r, q, type, style, moved);
                v.greeks.theta = later - v.price;
            }
        }
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
                                           bool sensitivities) noexcept {
    const grid::Problem problem{s,    k,    t,
                                r,    q,    sigma,
                                type, style == Style::American,
                                {jumps.items.get(), jumps.size}};
    return grid::solve(problem, resolution(style, accuracy), sensitivities);
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
    if (sigma == 0.0 || t == 0.0) {
        return deterministic(s, k, t, r, q, type, style, schedule, greeks);
    }
    Jumps jumps;
    if (!make_jumps(schedule, t, jumps)) {
        return std::unexpected(OptionError::invalid_parameters("out of memory for the schedule"));
    }
    const Result<grid::Solution> x =
        solve(s, k, t, r, sigma, q, type, style, accuracy, jumps, greeks);
    if (!x) {
        return std::unexpected(x.error());
    }
    american::Valuation v{};
    v.price = x->value;
    if (greeks) {
        v.greeks.delta = x->delta;
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
    double upper = type == OptionType::Put ? k : s;
    if (!american) {
        upper *= fast::exp(-(type == OptionType::Put ? r : q) * t);
    }
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
    if (price < floor - tolerance) {
        return std::unexpected(Error::BelowLowerBound);
    }
    if (price <= floor + tolerance) {
        return 0.0;
    }
    Jumps jumps;
    if (!make_jumps(schedule, t, jumps)) {
        return std::unexpected(Error::NotConverged);
    }
    // Start from the European volatility of the price on the spot less the
    // present value of the dividends (the escrowed model), then Newton steps
    // on the grid's value and vega, kept inside a bracket of the root (the
    // value rises with sigma) by bisection.
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
    double lo = 0.0;
    double hi = kInfinity;
    constexpr int kMaxEvaluations = 40;
    for (int evaluation = 0; evaluation < kMaxEvaluations; ++evaluation) {
        const Result<grid::Solution> x =
            solve(s, k, t, r, sigma, q, type, style, accuracy, jumps, true);
        if (!x) {
            return std::unexpected(Error::NotConverged);
        }
        const double residual = x->value - price;
        if (residual == 0.0) {
            return sigma;
        }
        if (residual < 0.0) {
            lo = sigma;
        } else {
            hi = sigma;
        }
        double next = sigma - residual / x->dsigma;
        if (!(x->dsigma > 0.0) || !(next > lo && next < hi)) {
            next = std::isfinite(hi) ? 0.5 * (lo + hi) : 2.0 * sigma;
        }
        // The grid's value is smooth in sigma to its discretisation error,
        // far below the steps at which this stops.
        if (std::fabs(next - sigma) <= 1e-12 * sigma || hi - lo <= 1e-14 * hi) {
            return next;
        }
        sigma = next;
    }
    return std::unexpected(Error::NotConverged);
}

}  // namespace greekmill::dividends
