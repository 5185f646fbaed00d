// A file cut short never hides the files written after it: the deep scan passes over only what a
// carver checked, and the cut-off file is labelled partial.
#include "core/carve/Carver.hpp"
#include "core/io/DataBlockReader.hpp"
#include "tests/support/CarveFixtures.hpp"
#include "tests/support/JPEGSamples.hpp"

#include <gtest/gtest.h>

#include <map>

namespace vellary {
namespace {

using testing::CarveFixtures;
using testing::JPEGSamples;
using testing::TempDir;

// A file made by ffmpeg with the given arguments; nothing when ffmpeg is missing or fails.
std::optional<Bytes> ffmpeg(const TempDir& dir, const std::string& name,
                            const std::string& arguments) {
    return CarveFixtures::produce(dir, name,
                                  "ffmpeg -v error -nostdin -y " + arguments + " '" + name + "'");
}

struct Sample {
    Bytes data;
    FileKind kind;
};

// Every sample, made once; empty when an encoder is missing.
const std::map<std::string, Sample>& samples() {
    static const auto made = [] {
        static TempDir dir;
        std::map<std::string, Sample> out;
        const auto add = [&](const std::string& name, std::optional<Bytes> data, FileKind kind) {
            if (data) out[name] = {std::move(*data), kind};
        };
        const std::string movie = "-f lavfi -i testsrc=size=320x240:rate=25:duration=4 "
                                  "-f lavfi -i sine=duration=4 -shortest -c:v mpeg4 -c:a aac ";
        const std::string clip = "-f lavfi -i testsrc=size=176x144:rate=10:duration=1 ";
        add("long.mp4", ffmpeg(dir, "long.mp4", movie), FileKind::mp4);
        add("fast.mp4", ffmpeg(dir, "fast.mp4", movie + "-movflags +faststart"), FileKind::mp4);
        add("song.mp3", ffmpeg(dir, "song.mp3", "-f lavfi -i sine=duration=2 -c:a libmp3lame"),
            FileKind::mp3);
        add("clip.mov", ffmpeg(dir, "clip.mov", clip + "-c:v mpeg4"), FileKind::mov);
        add("clip.avi", ffmpeg(dir, "clip.avi", clip + "-c:v mpeg4"), FileKind::avi);
        add("mjpeg.avi", ffmpeg(dir, "mjpeg.avi", clip + "-c:v mjpeg"), FileKind::avi);
        add("photo.jpg", JPEGSamples::cjpeg(dir, 800, 600, 4, "-quality 90"), FileKind::jpeg);
        return out;
    }();
    return made;
}

struct Case {
    const char* name;
    const char* cut; // the file cut short at the image's start
    double keep;     // the part of it kept
    std::vector<const char*> after;
    bool tail; // noise after the last file, or the source ends there
};

const Case kCases[] = {
    {"mp4IndexLast", "long.mp4", 0.3, {"song.mp3", "clip.mov", "clip.avi"}, true},
    {"mp4IndexFirst", "fast.mp4", 0.5, {"song.mp3", "clip.mov", "clip.avi"}, true},
    {"jpegThenMotionJPEG", "photo.jpg", 0.6, {"mjpeg.avi"}, true},
    {"jpegThenMovie", "photo.jpg", 0.35, {"clip.mov", "song.mp3"}, false},
    {"mp4AtSourceEnd", "long.mp4", 0.5, {}, false},
    {"mp4IndexFirstAtSourceEnd", "fast.mp4", 0.7, {}, false},
};

class TruncatedNeighbours : public ::testing::TestWithParam<Case> {};

TEST_P(TruncatedNeighbours, LaterFilesFoundAndTheCutOneIsPartial) {
    const auto& c = GetParam();
    const auto& all = samples();
    std::vector<std::string> names = {c.cut};
    names.insert(names.end(), c.after.begin(), c.after.end());
    for (const auto& n : names)
        if (!all.contains(n)) GTEST_SKIP() << n << " could not be made (ffmpeg or cjpeg missing)";

    const auto& whole = all.at(c.cut).data;
    // Cut on a sector boundary, so the next file follows at once, as on a card.
    const auto kept =
        static_cast<std::size_t>(static_cast<double>(whole.size()) * c.keep) / 512 * 512;
    Bytes image(whole.begin(), whole.begin() + static_cast<std::ptrdiff_t>(kept));
    std::map<std::uint64_t, const Sample*> placed;
    for (const auto* name : c.after) {
        const auto at = (image.size() + 511) / 512 * 512;
        const auto gap = CarveFixtures::noise(at - image.size(), static_cast<unsigned>(at));
        image.insert(image.end(), gap.begin(), gap.end());
        placed[at] = &all.at(name);
        CarveFixtures::place(image, at, all.at(name).data);
    }
    if (c.tail) {
        const auto noise = CarveFixtures::noise(64 * 1024, 99);
        image.insert(image.end(), noise.begin(), noise.end());
    }

    std::vector<RecoverableFile> found;
    Carver::carve(DataBlockReader(image), RangeCover{}, ScanOptions{}, 0, found);

    const auto at = [&](std::uint64_t offset) -> const RecoverableFile* {
        for (const auto& f : found)
            if (f.id == "carve-" + std::to_string(offset)) return &f;
        return nullptr;
    };
    const auto* cut = at(0);
    ASSERT_TRUE(cut) << "the cut-off file itself";
    EXPECT_EQ(cut->kind, all.at(c.cut).kind);
    EXPECT_FALSE(cut->complete);
    EXPECT_EQ(cut->quality(), RecoverableFile::Quality::partial);
    EXPECT_LE(cut->size, image.size());
    for (const auto& [offset, sample] : placed) {
        const auto* f = at(offset);
        ASSERT_TRUE(f) << "a file after the cut one, at " << offset;
        EXPECT_EQ(f->kind, sample->kind) << offset;
        EXPECT_EQ(f->size, sample->data.size()) << offset;
        EXPECT_TRUE(f->complete) << offset;
    }
    // Nothing labelled whole holds bytes other than one of the files placed.
    for (const auto& f : found) {
        if (!f.complete) continue;
        const auto offset = f.ranges.front().offset;
        ASSERT_TRUE(placed.contains(offset)) << f.name << " at " << offset;
        EXPECT_EQ(f.size, placed.at(offset)->data.size());
    }
}

INSTANTIATE_TEST_SUITE_P(Images, TruncatedNeighbours, ::testing::ValuesIn(kCases),
                         [](const ::testing::TestParamInfo<Case>& p) {
                             return std::string(p.param.name);
                         });

} // namespace
} // namespace vellary
