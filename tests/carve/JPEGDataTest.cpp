// The JPEG data check against libjpeg-turbo's verdict: real encoder output whole, cut short and
// spliced with foreign bytes at cluster boundaries.
#include "core/carve/JPEGData.hpp"
#include "core/carve/JPEGCarver.hpp"
#include "core/io/DataBlockReader.hpp"
#include "tests/support/CarveFixtures.hpp"
#include "tests/support/JPEGSamples.hpp"

#include <gtest/gtest.h>

#include <random>

namespace vellary {
namespace {

using testing::CarveFixtures;
using testing::JPEGSamples;
using testing::TempDir;

struct Encoding {
    const char* name;
    const char* options;
    int width;
    int height;
};

const Encoding kEncodings[] = {
    {"baseline420", "-quality 85", 640, 480},
    {"sampled422", "-quality 90 -sample 2x1", 600, 400},
    {"sampled444", "-quality 80 -sample 1x1", 500, 333},
    {"grey", "-quality 75 -grayscale", 641, 479},
    {"optimized", "-quality 95 -optimize", 512, 512},
    {"restartRows", "-quality 85 -restart 1", 640, 480},
    {"restartBlocks", "-quality 85 -restart 7B -sample 1x1", 400, 300},
    {"progressive", "-quality 85 -progressive", 640, 480},
    {"progressive444", "-quality 92 -progressive -sample 1x1", 333, 500},
    {"progressiveRestart", "-quality 85 -progressive -restart 2", 480, 640},
};

class JPEGDataTest : public ::testing::TestWithParam<Encoding> {
protected:
    std::optional<JPEGCarver::Parsed> measure(const Bytes& bytes) {
        return JPEGCarver::measure(DataBlockReader(bytes), 0);
    }
    // Whether the data check calls the bytes whole, which must then be all of the original.
    void expectHonest(const Bytes& image, const Bytes& original, const std::string& what) {
        SCOPED_TRACE(what);
        const auto parsed = measure(image);
        const bool clean = JPEGSamples::djpegClean(dir_, image);
        if (parsed && parsed->complete) {
            EXPECT_TRUE(clean) << "whole by our check, broken by libjpeg";
            ASSERT_EQ(parsed->size, original.size());
            EXPECT_TRUE(std::equal(original.begin(), original.end(), image.begin()));
        } else {
            EXPECT_FALSE(clean) << "libjpeg decodes what our check calls broken";
        }
    }
    TempDir dir_;
};

TEST_P(JPEGDataTest, WholeFilesDecodeToTheirEnd) {
    const auto& e = GetParam();
    const auto jpeg = JPEGSamples::cjpeg(dir_, e.width, e.height, 3, e.options);
    if (!jpeg) GTEST_SKIP() << "cjpeg missing";
    ASSERT_TRUE(JPEGSamples::djpegClean(dir_, *jpeg));
    auto image = *jpeg;
    image.resize(image.size() + 4096, 0x5A); // whatever follows is not part of it
    const auto parsed = measure(image);
    ASSERT_TRUE(parsed);
    EXPECT_TRUE(parsed->complete);
    EXPECT_EQ(parsed->size, jpeg->size());
}

TEST_P(JPEGDataTest, CutOrSplicedDataIsNeverWhole) {
    const auto& e = GetParam();
    const auto jpeg = JPEGSamples::cjpeg(dir_, e.width, e.height, 5, e.options);
    const auto other = JPEGSamples::cjpeg(dir_, e.width, e.height, 9, e.options);
    if (!jpeg || !other) GTEST_SKIP() << "cjpeg missing";
    std::mt19937 random(11);
    for (const double at : {0.25, 0.5, 0.8, 0.97}) {
        const auto cut =
            static_cast<std::size_t>(static_cast<double>(jpeg->size()) * at) / 512 * 512;
        const Bytes head(jpeg->begin(), jpeg->begin() + static_cast<std::ptrdiff_t>(cut));
        // Cut short, with the source ending there.
        expectHonest(head, *jpeg, "cut at " + std::to_string(cut));
        const auto parsed = measure(head);
        ASSERT_TRUE(parsed);
        // It stops where the data stops, not earlier: the bytes before the cut are sound.
        EXPECT_LE(parsed->size, cut);
        EXPECT_GE(parsed->size + 64, cut);

        // Followed by bytes of something else: noise, zeros, another JPEG's data of the same
        // shape (same tables), then the rest of this one.
        Bytes noise(8192);
        for (auto& b : noise)
            b = static_cast<std::uint8_t>(random());
        const Bytes zeros(8192, 0);
        const Bytes foreign(other->begin() + static_cast<std::ptrdiff_t>(other->size() / 3),
                            other->begin() + static_cast<std::ptrdiff_t>(other->size() / 3 + 8192));
        for (const Bytes* gap : std::initializer_list<const Bytes*>{&noise, &zeros, &foreign}) {
            Bytes spliced = head;
            spliced.insert(spliced.end(), gap->begin(), gap->end());
            spliced.insert(spliced.end(), jpeg->begin() + static_cast<std::ptrdiff_t>(cut),
                           jpeg->end());
            expectHonest(spliced, *jpeg, "splice at " + std::to_string(cut));
            // Noise stops decoding within a few hundred bytes.
            if (gap == &noise) {
                const auto broken = measure(spliced);
                ASSERT_TRUE(broken);
                EXPECT_GE(broken->size + 64, cut);
                EXPECT_LE(broken->size, cut + 2048);
            }
        }
    }
}

INSTANTIATE_TEST_SUITE_P(Encoders, JPEGDataTest, ::testing::ValuesIn(kEncodings),
                         [](const ::testing::TestParamInfo<Encoding>& p) {
                             return std::string(p.param.name);
                         });

// A camera-like file: EXIF from exiftool, and an MPF index announcing a preview stored after the
// primary image. The preview counts as part of the file.
TEST(JPEGDataCamera, PrimaryAndPreviewMeasuredWhole) {
    TempDir dir;
    const auto primary = JPEGSamples::cjpeg(dir, 800, 600, 21, "-quality 92 -restart 4");
    const auto preview = JPEGSamples::cjpeg(dir, 160, 120, 22, "-quality 80");
    if (!primary || !preview) GTEST_SKIP() << "cjpeg missing";
    testing::writeFile(dir / "tagged.jpg", std::string(primary->begin(), primary->end()));
    const auto tagged = CarveFixtures::produce(
        dir, "tagged.jpg", "exiftool -q -overwrite_original -Make=FUJIFILM -Model=X-T4 tagged.jpg");
    if (!tagged) GTEST_SKIP() << "exiftool missing";
    const auto camera = CarveFixtures::withMPF(*tagged, *preview);
    ASSERT_TRUE(JPEGSamples::djpegClean(dir, camera));
    const auto parsed = JPEGCarver::measure(DataBlockReader(camera), 0);
    ASSERT_TRUE(parsed);
    EXPECT_TRUE(parsed->complete);
    EXPECT_EQ(parsed->size, camera.size());
}

// A table that names more codes of a length than the length can hold is malformed.
TEST(JPEGDataTables, OverfullTableRejected) {
    JPEGData data;
    Bytes payload(17, 0);
    payload[0] = 0x00;
    payload[1] = 3; // three codes of one bit
    payload.insert(payload.end(), {0, 1, 2});
    EXPECT_FALSE(data.defineTables(payload));
    payload[1] = 2;
    payload.pop_back();
    EXPECT_TRUE(data.defineTables(payload));
}

} // namespace
} // namespace vellary
