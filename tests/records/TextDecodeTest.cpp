#include "core/records/TextDecode.hpp"

#include <gtest/gtest.h>

#include <cstdint>
#include <vector>

using namespace vellary;

namespace {

const std::string kReplacement = "\xEF\xBF\xBD";

ByteSpan span(const std::vector<std::uint8_t>& bytes) {
    return ByteSpan(bytes.data(), bytes.size());
}

} // namespace

TEST(TextDecode, Utf16UnitsPairSurrogatesAndReplaceUnpairedOnes) {
    EXPECT_EQ(TextDecode::utf16(std::vector<std::uint16_t>{'a', 0xE9, 0x20AC}),
              "a\xC3\xA9\xE2\x82\xAC");
    EXPECT_EQ(TextDecode::utf16(std::vector<std::uint16_t>{0xD83D, 0xDE00}), "\xF0\x9F\x98\x80");
    EXPECT_EQ(TextDecode::utf16(std::vector<std::uint16_t>{0xDE00, 'x', 0xD83D}),
              kReplacement + "x" + kReplacement);
    EXPECT_EQ(TextDecode::utf16(std::vector<std::uint16_t>{0xD83D, 'x'}), kReplacement + "x");
    EXPECT_EQ(TextDecode::utf16(std::vector<std::uint16_t>{}), "");
}

TEST(TextDecode, Utf16LEHonoursMaxUnitsZeroStopAndShortData) {
    const std::vector<std::uint8_t> data = {'a', 0, 'b', 0, 0, 0, 'c', 0, 'd'};
    EXPECT_EQ(TextDecode::utf16LE(span(data), 10, true), "ab");
    EXPECT_EQ(TextDecode::utf16LE(span(data), 10, false), std::string("ab\0c", 4));
    EXPECT_EQ(TextDecode::utf16LE(span(data), 1, false), "a");
    EXPECT_EQ(TextDecode::utf16LE(span(data), 0, false), "");
    // A pair cut by the unit limit leaves an unpaired high surrogate.
    const std::vector<std::uint8_t> pair = {0x3D, 0xD8, 0x00, 0xDE};
    EXPECT_EQ(TextDecode::utf16LE(span(pair), 2, false), "\xF0\x9F\x98\x80");
    EXPECT_EQ(TextDecode::utf16LE(span(pair), 1, false), kReplacement);
}

TEST(TextDecode, Utf16StrictRejectsOddLengthsAndUnpairedSurrogates) {
    const std::vector<std::uint8_t> le = {'h', 0, 'i', 0};
    const std::vector<std::uint8_t> be = {0, 'h', 0, 'i'};
    EXPECT_EQ(TextDecode::utf16Strict(span(le), false), "hi");
    EXPECT_EQ(TextDecode::utf16Strict(span(be), true), "hi");
    const std::vector<std::uint8_t> pairBE = {0xD8, 0x3D, 0xDE, 0x00};
    EXPECT_EQ(TextDecode::utf16Strict(span(pairBE), true), "\xF0\x9F\x98\x80");
    EXPECT_EQ(TextDecode::utf16Strict(span({'h', 0, 'i'}), false), std::nullopt);
    EXPECT_EQ(TextDecode::utf16Strict(span({0x3D, 0xD8}), false), std::nullopt);
    EXPECT_EQ(TextDecode::utf16Strict(span({0x00, 0xDE, 'a', 0}), false), std::nullopt);
    EXPECT_EQ(TextDecode::utf16Strict(span({0x3D, 0xD8, 'a', 0}), false), std::nullopt);
    EXPECT_EQ(TextDecode::utf16Strict(span({}), false), "");
}

TEST(TextDecode, Utf8RepairsOrRejectsInvalidSequences) {
    const std::vector<std::uint8_t> good = {'o', 'k', 0xC3, 0xA9, 0xF0, 0x9F, 0x98, 0x80};
    EXPECT_EQ(TextDecode::utf8Strict(span(good)), "ok\xC3\xA9\xF0\x9F\x98\x80");
    EXPECT_EQ(TextDecode::utf8Repaired(span(good)), "ok\xC3\xA9\xF0\x9F\x98\x80");
    // Stray continuation, overlong form, encoded surrogate, truncated tail.
    for (const std::vector<std::uint8_t>& bad :
         {std::vector<std::uint8_t>{0x80}, {0xC0, 0xAF}, {0xED, 0xA0, 0x80}, {0xE2, 0x82}}) {
        EXPECT_EQ(TextDecode::utf8Strict(span(bad)), std::nullopt);
        EXPECT_EQ(TextDecode::utf8Repaired(span(bad)).find(kReplacement), 0u);
    }
    EXPECT_EQ(TextDecode::utf8Repaired(span({'a', 0xFF, 'b'})), "a" + kReplacement + "b");
}

TEST(TextDecode, Latin1AndTrimming) {
    EXPECT_EQ(TextDecode::latin1(span({'A', 0xE9, 0xFF})), "A\xC3\xA9\xC3\xBF");
    EXPECT_EQ(TextDecode::trimmed(" \t\r\n name.txt \v\f"), "name.txt");
    EXPECT_EQ(TextDecode::trimmed("  "), "");
    EXPECT_EQ(TextDecode::trimmed("a b"), "a b");
}
