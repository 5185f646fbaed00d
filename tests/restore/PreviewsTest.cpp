#include "core/restore/Previews.hpp"
#include "core/formats/JPEGFrames.hpp"
#include "core/io/DataBlockReader.hpp"
#include "tests/support/CarveFixtures.hpp"
#include "tests/support/FaultyBlockReader.hpp"
#include "tests/support/RawFixtures.hpp"

#include <gtest/gtest.h>

using namespace vellary;
using namespace vellary::testing;
using C = CarveFixtures;

namespace {

// SOI, an APP0 segment, a frame header of the given type, and filler up to size bytes.
Bytes jpegWithFrame(std::uint8_t frame, std::size_t size = 400) {
    auto bytes = C::join({{0xFF, 0xD8},
                          C::segment(0xE0, C::text("JFIF\0")),
                          C::segment(frame, Bytes(15, 1)),
                          C::segment(0xDA, Bytes(10, 2))});
    bytes.resize(size - 2, 0x55);
    bytes.insert(bytes.end(), {0xFF, 0xD9});
    return bytes;
}

RecoverableFile fileOver(const Bytes& data, FileKind kind) {
    RecoverableFile file;
    file.id = "carve-0";
    file.kind = kind;
    file.size = data.size();
    file.ranges = {{0, data.size()}};
    return file.categoryFromKind();
}

std::optional<Bytes> imageOf(const Bytes& data, FileKind kind,
                             std::int64_t maxBytes = Previews::kThumbnailBytes) {
    return Previews::imageData(fileOver(data, kind), DataBlockReader(data), maxBytes);
}

} // namespace

TEST(JPEGFrames, AcceptsOnlyFramesThePlatformDecodes) {
    const Bytes soi = {0xFF, 0xD8};
    const auto seg = [](std::uint8_t m, Bytes payload) { return C::segment(m, payload); };
    const Bytes tail(8, 0);
    const struct {
        const char* name;
        Bytes bytes;
        bool displayable;
    } rows[] = {
        {"baseline", C::join({soi, seg(0xC0, Bytes(15)), tail}), true},
        {"extended", C::join({soi, seg(0xC1, Bytes(15)), tail}), true},
        {"progressive", C::join({soi, seg(0xC2, Bytes(15)), tail}), true},
        {"after segments",
         C::join({soi, seg(0xE1, Bytes(300)), seg(0xDB, Bytes(65)), seg(0xC0, Bytes(15))}), true},
        {"tables first",
         C::join({soi, seg(0xC4, Bytes(30)), seg(0xCC, Bytes(4)), seg(0xC8, Bytes(2)),
                  seg(0xC1, Bytes(15))}),
         true},
        {"fill bytes", C::join({soi, {0xFF, 0xFF, 0xFF}, seg(0xC2, Bytes(15))}), true},
        {"lossless", C::join({soi, seg(0xC3, Bytes(15)), tail}), false},
        {"hierarchical", C::join({soi, seg(0xC5, Bytes(15)), tail}), false},
        {"arithmetic", C::join({soi, seg(0xC9, Bytes(15)), tail}), false},
        {"last other frame", C::join({soi, seg(0xCF, Bytes(15)), tail}), false},
        {"scan before frame", C::join({soi, seg(0xDA, Bytes(10)), tail}), false},
        {"end before frame", C::join({soi, {0xFF, 0xD9, 0, 0}, tail}), false},
        {"no SOI", C::join({{0xFF, 0xD9}, seg(0xC0, Bytes(15))}), false},
        {"short", {0xFF, 0xD8, 0xFF}, false},
        {"not a marker", C::join({soi, {0x00, 0xC0, 0, 17}, tail}), false},
        {"length below 2", C::join({soi, {0xFF, 0xE0, 0, 1}, seg(0xC0, Bytes(15))}), false},
        {"frame too close to the end", C::join({soi, seg(0xE0, Bytes(4)), {0xFF, 0xC0, 0}}), false},
        {"segment past the end", C::join({soi, {0xFF, 0xE0, 0x40, 0}, seg(0xC0, Bytes(5))}), false},
    };
    for (const auto& row : rows)
        EXPECT_EQ(JPEGFrames::isDisplayable(row.bytes), row.displayable) << row.name;
}

