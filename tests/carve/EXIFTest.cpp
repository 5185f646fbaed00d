#include "core/carve/EXIF.hpp"
#include "core/carve/CameraNames.hpp"
#include "core/carve/TIFFBytes.hpp"
#include "tests/support/CarveFixtures.hpp"

#include <gtest/gtest.h>

namespace vellary {
namespace {

using testing::CarveFixtures;
using Tag = CarveFixtures::Tag;

Bytes bytesOf(std::string_view text) {
    return Bytes(text.begin(), text.end());
}

TEST(TIFFBytes, HeaderAndByteOrder) {
    EXPECT_FALSE(TIFFBytes::make(bytesOf("II*\0\x08\0\0"))); // seven bytes
    EXPECT_FALSE(TIFFBytes::make(bytesOf("IM*\0\x08\0\0\0")));
    const auto little = TIFFBytes::make(Bytes{'I', 'I', 42, 0, 8, 0, 0, 0});
    ASSERT_TRUE(little);
    EXPECT_TRUE(little->little());
    EXPECT_EQ(little->u16(2), 42);
    EXPECT_EQ(little->firstDirectory(), 8u);
    EXPECT_FALSE(little->u16(7));
    EXPECT_FALSE(little->u32(-1));
    const auto big = TIFFBytes::make(Bytes{'M', 'M', 0, 42, 0, 0, 0, 8});
    ASSERT_TRUE(big);
    EXPECT_FALSE(big->little());
    EXPECT_EQ(big->u16(2), 42);
}

TEST(TIFFBytes, DirectoriesStopAtTheEndOfTheData) {
    for (const bool little : {true, false}) {
        auto data =
            CarveFixtures::tiff(little, {{0x010F, "Make"}, {0x0110, "Model X"}, {0x0132, "2020"}});
        const auto full = TIFFBytes::make(data);
        const auto entries = full->entries(8);
        ASSERT_EQ(entries.size(), 3u);
        EXPECT_EQ(entries[1].tag, 0x0110);
        EXPECT_EQ(entries[1].type, 2);
        EXPECT_EQ(entries[1].count, 8u);
        EXPECT_EQ(entries[0].fieldPosition, 8 + 2 + 8);
        // Cut inside the third entry: the first two stay.
        data.resize(8 + 2 + 12 * 2 + 11);
        EXPECT_EQ(TIFFBytes::make(data)->entries(8).size(), 2u);
        EXPECT_TRUE(full->entries(-4).empty());
        EXPECT_TRUE(full->entries(static_cast<std::int64_t>(data.size()) + 100).empty());
    }
    Bytes zero = {'I', 'I', 42, 0, 8, 0, 0, 0, 0, 0};
    EXPECT_TRUE(TIFFBytes::make(zero)->entries(8).empty());
    Bytes tooMany = {'I', 'I', 42, 0, 8, 0, 0, 0, 0xE8, 0x03}; // 1000 entries
    tooMany.resize(20000, 0);
    EXPECT_TRUE(TIFFBytes::make(tooMany)->entries(8).empty());
    tooMany[8] = 0xE7; // 999
    EXPECT_EQ(TIFFBytes::make(tooMany)->entries(8).size(), 999u);
}

TEST(TIFFBytes, StringsInlineOffsetTrimmedAndRepaired) {
    const auto data = CarveFixtures::tiff(true, {{1, "abc"},
                                                 {2, "  Long value \n"},
                                                 {3, "   "},
                                                 {4, "caf\xC3\xA9"},
                                                 {5, "bad\xFF\xC3"},
                                                 {6, std::string("x\0y", 3)},
                                                 {7, "\u3000Wide\u00A0\r\n"}});
    const auto tiff = TIFFBytes::make(data);
    const auto entries = tiff->entries(8);
    ASSERT_EQ(entries.size(), 7u);
    EXPECT_EQ(tiff->string(entries[0]), "abc");
    EXPECT_EQ(tiff->string(entries[1]), "Long value");
    EXPECT_FALSE(tiff->string(entries[2]));
    EXPECT_EQ(tiff->string(entries[3]), "caf\xC3\xA9");
    EXPECT_EQ(tiff->string(entries[4]), "bad\xEF\xBF\xBD\xEF\xBF\xBD");
    EXPECT_EQ(tiff->string(entries[5]), "x");
    EXPECT_EQ(tiff->string(entries[6]), "Wide");

    auto wrongType = entries[1];
    wrongType.type = 7;
    EXPECT_FALSE(tiff->string(wrongType));
    auto empty = entries[1];
    empty.count = 0;
    EXPECT_FALSE(tiff->string(empty));
    auto pastEnd = entries[1];
    pastEnd.count = 0xFFFFFFFF;
    EXPECT_FALSE(tiff->string(pastEnd));
}

TEST(EXIFDates, AcceptedFormsAndRanges) {
    EXPECT_EQ(EXIF::parseDate("2021:05:03 14:22:59"), Binary::localDate(2021, 5, 3, 14, 22, 59));
    EXPECT_EQ(EXIF::parseDate("2021-05-03T14:22:10Z"), Binary::localDate(2021, 5, 3, 14, 22, 10));
    EXPECT_EQ(EXIF::parseDate("2021:05:03 14:22:10.25"), Binary::localDate(2021, 5, 3, 14, 22, 10));
    EXPECT_EQ(EXIF::parseDate("2021-05-03T14:22:10+02:00"),
              Binary::localDate(2021, 5, 3, 14, 22, 10));
    EXPECT_EQ(EXIF::parseDate("  2100:12:31  23:59:59"),
              Binary::localDate(2100, 12, 31, 23, 59, 59));
    for (const char* bad :
         {"1979:12:31 10:00:00", "2021:13:01 10:00:00", "2101:01:01 00:00:00",
          "2021:05:00 10:00:00", "2021:05:03 24:00:00", "2021:05:03 10:60:00",
          "2021:05:03 10:00:60", "2021:05:03 10:00", "2021:05:03 1x:00:00",
          "    :  :     :  :  ", "", "2021:05:03 10:00:x1", "99999999999999:05:03 10:00:00"})
        EXPECT_FALSE(EXIF::parseDate(bad)) << bad;
}

TEST(EXIFSummary, DateSourcesInOrder) {
    const auto summary = [](const std::vector<Tag>& first, const std::vector<Tag>& sub) {
        return EXIF::summaryInTIFF(CarveFixtures::tiff(false, first, sub));
    };
    const auto taken = Binary::localDate(2021, 5, 3, 14, 22, 10);
    const auto digitised = Binary::localDate(2021, 5, 4, 0, 0, 0);
    const auto changed = Binary::localDate(2022, 1, 1, 0, 0, 0);
    EXPECT_EQ(summary({{0x0132, "2022:01:01 00:00:00"}},
                      {{0x9004, "2021:05:04 00:00:00"}, {0x9003, "2021:05:03 14:22:10"}})
                  ->date,
              taken);
    EXPECT_EQ(summary({{0x0132, "2022:01:01 00:00:00"}},
                      {{0x9003, "2021:13:03 14:22:10"}, {0x9004, "2021:05:04 00:00:00"}})
                  ->date,
              digitised);
    EXPECT_EQ(summary({{0x0132, "2022:01:01 00:00:00"}}, {{0x9003, "garbage"}})->date, changed);
    // A bad date leaves the date empty; the camera still makes a summary.
    const auto badDate = summary({{0x010F, "Canon"}}, {{0x9003, "1979:12:31 10:00:00"}});
    ASSERT_TRUE(badDate);
    EXPECT_FALSE(badDate->date);
    EXPECT_EQ(badDate->make, "Canon");
    EXPECT_FALSE(summary({{0x0131, "Some software"}}, {}));
}

TEST(EXIFSummary, HeadersAndMagicNumbers) {
    auto data = CarveFixtures::tiff(true, {{0x0110, "X-T4"}});
    for (const std::uint16_t magic : {42, 0x55, 0x4F52, 0x5352}) {
        data[2] = static_cast<std::uint8_t>(magic);
        data[3] = static_cast<std::uint8_t>(magic >> 8);
        EXPECT_EQ(EXIF::summaryInTIFF(data)->model, "X-T4") << magic;
    }
    data[2] = 43;
    data[3] = 0;
    EXPECT_FALSE(EXIF::summaryInTIFF(data));

    const auto tiff = CarveFixtures::tiff(true, {{0x010F, "FUJIFILM"}});
    Bytes app1 = bytesOf("Exif");
    app1.insert(app1.end(), {0, 0});
    app1.insert(app1.end(), tiff.begin(), tiff.end());
    EXPECT_EQ(EXIF::summaryInAPP1(app1)->make, "FUJIFILM");
    app1[4] = 1;
    EXPECT_FALSE(EXIF::summaryInAPP1(app1));
    EXPECT_FALSE(EXIF::summaryInAPP1(Bytes{'E', 'x', 'i', 'f', 0, 0, 'I', 'I', 42, 0, 8, 0, 0, 0}));
    EXPECT_FALSE(EXIF::summaryInAPP1({}));
}

TEST(EXIFSummary, DeviceLabel) {
    const auto device = [](std::optional<std::string> make, std::optional<std::string> model) {
        EXIF::Summary s;
        s.make = std::move(make);
        s.model = std::move(model);
        return s.device();
    };
    EXPECT_EQ(device("NIKON CORPORATION", "NIKON D850"), "NIKON D850");
    EXPECT_EQ(device("FUJIFILM", "X-T4"), "Fujifilm X-T4");
    EXPECT_EQ(device("OM Digital Solutions", "OM-1"), "OM System OM-1");
    EXPECT_EQ(device("Apple", "iPhone 12"), "Apple iPhone 12");
    EXPECT_EQ(device("Canon", "Canon EOS R5"), "Canon EOS R5");
    EXPECT_EQ(device("Acme Cams", "Acme Cams Z1"), "Acme Cams Z1");
    EXPECT_EQ(device("Acme", "Z1"), "Acme Z1");
    EXPECT_EQ(device(std::nullopt, "Z1"), "Z1");
    EXPECT_EQ(device("SONY", std::nullopt), "Sony");
    EXPECT_FALSE(device(std::nullopt, std::nullopt));
}

TEST(CameraNames, PatternAndCharacterWidths) {
    EXPECT_EQ(CameraNames::find(bytesOf("DSCF0042.raf"), false), "DSCF0042.RAF");
    EXPECT_EQ(CameraNames::find(bytesOf("..DSCF12.JPG DSCF9999.Mov.."), false), "DSCF9999.MOV");
    EXPECT_FALSE(CameraNames::find(bytesOf("DSCF0042.TXT"), false));
    EXPECT_FALSE(CameraNames::find(bytesOf("DSCF0042.JP"), false));
    EXPECT_FALSE(CameraNames::find(bytesOf("dscf0042.jpg"), false));
    EXPECT_FALSE(CameraNames::find(bytesOf("DSCF0x42.jpg"), false));

    Bytes wide;
    for (const char c : std::string_view("DSCF0042.JPG")) {
        wide.push_back(static_cast<std::uint8_t>(c));
        wide.push_back(0);
    }
    EXPECT_EQ(CameraNames::find(wide, true), "DSCF0042.JPG");
    EXPECT_FALSE(CameraNames::find(wide, false));
    EXPECT_FALSE(CameraNames::find(ByteSpan(wide).first(23), true));
    wide[wide.size() - 1] = 0x01; // a character outside one byte
    EXPECT_FALSE(CameraNames::find(wide, true));
    Bytes odd = {0};
    odd.insert(odd.end(), wide.begin(), wide.end() - 1); // names only at even offsets
    EXPECT_FALSE(CameraNames::find(odd, true));
}

} // namespace
} // namespace vellary
