// The pricing contract shared by every model of the core: option type, error
// value, result convention, the Greeks record and the standard normal
// distribution.  Nothing here holds state; everything is a plain value or a
// pure function, safe to call from any number of threads.
#pragma once

#include <cmath>
#include <expected>
#include <limits>
#include <string>
#include <utility>

namespace greekmill {

// Market inputs, in the order every operation takes them:
//   s     spot price of the underlying        (currency units)
//   k     strike                              (same currency units)
//   t     time to expiry                      (years)
//   r     risk-free rate, continuous          (annual fraction: 0.05 is 5 %)
//   sigma volatility                          (annual fraction)
//   q     dividend yield, continuous          (annual fraction)
// No operation validates them: zeros, negatives, infinities and NaNs run
// through IEEE-754 arithmetic and come back as ordinary values.

enum class OptionType : int { Call = 0, Put = 1 };

// The core's error value.  No operation of the core produces one today, but
// every caller handles it, so a future check can report through it without
// changing any signature.
class OptionError {
public:
    enum class Kind { InvalidOptionType, InvalidParameters };

    [[nodiscard]] static OptionError invalid_option_type() {
        return OptionError(Kind::InvalidOptionType, {});
    }
    [[nodiscard]] static OptionError invalid_parameters(std::string detail) {
        return OptionError(Kind::InvalidParameters, std::move(detail));
    }

    [[nodiscard]] Kind kind() const noexcept { return kind_; }
    [[nodiscard]] const std::string& detail() const noexcept { return detail_; }

    // The display text: "Invalid option type" (no full stop), or
    // "Invalid parameters: " followed by the detail and nothing else.
    [[nodiscard]] std::string message() const {
        if (kind_ == Kind::InvalidOptionType) {
            return "Invalid option type";
        }
        return "Invalid parameters: " + detail_;
    }

private:
    OptionError(Kind kind, std::string detail) : kind_(kind), detail_(std::move(detail)) {}

    Kind kind_;
    std::string detail_;
};

template <class T>
using Result = std::expected<T, OptionError>;

struct Greeks {
    double delta;
    double gamma;
    double theta;  // per calendar day
    double vega;   // per 1.0 of volatility
    double rho;    // per percentage point of rate
};

// sqrt(2) rounded to double (0x3FF6A09E667F3BCD).
inline constexpr double kSqrt2 = 1.4142135623730951;
// sqrt(2*pi) rounded to double (0x40040D931FF62706).  One ulp above what
// std::sqrt(2.0 * pi) gives, so it is written as a literal, never computed.
inline constexpr double kSqrt2Pi = 2.5066282746310007;

// Phi(x) = erfc(-x / sqrt 2) / 2.  Going through erfc keeps full relative
// accuracy in the lower tail, where 1 - erf would cancel.  The argument is a
// true division by the sqrt(2) literal (not a multiply by its reciprocal), so
// the last bit is reproducible.
[[nodiscard]] inline double normal_cdf(double x) noexcept {
    const double a = (0.0 - x) / (1.0 * kSqrt2);
    if (std::isnan(a)) {
        return std::numeric_limits<double>::quiet_NaN();
    }
    if (a >= std::numeric_limits<double>::infinity()) {
        return 0.0;
    }
    if (a <= -std::numeric_limits<double>::infinity()) {
        return 1.0;
    }
    return std::erfc(a) * 0.5;
}

// phi(x) = exp(-x^2 / 2) / sqrt(2 pi).  The exponent is formed as
// (-0.5 * x) * x, which is symmetric in the sign of x bit for bit.
[[nodiscard]] inline double normal_pdf(double x) noexcept {
    return std::exp((-0.5 * x) * x) / kSqrt2Pi;
}

}  // namespace greekmill