TEST(Previews, WholeFileKindsUpToTheLimit) {
    const auto jpeg = jpegWithFrame(0xC0);
    const std::int64_t size = static_cast<std::int64_t>(jpeg.size());
    for (const auto kind :
         {FileKind::jpeg, FileKind::heic, FileKind::avif, FileKind::png, FileKind::gif,
          FileKind::webp, FileKind::bmp, FileKind::psd, FileKind::cr3}) {
        EXPECT_EQ(imageOf(jpeg, kind, size), jpeg) << fileKind::rawValue(kind);
        EXPECT_FALSE(imageOf(jpeg, kind, size - 1)) << fileKind::rawValue(kind);
    }
    for (const auto kind : {FileKind::mp4, FileKind::pdf, FileKind::zip, FileKind::other})
        EXPECT_FALSE(imageOf(jpeg, kind)) << fileKind::rawValue(kind);
    EXPECT_FALSE(imageOf(jpeg, FileKind::jpeg, 0));
    EXPECT_FALSE(imageOf({}, FileKind::jpeg));
}

TEST(Previews, RawTakesTheLargestDisplayablePreview) {
    const auto lossless = jpegWithFrame(0xC3, 9000);
    const auto large = jpegWithFrame(0xC0, 6000);
    const auto small = jpegWithFrame(0xC2, 2000);
    const auto raw = RawFixtures::nef({small, lossless, large});
    EXPECT_EQ(imageOf(raw.data, FileKind::nef), large);
    // A limit below the largest leaves the next one.
    EXPECT_EQ(imageOf(raw.data, FileKind::nef, 5999), small);

    // Only lossless previews: the whole file when it fits, else nothing.
    const auto onlyLossless = RawFixtures::nef({lossless});
    EXPECT_EQ(imageOf(onlyLossless.data, FileKind::nef), onlyLossless.data);
    EXPECT_FALSE(imageOf(onlyLossless.data, FileKind::nef,
                         static_cast<std::int64_t>(onlyLossless.data.size()) - 1));

    const auto dng = RawFixtures::dng(large);
    EXPECT_EQ(imageOf(dng.data, FileKind::dng), large);
}

// The smallest raw preview taken is 64 bytes and none runs past the file; a RAF's comes from its
// header, and a source that vanishes gives nothing.
TEST(Previews, RawPreviewBoundsTheRAFHeaderAndAVanishedSource) {
    const auto tiny = jpegWithFrame(0xC0, 64);
    const auto raw = RawFixtures::nef({tiny});
    EXPECT_EQ(imageOf(raw.data, FileKind::nef), tiny);
    const auto tooSmall = RawFixtures::nef({jpegWithFrame(0xC0, 63)});
    EXPECT_EQ(imageOf(tooSmall.data, FileKind::nef), tooSmall.data);
    auto cut = fileOver(raw.data, FileKind::nef);
    cut.size = raw.previews[0].offset + raw.previews[0].length - 1;
    EXPECT_NE(Previews::imageData(cut, DataBlockReader(raw.data), 1 << 20), tiny);

    const auto jpeg = jpegWithFrame(0xC0, 3000);
    const auto raf = RawFixtures::raf(jpeg, 20000);
    EXPECT_EQ(imageOf(raf.data, FileKind::raf, 3000), jpeg);
    EXPECT_FALSE(imageOf(raf.data, FileKind::raf, 2999));
    auto broken = raf.data; // a header that names no JPEG gives nothing, not the whole file
    broken[raf.previews[0].offset] = 0;
    EXPECT_FALSE(imageOf(broken, FileKind::raf));
    cut = fileOver(raf.data, FileKind::raf); // cut before the end the header states
    cut.size -= 1;
    EXPECT_FALSE(Previews::imageData(cut, DataBlockReader(raf.data), 1 << 20));

    for (const auto& [data, kind] : {std::pair(jpeg, FileKind::jpeg), {raf.data, FileKind::raf}}) {
        FaultyBlockReader reader(data);
        reader.vanishAt(1000);
        EXPECT_FALSE(Previews::imageData(fileOver(data, kind), reader, Previews::kThumbnailBytes))
            << fileKind::rawValue(kind);
    }
}
