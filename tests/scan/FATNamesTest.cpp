// Names of deleted FAT entries: the lost first letter and the long-name checksum.
#include "core/scan/FATNames.hpp"

#include <gtest/gtest.h>

#include <cstring>

namespace vellary {
namespace {

// An 11-byte short name as stored ("IMG_0001JPG" style, padded with spaces).
FATNames::Entry entry(const char* name11, std::uint8_t first = 0) {
    FATNames::Entry e{};
    std::memcpy(e.data(), name11, 11);
    if (first != 0) e[0] = first;
    return e;
}

TEST(FATNamesTest, LostLetterFromSiblingsThenCameraPrefixes) {
    struct Row {
        const char* deleted; // first byte replaced by the deletion mark
        std::vector<const char*> siblings;
        std::optional<char> letter;
    };
    const std::vector<Row> rows = {
        {"IMG_0002JPG", {"IMG_0001JPG", "IMG_0003JPG"}, 'I'},
        {"XYZ_0002JPG", {"AYZ_0101JPG"}, 'A'}, // any sibling of the same shape
        {"XYZ_0002JPG", {"AYZ_0101JPG", "BYZ_0003JPG"}, std::nullopt}, // they disagree
        {"IMG_0002JPG", {"IMG_0001JPG", "_MG_0003JPG"}, std::nullopt}, // both live: undecided
        {"XYZ_0002JPG", {"AYZ_0001MOV", "AYZ_001 JPG", "AYZ_00A1JPG"}, std::nullopt},
        {"IMG_0002JPG", {"\xE5MG_0003JPG"}, 'I'}, // deleted siblings say nothing; the prefix does
        {"MVI_1234MOV", {}, 'M'},
        {"DSC_0042NEF", {}, 'D'},
        {"DSC01234ARW", {}, 'D'},
        {"GOPR0009MP4", {}, 'G'},
        {"GH010123MP4", {}, 'G'},
        {"DJI_0001JPG", {}, 'D'},
        {"PXL_2023JPG", {}, 'P'},
        {"IMG_00A2JPG", {}, std::nullopt}, // not digits
        {"IMG_0002   ", {}, std::nullopt}, // no extension
        {"DSCF1234JPG", {}, std::nullopt}, // left to the Fujifilm rule
        {"NOTES   TXT", {}, std::nullopt},
    };
    for (const auto& row : rows) {
        const auto deleted = entry(row.deleted, 0xE5);
        std::vector<FATNames::Entry> stored;
        for (const auto* s : row.siblings)
            stored.push_back(entry(s));
        std::vector<ByteSpan> siblings;
        for (const auto& s : stored)
            siblings.emplace_back(s.data(), 11);
        EXPECT_EQ(FATNames::lostLetter(ByteSpan(deleted.data(), 11), siblings), row.letter)
            << row.deleted;
    }
    // A live entry has lost nothing.
    const auto live = entry("MVI_1234MOV");
    EXPECT_EQ(FATNames::lostLetter(ByteSpan(live.data(), 11), {}), std::nullopt);
}

std::uint8_t checksum(const FATNames::Entry& e) {
    std::uint8_t s = 0;
    for (std::size_t i = 0; i < 11; ++i)
        s = static_cast<std::uint8_t>(((s >> 1) | (s << 7)) + e[i]);
    return s;
}

// One long-name entry holding up to 13 ASCII characters, for the short entry given.
FATNames::Entry longEntry(const std::string& text, std::uint8_t sum) {
    static constexpr std::size_t kOffsets[] = {1, 3, 5, 7, 9, 14, 16, 18, 20, 22, 24, 28, 30};
    FATNames::Entry e{};
    e[0] = 0x41;
    e[11] = 0x0F;
    e[13] = sum;
    for (std::size_t i = 0; i < 13; ++i) {
        const std::uint16_t unit = i < text.size()    ? static_cast<std::uint8_t>(text[i])
                                   : i == text.size() ? 0x0000
                                                      : 0xFFFF;
        e[kOffsets[i]] = unit & 0xFF;
        e[kOffsets[i] + 1] = unit >> 8;
    }
    return e;
}

// Any checksum is reached by exactly one first byte, so the long name must also agree with it.
TEST(FATNamesTest, LongNameMustSpellTheShortNamesFirstLetter) {
    const auto original = entry("BIRTHD~1JPG");
    const auto sum = checksum(original);
    const auto deleted = entry("BIRTHD~1JPG", 0xE5);
    const auto plus = entry("_PLUS~1 JPG");
    const struct {
        std::string text;
        std::uint8_t sum;
        FATNames::Entry shortEntry;
        bool kept;
    } rows[] = {
        {"birthday.jpg", sum, deleted, true},  // lower case is upper-cased
        {"Birthday.jpg", sum, original, true}, // a live entry
        {"..birthday", sum, deleted, true},    // leading dots are not in the short name
        {"Xmas.jpg", sum, deleted, false},     // another letter: these entries are stale
        {"birthday.jpg", static_cast<std::uint8_t>(sum + 1), original, false},
        {"\xC3", sum, deleted, true}, // outside ASCII a code page decides: not judged
        {"+plus.jpg", checksum(plus), entry("_PLUS~1 JPG", 0xE5), true}, // "+" becomes "_"
    };
    for (const auto& row : rows) {
        const FATNames::Entry lfn = longEntry(row.text, row.sum);
        const auto name = FATNames::longName(std::span(&lfn, 1), ByteSpan(row.shortEntry));
        EXPECT_EQ(name.has_value(), row.kept) << row.text;
    }
}

} // namespace
} // namespace vellary
