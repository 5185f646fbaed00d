#include "core/records/ByteText.hpp"
#include "core/records/FileTyping.hpp"
#include "core/records/RecoverableFile.hpp"
#include "core/records/TextDecode.hpp"

#include <gtest/gtest.h>

using namespace vellary;
using namespace std::literals;

// "good" only when the header checks out and the file is whole.
TEST(RecoverableFile, QualityAndFolder) {
    RecoverableFile file;
    file.headerLooksValid = false;
    EXPECT_EQ(file.quality(), RecoverableFile::Quality::damaged);
    file.headerLooksValid = true;
    file.complete = false;
    EXPECT_EQ(file.quality(), RecoverableFile::Quality::partial);
    file.complete = true;
    EXPECT_EQ(file.quality(), RecoverableFile::Quality::good);
    file.confidence = RecoveryConfidence::named;
    file.originalPath = "//DCIM//100CANON/x.jpg";
    EXPECT_EQ(file.folder(), "DCIM/100CANON");
    file.confidence = RecoveryConfidence::carved;
    EXPECT_EQ(file.folder(), "");
}

TEST(FileTyping, RawValuesRoundTripAndNamesFallBack) {
    for (std::size_t i = 0; i < fileKind::count; ++i)
        EXPECT_EQ(fileKind::fromRaw(fileKind::rawValue(static_cast<FileKind>(i))),
                  static_cast<FileKind>(i));
    EXPECT_EQ(fileKind::fromRaw("jpg"), std::nullopt);
    EXPECT_EQ(fileCategory::fromRaw("Photo"), std::nullopt);
    EXPECT_EQ(FileTyping::category("x.txt", FileKind::jpeg), FileCategory::photo);
    EXPECT_EQ(FileTyping::repairFujifilmShortName("_SCF1234.raf"), "DSCF1234.RAF");
    for (const char* name : {"_SCF12A4.JPG", "_SCF1234.MP4", "_SCF1234.a.JPG", "_SCF123.JPG"})
        EXPECT_EQ(FileTyping::repairFujifilmShortName(name), name);
}

TEST(ByteText, DecimalUnitsAtTheirBoundariesAndClamping) {
    const std::vector<std::pair<std::uint64_t, std::string>> cases = {
        {1, "1 byte"},
        {999, "999 bytes"},
        {1000, "1 KB"},
        {999'499, "999 KB"},
        {999'999, "1.0 MB"},
        {1'500'000, "1.5 MB"},
        {4'000'000'000ULL, "4.00 GB"}};
    for (const auto& [bytes, text] : cases)
        EXPECT_EQ(ByteText::string(bytes), text);
    EXPECT_EQ(ByteText::string(UINT64_MAX), ByteText::string(INT64_MAX));
}

namespace {

const std::string kBad = "\xEF\xBF\xBD";
const std::string kSmile = "\xF0\x9F\x98\x80";

ByteSpan span(std::string_view s) {
    return ByteSpan(reinterpret_cast<const std::uint8_t*>(s.data()), s.size());
}

} // namespace

TEST(TextDecode, Utf16PairsSurrogatesHonoursLimitsAndReplacesOrRejectsUnpairedOnes) {
    EXPECT_EQ(TextDecode::utf16(std::vector<std::uint16_t>{0xDE00, 'x', 0xD83D}),
              kBad + "x" + kBad);
    const auto data = "a\0b\0\0\0c\0d"sv;
    EXPECT_EQ(TextDecode::utf16LE(span(data), 10, true), "ab");
    EXPECT_EQ(TextDecode::utf16LE(span(data), 10, false), std::string("ab\0c", 4));
    EXPECT_EQ(TextDecode::utf16LE(span(data), 1, false), "a");
    // A pair cut by the unit limit leaves an unpaired high surrogate.
    EXPECT_EQ(TextDecode::utf16LE(span("\x3D\xD8\x00\xDE"sv), 2, false), kSmile);
    EXPECT_EQ(TextDecode::utf16LE(span("\x3D\xD8\x00\xDE"sv), 1, false), kBad);
    EXPECT_EQ(TextDecode::utf16Strict(span("\xD8\x3D\xDE\x00"sv), true), kSmile);
    for (const auto bad : {"h\0i"sv, "\x3D\xD8"sv, "\x00\xDE\x61\0"sv, "\x3D\xD8\x61\0"sv})
        EXPECT_EQ(TextDecode::utf16Strict(span(bad), false), std::nullopt);
}

TEST(TextDecode, Utf8RepairsOrRejectsInvalidSequences) {
    EXPECT_EQ(TextDecode::utf8Strict(span("ok\xC3\xA9\xF4\x8F\xBF\xBF"sv)),
              "ok\xC3\xA9\xF4\x8F\xBF\xBF");
    // Stray continuation, overlong form, encoded surrogate, past U+10FFFF, truncated tail.
    for (const auto bad :
         {"\x80"sv, "\xC0\xAF"sv, "\xED\xA0\x80"sv, "\xF4\x90\x80\x80"sv, "\xE2\x82"sv}) {
        EXPECT_EQ(TextDecode::utf8Strict(span(bad)), std::nullopt);
        EXPECT_EQ(TextDecode::utf8Repaired(span(bad)).find(kBad), 0u);
    }
    EXPECT_EQ(TextDecode::utf8Repaired(span("a\xFF\x62"sv)), "a" + kBad + "b");
    EXPECT_EQ(TextDecode::trimmed(" \t\r\n name.txt \v\f"), "name.txt");
}
