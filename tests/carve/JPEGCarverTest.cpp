#include "core/carve/JPEGCarver.hpp"
#include "core/carve/Carver.hpp"
#include "core/io/DataBlockReader.hpp"
#include "tests/support/CarveFixtures.hpp"

#include <gtest/gtest.h>

namespace vellary {
namespace {

using testing::CarveFixtures;
using testing::TempDir;

Bytes bytesOf(std::string_view text) {
    return Bytes(text.begin(), text.end());
}

Bytes cat(std::initializer_list<Bytes> parts) {
    Bytes out;
    for (const auto& p : parts)
        out.insert(out.end(), p.begin(), p.end());
    return out;
}

// The file embedded among noise at a small unaligned offset, measured there.
std::optional<JPEGCarver::Parsed> measureInNoise(const Bytes& jpeg,
                                                 std::optional<std::uint64_t> limit = {}) {
    auto image = CarveFixtures::noise(jpeg.size() + 8192, 9);
    CarveFixtures::place(image, 777, jpeg);
    return JPEGCarver::measure(DataBlockReader(image), 777, limit);
}

std::optional<std::string> hintOf(const Bytes& jpeg) {
    const auto parsed = measureInNoise(jpeg);
    if (!parsed) return "(not measured)";
    return parsed->nameHint;
}

std::optional<JPEGCarver::Parsed> measureAlone(const Bytes& jpeg) {
    return JPEGCarver::measure(DataBlockReader(jpeg), 0);
}

#define REQUIRE_ENCODED(value)                                                                     \
    if (!(value)) GTEST_SKIP() << "cjpeg (libjpeg-turbo-progs) is not installed"

TEST(JPEGSniff, SignatureTable) {
    const JPEGCarver carver;
    for (const std::uint8_t fourth : {0xE0, 0xE1, 0xEF, 0xC0, 0xC4, 0xDB, 0xFE})
        EXPECT_EQ(carver.sniff(Bytes{0xFF, 0xD8, 0xFF, fourth}), FileKind::jpeg) << int(fourth);
    for (const std::uint8_t fourth : {0xC2, 0xD9, 0xDA, 0x00})
        EXPECT_FALSE(carver.sniff(Bytes{0xFF, 0xD8, 0xFF, fourth})) << int(fourth);
    EXPECT_FALSE(carver.sniff(Bytes{0xFF, 0xD8, 0xFF}));
    EXPECT_FALSE(carver.sniff(Bytes{0xFF, 0xD9, 0xFF, 0xE0}));
}

TEST(JPEGMeasure, RealEncoderOutputBaselineAndProgressive) {
    TempDir dir;
    for (const bool progressive : {false, true}) {
        const auto jpeg = CarveFixtures::encoded(dir, 320, 240, progressive, progressive ? 2 : 1);
        REQUIRE_ENCODED(jpeg);
        const auto parsed = measureInNoise(*jpeg);
        ASSERT_TRUE(parsed) << progressive;
        EXPECT_EQ(parsed->size, jpeg->size()) << progressive;
        EXPECT_FALSE(parsed->exif);
        EXPECT_FALSE(parsed->nameHint);
    }
}

TEST(JPEGMeasure, ExiftoolDateAndCameraWithAThumbnailInside) {
    TempDir dir;
    const auto thumb = CarveFixtures::encoded(dir, 64, 48, false, 3);
    const auto photo = CarveFixtures::encoded(dir, 400, 300, false, 4);
    REQUIRE_ENCODED(thumb && photo);
    testing::writeFile(dir / "thumb.jpg", std::string(thumb->begin(), thumb->end()));
    const auto tagged =
        CarveFixtures::tagged(dir, *photo,
                              "-DateTimeOriginal='2021:05:03 14:22:59' -Make=FUJIFILM -Model=X-T4 "
                              "'-ThumbnailImage<=" +
                                  (dir / "thumb.jpg").string() + "'");
    if (!tagged) GTEST_SKIP() << "exiftool (libimage-exiftool-perl) is not installed";
    const auto parsed = measureInNoise(*tagged);
    ASSERT_TRUE(parsed);
    EXPECT_EQ(parsed->size, tagged->size()); // the thumbnail's end marker is not the file's
    ASSERT_TRUE(parsed->exif);
    EXPECT_EQ(parsed->exif->date, Binary::localDate(2021, 5, 3, 14, 22, 59));
    EXPECT_EQ(parsed->exif->make, "FUJIFILM");
    EXPECT_EQ(parsed->exif->device(), "Fujifilm X-T4");
}

TEST(JPEGMeasure, MPFSecondaryImageIsCovered) {
    TempDir dir;
    const auto primary = CarveFixtures::encoded(dir, 320, 240, false, 5);
    const auto secondary = CarveFixtures::encoded(dir, 160, 120, false, 6);
    REQUIRE_ENCODED(primary && secondary);
    const auto both = CarveFixtures::withMPF(*primary, *secondary);
    if (testing::haveTool("exiftool")) {
        testing::writeFile(dir / "mpf.jpg", std::string(both.begin(), both.end()));
        EXPECT_NE(
            testing::capture("exiftool -s -MPImageLength '" + (dir / "mpf.jpg").string() + "'")
                .find(std::to_string(secondary->size())),
            std::string::npos)
            << "exiftool does not read the fixture's MPF index";
    }
    const auto parsed = measureInNoise(both);
    ASSERT_TRUE(parsed);
    EXPECT_EQ(parsed->size, both.size());

    // Beyond the limit only the primary image counts.
    const auto primaryEnd = both.size() - secondary->size();
    const auto limited = measureInNoise(both, primaryEnd + 100);
    ASSERT_TRUE(limited);
    EXPECT_EQ(limited->size, primaryEnd);

    // An entry that does not point at FF D8 is ignored.
    auto broken = both;
    broken[primaryEnd + 1] = 0x00;
    const auto ignored = measureInNoise(broken);
    ASSERT_TRUE(ignored);
    EXPECT_EQ(ignored->size, primaryEnd);
}

TEST(JPEGMeasure, TruncatedRealFileIsNotCarved) {
    TempDir dir;
    const auto jpeg = CarveFixtures::encoded(dir, 320, 240, true, 7);
    REQUIRE_ENCODED(jpeg);
    for (const std::size_t cut :
         {std::size_t{1}, std::size_t{2}, jpeg->size() / 2, std::size_t{400}}) {
        const Bytes truncated(jpeg->begin(), jpeg->end() - static_cast<std::ptrdiff_t>(cut));
        EXPECT_FALSE(measureAlone(truncated)) << cut;
    }
    EXPECT_FALSE(measureInNoise(*jpeg, jpeg->size() - 1)); // the limit passes before FF D9
    EXPECT_TRUE(measureInNoise(*jpeg, jpeg->size()));
}

TEST(JPEGMeasure, EntropyDataWithStuffingRestartsAndSegmentsBetweenScans) {
    CarveFixtures::JPEGParts parts;
    // Stuffed FF 00, a restart marker, fill bytes, then a DHT between scans whose payload holds
    // FF D9, and a second scan header.
    parts.entropy = {0x01, 0xFF, 0x00, 0x02, 0xFF, 0xD3, 0x03, 0xFF, 0xFF, 0x00, 0x04, 0xFF,
                     0xC4, 0x00, 0x04, 0xFF, 0xD9, 0xFF, 0xDA, 0x00, 0x03, 0x01, 0x05};
    const auto jpeg = CarveFixtures::jpeg(parts);
    const auto parsed = measureInNoise(jpeg);
    ASSERT_TRUE(parsed);
    EXPECT_EQ(parsed->size, jpeg.size());
}

TEST(JPEGMeasure, MalformedStructuresGiveNothing) {
    CarveFixtures::JPEGParts noFrame;
    noFrame.frame = false;
    EXPECT_FALSE(measureInNoise(CarveFixtures::jpeg(noFrame)));

    CarveFixtures::JPEGParts noEnd;
    noEnd.endMarker = false;
    EXPECT_FALSE(measureAlone(CarveFixtures::jpeg(noEnd)));

    CarveFixtures::JPEGParts newImage;
    newImage.entropy = {0x01, 0xFF, 0xD8, 0x02};
    EXPECT_FALSE(measureInNoise(CarveFixtures::jpeg(newImage)));

    for (const std::uint16_t badLength : {0, 1}) {
        auto jpeg = CarveFixtures::jpeg();
        jpeg[4] = 0;
        jpeg[5] = static_cast<std::uint8_t>(badLength); // the DQT segment's length
        EXPECT_FALSE(measureInNoise(jpeg)) << badLength;
    }
    auto hugeLength = CarveFixtures::jpeg();
    hugeLength[4] = 0xFF;
    hugeLength[5] = 0xFF;
    EXPECT_FALSE(measureAlone(hugeLength));

    auto notMarker = CarveFixtures::jpeg();
    notMarker[2] = 0x00;
    EXPECT_FALSE(measureInNoise(notMarker));

    CarveFixtures::JPEGParts earlyEnd;
    earlyEnd.before = {{0xFF, 0xD9}};
    EXPECT_FALSE(measureInNoise(CarveFixtures::jpeg(earlyEnd)));

    // Fill bytes before a marker and a standalone marker are fine.
    CarveFixtures::JPEGParts fill;
    fill.before = {{0xFF, 0xFF, 0xFF, 0x01}};
    EXPECT_TRUE(measureInNoise(CarveFixtures::jpeg(fill)));

    EXPECT_FALSE(measureAlone({0xFF, 0xD8}));
    EXPECT_FALSE(measureAlone({}));
}

TEST(JPEGMeasure, SmallestFileIsThirtyTwoBytes) {
    for (const std::size_t size : {31u, 32u}) {
        Bytes jpeg = {0xFF, 0xD8, 0xFF, 0xC0, 0x00, 0x02, 0xFF, 0xDA, 0x00, 0x02};
        jpeg.resize(size - 2, 0x11);
        jpeg.push_back(0xFF);
        jpeg.push_back(0xD9);
        EXPECT_EQ(measureInNoise(jpeg).has_value(), size == 32) << size;
    }
}

TEST(JPEGMeasure, CameraFileNameFromSegments) {
    const auto makerNote = [](std::string_view text) {
        return CarveFixtures::segment(
            0xE1,
            cat({bytesOf("Exif"), Bytes{0, 0}, bytesOf("MM..junk.."), bytesOf(text), Bytes(8, 0)}));
    };
    CarveFixtures::JPEGParts parts;
    parts.before = {makerNote("xxDSCF0042.raf")};
    EXPECT_EQ(hintOf(CarveFixtures::jpeg(parts)), "DSCF0042.RAF");
    parts.before = {makerNote("DSCF0042.TXT")};
    EXPECT_FALSE(hintOf(CarveFixtures::jpeg(parts)));

    Bytes wide;
    for (const char c : std::string_view("  DSCF0007.hif")) {
        wide.push_back(static_cast<std::uint8_t>(c));
        wide.push_back(0);
    }
    parts.before = {CarveFixtures::segment(0xFE, wide)};
    EXPECT_EQ(hintOf(CarveFixtures::jpeg(parts)), "DSCF0007.HIF");
    // The first segment that yields a name wins.
    parts.before = {makerNote("DSCF0001.JPG"),
                    CarveFixtures::segment(0xE5, bytesOf("DSCF0002.JPG"))};
    EXPECT_EQ(hintOf(CarveFixtures::jpeg(parts)), "DSCF0001.JPG");
}

TEST(JPEGCarve, CarvedFieldsFromTheMeasurement) {
    CarveFixtures::JPEGParts parts;
    parts.before = {CarveFixtures::exifSegment(
        CarveFixtures::tiff(false, {{0x010F, "NIKON CORPORATION"}, {0x0110, "NIKON D850"}},
                            {{0x9003, "2021:05:03 14:22:10"}}))};
    const auto jpeg = CarveFixtures::jpeg(parts);
    const DataBlockReader reader(jpeg);
    const auto carved = JPEGCarver().carve(reader, 0, FileKind::jpeg);
    ASSERT_TRUE(carved);
    EXPECT_EQ(carved->kind, FileKind::jpeg);
    EXPECT_EQ(carved->size, jpeg.size());
    EXPECT_EQ(carved->modified, Binary::localDate(2021, 5, 3, 14, 22, 10));
    EXPECT_EQ(carved->device, "NIKON D850");
    EXPECT_TRUE(carved->complete);
}

// Real JPEGs at aligned offsets among random bytes: the deep scan and the command line list
// each with its exact size, date and camera.
TEST(JPEGDeepScan, RealPhotosAmongNoise) {
    TempDir dir;
    struct Shot {
        const char* date;
        const char* make;
        const char* model;
        bool progressive;
    };
    const Shot shots[] = {{"2021:05:03 14:22:10", "FUJIFILM", "X-T4", false},
                          {"2022:11:30 08:01:02", "NIKON CORPORATION", "NIKON Z 6", true},
                          {"2019:01:01 00:00:00", "Canon", "Canon EOS R5", false}};
    const char* expectedNames[] = {"2021-05-03 14.22.10.jpg", "2022-11-30 08.01.02.jpg",
                                   "2019-01-01 00.00.00.jpg"};
    const char* expectedDevices[] = {"Fujifilm X-T4", "NIKON Z 6", "Canon EOS R5"};
    auto image = CarveFixtures::noise(4 * 1024 * 1024, 11);
    std::vector<std::pair<std::uint64_t, std::size_t>> placed;
    std::uint64_t at = 3 * 512;
    unsigned seed = 20;
    for (const auto& shot : shots) {
        const auto jpeg = CarveFixtures::encoded(dir, 480, 320, shot.progressive, seed++);
        REQUIRE_ENCODED(jpeg);
        const auto tagged =
            CarveFixtures::tagged(dir, *jpeg,
                                  std::string("-DateTimeOriginal='") + shot.date +
                                      "' '-Make=" + shot.make + "' '-Model=" + shot.model + "'");
        if (!tagged) GTEST_SKIP() << "exiftool (libimage-exiftool-perl) is not installed";
        CarveFixtures::place(image, at, *tagged);
        placed.emplace_back(at, tagged->size());
        at = (at + tagged->size() + 4096) / 512 * 512 + 512 * seed;
    }
    // An untagged photo and a broken one (cut before its end) after them.
    const auto plain = CarveFixtures::encoded(dir, 200, 100, false, 40);
    REQUIRE_ENCODED(plain);
    CarveFixtures::place(image, at, *plain);
    placed.emplace_back(at, plain->size());
    at = (at + plain->size() + 511) / 512 * 512 + 1024;
    CarveFixtures::place(image, at, Bytes(plain->begin(), plain->begin() + 600));

    std::vector<RecoverableFile> sink;
    Carver::carve(DataBlockReader(image), {}, {}, 0, sink);
    ASSERT_EQ(sink.size(), 4u);
    for (std::size_t i = 0; i < 3; ++i) {
        EXPECT_EQ(sink[i].ranges.front().offset, placed[i].first);
        EXPECT_EQ(sink[i].size, placed[i].second);
        EXPECT_EQ(sink[i].name, expectedNames[i]);
        EXPECT_EQ(sink[i].device, expectedDevices[i]);
        EXPECT_TRUE(sink[i].modified);
    }
    EXPECT_EQ(sink[3].name, "Photo 0001.jpg");
    EXPECT_EQ(sink[3].size, placed[3].second);

    const auto path = dir / "card.img";
    testing::writeFile(path, std::string(image.begin(), image.end()));
    const auto listing =
        testing::capture(std::string(VELLARY_CLI) + " scan --deep '" + path.string() + "'");
    for (const auto* name : expectedNames)
        EXPECT_NE(listing.find(name), std::string::npos) << listing;
    EXPECT_NE(listing.find("Photo 0001.jpg"), std::string::npos) << listing;
}

} // namespace
} // namespace vellary
