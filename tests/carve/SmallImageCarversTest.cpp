#include "core/carve/GIFCarver.hpp"
#include "core/carve/PNGCarver.hpp"
#include "core/carve/PSDCarver.hpp"
#include "core/io/DataBlockReader.hpp"
#include "tests/support/ByteWriters.hpp"
#include "tests/support/CarveFixtures.hpp"
#include "tests/support/EncodedMedia.hpp"

#include <gtest/gtest.h>

#include <string_view>
#include <zlib.h>

using namespace vellary;
using vellary::testing::appendBE;
using vellary::testing::CarveFixtures;
using vellary::testing::EncodedMedia;
using vellary::testing::TempDir;

namespace {

const PNGCarver png;
const GIFCarver gif;
const PSDCarver psd;

void append(Bytes& out, const Bytes& more) {
    out.insert(out.end(), more.begin(), more.end());
}
void append(Bytes& out, std::string_view text) {
    out.insert(out.end(), text.begin(), text.end());
}

std::uint32_t crc32(const std::uint8_t* p, std::size_t n) {
    return static_cast<std::uint32_t>(::crc32(0, p, static_cast<uInt>(n)));
}

Bytes chunk(std::string_view type, const Bytes& data) {
    Bytes out;
    appendBE(out, static_cast<std::uint32_t>(data.size()), 4);
    append(out, type);
    append(out, data);
    appendBE(out, crc32(out.data() + 4, out.size() - 4), 4);
    return out;
}

Bytes ihdr(std::uint8_t depth = 8, std::uint8_t colour = 2) {
    Bytes data;
    appendBE(data, 16, 4);
    appendBE(data, 16, 4);
    data.insert(data.end(), {depth, colour, 0, 0, 0});
    return chunk("IHDR", data);
}

Bytes pngFile(const std::vector<Bytes>& chunks) {
    Bytes out{0x89, 'P', 'N', 'G', 0x0D, 0x0A, 0x1A, 0x0A};
    for (const auto& c : chunks)
        append(out, c);
    return out;
}

Bytes timeChunk(int year, int month, int day, int hour, int minute, int second) {
    Bytes data;
    appendBE(data, static_cast<std::uint16_t>(year), 2);
    for (const int v : {month, day, hour, minute, second})
        data.push_back(static_cast<std::uint8_t>(v));
    return chunk("tIME", data);
}

template <typename C> std::optional<Carved> measure(const C& carver, const Bytes& data) {
    const auto kind = carver.sniff(ByteSpan(data).first(std::min<std::size_t>(32, data.size())));
    if (!kind) return std::nullopt;
    return carver.carve(DataBlockReader(data), 0, *kind);
}

template <typename C> void expectExact(const C& carver, const Bytes& file, FileKind kind) {
    Bytes data = file;
    append(data, CarveFixtures::noise(3000, 11));
    const auto carved = measure(carver, data);
    ASSERT_TRUE(carved);
    EXPECT_EQ(carved->kind, kind);
    EXPECT_EQ(carved->size, file.size());
    EXPECT_TRUE(carved->complete);
}

// Truncation anywhere and one byte short gives nothing; so does a start past the source.
template <typename C> void expectTruncationRejected(const C& carver, const Bytes& file) {
    for (const auto cut : {file.size() - 1, file.size() / 2, std::size_t{40}}) {
        const Bytes shortFile(file.begin(), file.begin() + static_cast<std::ptrdiff_t>(cut));
        EXPECT_FALSE(carver.carve(DataBlockReader(shortFile), 0, FileKind::other)) << cut;
    }
    EXPECT_FALSE(carver.carve(DataBlockReader(file), file.size(), FileKind::other));
}

double utc(int year, unsigned month, unsigned day, int hour, int minute, int second) {
    using namespace std::chrono;
    const sys_days d = std::chrono::year{year} / month / day;
    return static_cast<double>(d.time_since_epoch().count()) * 86400 + hour * 3600 + minute * 60 +
           second;
}

} // namespace

TEST(PNGCarver, MeasuresChunksToIEND) {
    const auto file = pngFile({ihdr(), chunk("IDAT", Bytes(300, 1)), chunk("IEND", {})});
    expectExact(png, file, FileKind::png);
    expectTruncationRejected(png, file);
    EXPECT_EQ(png.leadBytes(), std::vector<std::uint8_t>{0x89});
}

