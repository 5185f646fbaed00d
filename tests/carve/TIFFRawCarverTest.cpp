#include "core/carve/TIFFRawCarver.hpp"
#include "core/io/DataBlockReader.hpp"
#include "tests/support/ByteWriters.hpp"
#include "tests/support/CarveFixtures.hpp"
#include "tests/support/EncodedMedia.hpp"
#include "tests/support/RawFixtures.hpp"

#include <gtest/gtest.h>

#include <algorithm>

using namespace vellary;
using vellary::testing::appendEndian;
using vellary::testing::CarveFixtures;
using vellary::testing::EncodedMedia;
using vellary::testing::putLE;
using vellary::testing::RawFixtures;
using vellary::testing::TempDir;
using vellary::testing::TIFFBuilder;
using B = TIFFBuilder;

namespace {

const TIFFRawCarver carver;

std::optional<Carved> measure(const Bytes& data, std::uint64_t start = 0) {
    const auto head = ByteSpan(data).subspan(start, std::min<std::size_t>(32, data.size() - start));
    const auto kind = carver.sniff(head);
    if (!kind) return std::nullopt;
    return carver.carve(DataBlockReader(data), start, *kind);
}

Bytes followedByNoise(const Bytes& file, std::size_t noise = 5000) {
    Bytes data = file;
    const auto tail = CarveFixtures::noise(noise, 21);
    data.insert(data.end(), tail.begin(), tail.end());
    return data;
}

Bytes header(std::string_view magic, std::uint32_t first, bool little = true) {
    Bytes out(magic.begin(), magic.end());
    appendEndian(out, first, 4, little);
    out.resize(16, 0);
    return out;
}

// A one-strip image directory over a blob, as the first directory.
Bytes plainTIFF(bool little, std::vector<B::Field> extra = {}, std::size_t stripSize = 4000) {
    B b(little);
    const auto strip = b.blob(RawFixtures::sensor(stripSize, 8));
    std::vector<B::Field> fields = {B::longs(0x0100, {40}), B::longs(0x0101, {25}),
                                    B::longs(0x0111, {strip}),
                                    B::longs(0x0117, {static_cast<std::uint32_t>(stripSize)})};
    fields.insert(fields.end(), extra.begin(), extra.end());
    b.setFirst(b.directory(fields));
    return b.data();
}

} // namespace

TEST(TIFFRawCarver, SniffsTheHeaderVariants) {
    EXPECT_EQ(carver.sniff(header(std::string_view("II*\0", 4), 8)), FileKind::tiff);
    EXPECT_EQ(carver.sniff(header(std::string_view("MM\0*", 4), 8, false)), FileKind::tiff);
    auto cr2 = header(std::string_view("II*\0", 4), 16);
    cr2[8] = 'C';
    cr2[9] = 'R';
    cr2[10] = 2;
    EXPECT_EQ(carver.sniff(cr2), FileKind::cr2);
    EXPECT_EQ(carver.sniff(header("IIRO", 8)), FileKind::orf);
    EXPECT_EQ(carver.sniff(header("IIRS", 8)), FileKind::orf);
    EXPECT_EQ(carver.sniff(header("MMOR", 8, false)), FileKind::orf);
    EXPECT_EQ(carver.sniff(header(std::string_view("IIU\0", 4), 8)), FileKind::rw2);
    EXPECT_FALSE(carver.sniff(header(std::string_view("II*\0", 4), 7)));
    EXPECT_FALSE(carver.sniff(header(std::string_view("II*\0", 4), 419'430'400)));
    EXPECT_TRUE(carver.sniff(header(std::string_view("II*\0", 4), 419'430'399)));
    EXPECT_FALSE(carver.sniff(header(std::string_view("MM*\0", 4), 8, false)));
    EXPECT_FALSE(carver.sniff(header("IIXX", 8)));
    EXPECT_FALSE(carver.sniff(ByteSpan(header(std::string_view("II*\0", 4), 8)).first(15)));
    EXPECT_EQ(carver.leadBytes(), (std::vector<std::uint8_t>{0x49, 0x4D}));
}

