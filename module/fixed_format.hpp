// Six-decimal fixed formatting of a double, as PyGreeks prints its fields.
// Free of Python so that it can be tested on its own.
#pragma once

#include <charconv>
#include <cmath>
#include <cstddef>
#include <limits>
#include <string>
#include <system_error>

namespace greekmill::python {

// Six fixed decimals of the exact binary value, ties to even, the full
// integer part (never an exponent), "-" whenever the sign bit is set (also
// for -0.0 and for negatives that round to zero), and "NaN", "inf", "-inf"
// for the special values.  Independent of the C locale.
inline void append_fixed6(std::string& out, double value) {
    if (std::isnan(value)) {
        out += "NaN";
        return;
    }
    if (std::isinf(value)) {
        out += value < 0 ? "-inf" : "inf";
        return;
    }
    // std::to_chars in fixed notation with a precision rounds the exact
    // binary value, ties to even, whatever the locale.  The largest double
    // has 309 integer digits, so this bound holds every finite value; and
    // to_chars reports, never overruns, a range that is too short.
    constexpr std::size_t kMaxLength =
        1 + (std::numeric_limits<double>::max_exponent10 + 1) + 1 + 6;
    char buffer[kMaxLength + 8];
    const auto [end, error] =
        std::to_chars(buffer, buffer + sizeof buffer, value, std::chars_format::fixed, 6);
    if (error != std::errc{}) {
        throw std::system_error(std::make_error_code(error), "formatting a PyGreeks field");
    }
    out.append(buffer, end);
}

}  // namespace greekmill::python