TEST(PNGCarver, ChecksTheHeader) {
    auto badCrc = pngFile({ihdr(), chunk("IDAT", Bytes(300, 1)), chunk("IEND", {})});
    badCrc[8 + 21] ^= 1;
    EXPECT_FALSE(measure(png, badCrc));
    // Palette images stop at 8 bits; grey allows 1 to 16.
    EXPECT_FALSE(measure(png, pngFile({ihdr(16, 3), chunk("IDAT", {1}), chunk("IEND", {})})));
    EXPECT_TRUE(measure(png, pngFile({ihdr(16, 0), chunk("IDAT", {1}), chunk("IEND", {})})));
    EXPECT_FALSE(measure(png, pngFile({ihdr(8, 5), chunk("IDAT", {1}), chunk("IEND", {})})));
    auto sniffOnly = pngFile({ihdr()});
    sniffOnly[15] = 'X'; // "IHDX"
    EXPECT_FALSE(png.sniff(sniffOnly));
}

TEST(PNGCarver, RejectsBrokenChunkStructure) {
    EXPECT_FALSE(measure(png, pngFile({ihdr(), chunk("IEND", {})}))); // no IDAT
    EXPECT_FALSE(measure(png, pngFile({ihdr(), chunk("IDAT", {1}), chunk("IEND", {0})})));
    EXPECT_FALSE(
        measure(png, pngFile({ihdr(), chunk("ID4T", {1}), chunk("IDAT", {1}), chunk("IEND", {})})));
    // A length at or above 2^31, or one running past the source.
    auto huge = pngFile({ihdr(), chunk("IDAT", Bytes(20, 1)), chunk("IEND", {})});
    huge[33] = 0x80;
    EXPECT_FALSE(measure(png, huge));
    auto past = pngFile({ihdr(), chunk("IDAT", Bytes(20, 1)), chunk("IEND", {})});
    past[35] = 0x7F;
    EXPECT_FALSE(measure(png, past));
}

TEST(PNGCarver, DatesFromTheTimeChunk) {
    auto carved = measure(png, pngFile({ihdr(), timeChunk(2019, 6, 1, 12, 0, 60),
                                        chunk("IDAT", {1}), chunk("IEND", {})}));
    ASSERT_TRUE(carved && carved->modified);
    EXPECT_DOUBLE_EQ(unixSeconds(*carved->modified), utc(2019, 6, 1, 12, 1, 0));
    for (const auto& bad : {timeChunk(1994, 6, 1, 12, 0, 0), timeChunk(2019, 13, 1, 12, 0, 0),
                            timeChunk(2019, 6, 1, 24, 0, 0), timeChunk(2019, 6, 0, 12, 0, 0),
                            timeChunk(2019, 6, 1, 12, 0, 61)}) {
        carved = measure(png, pngFile({ihdr(), bad, chunk("IDAT", {1}), chunk("IEND", {})}));
        ASSERT_TRUE(carved);
        EXPECT_FALSE(carved->modified);
    }
}

TEST(PNGCarver, ExifDateWinsOverTheTimeChunk) {
    const auto exif = CarveFixtures::tiff(false, {{0x010F, "Apple"}, {0x0110, "iPhone 14"}},
                                          {{0x9003, "2021:05:03 14:22:10"}});
    const auto carved =
        measure(png, pngFile({ihdr(), timeChunk(2019, 6, 1, 12, 0, 0), chunk("eXIf", exif),
                              chunk("IDAT", {1}), chunk("IEND", {})}));
    ASSERT_TRUE(carved);
    EXPECT_EQ(carved->modified, Binary::localDate(2021, 5, 3, 14, 22, 10));
    EXPECT_EQ(carved->device, "Apple iPhone 14");

    // EXIF without a date: the time chunk dates the file, the camera still names it.
    const auto undated = CarveFixtures::tiff(true, {{0x010F, "Apple"}, {0x0110, "iPhone 14"}});
    const auto fallback =
        measure(png, pngFile({ihdr(), chunk("eXIf", undated), timeChunk(2019, 6, 1, 12, 0, 0),
                              chunk("IDAT", {1}), chunk("IEND", {})}));
    ASSERT_TRUE(fallback && fallback->modified);
    EXPECT_DOUBLE_EQ(unixSeconds(*fallback->modified), utc(2019, 6, 1, 12, 0, 0));
    EXPECT_EQ(fallback->device, "Apple iPhone 14");
}

TEST(PNGCarver, MeasuresImageMagickOutput) {
    TempDir dir;
    const auto file =
        EncodedMedia::magick(dir, "plasma.png", "-size 96x64 plasma:fractal -depth 8");
    if (!file) GTEST_SKIP() << "ImageMagick (/usr/bin/convert) is not installed";
    expectExact(png, *file, FileKind::png);
    expectTruncationRejected(png, *file);
    const auto carved = measure(png, *file);
    ASSERT_TRUE(carved);
    EXPECT_TRUE(carved->modified) << "ImageMagick writes a tIME chunk";
}

