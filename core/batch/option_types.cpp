// Reading option types where they are stored: fixed-width text, Arrow
// strings, dictionary codes.  Every element is folded into one 32-bit word of
// its first four characters, lower-cased, and compared with the four accepted
// words; nothing allocates and nothing calls back into Python.
#include <algorithm>
#include <cstdint>
#include <cstring>
#include <type_traits>

#include "columns.hpp"

namespace greekmill::batch {
namespace {

// The accepted words, little-endian and NUL-padded to four bytes.
constexpr std::uint32_t pack(const char* w) noexcept {
    std::uint32_t word = 0;
    for (int i = 0; i < 4 && w[i] != 0; ++i) {
        word |= static_cast<std::uint32_t>(static_cast<unsigned char>(w[i])) << (8 * i);
    }
    return word;
}
constexpr std::uint32_t kCall = pack("call");
constexpr std::uint32_t kPut = pack("put");
constexpr std::uint32_t kC = pack("c");
constexpr std::uint32_t kP = pack("p");

// The four bytes of `word` (each below 0x80) with A-Z lower-cased, all at
// once: adding 0x80 - 'A' sets a byte's top bit from 'A' up, adding
// 0x80 - 'Z' - 1 from past 'Z'; no byte carries into the next.
[[nodiscard]] inline std::uint32_t lower_ascii(std::uint32_t word) noexcept {
    constexpr std::uint32_t kOnes = 0x01010101u;
    const std::uint32_t from_a = (word + (0x80u - 'A') * kOnes) & (0x80u * kOnes);
    const std::uint32_t past_z = (word + (0x80u - 'Z' - 1u) * kOnes) & (0x80u * kOnes);
    return word | ((from_a & ~past_z) >> 2);
}

// Without branches: a book mixes calls and puts at random, and a branch on
// the word would be mispredicted half of the time.
[[nodiscard]] inline std::uint8_t code_of_word(std::uint32_t word) noexcept {
    const unsigned call = static_cast<unsigned>(word == kCall) | static_cast<unsigned>(word == kC);
    const unsigned put = static_cast<unsigned>(word == kPut) | static_cast<unsigned>(word == kP);
    return static_cast<std::uint8_t>(put + 2u * (1u - (call | put)));
}

// Fixed-width text, `Char` being one code unit (uint8_t for bytes, uint32_t
// for UCS-4); `width` units per element.  Past the fourth unit only NUL
// padding is allowed.
template <class Char>
[[nodiscard]] inline std::uint8_t code_of_fixed(const Char* text, std::size_t width) noexcept {
    std::uint32_t word = 0;
    std::uint32_t wide = 0;  // any unit above ASCII
    const std::size_t head = std::min<std::size_t>(width, 4);
    for (std::size_t j = 0; j < head; ++j) {
        const std::uint32_t c = text[j];
        wide |= c & ~0x7fu;
        word |= (c & 0x7fu) << (8 * j);
    }
    for (std::size_t j = head; j < width; ++j) {
        wide |= text[j];  // past the fourth unit only NUL padding
    }
    return wide == 0 ? code_of_word(lower_ascii(word)) : kNotAnOptionType;
}

// Variable-length UTF-8 of `length` bytes: one to four ASCII letters, no NUL.
[[nodiscard]] inline std::uint8_t code_of_utf8(const std::uint8_t* text,
                                               std::int64_t length) noexcept {
    if (length < 1 || length > 4) {
        return kNotAnOptionType;
    }
    // Four steps whatever the length (3 for "put", 4 for "call"), so that
    // the loop's exit is not a mispredicted branch.
    std::uint32_t word = 0;
    std::uint32_t bad = 0;
    for (std::int64_t j = 0; j < 4; ++j) {
        const bool inside = j < length;
        const std::uint32_t c = inside ? text[j] : 0u;
        bad |= (c & ~0x7fu) | static_cast<std::uint32_t>(inside & (c == 0));
        word |= (c & 0x7fu) << (8 * j);
    }
    return bad == 0 ? code_of_word(lower_ascii(word)) : kNotAnOptionType;
}

[[nodiscard]] inline bool is_valid(const TypePiece& piece, std::size_t j) noexcept {
    if (piece.valid == nullptr) {
        return true;
    }
    const std::size_t bit = piece.offset + j;
    return ((piece.valid[bit >> 3] >> (bit & 7)) & 1) != 0;
}

template <class Index>
void decode_dictionary(const TypePiece& piece, std::size_t from, std::size_t count,
                       std::uint8_t* codes) noexcept {
    const Index* indices = static_cast<const Index*>(piece.values) + piece.offset + from;
    for (std::size_t j = 0; j < count; ++j) {
        // Signed indices below 0 are missing; unsigned ones are read as they
        // are (a uint8 index of 200 is category 200, not -56).
        bool known = true;
        if constexpr (std::is_signed_v<Index>) {
            known = indices[j] >= 0;
        }
        const auto index = static_cast<std::uint64_t>(indices[j]);
        known = known && index < piece.table_size;
        codes[j] = known ? piece.table[index] : kNotAnOptionType;
    }
    if (piece.valid != nullptr) {
        for (std::size_t j = 0; j < count; ++j) {
            if (!is_valid(piece, from + j)) {
                codes[j] = kNotAnOptionType;
            }
        }
    }
}

// One to four bytes of UTF-8 read as one word: `word` holds them (and
// whatever follows, masked off here).
[[nodiscard]] inline std::uint8_t code_of_short_utf8(std::uint32_t word,
                                                     std::int64_t length) noexcept {
    if (static_cast<std::uint64_t>(length - 1) >= 4u) {
        return kNotAnOptionType;
    }
    const std::uint32_t mask = length == 4 ? ~0u : (1u << (8 * length)) - 1u;
    word &= mask;
    constexpr std::uint32_t kOnes = 0x01010101u;
    // A NUL inside the text, or a byte above ASCII, is no option type.
    const std::uint32_t zero_byte = (word - kOnes) & ~word & (0x80u * kOnes) & mask;
    const std::uint32_t wide = word & (0x80u * kOnes);
    return (zero_byte | wide) == 0 ? code_of_word(lower_ascii(word)) : kNotAnOptionType;
}

template <class Offset>
void decode_strings(const TypePiece& piece, std::size_t from, std::size_t count,
                    std::uint8_t* codes) noexcept {
    const auto* base = static_cast<const Offset*>(piece.values) + piece.offset;
    const Offset* offsets = base + from;
    // Texts ending four bytes before the piece's last byte are read as one
    // word; the last few byte by byte, never past the buffer.
    const std::int64_t whole_words_before = static_cast<std::int64_t>(base[piece.length]) - 4;
    for (std::size_t j = 0; j < count; ++j) {
        const std::int64_t begin = offsets[j];
        const std::int64_t length = static_cast<std::int64_t>(offsets[j + 1]) - begin;
        if (begin <= whole_words_before) {
            std::uint32_t word;
            std::memcpy(&word, piece.text + begin, 4);
            codes[j] = code_of_short_utf8(word, length);
        } else {
            codes[j] = code_of_utf8(piece.text + begin, length);
        }
    }
    if (piece.valid != nullptr) {
        for (std::size_t j = 0; j < count; ++j) {
            if (!is_valid(piece, from + j)) {
                codes[j] = kNotAnOptionType;
            }
        }
    }
}

// Elements [from, from + count) of one piece (indices relative to it).
void decode_piece(const TypeSource& source, const TypePiece& piece, std::size_t from,
                  std::size_t count, std::uint8_t* codes) noexcept {
    const std::size_t width = source.width;
    switch (source.storage) {
        case TypeStorage::Codes: {
            const auto* in = static_cast<const std::uint8_t*>(piece.values) + from;
            for (std::size_t j = 0; j < count; ++j) {
                codes[j] = in[j] <= 1 ? in[j] : kNotAnOptionType;
            }
            return;
        }
        case TypeStorage::Utf32: {
            const std::size_t units = width / 4;
            const auto* in = static_cast<const std::uint32_t*>(piece.values) + from * units;
            // Four code points, the width of "call" and "put" columns: two
            // 64-bit loads.  A book spells its types one or two ways, so the
            // last two texts seen and their codes are kept; a text is decoded
            // (the low byte of each code point packed) only when it is new.
            if (units == 4) {
                struct Seen {
                    std::uint64_t a, b;
                    std::uint8_t code;
                };
                // No text has these units (code points end at 0x10ffff).
                Seen first{~0ull, ~0ull, kNotAnOptionType};
                Seen second = first;
                for (std::size_t j = 0; j < count; ++j) {
                    std::uint64_t a, b;
                    std::memcpy(&a, in + 4 * j, 8);
                    std::memcpy(&b, in + 4 * j + 2, 8);
                    const bool is_first = (a == first.a) & (b == first.b);
                    const bool is_second = (a == second.a) & (b == second.b);
                    if (is_first | is_second) {
                        codes[j] = is_first ? first.code : second.code;
                        continue;
                    }
                    constexpr std::uint64_t kHigh = 0xffffff80ffffff80ull;
                    const auto word = static_cast<std::uint32_t>(
                        (a & 0x7f) | ((a >> 24) & 0x7f00) | ((b & 0x7f) << 16) |
                        ((b >> 8) & 0x7f000000));
                    codes[j] = ((a | b) & kHigh) == 0 ? code_of_word(lower_ascii(word))
                                                      : kNotAnOptionType;
                    second = first;
                    first = {a, b, codes[j]};
                }
            } else {
                for (std::size_t j = 0; j < count; ++j) {
                    codes[j] = code_of_fixed(in + units * j, units);
                }
            }
            return;
        }
        case TypeStorage::Bytes: {
            const auto* in = static_cast<const std::uint8_t*>(piece.values) + from * width;
            for (std::size_t j = 0; j < count; ++j) {
                codes[j] = code_of_fixed(in + width * j, width);
            }
            return;
        }
        case TypeStorage::Dictionary:
            switch (width) {
                case 1: decode_dictionary<std::int8_t>(piece, from, count, codes); return;
                case 2: decode_dictionary<std::int16_t>(piece, from, count, codes); return;
                case 4: decode_dictionary<std::int32_t>(piece, from, count, codes); return;
                default: decode_dictionary<std::int64_t>(piece, from, count, codes); return;
            }
        case TypeStorage::UnsignedDictionary:
            switch (width) {
                case 1: decode_dictionary<std::uint8_t>(piece, from, count, codes); return;
                case 2: decode_dictionary<std::uint16_t>(piece, from, count, codes); return;
                case 4: decode_dictionary<std::uint32_t>(piece, from, count, codes); return;
                default: decode_dictionary<std::uint64_t>(piece, from, count, codes); return;
            }
        case TypeStorage::Utf8: decode_strings<std::int32_t>(piece, from, count, codes); return;
        case TypeStorage::LargeUtf8:
            decode_strings<std::int64_t>(piece, from, count, codes);
            return;
    }
    std::memset(codes, kNotAnOptionType, count);
}

}  // namespace

std::uint8_t option_type_of_utf8(const std::uint8_t* text, std::size_t length) noexcept {
    return code_of_utf8(text, length > 4 ? 5 : static_cast<std::int64_t>(length));
}

void decode_option_types(const TypeSource& source, std::size_t begin, std::size_t end,
                         std::uint8_t* codes) noexcept {
    if (source.piece_count == 0 || end <= begin) {
        std::memset(codes, kNotAnOptionType, end > begin ? end - begin : 0);
        return;
    }
    if (source.stride == 0) {
        std::uint8_t code = kNotAnOptionType;
        decode_piece(source, source.pieces[0], 0, 1, &code);
        std::memset(codes, code, end - begin);
        return;
    }
    // Pieces are few and in order; find the one holding `begin`, then walk.
    std::size_t p = 0;
    while (p + 1 < source.piece_count && source.pieces[p + 1].start <= begin) {
        ++p;
    }
    std::size_t i = begin;
    while (i < end && p < source.piece_count) {
        const TypePiece& piece = source.pieces[p];
        const std::size_t piece_end = piece.start + piece.length;
        const std::size_t stop = std::min(end, piece_end);
        if (i < stop) {
            decode_piece(source, piece, i - piece.start, stop - i, codes + (i - begin));
            i = stop;
        }
        ++p;
    }
    if (i < end) {
        std::memset(codes + (i - begin), kNotAnOptionType, end - i);
    }
}

}  // namespace greekmill::batch
