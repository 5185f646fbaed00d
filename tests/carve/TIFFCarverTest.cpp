// TIFF structures: the raw carver's directory walk and the EXIF reading that every photo carver
// shares. Real TIFFs and the maker layouts go through CarverContractTest.
#include "core/carve/CameraNames.hpp"
#include "core/carve/EXIF.hpp"
#include "core/carve/TIFFBytes.hpp"
#include "core/carve/TIFFRawCarver.hpp"
#include "core/io/DataBlockReader.hpp"
#include "tests/support/ByteWriters.hpp"
#include "tests/support/CarveFixtures.hpp"
#include "tests/support/RawFixtures.hpp"

#include <gtest/gtest.h>

#include <algorithm>

namespace vellary {
namespace {

using testing::CarveFixtures;
using testing::RawFixtures;
using B = testing::TIFFBuilder;
using F = CarveFixtures;

const TIFFRawCarver carver;

Bytes header(std::string_view magic, std::uint32_t first, bool little = true) {
    Bytes out(magic.begin(), magic.end());
    testing::appendEndian(out, first, 4, little);
    out.resize(16, 0);
    return out;
}

// A one-strip image directory over a blob, as the first directory.
Bytes plainTIFF(bool little, std::vector<B::Field> extra = {}) {
    B b(little);
    const auto strip = b.blob(RawFixtures::sensor(4000, 8));
    extra.insert(extra.end(), {B::longs(0x0100, {40}), B::longs(0x0101, {25}),
                               B::longs(0x0111, {strip}), B::longs(0x0117, {4000})});
    b.setFirst(b.directory(extra));
    return b.data();
}

TEST(TIFFRawCarver, SniffsTheHeaderVariants) {
    const auto tiff = header(std::string_view("II*\0", 4), 8);
    const auto cr2 = F::patched(header(std::string_view("II*\0", 4), 16), 8, 0x0252'43, 3);
    const std::pair<Bytes, std::optional<FileKind>> cases[] = {
        {cr2, FileKind::cr2},
        {header("IIRS", 8), FileKind::orf},
        {header("MMOR", 8, false), FileKind::orf},
        {header(std::string_view("II*\0", 4), 7), std::nullopt},
        {header(std::string_view("II*\0", 4), 419'430'400), std::nullopt},
        {header(std::string_view("II*\0", 4), 419'430'399), FileKind::tiff},
        {header(std::string_view("MM*\0", 4), 8, false), std::nullopt},
        {header("IIXX", 8), std::nullopt},
        {Bytes(tiff.begin(), tiff.begin() + 15), std::nullopt}};
    for (const auto& [bytes, kind] : cases)
        EXPECT_EQ(carver.sniff(bytes), kind) << bytes.size();
}

TEST(TIFFRawCarver, MakerPreviewsAndKindFallback) {
    for (const auto& raw : {RawFixtures::cr2(), RawFixtures::nef(), RawFixtures::arw(),
                            RawFixtures::dng(), RawFixtures::rw2(140, 100, 8192, true)}) {
        const auto layout = TIFFRawCarver::layout(DataBlockReader(raw.data), 0, std::nullopt, true);
        ASSERT_TRUE(layout);
        auto previews = layout->previews;
        auto expected = raw.previews;
        const auto byOffset = [](const ByteRange& a, const ByteRange& b) {
            return a.offset < b.offset;
        };
        std::sort(previews.begin(), previews.end(), byOffset);
        std::sort(expected.begin(), expected.end(), byOffset);
        EXPECT_EQ(previews, expected) << fileKind::rawValue(layout->kind);
    }
    // A NEF without its make, a maker TIFF without sensor data (a scan) and an unknown maker's
    // sensor data are only TIFFs.
    for (const auto& file :
         {RawFixtures::nef(false).data, plainTIFF(true, {B::ascii(0x010F, "NIKON CORPORATION")}),
          plainTIFF(true, {B::ascii(0x010F, "Hasselblad"), B::shorts(0x0106, {32803})})})
        EXPECT_EQ(F::carve(carver, file).value().kind, FileKind::tiff);
}

TEST(TIFFRawCarver, DirectoriesAndStrips) {
    const auto noise = F::noise(5000, 21);
    B dirFirst(true); // directory first, strip last: the strip's end counts
    dirFirst.setFirst(dirFirst.directory({B::longs(0x0100, {8}), B::longs(0x0101, {8}),
                                          B::longs(0x0111, {4096}), B::longs(0x0117, {3000})}));
    auto stripLast = dirFirst.data();
    stripLast.resize(4096 + 3000, 0x33);

    auto badType = plainTIFF(true, {B::longs(0x0100, {1})});
    const std::size_t first = badType[4] | (badType[5] << 8); // the strip comes first
    badType[first + 2 + 2] = 0;                               // the first entry's type
    auto farValue = plainTIFF(true, {B::ascii(0x010E, "a description")});
    for (std::size_t at = first + 2; at + 12 <= farValue.size(); at += 12)
        if (farValue[at] == 0x0E && farValue[at + 1] == 0x01) {
            farValue = F::patched(farValue, at + 8, farValue.size(), 2);
            break;
        }
    const auto big = plainTIFF(false);
    const std::size_t countValue = first + 2 + 3 * 12 + 8; // the strip count, inline
    B noData(true);
    noData.setFirst(noData.directory(
        {B::longs(0x0100, {1}), B::longs(0x0101, {1}), B::ascii(0x010F, "Canon")}));

    // A sub-directory with mismatched lists or a far value is skipped, not fatal; one whose
    // strip runs past the source still rejects the file.
    B forgiving(true);
    const auto s = forgiving.blob(RawFixtures::sensor(700, 2));
    const auto sub = forgiving.directory(
        {B::longs(0x0111, {s, s}), B::longs(0x0117, {700}), B::opaque(0x927C, 100, 0x7FFFFFF0)});
    const auto lenientStrip = forgiving.blob(RawFixtures::sensor(300, 3));
    forgiving.setFirst(
        forgiving.directory({B::longs(0x0100, {1}), B::longs(0x014A, {sub}),
                             B::longs(0x0111, {lenientStrip}), B::longs(0x0117, {300})}));
    const auto lenient = forgiving.data();
    B pastSub(true);
    const auto past = pastSub.directory({B::longs(0x0111, {64}), B::longs(0x0117, {1'000'000})});
    const auto strip2 = pastSub.blob(RawFixtures::sensor(300, 3));
    pastSub.setFirst(pastSub.directory({B::longs(0x0100, {1}), B::longs(0x014A, {past}),
                                        B::longs(0x0111, {strip2}), B::longs(0x0117, {300})}));

    B looped(true);
    const auto strip = looped.blob(RawFixtures::sensor(300, 4));
    const auto ifd0 = looped.directory(
        {B::longs(0x0100, {1}), B::longs(0x0111, {strip}), B::longs(0x0117, {300})});
    looped.setNext(ifd0, looped.directory({B::longs(0x0100, {1})}, ifd0));
    looped.setFirst(ifd0);
    // Seventy chained directories, each after its own strip: only 64 are read.
    B chain(true);
    std::vector<std::uint32_t> directories;
    for (int i = 0; i < 70; ++i) {
        const auto at = chain.blob(RawFixtures::sensor(100, 5));
        directories.push_back(chain.directory(
            {B::longs(0x0100, {1}), B::longs(0x0111, {at}), B::longs(0x0117, {100})}));
        if (i > 0) chain.setNext(directories[i - 1], directories[i]);
    }
    chain.setFirst(directories[0]);

    B two(true); // too few entries for a first directory
    const auto twoStrip = two.blob(RawFixtures::sensor(500, 1));
    two.setFirst(two.directory({B::longs(0x0111, {twoStrip}), B::longs(0x0117, {500})}));
    B mismatch(true);
    const auto m = mismatch.blob(RawFixtures::sensor(500, 1));
    mismatch.setFirst(mismatch.directory(
        {B::longs(0x0100, {1}), B::longs(0x0111, {m, m + 100}), B::longs(0x0117, {100})}));

    F::expectCases(
        carver,
        {{"strip first, directory last", F::join({plainTIFF(true), noise}), plainTIFF(true).size()},
         {"big-endian", F::join({big, noise}), big.size()},
         {"directory first, strip last", F::join({stripLast, noise}), stripLast.size()},
         {"two entries", two.data(), {}},
         {"unknown entry type", badType, {}},
         {"offsets and counts of different lengths", mismatch.data(), {}},
         {"value past the source", farValue, {}},
         {"no image data", noData.data(), {}},
         {"strip length 0x7F...", F::patched(big, countValue, 0x7F), {}},
         {"strip length 0xFF...", F::patched(big, countValue, 0xFF), {}},
         {"lenient sub-directory", F::join({lenient, noise}), lenient.size()},
         {"sub-directory strip past the source", pastSub.data(), {}},
         {"a loop", looped.data(), looped.data().size()},
         {"seventy directories", chain.data(), directories[63] + 2 + 3 * 12 + 4},
         {"ten bytes", Bytes(10, 'I'), {}, true, 0, FileKind::tiff}});
}

TEST(TIFFRawCarver, PanasonicSensorEndIsSearchedWhenNotRecorded) {
    const auto raw = RawFixtures::rw2(140, 100, 8192, false).data;
    const std::uint64_t estimated = 8192 + (14'000 + 13) / 14 * 16; // 24,192
    const auto sector = [](std::uint64_t n) { return (n + 511) / 512 * 512; };
    Bytes blank = F::join({Bytes(1024, 0x22), raw});
    blank.resize(blank.size() + 4096, 0);
    Bytes nextFile = raw;
    nextFile.resize(sector(estimated) + 1024, 0x5A);
    const auto next = nextFile.size();
    nextFile = F::join({nextFile, CarveFixtures::jpeg(2000), Bytes(2'000'000, 0x5A)});
    // 24,000,000 twelve-bit pixels, 14 to a 16-byte block: 27,428,576 bytes. The start is chosen
    // so that the estimate ends on a sector boundary, where a blank sector follows.
    auto large = RawFixtures::rw2(6000, 4000, 4384, false).data;
    ASSERT_EQ(large.size(), 4384 + 27'428'576U);
    large.resize(large.size() + 512, 0);
    const auto toEnd = F::join({raw, F::noise(100'000, 24)});
    F::expectCases(
        carver,
        {{"blank space after", blank, sector(1024 + estimated) - 1024, true, 1024},
         {"another file two sectors on", nextFile, next},
         {"noise past the window: the estimate, incomplete",
          F::join({raw, F::noise(8192 + 2 * 14'000 + 1'048'576 + 4096, 23)}), estimated, false},
         {"noise to the end of the source", toEnd, toEnd.size()},
         {"estimate past the source", Bytes(raw.begin(), raw.begin() + estimated - 1), {}},
         {"six by four thousand", large, 4384 + 27'428'576U}});
}

TEST(TIFFBytes, HeaderEntriesAndStrings) {
    EXPECT_FALSE(TIFFBytes::make(F::text(std::string_view("II*\0\x08\0\0", 7))));
    EXPECT_FALSE(TIFFBytes::make(F::text(std::string_view("IM*\0\x08\0\0\0", 8))));
    const auto big = TIFFBytes::make(Bytes{'M', 'M', 0, 42, 0, 0, 0, 8});
    EXPECT_FALSE(big.value().u16(7));
    EXPECT_FALSE(big->u32(-1));

    for (const bool little : {true, false}) {
        auto data = F::tiff(little, {{0x010F, "Make"}, {0x0110, "Model X"}, {0x0132, "2020"}});
        const auto full = TIFFBytes::make(data);
        const auto entries = full->entries(8);
        ASSERT_EQ(entries.size(), 3u);
        EXPECT_EQ(entries[1].count, 8u);
        data.resize(8 + 2 + 12 * 2 + 11); // cut inside the third entry: the first two stay
        EXPECT_EQ(TIFFBytes::make(data)->entries(8).size(), 2u);
        EXPECT_TRUE(full->entries(-4).empty());
        EXPECT_TRUE(full->entries(static_cast<std::int64_t>(data.size()) + 100).empty());
    }
    Bytes many = {'I', 'I', 42, 0, 8, 0, 0, 0, 0xE8, 0x03}; // 1000 entries
    many.resize(20000, 0);
    EXPECT_TRUE(TIFFBytes::make(many)->entries(8).empty());
    EXPECT_EQ(TIFFBytes::make(F::patched(many, 8, 0xE7))->entries(8).size(), 999u);

    const std::vector<std::pair<std::string, std::optional<std::string>>> strings = {
        {"abc", "abc"},
        {"  Long value \n", "Long value"},
        {"   ", std::nullopt},
        {"caf\xC3\xA9", "caf\xC3\xA9"},
        {"bad\xFF\xC3", "bad\xEF\xBF\xBD\xEF\xBF\xBD"},
        {std::string("x\0y", 3), "x"},
        {"\u3000Wide\u00A0\r\n", "Wide"}};
    std::vector<F::Tag> tags;
    for (const auto& [raw, _] : strings)
        tags.push_back({static_cast<std::uint16_t>(tags.size() + 1), raw});
    const auto tiff = TIFFBytes::make(F::tiff(true, tags));
    const auto entries = tiff->entries(8);
    ASSERT_EQ(entries.size(), strings.size());
    for (std::size_t i = 0; i < strings.size(); ++i)
        EXPECT_EQ(tiff->string(entries[i]), strings[i].second) << i;
    for (const auto& [type, count] : {std::pair{7, 15u}, {2, 0u}, {2, 0xFFFFFFFFu}}) {
        auto entry = entries[1];
        entry.type = static_cast<std::uint16_t>(type);
        entry.count = count;
        EXPECT_FALSE(tiff->string(entry)) << type << " " << count;
    }
}

TEST(EXIF, DatesSummariesAndDevices) {
    EXPECT_EQ(EXIF::parseDate("2021-05-03T14:22:10Z"), Binary::localDate(2021, 5, 3, 14, 22, 10));
    EXPECT_EQ(EXIF::parseDate("2021:05:03 14:22:10.25"), Binary::localDate(2021, 5, 3, 14, 22, 10));
    EXPECT_EQ(EXIF::parseDate("2021-05-03T14:22:10+02:00"),
              Binary::localDate(2021, 5, 3, 14, 22, 10));
    EXPECT_EQ(EXIF::parseDate("  2100:12:31  23:59:59"),
              Binary::localDate(2100, 12, 31, 23, 59, 59));
    for (const char* bad : {"1979:12:31 10:00:00", "2021:13:01 10:00:00", "2101:01:01 00:00:00",
                            "2021:05:00 10:00:00", "2021:05:03 24:00:00", "2021:05:03 10:60:00",
                            "2021:05:03 10:00:60", "2021:05:03 10:00", "2021:05:03 1x:00:00",
                            "99999999999999:05:03 10:00:00"})
        EXPECT_FALSE(EXIF::parseDate(bad)) << bad;

    // Taken, then digitised, then changed; a bad date leaves the camera's summary undated.
    const auto summary = [](const std::vector<F::Tag>& first, const std::vector<F::Tag>& sub) {
        return EXIF::summaryInTIFF(F::tiff(false, first, sub));
    };
    const F::Tag changed = {0x0132, "2022:01:01 00:00:00"},
                 digitised = {0x9004, "2021:05:04 00:00:00"};
    EXPECT_EQ(summary({changed}, {digitised, {0x9003, "2021:05:03 14:22:10"}})->date,
              Binary::localDate(2021, 5, 3, 14, 22, 10));
    EXPECT_EQ(summary({changed}, {{0x9003, "2021:13:03 14:22:10"}, digitised})->date,
              Binary::localDate(2021, 5, 4, 0, 0, 0));
    EXPECT_EQ(summary({changed}, {{0x9003, "garbage"}})->date,
              Binary::localDate(2022, 1, 1, 0, 0, 0));
    const auto badDate = summary({{0x010F, "Canon"}}, {{0x9003, "1979:12:31 10:00:00"}});
    EXPECT_FALSE(badDate.value().date);
    EXPECT_EQ(badDate->make, "Canon");
    EXPECT_FALSE(summary({{0x0131, "Some software"}}, {}));

    auto data = F::tiff(true, {{0x0110, "X-T4"}});
    for (const std::uint16_t magic : {42, 0x55, 0x4F52, 0x5352})
        EXPECT_EQ(EXIF::summaryInTIFF(F::patched(data, 2, magic, 2))->model, "X-T4") << magic;
    EXPECT_FALSE(EXIF::summaryInTIFF(F::patched(data, 2, 43, 2)));
    const auto app1 =
        F::join({F::text(std::string_view("Exif\0\0", 6)), F::tiff(true, {{0x010F, "FUJIFILM"}})});
    EXPECT_EQ(EXIF::summaryInAPP1(app1)->make, "FUJIFILM");
    EXPECT_FALSE(EXIF::summaryInAPP1(F::patched(app1, 4, 1)));
    EXPECT_FALSE(EXIF::summaryInAPP1(Bytes{'E', 'x', 'i', 'f', 0, 0, 'I', 'I', 42, 0, 8, 0, 0, 0}));
    EXPECT_FALSE(EXIF::summaryInAPP1({}));
}

TEST(CameraNames, PatternAndCharacterWidths) {
    EXPECT_EQ(CameraNames::find(F::text("DSCF0042.raf"), false), "DSCF0042.RAF");
    EXPECT_EQ(CameraNames::find(F::text("..DSCF12.JPG DSCF9999.Mov.."), false), "DSCF9999.MOV");
    for (const char* bad : {"DSCF0042.TXT", "DSCF0042.JP", "dscf0042.jpg", "DSCF0x42.jpg"})
        EXPECT_FALSE(CameraNames::find(F::text(bad), false)) << bad;
    Bytes wide;
    for (const char c : std::string_view("DSCF0042.JPG"))
        wide.insert(wide.end(), {static_cast<std::uint8_t>(c), 0});
    EXPECT_EQ(CameraNames::find(wide, true), "DSCF0042.JPG");
    EXPECT_FALSE(CameraNames::find(wide, false));
    EXPECT_FALSE(CameraNames::find(ByteSpan(wide).first(23), true));
    EXPECT_FALSE(CameraNames::find(F::patched(wide, wide.size() - 1, 1), true));
    EXPECT_FALSE(CameraNames::find(F::join({{0}, Bytes(wide.begin(), wide.end() - 1)}), true));
}

} // namespace
} // namespace vellary
