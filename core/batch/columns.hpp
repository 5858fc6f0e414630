// The vocabulary of array work: read-only input columns that may be
// broadcast scalars (stride 0), output columns, and the record of elements
// outside a model's domain.  Plain values only; the loops that use them are
// in batch.hpp and the kernels of each model.
#pragma once

#include <cstddef>
#include <cstdint>
#include <limits>

#include "option.hpp"

namespace greekmill::batch {

// One input column: element i is data[i * stride].  A stride of 0 is a
// broadcast scalar, 1 a contiguous array; nothing else is ever passed.
struct Column {
    const double* data = nullptr;
    std::size_t stride = 0;

    [[nodiscard]] double operator[](std::size_t i) const noexcept { return data[i * stride]; }
};

// Option types as bytes: 0 call, 1 put (the values of OptionType).
struct TypeColumn {
    const std::uint8_t* data = nullptr;
    std::size_t stride = 0;

    [[nodiscard]] OptionType operator[](std::size_t i) const noexcept {
        return data[i * stride] == 0 ? OptionType::Call : OptionType::Put;
    }
};

// The inputs of every array operation, in the order of the Python API.
// `price` is read by implied volatility only, `sigma` by everything else;
// for the exercise boundary `s` holds the time to expiry tau.
struct Inputs {
    Column price;
    Column s;
    Column k;
    Column t;
    Column r;
    Column sigma;
    Column q;
    TypeColumn type;
};

// Up to five contiguous output columns (price or one Greek uses out[0]; the
// five Greeks use out[0..4] in the order delta, gamma, theta, vega, rho).
struct Outputs {
    double* out[5] = {nullptr, nullptr, nullptr, nullptr, nullptr};
};

// Why an element has no value.  The first group is found by the common domain
// check before any kernel runs; the second by the kernels themselves.
enum class Failure : std::uint8_t {
    None = 0,
    // -- domain of the inputs
    Price,  // price not finite
    Spot,   // s not finite or s <= 0
    Strike,
    Expiry,  // t not finite or t < 0
    Rate,    // r not finite
    Volatility,
    Yield,
    // -- found by a kernel
    PriceBelowLowerBound,  // implied volatility: below the intrinsic / exercise value
    PriceAboveUpperBound,  // implied volatility: at or above the spot- or strike-bound
    NoVolatilityInformation,  // American price equal to the exercise value
    NotConverged,
    // A formula overflowed (inf - inf, 0 * inf) where the true value lies
    // beyond the range of a double or its terms do: NaN, never a value.
    NotRepresentable,
};

// The elements that got NaN instead of a value: how many, and the first.
struct Failures {
    std::size_t count = 0;
    std::size_t first_index = std::numeric_limits<std::size_t>::max();
    Failure first_reason = Failure::None;

    void add(std::size_t i, Failure why) noexcept {
        ++count;
        if (i < first_index) {
            first_index = i;
            first_reason = why;
        }
    }
    void merge(const Failures& other) noexcept {
        count += other.count;
        if (other.first_index < first_index) {
            first_index = other.first_index;
            first_reason = other.first_reason;
        }
    }
};

}  // namespace greekmill::batch
