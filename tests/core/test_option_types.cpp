// Option-type columns decoded where they are stored: every storage gives the
// same codes for the same texts, and nothing but the four words in any ASCII
// letter case is a call or a put.
#include <gtest/gtest.h>

#include <cstdint>
#include <cstring>
#include <string>
#include <vector>

#include "batch/columns.hpp"

namespace greekmill::batch {
namespace {

constexpr std::uint8_t kBad = kNotAnOptionType;

struct Case {
    std::string text;
    std::uint8_t code;
};

const std::vector<Case> kCases = {
    {"call", 0}, {"CALL", 0}, {"cAlL", 0}, {"c", 0},    {"C", 0},       {"put", 1},
    {"PUT", 1},  {"pUt", 1},  {"p", 1},    {"P", 1},    {"", kBad},     {"ca", kBad},
    {"cal", kBad}, {"calls", kBad}, {"pu", kBad}, {" put", kBad}, {"put ", kBad},
    {"x", kBad}, {"cbll", kBad}, {"[ALL", kBad}, {"@", kBad}, {"\xc3\xa7", kBad},
    {std::string("c\0ll", 4), kBad}, {std::string("p\0", 2), kBad},
};

std::vector<std::uint8_t> decode(const TypeSource& source, std::size_t n) {
    std::vector<std::uint8_t> codes(n, 99);
    decode_option_types(source, 0, n, codes.data());
    return codes;
}

std::vector<std::uint8_t> expected_codes() {
    std::vector<std::uint8_t> codes;
    for (const Case& c : kCases) {
        codes.push_back(c.code);
    }
    return codes;
}

TEST(OptionTypes, FixedWidthTextOfEveryWidth) {
    for (std::size_t width = 1; width <= 7; ++width) {
        std::vector<std::uint8_t> bytes;
        std::vector<std::uint32_t> ucs4;
        std::vector<std::uint8_t> expected;
        for (const Case& c : kCases) {
            if (c.text.size() > width) {
                continue;  // numpy would have made the column wider
            }
            // numpy pads with NUL and drops trailing NULs: "p\0" is "p" there.
            std::string text = c.text;
            while (!text.empty() && text.back() == '\0') {
                text.pop_back();
            }
            expected.push_back(text == c.text ? c.code : (text == "p" ? 1 : kBad));
            for (std::size_t j = 0; j < width; ++j) {
                const auto unit = j < text.size() ? static_cast<unsigned char>(text[j]) : 0u;
                bytes.push_back(static_cast<std::uint8_t>(unit));
                ucs4.push_back(unit);
            }
        }
        const std::size_t n = expected.size();
        const TypePiece byte_piece{0, n, bytes.data()};
        const TypePiece ucs4_piece{0, n, ucs4.data()};
        EXPECT_EQ(decode({TypeStorage::Bytes, width, 1, &byte_piece, 1}, n), expected) << width;
        EXPECT_EQ(decode({TypeStorage::Utf32, 4 * width, 1, &ucs4_piece, 1}, n), expected)
            << width;
    }
}

TEST(OptionTypes, NonAsciiCodePointsNeverFold) {
    // U+0163 and U+0143 have 'c' and 'C' as their low byte.
    const std::uint32_t text[] = {0x163, 'a', 'l', 'l', 0x143, 0, 0, 0, 'p' + 0x10000, 0, 0, 0};
    const TypePiece piece{0, 3, text};
    EXPECT_EQ(decode({TypeStorage::Utf32, 16, 1, &piece, 1}, 3),
              (std::vector<std::uint8_t>{kBad, kBad, kBad}));
}

// Arrow layout: offsets, bytes, a validity bitmap, a slice offset, chunks.
TEST(OptionTypes, ArrowStringsInChunksWithNullsAndOffsets) {
    std::vector<std::int32_t> offsets{0};
    std::vector<std::int64_t> large_offsets{0};
    std::string text;
    for (const Case& c : kCases) {
        text += c.text;
        offsets.push_back(static_cast<std::int32_t>(text.size()));
        large_offsets.push_back(static_cast<std::int64_t>(text.size()));
    }
    const std::size_t n = kCases.size();
    const auto* bytes = reinterpret_cast<const std::uint8_t*>(text.data());
    // The column is the slice [2, n) of the array, cut in two chunks at 5;
    // element 3 of the array is null.
    std::vector<std::uint8_t> valid((n + 7) / 8, 0xff);
    valid[0] &= static_cast<std::uint8_t>(~(1u << 3));
    std::vector<std::uint8_t> expected = expected_codes();
    expected[3] = kBad;
    expected.erase(expected.begin(), expected.begin() + 2);
    const TypePiece pieces[] = {{0, 3, offsets.data(), bytes, valid.data(), 2},
                                {3, n - 5, offsets.data(), bytes, valid.data(), 5}};
    EXPECT_EQ(decode({TypeStorage::Utf8, 4, 1, pieces, 2}, n - 2), expected);
    const TypePiece large[] = {{0, 3, large_offsets.data(), bytes, valid.data(), 2},
                               {3, n - 5, large_offsets.data(), bytes, valid.data(), 5}};
    EXPECT_EQ(decode({TypeStorage::LargeUtf8, 8, 1, large, 2}, n - 2), expected);
}

TEST(OptionTypes, DictionaryIndicesOfEveryWidthWithMissingAndOutOfRange) {
    const std::uint8_t table[] = {0, 1, kBad};  // "call", "P", "straddle"
    const std::int64_t indices[] = {0, 1, 2, -1, 3, 1, 0};
    const std::vector<std::uint8_t> expected{0, 1, kBad, kBad, kBad, 1, 0};
    auto check = [&](auto sample) {
        using Index = decltype(sample);
        std::vector<Index> narrow(std::begin(indices), std::end(indices));
        TypePiece piece{0, narrow.size(), narrow.data()};
        piece.table = table;
        piece.table_size = 3;
        EXPECT_EQ(decode({TypeStorage::Dictionary, sizeof(Index), 1, &piece, 1}, narrow.size()),
                  expected)
            << sizeof(Index);
    };
    check(std::int8_t{});
    check(std::int16_t{});
    check(std::int32_t{});
    check(std::int64_t{});
}

// Arrow's unsigned indices: 200 is category 200 (read as signed it would be
// -56, a missing value), and past the table it is no option type.
TEST(OptionTypes, UnsignedDictionaryIndicesOfEveryWidth) {
    std::vector<std::uint8_t> table(256, kBad);
    table[1] = 0;
    table[200] = 1;
    const std::uint64_t indices[] = {200, 1, 255, 0};
    const std::vector<std::uint8_t> expected{1, 0, kBad, kBad};
    auto check = [&](auto sample, std::size_t table_size) {
        using Index = decltype(sample);
        std::vector<Index> narrow(std::begin(indices), std::end(indices));
        TypePiece piece{0, narrow.size(), narrow.data()};
        piece.table = table.data();
        piece.table_size = table_size;
        EXPECT_EQ(decode({TypeStorage::UnsignedDictionary, sizeof(Index), 1, &piece, 1},
                         narrow.size()),
                  expected)
            << sizeof(Index);
    };
    check(std::uint8_t{}, 256);
    check(std::uint16_t{}, 201);
    check(std::uint32_t{}, 201);
    check(std::uint64_t{}, 201);
}

TEST(OptionTypes, ABroadcastElementAndARangeInsideTheColumn) {
    const char text[] = "PUT";
    const TypePiece one{0, 1, text};
    EXPECT_EQ(decode({TypeStorage::Bytes, 3, 0, &one, 1}, 4),
              (std::vector<std::uint8_t>{1, 1, 1, 1}));
    const std::uint8_t codes[] = {0, 1, 7, 1, 0};
    const TypePiece piece{0, 5, codes};
    std::uint8_t out[2];
    decode_option_types({TypeStorage::Codes, 1, 1, &piece, 1}, 2, 4, out);
    EXPECT_EQ(out[0], kBad);
    EXPECT_EQ(out[1], 1);
}

}  // namespace
}  // namespace greekmill::batch