namespace {

Bytes gifFile(bool trailer, int frames) {
    Bytes out;
    append(out, "GIF89a");
    out.insert(out.end(), {8, 0, 4, 0, 0x81, 0, 0}); // 8x4, global table of 4 colours
    out.insert(out.end(), 12, 0x33);
    out.insert(out.end(), {0x21, 0xFE, 5, 'h', 'e', 'l', 'l', 'o', 0}); // comment
    for (int f = 0; f < frames; ++f) {
        out.insert(out.end(), {0x21, 0xF9, 4, 0, 10, 0, 0, 0}); // graphic control
        out.insert(out.end(), {0x2C, 0, 0, 0, 0, 8, 0, 4, 0});
        out.push_back(f == 1 ? 0x80 : 0); // the second frame has a local table of 2 colours
        if (f == 1) out.insert(out.end(), 6, 0x44);
        out.insert(out.end(), {2, 3, 0x8C, 0x2D, 0x99, 2, 0x55, 0x55, 0});
    }
    if (trailer) out.push_back(0x3B);
    return out;
}

} // namespace

TEST(GIFCarver, MeasuresBlocksToTheTrailer) {
    const auto file = gifFile(true, 2);
    expectExact(gif, file, FileKind::gif);
    expectTruncationRejected(gif, file);
    EXPECT_FALSE(measure(gif, gifFile(false, 2)));
    EXPECT_FALSE(measure(gif, gifFile(true, 0))); // a trailer with no frame
    auto stray = gifFile(true, 2);
    stray[stray.size() - 1] = 0x00;
    stray.push_back(0x3B);
    EXPECT_FALSE(measure(gif, stray));

    auto zeroWidth = file;
    zeroWidth[6] = 0;
    EXPECT_FALSE(gif.sniff(zeroWidth));
    auto gif88 = file;
    gif88[4] = '8';
    EXPECT_FALSE(gif.sniff(gif88));
}

TEST(GIFCarver, MeasuresImageMagickOutput) {
    TempDir dir;
    const auto file = EncodedMedia::magick(
        dir, "anim.gif", "-delay 10 -size 60x40 plasma:fractal -size 60x40 plasma:fractal");
    if (!file) GTEST_SKIP() << "ImageMagick (/usr/bin/convert) is not installed";
    expectExact(gif, *file, FileKind::gif);
    expectTruncationRejected(gif, *file);
}

namespace {

struct PSDShape {
    std::uint16_t version = 1;
    std::uint16_t channels = 3;
    std::uint32_t height = 4;
    std::uint32_t width = 5;
    std::uint16_t depth = 16;
    std::uint16_t compression = 0;
};

Bytes psdFile(const PSDShape& s, const Bytes& resources = {}) {
    Bytes out;
    append(out, "8BPS");
    appendBE(out, s.version, 2);
    out.insert(out.end(), 6, 0);
    appendBE(out, s.channels, 2);
    appendBE(out, s.height, 4);
    appendBE(out, s.width, 4);
    appendBE(out, s.depth, 2);
    appendBE(out, 3, 2); // RGB
    appendBE(out, 0, 4); // colour mode data
    appendBE(out, static_cast<std::uint32_t>(resources.size()), 4);
    append(out, resources);
    if (s.version == 2) appendBE(out, 0, 4);
    appendBE(out, 10, 4); // layer and mask section
    out.insert(out.end(), 10, 0);
    appendBE(out, s.compression, 2);
    const std::uint64_t rows = std::uint64_t{s.height} * s.channels;
    const std::uint64_t rowBytes = s.depth == 1 ? (s.width + 7) / 8 : s.width * s.depth / 8;
    if (s.compression == 0) {
        out.insert(out.end(), rows * rowBytes, 0x21);
    } else {
        for (std::uint64_t r = 0; r < rows; ++r) {
            if (s.version == 2) appendBE(out, 0, 2);
            appendBE(out, 3, 2);
        }
        out.insert(out.end(), rows * 3, 0x7E);
    }
    return out;
}

} // namespace

TEST(PSDCarver, AddsUpTheSections) {
    const auto raw = psdFile({});
    expectExact(psd, raw, FileKind::psd);
    // 16-bit RGB without compression: height × 3 × width × 2 bytes of image data.
    EXPECT_EQ(raw.size(), 26 + 4 + 4 + 14 + 2 + 4 * 3 * 5 * 2U);
    expectTruncationRejected(psd, raw);

    expectExact(psd, psdFile({.depth = 1, .compression = 0}), FileKind::psd);
    expectExact(psd, psdFile({.depth = 8, .compression = 1}), FileKind::psd);
    expectExact(psd, psdFile({.version = 2, .depth = 8, .compression = 1}), FileKind::psd);
    EXPECT_FALSE(measure(psd, psdFile({.compression = 2})));
    EXPECT_FALSE(measure(psd, psdFile({.compression = 3})));
    EXPECT_EQ(psd.leadBytes(), std::vector<std::uint8_t>{0x38});
}

