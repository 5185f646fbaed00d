#include "core/carve/RAFCarver.hpp"
#include "core/io/DataBlockReader.hpp"
#include "tests/support/ByteWriters.hpp"
#include "tests/support/CarveFixtures.hpp"
#include "tests/support/RawFixtures.hpp"

#include <gtest/gtest.h>

using namespace vellary;
using vellary::testing::CarveFixtures;
using vellary::testing::putBE;
using vellary::testing::RawFixtures;

namespace {

const RAFCarver carver;

// A camera JPEG preview: EXIF first, then a maker segment naming the file.
Bytes cameraPreview(std::size_t size) {
    CarveFixtures::JPEGParts parts;
    const auto exif = CarveFixtures::tiff(true, {{0x010F, "FUJIFILM"}, {0x0110, "X-T4"}},
                                          {{0x9003, "2021:05:03 14:22:10"}});
    const std::string name = "DSCF0042.JPG";
    parts.before = {CarveFixtures::exifSegment(exif),
                    CarveFixtures::segment(0xE2, Bytes(name.begin(), name.end()))};
    parts.padTo = size;
    return CarveFixtures::jpeg(parts);
}

std::optional<Carved> measure(const Bytes& data) {
    const auto kind = carver.sniff(ByteSpan(data).first(std::min<std::size_t>(32, data.size())));
    if (!kind) return std::nullopt;
    return carver.carve(DataBlockReader(data), 0, *kind);
}

} // namespace

TEST(RAFCarver, MeasuresTheContainerWithPreviewMetadata) {
    for (const std::size_t previewSize : {std::size_t{5000}, std::size_t{300'000}}) {
        // The larger preview is read only in part, so its EXIF comes from the first APP1 alone.
        const auto raf = RawFixtures::raf(cameraPreview(previewSize), 40'000);
        Bytes data = raf.data;
        const auto tail = CarveFixtures::noise(3000, 31);
        data.insert(data.end(), tail.begin(), tail.end());
        const auto carved = measure(data);
        ASSERT_TRUE(carved) << previewSize;
        EXPECT_EQ(carved->kind, FileKind::raf);
        EXPECT_EQ(carved->size, raf.data.size());
        EXPECT_TRUE(carved->complete);
        EXPECT_EQ(carved->modified, Binary::localDate(2021, 5, 3, 14, 22, 10));
        EXPECT_EQ(carved->device, "Fujifilm X-T4");
        EXPECT_EQ(carved->nameHint, "DSCF0042.RAF");
    }
}

TEST(RAFCarver, PreviewWithoutMetadataLeavesFieldsEmpty) {
    const auto raf = RawFixtures::raf(RawFixtures::preview(4000), 20'000);
    const auto carved = measure(raf.data);
    ASSERT_TRUE(carved);
    EXPECT_EQ(carved->size, raf.data.size());
    EXPECT_FALSE(carved->modified);
    EXPECT_FALSE(carved->device);
    EXPECT_FALSE(carved->nameHint);
}

TEST(RAFCarver, RejectsBadHeadersAndLengths) {
    const auto good = RawFixtures::raf(RawFixtures::preview(4000), 20'000).data;
    ASSERT_TRUE(measure(good));

    auto notJPEG = good;
    notJPEG[0x94] = 0x00; // the preview no longer starts FF D8
    EXPECT_FALSE(measure(notJPEG));

    auto lowOffset = good;
    putBE(lowOffset, 84, 100, 4);
    EXPECT_FALSE(measure(lowOffset));

    auto huge = good;
    putBE(huge, 104, 600'000'000, 4); // CFA length above 512 MiB
    EXPECT_FALSE(measure(huge));

    auto wrap = good;
    putBE(wrap, 100, 0xFFFFFFFF, 4);
    putBE(wrap, 104, 0xFFFFFFFF, 4);
    EXPECT_FALSE(measure(wrap));

    const Bytes truncated(good.begin(), good.end() - 1);
    EXPECT_FALSE(measure(truncated));
    const Bytes shortHeader(good.begin(), good.begin() + 107);
    EXPECT_FALSE(carver.carve(DataBlockReader(shortHeader), 0, FileKind::raf));
    EXPECT_FALSE(carver.carve(DataBlockReader(good), good.size(), FileKind::raf));

    EXPECT_FALSE(carver.sniff(ByteSpan(good).first(15)));
    auto lower = good;
    lower[15] = '_';
    EXPECT_FALSE(carver.sniff(lower));
    EXPECT_EQ(carver.leadBytes(), std::vector<std::uint8_t>{0x46});
}