struct MakerCase {
    const char* name;
    RawFixtures::Raw (*build)();
    FileKind kind;
    const char* device;
};

class TIFFRawMakers : public ::testing::TestWithParam<MakerCase> {};

TEST_P(TIFFRawMakers, MeasuresKindSizeDateAndPreviews) {
    const auto& param = GetParam();
    const auto raw = param.build();
    const auto data = followedByNoise(raw.data);
    const auto carved = measure(data);
    ASSERT_TRUE(carved);
    EXPECT_EQ(carved->kind, param.kind);
    EXPECT_EQ(carved->size, raw.data.size());
    EXPECT_TRUE(carved->complete);
    EXPECT_EQ(carved->device, std::string(param.device));
    ASSERT_TRUE(carved->modified);
    EXPECT_EQ(carved->modified, Binary::localDate(2021, 5, 3, 14, 22, 10));

    const auto layout = TIFFRawCarver::layout(DataBlockReader(data), 0, std::nullopt, true);
    ASSERT_TRUE(layout);
    EXPECT_EQ(layout->kind, param.kind);
    auto previews = layout->previews;
    auto expected = raw.previews;
    const auto byOffset = [](const ByteRange& a, const ByteRange& b) {
        return a.offset < b.offset;
    };
    std::sort(previews.begin(), previews.end(), byOffset);
    std::sort(expected.begin(), expected.end(), byOffset);
    EXPECT_EQ(previews, expected);

    // Truncated anywhere, or a strip length running past the source: not carved.
    for (const auto cut : {raw.data.size() - 1, raw.data.size() / 2}) {
        const Bytes truncated(raw.data.begin(),
                              raw.data.begin() + static_cast<std::ptrdiff_t>(cut));
        EXPECT_FALSE(carver.carve(DataBlockReader(truncated), 0, param.kind)) << cut;
    }
}

INSTANTIATE_TEST_SUITE_P(
    Layouts, TIFFRawMakers,
    ::testing::Values(MakerCase{"cr2", &RawFixtures::cr2, FileKind::cr2, "Canon EOS 5D Mark IV"},
                      MakerCase{"nef", [] { return RawFixtures::nef(); }, FileKind::nef,
                                "NIKON D850"},
                      MakerCase{"arw", &RawFixtures::arw, FileKind::arw, "Sony ILCE-7M3"},
                      MakerCase{"dng", &RawFixtures::dng, FileKind::dng, "Google Pixel 7"},
                      MakerCase{"orf", &RawFixtures::orf, FileKind::orf, "Olympus E-M1MarkII"},
                      MakerCase{"pef", &RawFixtures::pef, FileKind::pef, "PENTAX K-1"},
                      MakerCase{"srw", &RawFixtures::srw, FileKind::srw, "Samsung NX1"},
                      MakerCase{"rw2", [] { return RawFixtures::rw2(140, 100, 8192, true); },
                                FileKind::rw2, "Panasonic DC-S5"}),
    [](const ::testing::TestParamInfo<MakerCase>& maker) { return std::string(maker.param.name); });

TEST(TIFFRawCarver, KindFallsBackToTIFF) {
    // A NEF without its make is only a TIFF.
    const auto carved = measure(RawFixtures::nef(false).data);
    ASSERT_TRUE(carved);
    EXPECT_EQ(carved->kind, FileKind::tiff);
    // A maker TIFF without sensor data (a scan) is a TIFF too.
    const auto scan = plainTIFF(true, {B::ascii(0x010F, "NIKON CORPORATION")});
    EXPECT_EQ(measure(scan)->kind, FileKind::tiff);
    const auto unknownMaker =
        plainTIFF(true, {B::ascii(0x010F, "Hasselblad"), B::shorts(0x0106, {32803})});
    EXPECT_EQ(measure(unknownMaker)->kind, FileKind::tiff);
}

