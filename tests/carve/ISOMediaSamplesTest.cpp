// ISO media files judged by where their sample tables put the samples: inside the media data
// walked, and with no other file's start among them.
#include "core/carve/ISOMediaCarver.hpp"
#include "core/io/DataBlockReader.hpp"
#include "tests/support/CarveFixtures.hpp"

#include <gtest/gtest.h>

#include <algorithm>

namespace vellary {
namespace {

using testing::CarveFixtures;
using testing::TempDir;

// A file made by ffmpeg with the given arguments; nothing when ffmpeg is missing or fails.
std::optional<Bytes> ffmpeg(const TempDir& dir, const std::string& name,
                            const std::string& arguments) {
    return CarveFixtures::produce(dir, name,
                                  "ffmpeg -v error -nostdin -y " + arguments + " '" + name + "'");
}

std::size_t find(const Bytes& data, std::string_view text, std::size_t from = 0) {
    const auto it = std::search(data.begin() + static_cast<std::ptrdiff_t>(from), data.end(),
                                text.begin(), text.end());
    return static_cast<std::size_t>(it - data.begin());
}

std::optional<Carved> carveAt(const Bytes& image, std::uint64_t at, FileKind kind) {
    return ISOMediaCarver().carve(DataBlockReader(image), at, kind);
}

struct Movie {
    const char* name;
    const char* arguments;
    FileKind kind;
};

// Motion-JPEG frames start with a JPEG signature, some on sector boundaries: samples, not files.
const Movie kMovies[] = {
    {"mjpeg.mov", "-f lavfi -i testsrc=size=320x240:rate=25:duration=3 -c:v mjpeg", FileKind::mov},
    {"fast.mp4",
     "-f lavfi -i testsrc=size=176x144:rate=10:duration=2 -c:v mpeg4 -movflags +faststart",
     FileKind::mp4},
    {"last.mp4", "-f lavfi -i testsrc=size=176x144:rate=10:duration=2 -c:v mpeg4", FileKind::mp4},
};

class ISOMediaSamples : public ::testing::TestWithParam<Movie> {};

TEST_P(ISOMediaSamples, WholeMovieIsCompleteAndABrokenIndexIsNot) {
    TempDir dir;
    const auto& m = GetParam();
    const auto movie = ffmpeg(dir, m.name, m.arguments);
    if (!movie) GTEST_SKIP() << "ffmpeg missing";
    // Placed so that a frame starting with a JPEG signature lands on a sector start, when the
    // movie has one.
    const Bytes soi = {0xFF, 0xD8, 0xFF};
    const auto frame = static_cast<std::uint64_t>(
        std::search(movie->begin(), movie->end(), soi.begin(), soi.end()) - movie->begin());
    const std::uint64_t onSector = 512 + (512 - frame % 512) % 512;
    for (const std::uint64_t at : {std::uint64_t{0}, onSector}) {
        Bytes image = CarveFixtures::noise(at, 3);
        image.insert(image.end(), movie->begin(), movie->end());
        const auto tail = CarveFixtures::noise(8192, 4);
        image.insert(image.end(), tail.begin(), tail.end());
        const auto carved = carveAt(image, at, m.kind);
        ASSERT_TRUE(carved) << at;
        EXPECT_TRUE(carved->complete) << at;
        EXPECT_EQ(carved->size, movie->size()) << at;
    }

    // A chunk offset pointing outside the media data: the index does not belong to these bytes.
    auto moved = *movie;
    const auto stco = find(moved, "stco");
    ASSERT_LT(stco, moved.size());
    const std::size_t first = stco + 4 + 8; // version and flags, count, then the first entry
    moved[first] = 0x7F;
    const auto broken = carveAt(moved, 0, m.kind);
    ASSERT_TRUE(broken);
    EXPECT_FALSE(broken->complete);
    ASSERT_TRUE(broken->verified);
    EXPECT_LE(*broken->verified, find(moved, "mdat") + 8);
}

INSTANTIATE_TEST_SUITE_P(Encoders, ISOMediaSamples, ::testing::ValuesIn(kMovies),
                         [](const ::testing::TestParamInfo<Movie>& p) {
                             std::string name = p.param.name;
                             std::replace(name.begin(), name.end(), '.', '_');
                             return name;
                         });

// Another file's start inside the media data of an indexed movie: the movie ends there.
TEST(ISOMediaSamplesIntruder, FileInsideMediaDataEndsTheMovie) {
    TempDir dir;
    const auto movie = ffmpeg(
        dir, "fast.mp4",
        "-f lavfi -i testsrc=size=320x240:rate=25:duration=3 -c:v mpeg4 -movflags +faststart");
    if (!movie) GTEST_SKIP() << "ffmpeg missing";
    auto image = *movie;
    const auto body = find(image, "mdat") + 4;
    const auto sector = (body + 4096) / 512 * 512;
    ASSERT_LT(sector + 64, image.size());
    const Bytes png = {0x89, 'P', 'N', 'G', 0x0D, 0x0A, 0x1A, 0x0A,
                       0,    0,   0,   13,  'I',  'H',  'D',  'R'};
    std::copy(png.begin(), png.end(), image.begin() + static_cast<std::ptrdiff_t>(sector));
    const auto carved = carveAt(image, 0, FileKind::mp4);
    ASSERT_TRUE(carved);
    EXPECT_FALSE(carved->complete);
    EXPECT_EQ(carved->size, sector);
}

} // namespace
} // namespace vellary
