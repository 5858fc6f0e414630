// Options on a stock that pays known cash dividends: the spot drops by the
// amount at each ex-dividend time (never below 0) and follows
// Black-Scholes-Merton with r, q and sigma in between.  European values,
// American calls with q <= 0 and r >= 0 (exercised only at the ex-dates'
// eves), and American puts with r <= 0 and q >= r (never exercised early:
// the European value), by quadrature (european_quadrature.hpp); other American
// options, and schedules too dense for the quadrature, by the log-spot grid
// solver (log_spot.hpp); implied volatility by the same engines.
//
// A schedule is per call, not per option: every option of a batch reads the
// same one and ignores the dividends at or after its own expiry.  A dividend
// at time 0 has already gone ex (the quoted spot is after it) and is ignored
// too.  An option with no dividend left is not valued here: callers keep the
// engines they use without dividends, bit for bit.
#pragma once

#include <atomic>
#include <cstdint>
#include <expected>
#include <span>

#include "american/american.hpp"
#include "implied_volatility.hpp"
#include "option.hpp"

namespace greekmill::dividends {

// Ex-dividend times in years from today (ascending) and cash amounts (>= 0),
// of equal length; checked by the caller.
struct Schedule {
    std::span<const double> times;
    std::span<const double> amounts;
    // A solve over a long schedule reads this between ex-dates and stops
    // with an error once it is true (the job was cancelled).  Null: never.
    const std::atomic<bool>* cancel = nullptr;
};

enum class Style : std::uint8_t { European, American };

// True when a dividend of the schedule falls inside (0, t) with a positive amount.
[[nodiscard]] bool applies(const Schedule& schedule, double t) noexcept;

// Inputs in the pricing domain (finite, s > 0, k > 0, t >= 0, sigma >= 0).
// Greeks in greekmill's units (theta per calendar day, vega per 1.0 of
// volatility, rho per percentage point); `greeks` false leaves them 0.
[[nodiscard]] Result<american::Valuation> value(double s, double k, double t, double r,
                                                double sigma, double q, OptionType type,
                                                Style style, american::Accuracy accuracy,
                                                const Schedule& schedule, bool greeks) noexcept;

// The volatility at which `value` gives `price`.  Bounds: the value at zero
// volatility below; the spot (call) or the strike (put) above, the discounted
// spot or strike for a European option; an American price equal to the
// exercise value carries no information about volatility.
[[nodiscard]] std::expected<double, implied_volatility::Error> implied_volatility(
    double price, double s, double k, double t, double r, double q, OptionType type, Style style,
    american::Accuracy accuracy, const Schedule& schedule) noexcept;

}  // namespace greekmill::dividends