TEST(TIFFRawCarver, SizeIsTheFurthestDirectoryOrBlock) {
    for (const bool little : {true, false}) {
        // Strip first, directory last: the directory's end counts.
        const auto file = plainTIFF(little);
        const auto carved = measure(followedByNoise(file));
        ASSERT_TRUE(carved);
        EXPECT_EQ(carved->kind, FileKind::tiff);
        EXPECT_EQ(carved->size, file.size());
        EXPECT_FALSE(carved->modified);
    }
    // Directory first, strip last: the strip's end counts.
    B b(true);
    b.setFirst(b.directory({B::longs(0x0100, {8}), B::longs(0x0101, {8}), B::longs(0x0111, {4096}),
                            B::longs(0x0117, {3000})}));
    Bytes file = b.data();
    file.resize(4096 + 3000, 0x33);
    EXPECT_EQ(measure(followedByNoise(file))->size, file.size());
}

TEST(TIFFRawCarver, RejectsBrokenFirstDirectories) {
    // Two entries: too few for a first directory.
    B two(true);
    const auto strip = two.blob(RawFixtures::sensor(500, 1));
    two.setFirst(two.directory({B::longs(0x0111, {strip}), B::longs(0x0117, {500})}));
    EXPECT_FALSE(measure(two.data()));

    // An unknown entry type.
    auto badType = plainTIFF(true, {B::longs(0x0100, {1})});
    const auto first = badType[4] | (badType[5] << 8);
    badType[static_cast<std::size_t>(first) + 2 + 2] = 0; // type of the first entry
    EXPECT_FALSE(measure(badType));

    // Offsets and counts of different lengths.
    B mismatch(true);
    const auto s = mismatch.blob(RawFixtures::sensor(500, 1));
    mismatch.setFirst(mismatch.directory(
        {B::longs(0x0100, {1}), B::longs(0x0111, {s, s + 100}), B::longs(0x0117, {100})}));
    EXPECT_FALSE(measure(mismatch.data()));

    // A value whose data would lie past the source.
    auto farValue = plainTIFF(true, {B::ascii(0x010E, "a description")});
    const auto size = static_cast<std::uint32_t>(farValue.size());
    for (std::size_t at = static_cast<std::size_t>(first) + 2; at + 12 <= farValue.size(); at += 12)
        if (farValue[at] == 0x0E && farValue[at + 1] == 0x01) {
            putLE(farValue, at + 8, size, 2);
            break;
        }
    EXPECT_FALSE(measure(farValue));

    // No image data at all.
    B empty(true);
    empty.setFirst(
        empty.directory({B::longs(0x0100, {1}), B::longs(0x0101, {1}), B::ascii(0x010F, "Canon")}));
    EXPECT_FALSE(measure(empty.data()));
}

TEST(TIFFRawCarver, CorruptStripLengthsAreNotCarved) {
    auto file = plainTIFF(false);
    const auto carved = measure(file);
    ASSERT_TRUE(carved);
    // The strip count field (big-endian LONG, inline) of the last entry.
    const std::size_t first = (file[4] << 24) | (file[5] << 16) | (file[6] << 8) | file[7];
    const std::size_t countValue = first + 2 + 3 * 12 + 8;
    file[countValue] = 0x7F;
    EXPECT_FALSE(measure(file));
    file[countValue] = 0xFF;
    EXPECT_FALSE(measure(file));
    EXPECT_FALSE(carver.carve(DataBlockReader(Bytes(10, 'I')), 0, FileKind::tiff));
    EXPECT_FALSE(carver.carve(DataBlockReader(file), file.size(), FileKind::tiff));
}

