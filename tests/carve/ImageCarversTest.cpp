// Malformed and unusual photos, table by table: each row is bytes and the size the carver must
// give (or nothing). The files real tools write are in CarverContractTest.
#include "core/carve/BMPCarver.hpp"
#include "core/carve/GIFCarver.hpp"
#include "core/carve/JPEGCarver.hpp"
#include "core/carve/PNGCarver.hpp"
#include "core/carve/PSDCarver.hpp"
#include "core/carve/RAFCarver.hpp"
#include "core/io/DataBlockReader.hpp"
#include "tests/support/ByteWriters.hpp"
#include "tests/support/CarveFixtures.hpp"
#include "tests/support/FaultyBlockReader.hpp"
#include "tests/support/RawFixtures.hpp"

#include <gtest/gtest.h>

#include <functional>

namespace vellary {
namespace {

using testing::appendBE;
using testing::CarveFixtures;
using testing::RawFixtures;
using F = CarveFixtures;
using Parts = CarveFixtures::JPEGParts;

Parts parts(std::function<void(Parts&)> change) {
    Parts p;
    change(p);
    return p;
}

TEST(JPEGCarver, MalformedStructures) {
    const auto noise = F::noise(8192, 9);
    const auto inNoise = [&](const Bytes& file) { return F::join({file, noise}); };
    const auto stuffed = F::jpeg(parts([](Parts& p) {
        // Stuffed FF 00, a restart marker, fill bytes, a DHT between scans whose payload holds
        // FF D9, and a second scan header.
        p.entropy = {0x01, 0xFF, 0x00, 0x02, 0xFF, 0xD3, 0x03, 0xFF, 0xFF, 0x00, 0x04, 0xFF,
                     0xC4, 0x00, 0x04, 0xFF, 0xD9, 0xFF, 0xDA, 0x00, 0x03, 0x01, 0x05};
    }));
    const auto fill = F::jpeg(parts([](Parts& p) { p.before = {{0xFF, 0xFF, 0xFF, 0x01}}; }));
    Bytes smallest = {0xFF, 0xD8, 0xFF, 0xC0, 0x00, 0x02, 0xFF, 0xDA, 0x00, 0x02};
    smallest.resize(30, 0x11);
    smallest.insert(smallest.end(), {0xFF, 0xD9});
    auto tooSmall = smallest;
    tooSmall.erase(tooSmall.begin() + 12);
    const auto j = FileKind::jpeg;
    F::expectCases(
        JPEGCarver(),
        {{"stuffing, restarts and segments between scans", inNoise(stuffed), stuffed.size()},
         {"fill bytes and a standalone marker", inNoise(fill), fill.size(), true, 0, j},
         {"no frame", inNoise(F::jpeg(parts([](Parts& p) { p.frame = false; }))), {}},
         {"no end", F::jpeg(parts([](Parts& p) { p.endMarker = false; })), {}},
         {"a new image inside",
          inNoise(F::jpeg(parts([](Parts& p) {
              p.entropy = {1, 0xFF, 0xD8};
          }))),
          {}},
         {"segment length 1", inNoise(F::patched(F::jpeg(), 4, 1, 2, false)), {}},
         {"segment past the source", F::patched(F::jpeg(), 4, 0xFFFF, 2, false), {}},
         {"not a marker", inNoise(F::patched(F::jpeg(), 2, 0)), {}, true, 0, j},
         {"end before the frame",
          inNoise(F::jpeg(parts([](Parts& p) {
              p.before = {{0xFF, 0xD9}};
          }))),
          {}},
         {"32 bytes", inNoise(smallest), 32},
         {"31 bytes", inNoise(tooSmall), {}},
         {"only SOI", {0xFF, 0xD8}, {}, true, 0, j}});
    const auto file = F::jpeg(5000);
    EXPECT_FALSE(JPEGCarver::measure(DataBlockReader(inNoise(file)), 0, file.size() - 1));
    EXPECT_TRUE(JPEGCarver::measure(DataBlockReader(inNoise(file)), 0, file.size()));
}

TEST(BMPCarver, HeadersSizesAndPalettes) {
    const BMPCarver carver;
    const auto good = F::bmp(4, 3);
    EXPECT_EQ(carver.sniff(ByteSpan(good).first(30)), FileKind::bmp);
    EXPECT_FALSE(carver.sniff(ByteSpan(good).first(29)));
    // Header fields the sniff checks: offset, value, width, accepted.
    const std::tuple<std::size_t, std::uint32_t, int, bool> fields[] = {
        {6, 1, 4, false},   {14, 44, 4, false},
        {10, 53, 4, false}, {2, 512u * 1024 * 1024 + 1, 4, false},
        {10, 90, 4, false}, {18, 0, 4, false},
        {22, 0, 4, false},  {26, 2, 2, false},
        {28, 2, 2, false},  {28, 32, 2, true}};
    for (const auto& [at, value, width, ok] : fields)
        EXPECT_EQ(carver.sniff(F::patched(good, at, value, width)).has_value(), ok) << at;

    using Fields = std::initializer_list<std::tuple<int, int, int>>;
    Bytes core = {'B', 'M'}; // a 42-byte file with a 12-byte header among more bytes
    for (const auto& [at, value, width] : Fields{
             {2, 42, 4}, {10, 26, 4}, {14, 12, 4}, {18, 2, 2}, {20, 2, 2}, {22, 1, 2}, {24, 24, 2}})
        testing::putLE(core, at, value, width);
    core.resize(60, 0);
    EXPECT_FALSE(carver.sniff(F::patched(core, 24, 16, 2))); // not a core-header depth

    auto rle = F::bmp(8, 8);
    for (const auto& [at, value, width] : Fields{{28, 8, 2}, {30, 1, 4}, {34, 100, 4}, {2, 154, 4}})
        testing::putLE(rle, at, value, width);
    const auto rle4 = F::patched(F::patched(rle, 28, 4, 2), 30, 2, 4);
    auto bitfields =
        F::patched(F::patched(F::patched(F::bmp(8, 8), 30, 3, 4), 28, 32, 2), 2, 310, 4);
    bitfields.resize(310);
    // A V5 header with an embedded colour profile at 140 + 14, 200 bytes long.
    const Fields v5Fields = {{2, 354, 4},   {10, 138, 4}, {14, 124, 4}, {18, 2, 4},
                             {22, 2, 4},    {26, 1, 2},   {28, 32, 2},  {70, 0x4D424544, 4},
                             {126, 140, 4}, {130, 200, 4}};
    Bytes v5 = {'B', 'M'};
    for (const auto& [at, value, width] : v5Fields)
        testing::putLE(v5, at, value, width);
    v5.resize(354, 0);
    const auto bmp = FileKind::bmp;
    F::expectCases(
        carver,
        {{"core header", core, 42},
         {"slack 1024", F::bmp(5, 7, 1024), F::bmp(5, 7, 1024).size()},
         {"slack 1025", F::bmp(5, 7, 1025), {}},
         {"declared short", F::patched(F::bmp(5, 7), 2, F::bmp(5, 7).size() - 1, 4), {}},
         {"top-down", F::bmp(6, -5), F::bmp(6, -5).size()},
         {"height -2^31", F::patched(F::bmp(6, -5), 22, 0x80000000u, 4), {}},
         {"height 65537", F::patched(F::bmp(1, 1), 22, 65537, 4), {}},
         {"width -1", F::patched(F::bmp(1, 1), 18, 0xFFFFFFFFu, 4), {}},
         {"RLE8", rle, 154},
         {"RLE8 without a size", F::patched(rle, 34, 0, 4), {}},
         {"RLE4", rle4, 154},
         {"RLE4 at 8 bits", F::patched(rle4, 28, 8, 2), {}},
         {"bit fields at 24 bits", F::patched(F::bmp(8, 8), 30, 3, 4), {}},
         {"bit fields at 32 bits", bitfields, 310},
         {"JPEG inside", F::patched(bitfields, 30, 4, 4), {}},
         {"16 colours",
          F::patched(F::patched(F::patched(F::bmp(8, 8), 28, 4, 2), 2, 86, 4), 46, 16, 4), 86},
         {"17 colours",
          F::patched(F::patched(F::patched(F::bmp(8, 8), 28, 4, 2), 2, 86, 4), 46, 17, 4),
          {}},
         {"embedded profile", v5, 354},
         {"profile past the size", F::patched(v5, 130, 201, 4), {}},
         {"headers only", Bytes(good.begin(), good.begin() + 53), {}}},
        bmp);
    testing::FaultyBlockReader faulty(good);
    faulty.failSector(0);
    EXPECT_FALSE(carver.carve(faulty, 0, FileKind::bmp));
}

Bytes chunk(std::string_view type, const Bytes& data) {
    Bytes out;
    appendBE(out, static_cast<std::uint32_t>(data.size()), 4);
    out.insert(out.end(), type.begin(), type.end());
    out.insert(out.end(), data.begin(), data.end());
    appendBE(out, F::crc32(ByteSpan(out).subspan(4)), 4);
    return out;
}

Bytes png(std::vector<Bytes> chunks, std::uint8_t depth = 8, std::uint8_t colour = 2) {
    Bytes ihdr = {0, 0, 0, 16, 0, 0, 0, 16, depth, colour, 0, 0, 0};
    chunks.insert(chunks.begin(), chunk("IHDR", ihdr));
    chunks.insert(chunks.begin(), {0x89, 'P', 'N', 'G', 0x0D, 0x0A, 0x1A, 0x0A});
    Bytes out;
    for (const auto& c : chunks)
        out.insert(out.end(), c.begin(), c.end());
    return out;
}

Bytes timeChunk(int year, int month, int day, int hour, int minute, int second) {
    Bytes data;
    appendBE(data, static_cast<std::uint16_t>(year), 2);
    for (const int v : {month, day, hour, minute, second})
        data.push_back(static_cast<std::uint8_t>(v));
    return chunk("tIME", data);
}

TEST(PNGCarver, ChunksHeaderAndDates) {
    const auto idat = chunk("IDAT", Bytes(20, 1));
    const auto iend = chunk("IEND", {});
    const auto good = png({idat, iend});
    F::expectCases(PNGCarver(),
                   {{"whole", good, good.size()},
                    {"header CRC", F::patched(good, 29, good[29] ^ 1), {}},
                    {"palette at 16 bits", png({idat, iend}, 16, 3), {}},
                    {"grey at 16 bits", png({idat, iend}, 16, 0), png({idat, iend}).size()},
                    {"colour type 5", png({idat, iend}, 8, 5), {}},
                    {"header not IHDR", F::patched(good, 15, 'X'), {}},
                    {"no IDAT", png({iend}), {}},
                    {"IEND with data", png({idat, chunk("IEND", {0})}), {}},
                    {"bad chunk type", png({chunk("ID4T", {1}), idat, iend}), {}},
                    {"length 2^31", F::patched(good, 33, 0x80), {}},
                    {"length past the source", F::patched(good, 35, 0x7F), {}}});

    const auto dated = [&](std::vector<Bytes> before) {
        before.insert(before.end(), {idat, iend});
        return F::carve(PNGCarver(), png(before)).value().modified;
    };
    EXPECT_EQ(dated({timeChunk(2019, 6, 1, 12, 0, 60)}), dateFromUnixSeconds(1559390460));
    for (const auto& bad : {timeChunk(1994, 6, 1, 12, 0, 0), timeChunk(2019, 13, 1, 12, 0, 0),
                            timeChunk(2019, 6, 1, 24, 0, 0), timeChunk(2019, 6, 0, 12, 0, 0),
                            timeChunk(2019, 6, 1, 12, 0, 61)})
        EXPECT_FALSE(dated({bad}));
    // The EXIF date wins over the time chunk; without one, the time chunk dates the file.
    const auto exif = F::tiff(false, {{0x010F, "Apple"}, {0x0110, "iPhone 14"}},
                              {{0x9003, "2021:05:03 14:22:10"}});
    const auto undated = F::tiff(true, {{0x010F, "Apple"}, {0x0110, "iPhone 14"}});
    EXPECT_EQ(dated({timeChunk(2019, 6, 1, 12, 0, 0), chunk("eXIf", exif)}),
              Binary::localDate(2021, 5, 3, 14, 22, 10));
    EXPECT_EQ(dated({chunk("eXIf", undated), timeChunk(2019, 6, 1, 12, 0, 0)}),
              dateFromUnixSeconds(1559390400));
}

Bytes gif(bool trailer, int frames) {
    Bytes out = F::text("GIF89a");
    out.insert(out.end(), {8, 0, 4, 0, 0x81, 0, 0}); // 8x4, global table of 4 colours
    out.insert(out.end(), 12, 0x33);
    out.insert(out.end(), {0x21, 0xFE, 5, 'h', 'e', 'l', 'l', 'o', 0}); // comment
    for (int f = 0; f < frames; ++f) {
        out.insert(out.end(), {0x21, 0xF9, 4, 0, 10, 0, 0, 0, 0x2C, 0, 0, 0, 0, 8, 0, 4, 0});
        out.push_back(f == 1 ? 0x80 : 0); // the second frame has a local table of 2 colours
        if (f == 1) out.insert(out.end(), 6, 0x44);
        out.insert(out.end(), {2, 3, 0x8C, 0x2D, 0x99, 2, 0x55, 0x55, 0});
    }
    if (trailer) out.push_back(0x3B);
    return out;
}

TEST(GIFCarver, BlocksToTheTrailer) {
    const auto good = gif(true, 2);
    auto stray = good;
    stray.back() = 0;
    stray.push_back(0x3B);
    F::expectCases(GIFCarver(), {{"two frames", good, good.size()},
                                 {"no trailer", gif(false, 2), {}},
                                 {"a trailer with no frame", gif(true, 0), {}},
                                 {"a stray byte before the trailer", stray, {}},
                                 {"zero width", F::patched(good, 6, 0), {}},
                                 {"GIF88a", F::patched(good, 4, '8'), {}}});
}

struct PSDShape {
    std::uint16_t version = 1;
    std::uint32_t width = 5;
    std::uint16_t depth = 16;
    std::uint16_t compression = 0;
};

Bytes psd(const PSDShape& s, const Bytes& resources = {}) {
    Bytes out = F::text("8BPS");
    appendBE(out, s.version, 2);
    out.insert(out.end(), 6, 0);
    for (const auto& [value, width] : std::initializer_list<std::pair<std::uint32_t, int>>{
             {3, 2}, {4, 4}, {s.width, 4}, {s.depth, 2}, {3, 2}, {0, 4}})
        appendBE(out, value, width); // channels, height, width, depth, RGB, colour mode data
    appendBE(out, static_cast<std::uint32_t>(resources.size()), 4);
    out.insert(out.end(), resources.begin(), resources.end());
    if (s.version == 2) appendBE(out, 0, 4);
    appendBE(out, 10, 4); // layer and mask section
    out.insert(out.end(), 10, 0);
    appendBE(out, s.compression, 2);
    const std::uint64_t rowBytes = s.depth == 1 ? (s.width + 7) / 8 : s.width * s.depth / 8;
    if (s.compression == 0) {
        out.insert(out.end(), 12 * rowBytes, 0x21);
    } else {
        for (int r = 0; r < 12; ++r)
            appendBE(out, 3, s.version == 2 ? 4 : 2);
        out.insert(out.end(), 12 * 3, 0x7E);
    }
    return out;
}

Bytes resource(std::uint16_t id, const Bytes& data) {
    Bytes out = F::text("8BIM");
    appendBE(out, id, 2);
    out.insert(out.end(), {3, 'a', 'b', 'c'}); // Pascal name, already even
    appendBE(out, static_cast<std::uint32_t>(data.size()), 4);
    out.insert(out.end(), data.begin(), data.end());
    if (data.size() % 2) out.push_back(0);
    return out;
}

TEST(PSDCarver, SectionsRowsAndResources) {
    // A row length at the PackBits bound with room for the closing no-op byte some writers
    // add: 1 + 1 / 128 + 3 = 4 for a one-byte row; one more is corrupt.
    const auto rle = psd({.width = 1, .depth = 8, .compression = 1});
    const auto table = rle.size() - 12 * 3 - 12 * 2;
    const auto atBound = F::join({F::patched(rle, table + 1, 4), {0x7E}});
    const auto exif = F::tiff(false, {{0x010F, "NIKON CORPORATION"}, {0x0110, "NIKON Z 6"}},
                              {{0x9003, "2021:05:03 14:22:10"}});
    const auto resources = F::join({resource(0x03ED, Bytes(17, 1)), resource(0x0422, exif)});
    const auto size = [](const Bytes& b) { return b.size(); };
    F::expectCases(
        PSDCarver(),
        {{"16-bit raw", psd({}), 26 + 4 + 4 + 14 + 2 + 4 * 3 * 5 * 2U},
         {"1-bit raw", psd({.depth = 1}), size(psd({.depth = 1}))},
         {"PackBits", rle, rle.size()},
         {"PSB PackBits", psd({.version = 2, .depth = 8, .compression = 1}),
          size(psd({.version = 2, .depth = 8, .compression = 1}))},
         {"compression 2", psd({.compression = 2}), {}},
         {"row at the bound", atBound, atBound.size()},
         {"row past the bound", F::join({F::patched(rle, table + 1, 5), {0x7E, 0x7E}}), {}},
         {"colour mode data 16 MiB + 1", F::patched(psd({}), 26, 0x01000001, 4, false), {}},
         {"layers past the source", F::patched(psd({}), 34, 0x7F), {}},
         {"PSB layers of 2^56", F::patched(psd({.version = 2}), 34, 0x01), {}},
         {"EXIF resource", psd({}, resources), size(psd({}, resources))},
         {"version 3", F::patched(psd({}), 5, 3), {}},
         {"reserved", F::patched(psd({}), 8, 1), {}},
         {"57 channels", F::patched(psd({}), 13, 57), {}},
         {"height 0", F::patched(psd({}), 17, 0), {}},
         {"depth 12", F::patched(psd({}), 23, 12), {}},
         {"colour mode 5", F::patched(psd({}), 25, 5), {}}});
    const auto dated = F::carve(PSDCarver(), psd({}, resources));
    EXPECT_EQ(dated->modified, Binary::localDate(2021, 5, 3, 14, 22, 10));
    // A broken resource block leaves the file undated but still carved.
    EXPECT_FALSE(F::carve(PSDCarver(), psd({}, F::patched(resources, 0, 'X'))).value().modified);
}

TEST(RAFCarver, HeadersAndLengths) {
    const auto good = RawFixtures::raf(CarveFixtures::jpeg(4000), 20'000).data;
    const auto raf = FileKind::raf;
    F::expectCases(RAFCarver(),
                   {{"preview not a JPEG", F::patched(good, 0x94, 0), {}},
                    {"preview inside the header", F::patched(good, 84, 100, 4, false), {}},
                    {"sensor data above 512 MiB", F::patched(good, 104, 600'000'000, 4, false), {}},
                    {"lengths that wrap",
                     F::patched(F::patched(good, 100, ~0u, 4, false), 104, ~0u, 4, false),
                     {}},
                    {"short header", Bytes(good.begin(), good.begin() + 107), {}, true, 0, raf},
                    {"lower-case signature", F::patched(good, 15, '_'), {}}});
    // Sensor data above 512 MiB that the source does hold.
    testing::SparseReader large(700'000'000);
    large.place(0, F::patched(good, 104, 600'000'000, 4, false));
    EXPECT_FALSE(RAFCarver().carve(large, 0, FileKind::raf));
}

} // namespace
} // namespace vellary