TEST(PSDCarver, RejectsCorruptLengths) {
    // A row length above the PackBits bound, with room for the closing no-op byte some writers
    // add: 1 + 1 / 128 + 3 = 4 for a one-byte row.
    auto rle = psdFile({.width = 1, .depth = 8, .compression = 1});
    const auto table = rle.size() - 12 * 3 - 12 * 2;
    rle[table + 1] = 4;
    rle.push_back(0x7E);
    EXPECT_TRUE(measure(psd, rle));
    rle[table + 1] = 5;
    rle.push_back(0x7E);
    EXPECT_FALSE(measure(psd, rle));

    auto colourMode = psdFile({});
    colourMode[26] = 0x01;
    colourMode[27] = 0x00;
    colourMode[28] = 0x00;
    colourMode[29] = 0x01; // 16 MiB + 1
    EXPECT_FALSE(measure(psd, colourMode));

    auto layers = psdFile({});
    layers[34] = 0x7F; // layer section far past the source
    EXPECT_FALSE(measure(psd, layers));

    auto psbLayers = psdFile({.version = 2});
    psbLayers[34] = 0x01; // a 64-bit length of 2^56
    EXPECT_FALSE(measure(psd, psbLayers));
}

namespace {

Bytes resource(std::uint16_t id, const Bytes& data) {
    Bytes out;
    append(out, "8BIM");
    appendBE(out, id, 2);
    out.insert(out.end(), {3, 'a', 'b', 'c'}); // Pascal name, already even
    appendBE(out, static_cast<std::uint32_t>(data.size()), 4);
    append(out, data);
    if (data.size() % 2) out.push_back(0);
    return out;
}

} // namespace

TEST(PSDCarver, DatesAndCameraFromTheExifResource) {
    const auto exif =
        CarveFixtures::tiff(false, {{0x010F, "NIKON CORPORATION"}, {0x0110, "NIKON Z 6"}},
                            {{0x9003, "2021:05:03 14:22:10"}});
    Bytes resources = resource(0x03ED, Bytes(17, 1)); // odd size, padded
    append(resources, resource(0x0422, exif));
    const auto file = psdFile({}, resources);
    const auto carved = measure(psd, file);
    ASSERT_TRUE(carved);
    EXPECT_EQ(carved->size, file.size());
    EXPECT_EQ(carved->modified, Binary::localDate(2021, 5, 3, 14, 22, 10));
    EXPECT_EQ(carved->device, "NIKON Z 6");

    // A broken resource block leaves the file undated but still carved.
    auto broken = resources;
    broken[0] = 'X';
    const auto plain = measure(psd, psdFile({}, broken));
    ASSERT_TRUE(plain);
    EXPECT_FALSE(plain->modified);
}

TEST(PSDCarver, SniffChecksTheHeaderFields) {
    const auto base = psdFile({});
    EXPECT_TRUE(psd.sniff(base));
    const auto broken = [&](std::size_t at, std::uint8_t value) {
        auto b = base;
        b[at] = value;
        return psd.sniff(b);
    };
    EXPECT_FALSE(broken(5, 3));   // version
    EXPECT_FALSE(broken(8, 1));   // reserved
    EXPECT_FALSE(broken(13, 57)); // channels
    EXPECT_FALSE(broken(17, 0));  // height 0
    EXPECT_FALSE(broken(23, 12)); // depth
    EXPECT_FALSE(broken(25, 5));  // colour mode
    EXPECT_FALSE(psd.sniff(ByteSpan(base).first(25)));
}

TEST(PSDCarver, MeasuresImageMagickOutput) {
    TempDir dir;
    struct Case {
        const char* name;
        const char* arguments;
        const char* format;
    };
    for (const auto& c :
         {Case{"rle.psd", "-size 90x70 plasma:fractal -depth 8 -compress RLE", ""},
          Case{"raw.psd", "-size 90x70 plasma:fractal -depth 16 -compress None", ""},
          Case{"large.psb", "-size 90x70 plasma:fractal -depth 8 -compress RLE", "psb"},
          // Noisy rows, which ImageMagick packs to their longest and closes with a no-op byte;
          // 256 and 300 bytes per row.
          Case{"noise.psd", "-size 256x40 xc: +noise Random -depth 8 -compress RLE", ""},
          Case{"noise.psb", "-size 300x40 xc: +noise Random -depth 8 -compress RLE", "psb"},
          Case{"photo.psd", "-size 640x120 -seed 9 plasma:fractal -depth 8 -compress RLE", ""}}) {
        const auto file = EncodedMedia::magick(dir, c.name, c.arguments, c.format);
        if (!file) GTEST_SKIP() << "ImageMagick (/usr/bin/convert) is not installed";
        expectExact(psd, *file, FileKind::psd);
        expectTruncationRejected(psd, *file);
    }
}