TEST(TIFFRawCarver, LaterDirectoriesAreForgiving) {
    // A sub-directory with mismatched lists or a far value is skipped, not fatal.
    B b(true);
    const auto s = b.blob(RawFixtures::sensor(700, 2));
    const auto sub = b.directory(
        {B::longs(0x0111, {s, s}), B::longs(0x0117, {700}), B::opaque(0x927C, 100, 0x7FFFFFF0)});
    const auto strip = b.blob(RawFixtures::sensor(300, 3));
    b.setFirst(b.directory({B::longs(0x0100, {1}), B::longs(0x014A, {sub}),
                            B::longs(0x0111, {strip}), B::longs(0x0117, {300})}));
    const auto carved = measure(followedByNoise(b.data()));
    ASSERT_TRUE(carved);
    EXPECT_EQ(carved->size, b.size());

    // A sub-directory strip past the source still rejects the file.
    B c(true);
    const auto past = c.directory({B::longs(0x0111, {64}), B::longs(0x0117, {1'000'000})});
    const auto strip2 = c.blob(RawFixtures::sensor(300, 3));
    c.setFirst(c.directory({B::longs(0x0100, {1}), B::longs(0x014A, {past}),
                            B::longs(0x0111, {strip2}), B::longs(0x0117, {300})}));
    EXPECT_FALSE(measure(c.data()));
}

TEST(TIFFRawCarver, DirectoryChainsStopAtLoopsAndSixtyFour) {
    B looped(true);
    const auto strip = looped.blob(RawFixtures::sensor(300, 4));
    const auto ifd0 = looped.directory(
        {B::longs(0x0100, {1}), B::longs(0x0111, {strip}), B::longs(0x0117, {300})});
    const auto ifd1 = looped.directory({B::longs(0x0100, {1})}, ifd0);
    looped.setNext(ifd0, ifd1);
    looped.setFirst(ifd0);
    const auto carved = measure(looped.data());
    ASSERT_TRUE(carved);
    EXPECT_EQ(carved->size, looped.size());

    // Seventy chained directories, each after its own strip: only 64 are read.
    B chain(true);
    std::vector<std::uint32_t> directories;
    for (int i = 0; i < 70; ++i) {
        const auto s = chain.blob(RawFixtures::sensor(100, 5));
        directories.push_back(chain.directory(
            {B::longs(0x0100, {1}), B::longs(0x0111, {s}), B::longs(0x0117, {100})}));
    }
    for (std::size_t i = 0; i + 1 < directories.size(); ++i)
        chain.setNext(directories[i], directories[i + 1]);
    chain.setFirst(directories[0]);
    const auto chained = measure(chain.data());
    ASSERT_TRUE(chained);
    EXPECT_EQ(chained->size, directories[63] + 2 + 3 * 12 + 4);
}

