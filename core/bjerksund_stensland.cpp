#include "bjerksund_stensland.hpp"

#include <cmath>

#include "bjerksund_stensland_detail.hpp"

namespace greekmill::bjerksund_stensland {
namespace {

// Finite-difference steps of the Greeks.
constexpr double kSpotStep = 0.0001;      // relative: h = 0.0001 s
constexpr double kSigmaStep = 0.0001;     // absolute
constexpr double kRateStep = 0.0001;      // absolute
constexpr double kTwoSteps = 0.0002;      // divisor of vega and rho, written as a literal
constexpr double kPercent = 100.0;
constexpr double kOneDay = 0.0027397260273972603;  // 1/365 rounded to double
constexpr double kTimeFloor = 0.0001;     // theta's shifted time never goes below this

// The American value V: one call_price through the put-call transformation,
// floored at the intrinsic value of the evaluation's own inputs.  A NaN from
// call_price, or a NaN intrinsic value, falls to the floor, so V is never NaN.
[[nodiscard]] double value(double s, double k, double t, double r, double sigma, double q,
                           OptionType type) noexcept {
    const double b = r - q;
    double c;
    double exercise;
    if (type == OptionType::Put) {
        // The put's rate is r - b as computed, not q: the two differ in the
        // last bit, and every American Greek must see the same transformation.
        c = call_price(k, s, t, r - b, -b, sigma);
        exercise = k - s;
    } else {
        c = call_price(s, k, t, r, b, sigma);
        exercise = s - k;
    }
    const double intrinsic = exercise > 0.0 ? exercise : 0.0;
    return c > intrinsic ? c : intrinsic;
}

[[nodiscard]] double spot_step(double s) noexcept { return kSpotStep * s; }

[[nodiscard]] double shifted_time(double t) noexcept {
    const double back = t - kOneDay;
    return back > kTimeFloor ? back : kTimeFloor;  // a NaN t takes the floor too
}

[[nodiscard]] double delta_from(double up, double down, double h) noexcept {
    return (up - down) / (h + h);
}
[[nodiscard]] double gamma_from(double up, double mid, double down, double h) noexcept {
    return ((up - (mid + mid)) + down) / (h * h);
}
[[nodiscard]] double theta_from(double now, double later) noexcept { return later - now; }
[[nodiscard]] double vega_from(double up, double down) noexcept {
    return (up - down) / kTwoSteps;
}
[[nodiscard]] double rho_from(double up, double down) noexcept {
    return ((up - down) / kTwoSteps) / kPercent;
}

}  // namespace

double call_price(double S, double K, double T, double r, double b, double sigma) noexcept {
    using namespace detail;

    if (T <= 0.0) {
        const double exercise = S - K;
        return exercise > 0.0 ? exercise : 0.0;
    }
    const double v = sigma * sigma;
    const double sqrt_T = std::sqrt(T);
    const double ln_s_k = std::log(S / K);
    // With b >= r early exercise is never optimal: the American call is the
    // European one.
    if (b >= r) {
        return european_call(S, K, T, r, b, sigma, v, sqrt_T, ln_s_k);
    }

    const Shape sh = shape(K, r, b, sigma);
    const double i2 = trigger(sh, trigger_exponent(sh, T, sqrt_T, b, sigma));
    const double european = european_call(S, K, T, r, b, sigma, v, sqrt_T, ln_s_k);

    // The approximation only holds while the flat trigger lies above the
    // strike.  With a strongly negative carry over a long life
    // (T b + 2 sigma sqrt(T) < 0) I2 falls below K, and the twelve terms then
    // price a call above its spot and jump by orders of magnitude as S
    // crosses I2.  Rather than fail, fall back to the model's own lower
    // bound, the European value.  (A NaN I2 fails the test and goes on.)
    if (i2 < K) {
        return european;
    }
    // Immediate exercise, but never below the European value: exercising
    // cannot be worth less than holding a European option on the same terms.
    // A NaN European value gives S - K.
    const double exercise = S - K;
    if (S >= i2) {
        return european > exercise ? european : exercise;
    }

    const double a = twelve_terms(S, K, T, r, b, sigma, sh, sqrt_T, i2, ln_s_k).a;
    if (std::isnan(a)) {
        return european;
    }
    return european > a ? european : a;
}

Result<double> price(double s, double k, double t, double r, double sigma, double q,
                     OptionType type) noexcept {
    return value(s, k, t, r, sigma, q, type);
}

Result<double> delta(double s, double k, double t, double r, double sigma, double q,
                     OptionType type) noexcept {
    const double h = spot_step(s);
    const double up = value(s + h, k, t, r, sigma, q, type);
    const double down = value(s - h, k, t, r, sigma, q, type);
    return delta_from(up, down, h);
}

Result<double> gamma(double s, double k, double t, double r, double sigma, double q,
                     OptionType type) noexcept {
    const double h = spot_step(s);
    const double up = value(s + h, k, t, r, sigma, q, type);
    const double mid = value(s, k, t, r, sigma, q, type);
    const double down = value(s - h, k, t, r, sigma, q, type);
    return gamma_from(up, mid, down, h);
}

Result<double> theta(double s, double k, double t, double r, double sigma, double q,
                     OptionType type) noexcept {
    const double now = value(s, k, t, r, sigma, q, type);
    const double later = value(s, k, shifted_time(t), r, sigma, q, type);
    return theta_from(now, later);
}

Result<double> vega(double s, double k, double t, double r, double sigma, double q,
                    OptionType type) noexcept {
    const double up = value(s, k, t, r, sigma + kSigmaStep, q, type);
    const double down = value(s, k, t, r, sigma - kSigmaStep, q, type);
    return vega_from(up, down);
}

Result<double> rho(double s, double k, double t, double r, double sigma, double q,
                   OptionType type) noexcept {
    const double up = value(s, k, t, r + kRateStep, sigma, q, type);
    const double down = value(s, k, t, r - kRateStep, sigma, q, type);
    return rho_from(up, down);
}

Result<Greeks> all_greeks(double s, double k, double t, double r, double sigma, double q,
                          OptionType type) noexcept {
    // V is a pure function, so an evaluation at inputs that another Greek
    // already used gives the same double: each distinct input is evaluated
    // once and the five formulas are those of the single operations.
    const double h = spot_step(s);
    const double spot_up = value(s + h, k, t, r, sigma, q, type);
    const double spot_down = value(s - h, k, t, r, sigma, q, type);
    const double now = value(s, k, t, r, sigma, q, type);
    const double later = value(s, k, shifted_time(t), r, sigma, q, type);
    const double sigma_up = value(s, k, t, r, sigma + kSigmaStep, q, type);
    const double sigma_down = value(s, k, t, r, sigma - kSigmaStep, q, type);
    const double rate_up = value(s, k, t, r + kRateStep, sigma, q, type);
    const double rate_down = value(s, k, t, r - kRateStep, sigma, q, type);
    return Greeks{
        delta_from(spot_up, spot_down, h),
        gamma_from(spot_up, now, spot_down, h),
        theta_from(now, later),
        vega_from(sigma_up, sigma_down),
        rho_from(rate_up, rate_down),
    };
}

}  // namespace greekmill::bjerksund_stensland
