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

// Option types as the caller stores them.  The engine decodes them block by
// block inside each worker's range (TypeSource -> codes), so a column of text
// costs a pass over its bytes and never a Python object per element.
enum class TypeStorage : std::uint8_t {
    Codes,       // one byte each: 0 call, 1 put, anything else is not an option type
    Utf32,       // fixed-width UCS-4 text, NUL-padded (numpy "U")
    Bytes,       // fixed-width bytes, NUL-padded (numpy "S")
    Dictionary,  // signed integer indices into a small table of codes; negative: missing
    Utf8,        // variable-length UTF-8: int32 offsets into a byte buffer (Arrow string)
    LargeUtf8,   // the same with int64 offsets (Arrow large_string)
    UnsignedDictionary,  // unsigned integer indices (Arrow uint8 ... uint64 dictionaries)
};

// The code of an element that is not an option type (missing, misspelt).
inline constexpr std::uint8_t kNotAnOptionType = 2;

// One contiguous stretch of a type column: elements [start, start + length)
// of the column.  Arrow columns come in chunks, numpy and pandas ones in one.
struct TypePiece {
    std::size_t start = 0;
    std::size_t length = 0;
    const void* values = nullptr;         // codes, text, indices or offsets
    const std::uint8_t* text = nullptr;   // Utf8, LargeUtf8: the string bytes
    const std::uint8_t* valid = nullptr;  // Arrow validity bitmap; null when all are valid
    std::size_t offset = 0;               // Arrow: the slice's offset into values and valid
    const std::uint8_t* table = nullptr;  // Dictionary: code of each index
    std::size_t table_size = 0;
};

struct TypeSource {
    TypeStorage storage = TypeStorage::Codes;
    // Bytes per element of Utf32 and Bytes text; bytes per index (1, 2, 4,
    // 8) of a Dictionary.
    std::size_t width = 1;
    // 0: one element broadcast to every option (pieces[0] alone); 1: one
    // element per option.
    std::size_t stride = 0;
    const TypePiece* pieces = nullptr;
    std::size_t piece_count = 0;
};

// The code of one UTF-8 text of `length` bytes (the rule below).
[[nodiscard]] std::uint8_t option_type_of_utf8(const std::uint8_t* text,
                                               std::size_t length) noexcept;

// Codes of elements [begin, end) of `source` into codes[0, end - begin):
// 0 call, 1 put, kNotAnOptionType for anything but "call", "put", "c", "p"
// in any mix of ASCII letter case, and for missing elements.
void decode_option_types(const TypeSource& source, std::size_t begin, std::size_t end,
                         std::uint8_t* codes) noexcept;

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
    // The kernels read `type` (codes 0 and 1 only); run_range fills it from
    // `types`, block by block, and reports the elements that are neither.
    TypeColumn type;
    TypeSource types;
};

// Up to six contiguous output columns (price or one Greek uses out[0]; the
// five Greeks use out[0..4] in the order delta, gamma, theta, vega, rho; a
// valuation out[0..5]: price, then the five Greeks).
struct Outputs {
    double* out[6] = {nullptr, nullptr, nullptr, nullptr, nullptr, nullptr};
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
    OptionType,  // neither a call nor a put: misspelt, missing, not text
    // implied volatility: a positive price within the rounding of the spot or
    // strike of the exercise value 0, too small for the engine to invert
    PriceBelowResolution,
    // The exercise boundary where early exercise happens between two
    // boundaries (put with q < r <= 0, call with r < q <= 0): no single one.
    DoubleBoundary,
};

// Why an element has no value, as the package reports it per element
// (greekmill.Reason, the same numbers): the failures above grouped by what
// the caller can do about them.
enum class Reason : std::int8_t {
    Ok = 0,
    InvalidInput = 1,             // an input out of the domain, or not an option type
    BelowLowerBound = 2,          // implied volatility: below the no-arbitrage lower bound
    AboveUpperBound = 3,          // implied volatility: at or above the upper bound
    NoVolatilityInformation = 4,  // implied volatility: every low volatility gives the price
    NoConvergence = 5,            // an iteration did not converge
    NotRepresentable = 6,         // a formula overflowed: the value lies beyond a double
    DoubleBoundary = 7,           // exercise boundary: two of them, not one
    BelowResolution = 8,          // implied volatility: a price too small to invert
};

[[nodiscard]] constexpr Reason reason_of(Failure failure) noexcept {
    switch (failure) {
        case Failure::None: return Reason::Ok;
        case Failure::PriceBelowLowerBound: return Reason::BelowLowerBound;
        case Failure::PriceAboveUpperBound: return Reason::AboveUpperBound;
        case Failure::NoVolatilityInformation: return Reason::NoVolatilityInformation;
        case Failure::NotConverged: return Reason::NoConvergence;
        case Failure::NotRepresentable: return Reason::NotRepresentable;
        case Failure::DoubleBoundary: return Reason::DoubleBoundary;
        case Failure::PriceBelowResolution: return Reason::BelowResolution;
        default: return Reason::InvalidInput;
    }
}

// The elements that got NaN instead of a value: how many, and the first.
// Option types are counted apart as well: a bad option type is reported
// before any number, as a wrong keyword would be.  With `reasons` (one byte
// per element, indexed as `add` is, 0 for elements without a failure) each
// failure's Reason is written there as well.
struct Failures {
    static constexpr std::size_t kNone = std::numeric_limits<std::size_t>::max();
    std::size_t count = 0;
    std::size_t first_index = kNone;
    Failure first_reason = Failure::None;
    std::size_t type_count = 0;
    std::size_t first_type_index = kNone;
    std::int8_t* reasons = nullptr;

    // A record of its own whose element i is element shift + i of this one.
    [[nodiscard]] Failures local(std::size_t shift) const noexcept {
        Failures part;
        part.reasons = reasons != nullptr ? reasons + shift : nullptr;
        return part;
    }

    void add(std::size_t i, Failure why) noexcept {
        if (reasons != nullptr) {
            reasons[i] = static_cast<std::int8_t>(reason_of(why));
        }
        ++count;
        if (i < first_index) {
            first_index = i;
            first_reason = why;
        }
        if (why == Failure::OptionType) {
            ++type_count;
            if (i < first_type_index) {
                first_type_index = i;
            }
        }
    }
    // Adds `other`, whose indices are relative to `shift`.
    void merge(const Failures& other, std::size_t shift = 0) noexcept {
        count += other.count;
        if (other.first_index != kNone && other.first_index + shift < first_index) {
            first_index = other.first_index + shift;
            first_reason = other.first_reason;
        }
        type_count += other.type_count;
        if (other.first_type_index != kNone && other.first_type_index + shift < first_type_index) {
            first_type_index = other.first_type_index + shift;
        }
    }
};

}  // namespace greekmill::batch