TEST(TIFFRawCarver, PanasonicSensorEndIsSearchedWhenNotRecorded) {
    const auto raw = RawFixtures::rw2(140, 100, 8192, false);
    const std::uint64_t estimated = 8192 + (14'000 + 13) / 14 * 16; // 24,192

    // Blank space after the sensor data: the file ends at the next blank sector.
    {
        Bytes data(1024, 0x22);
        data.insert(data.end(), raw.data.begin(), raw.data.end());
        data.resize(data.size() + 4096, 0);
        const auto carved = measure(data, 1024);
        ASSERT_TRUE(carved);
        EXPECT_EQ(carved->kind, FileKind::rw2);
        EXPECT_EQ(carved->size, (1024 + estimated + 511) / 512 * 512 - 1024);
        EXPECT_TRUE(carved->complete);
    }
    // Another file's signature two sectors on.
    {
        Bytes data = raw.data;
        data.resize((estimated + 511) / 512 * 512 + 1024, 0x5A);
        const auto jpeg = RawFixtures::preview(2000);
        const auto next = data.size();
        data.insert(data.end(), jpeg.begin(), jpeg.end());
        data.resize(data.size() + 2'000'000, 0x5A);
        const auto carved = measure(data);
        ASSERT_TRUE(carved);
        EXPECT_EQ(carved->size, next);
        EXPECT_TRUE(carved->complete);
    }
    // Noise well past the search window: the estimate, marked incomplete.
    {
        Bytes data = raw.data;
        const auto tail = CarveFixtures::noise(8192 + 2 * 14'000 + 1'048'576 + 4096, 23);
        data.insert(data.end(), tail.begin(), tail.end());
        const auto carved = measure(data);
        ASSERT_TRUE(carved);
        EXPECT_EQ(carved->size, estimated);
        EXPECT_FALSE(carved->complete);
    }
    // Noise up to the end of the source, inside the window: the file runs to the end.
    {
        Bytes data = raw.data;
        const auto tail = CarveFixtures::noise(100'000, 24);
        data.insert(data.end(), tail.begin(), tail.end());
        const auto carved = measure(data);
        ASSERT_TRUE(carved);
        EXPECT_EQ(carved->size, data.size());
        EXPECT_TRUE(carved->complete);
    }
    // The estimate alone must fit in the source.
    {
        const Bytes data(raw.data.begin(),
                         raw.data.begin() + static_cast<std::ptrdiff_t>(estimated - 1));
        EXPECT_FALSE(measure(data));
    }
}

TEST(TIFFRawCarver, PanasonicEstimateForASixByFourThousandSensor) {
    // 24,000,000 twelve-bit pixels, 14 to a 16-byte block: 27,428,576 bytes. The start is chosen
    // so that the estimate ends on a sector boundary, where a blank sector follows.
    const std::uint32_t rawStart = 4384;
    const auto raw = RawFixtures::rw2(6000, 4000, rawStart, false);
    ASSERT_EQ(raw.data.size(), rawStart + 27'428'576U);
    Bytes data = raw.data;
    data.resize(data.size() + 512, 0);
    const auto carved = measure(data);
    ASSERT_TRUE(carved);
    EXPECT_EQ(carved->size, rawStart + 27'428'576U);
    EXPECT_TRUE(carved->complete);
}

TEST(TIFFRawCarver, MeasuresRealTIFFs) {
    TempDir dir;
    struct Case {
        const char* name;
        const char* arguments;
    };
    for (const auto& c :
         {Case{"strips-le.tif", "-size 150x90 plasma:fractal -depth 8 -endian LSB"},
          Case{"strips-be.tif", "-size 150x90 plasma:fractal -depth 8 -endian MSB"},
          Case{"tiles-be.tif",
               "-size 150x90 plasma:fractal -depth 8 -endian MSB -define tiff:tile-geometry=64x64"},
          Case{
              "tiles-le.tif",
              "-size 150x90 plasma:fractal -depth 16 -endian LSB -define tiff:tile-geometry=32x32"},
          Case{"lzw.tif", "-size 150x90 plasma:fractal -depth 8 -compress LZW"}}) {
        const auto file = EncodedMedia::magick(dir, c.name, c.arguments);
        if (!file) GTEST_SKIP() << "ImageMagick (/usr/bin/convert) is not installed";
        const auto carved = measure(followedByNoise(*file));
        ASSERT_TRUE(carved) << c.name;
        EXPECT_EQ(carved->kind, FileKind::tiff) << c.name;
        EXPECT_EQ(carved->size, file->size()) << c.name;
        const Bytes truncated(file->begin(), file->end() - 1);
        EXPECT_FALSE(carver.carve(DataBlockReader(truncated), 0, FileKind::tiff)) << c.name;
    }

    // libtiff's own tools: tiles written by tiffcp in both byte orders.
    if (!vellary::testing::haveTool("tiffcp")) GTEST_SKIP() << "libtiff-tools is not installed";
    for (const auto* order : {"-L", "-B"}) {
        const auto out = dir / (std::string("tiffcp") + order + ".tif");
        ASSERT_EQ(vellary::testing::run("tiffcp " + std::string(order) + " -t -w 32 -l 32 '" +
                                        (dir / "strips-le.tif").string() + "' '" + out.string() +
                                        "'"),
                  0);
        const auto text = vellary::testing::readFile(out);
        const Bytes file(text.begin(), text.end());
        const auto carved = measure(followedByNoise(file));
        ASSERT_TRUE(carved) << order;
        EXPECT_EQ(carved->size, file.size()) << order;
    }
}
