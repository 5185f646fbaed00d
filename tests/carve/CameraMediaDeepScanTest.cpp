#include "core/carve/Carver.hpp"
#include "core/engine/RecoveryEngine.hpp"
#include "core/io/DataBlockReader.hpp"
#include "core/io/FileBlockReader.hpp"
#include "tests/support/CarveFixtures.hpp"
#include "tests/support/EncodedMedia.hpp"
#include "tests/support/RawFixtures.hpp"

#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <map>
#include <set>

using namespace vellary;
using vellary::testing::CarveFixtures;
using vellary::testing::EncodedMedia;
using vellary::testing::RawFixtures;
using vellary::testing::TempDir;

namespace {

struct Sample {
    std::string name;
    Bytes data;
    FileKind kind;
};

constexpr const char* kClip = "-f lavfi -i testsrc=size=176x144:rate=10:duration=1 -c:v mpeg4 "
                              "-metadata creation_time=2021-05-03T14:22:10Z";
constexpr const char* kClipWithSound =
    "-f lavfi -i testsrc=size=176x144:rate=10:duration=1 -f lavfi -i sine=duration=1 -shortest "
    "-c:v mpeg4 -c:a aac -metadata creation_time=2021-05-03T14:22:10Z";
constexpr double kClipDate = 1'620'051'730; // 2021-05-03 14:22:10 UTC

// One file of every kind this family of carvers measures; nothing when the encoders are missing.
std::optional<std::vector<Sample>> everyFormat(const TempDir& dir, bool withRaw) {
    std::vector<Sample> samples;
    const auto add = [&](const std::string& name, std::optional<Bytes> data, FileKind kind) {
        if (!data) return false;
        samples.push_back({name, std::move(*data), kind});
        return true;
    };
    bool ok =
        add("clip.mp4", EncodedMedia::ffmpeg(dir, "clip.mp4", kClipWithSound), FileKind::mp4) &&
        add("fast.mp4",
            EncodedMedia::ffmpeg(dir, "fast.mp4", std::string(kClip) + " -movflags +faststart"),
            FileKind::mp4) &&
        add("clip.mov", EncodedMedia::ffmpeg(dir, "clip.mov", kClip), FileKind::mov) &&
        add("clip.m4v", EncodedMedia::ffmpeg(dir, "clip.m4v", kClip), FileKind::m4v) &&
        add("clip.3gp",
            EncodedMedia::ffmpeg(dir, "clip.3gp",
                                 "-f lavfi -i testsrc=size=176x144:rate=10:duration=1 "
                                 "-c:v h263 -metadata creation_time=2021-05-03T14:22:10Z"),
            FileKind::threegp) &&
        add("song.m4a",
            EncodedMedia::ffmpeg(dir, "song.m4a", "-f lavfi -i sine=duration=2 -c:a aac"),
            FileKind::m4a);
    const std::string plasma = "-size 120x90 -seed 3 plasma:fractal -depth 8";
    ok =
        ok &&
        add("le.tif", EncodedMedia::magick(dir, "le.tif", plasma + " -endian LSB"),
            FileKind::tiff) &&
        add("tiles.tif",
            EncodedMedia::magick(dir, "tiles.tif",
                                 plasma + " -endian MSB -define tiff:tile-geometry=64x64"),
            FileKind::tiff) &&
        add("pic.png", EncodedMedia::magick(dir, "pic.png", plasma), FileKind::png) &&
        add("anim.gif",
            EncodedMedia::magick(dir, "anim.gif",
                                 "-delay 10 -size 60x40 plasma:fractal -size 60x40 plasma:fractal"),
            FileKind::gif) &&
        add("art.psd", EncodedMedia::magick(dir, "art.psd", plasma + " -compress RLE"),
            FileKind::psd) &&
        add("big.psb", EncodedMedia::magick(dir, "big.psb", plasma + " -compress RLE", "psb"),
            FileKind::psd);
    if (!ok) return std::nullopt;
    // HEIC and AVIF only where heif-enc can encode them.
    add("photo.heic", EncodedMedia::heif(dir, "photo.heic"), FileKind::heic);
    add("photo.avif", EncodedMedia::heif(dir, "photo.avif"), FileKind::avif);
    if (withRaw) {
        samples.push_back({"a.cr2", RawFixtures::cr2().data, FileKind::cr2});
        samples.push_back({"a.nef", RawFixtures::nef().data, FileKind::nef});
        samples.push_back({"a.arw", RawFixtures::arw().data, FileKind::arw});
        samples.push_back({"a.dng", RawFixtures::dng().data, FileKind::dng});
        samples.push_back({"a.orf", RawFixtures::orf().data, FileKind::orf});
        samples.push_back({"a.pef", RawFixtures::pef().data, FileKind::pef});
        samples.push_back({"a.srw", RawFixtures::srw().data, FileKind::srw});
        samples.push_back({"a.rw2", RawFixtures::rw2(140, 100, 8192, true).data, FileKind::rw2});
        samples.push_back(
            {"a.raf", RawFixtures::raf(RawFixtures::preview(6000), 30'000).data, FileKind::raf});
    }
    return samples;
}

const RecoverableFile* findById(const std::vector<RecoverableFile>& files, const std::string& id) {
    const auto found = std::find_if(files.begin(), files.end(),
                                    [&](const RecoverableFile& f) { return f.id == id; });
    return found == files.end() ? nullptr : &*found;
}

} // namespace

TEST(CameraMediaDeepScan, FindsEveryFormatAmongNoise) {
    TempDir dir;
    const auto samples = everyFormat(dir, true);
    if (!samples) GTEST_SKIP() << "ffmpeg or ImageMagick (/usr/bin/convert) is not installed";

    std::vector<const Bytes*> files;
    for (const auto& s : *samples)
        files.push_back(&s.data);
    std::vector<std::uint64_t> starts;
    Bytes image = CarveFixtures::scattered(files, 41, starts);
    std::map<std::uint64_t, const Sample*> placed;
    for (std::size_t i = 0; i < samples->size(); ++i)
        placed[starts[i]] = &(*samples)[i];

    std::vector<RecoverableFile> sink;
    const DataBlockReader reader(image);
    Carver::carve(reader, RangeCover{}, ScanOptions{}, 0, sink);

    for (const auto& [offset, sample] : placed) {
        const auto* found = findById(sink, "carve-" + std::to_string(offset));
        ASSERT_TRUE(found) << sample->name << " at " << offset;
        EXPECT_EQ(found->kind, sample->kind) << sample->name;
        EXPECT_EQ(found->size, sample->data.size()) << sample->name;
        EXPECT_TRUE(found->complete) << sample->name;
    }
    EXPECT_EQ(sink.size(), placed.size());
}

TEST(CameraMediaDeepScan, QuickFormattedCardGivesEveryFileBackByteExact) {
    for (const char* tool : {"mkfs.vfat", "mcopy"})
        if (!vellary::testing::haveTool(tool))
            GTEST_SKIP() << tool << " (dosfstools, mtools) is not installed";
    TempDir dir;
    auto samples = everyFormat(dir, false);
    if (!samples) GTEST_SKIP() << "ffmpeg or ImageMagick (/usr/bin/convert) is not installed";
    samples->push_back({"camera.nef", RawFixtures::nef().data, FileKind::nef});

    // Filled through the file system, then quick-formatted: only the contents remain.
    const auto card = dir / "card.img";
    vellary::testing::makeBlankFile(card, 48 * 1024 * 1024);
    ASSERT_EQ(vellary::testing::run("mkfs.vfat -F 32 -n CARD '" + card.string() + "'"), 0);
    for (const auto& s : *samples) {
        const auto path = dir / ("put-" + s.name);
        vellary::testing::writeFile(path, std::string(s.data.begin(), s.data.end()));
        ASSERT_EQ(vellary::testing::run("mcopy -i '" + card.string() + "' '" + path.string() +
                                        "' ::/" + s.name),
                  0);
    }
    ASSERT_EQ(vellary::testing::run("mkfs.vfat -F 32 -n CARD '" + card.string() + "'"), 0);

    const FileBlockReader reader(card);
    ScanOptions options;
    options.deepScan = true;
    const auto result = RecoveryEngine::scan(reader, options);
    ASSERT_TRUE(result.searchedContents);

    std::map<std::string, const RecoverableFile*> byContent;
    for (const auto& file : result.files) {
        if (file.size > 64 * 1024 * 1024) continue;
        const auto bytes =
            RecoveryEngine::read(reader, file, 0, static_cast<std::int64_t>(file.size));
        byContent[std::string(bytes.begin(), bytes.end())] = &file;
    }
    for (const auto& s : *samples) {
        const auto found = byContent.find(std::string(s.data.begin(), s.data.end()));
        ASSERT_NE(found, byContent.end()) << s.name << " was not found byte-exact";
        const auto& file = *found->second;
        EXPECT_EQ(file.kind, s.kind) << s.name;
        EXPECT_TRUE(file.complete) << s.name;
        if (s.name.starts_with("clip.")) {
            ASSERT_TRUE(file.modified) << s.name;
            EXPECT_DOUBLE_EQ(unixSeconds(*file.modified), kClipDate) << s.name;
        }
    }
    const auto nef =
        byContent.find(std::string(samples->back().data.begin(), samples->back().data.end()));
    ASSERT_NE(nef, byContent.end());
    EXPECT_EQ(nef->second->device, "NIKON D850");
    EXPECT_EQ(nef->second->modified, Binary::localDate(2021, 5, 3, 14, 22, 10));
    EXPECT_EQ(nef->second->name, "2021-05-03 14.22.10.nef");
}
