#include "core/carve/MatroskaCarver.hpp"

#include "tests/support/CarveFixtures.hpp"
#include "tests/support/DocumentFixtures.hpp"

#include <gtest/gtest.h>

#include <algorithm>

namespace vellary {
namespace {

using testing::CarveFixtures;
using testing::DocumentFixtures;

const MatroskaCarver matroska;

std::optional<Carved> carveAt(const Bytes& source) {
    return DocumentFixtures::carve(matroska, source, 0, FileKind::mkv);
}

const Bytes kSegmentID = {0x18, 0x53, 0x80, 0x67};
const Bytes kClusterID = {0x1F, 0x43, 0xB6, 0x75};

std::vector<std::size_t> findAll(const Bytes& b, const Bytes& pattern) {
    std::vector<std::size_t> hits;
    for (auto it = b.begin();
         (it = std::search(it, b.end(), pattern.begin(), pattern.end())) != b.end(); ++it)
        hits.push_back(static_cast<std::size_t>(it - b.begin()));
    return hits;
}

std::size_t vintLength(std::uint8_t first) {
    std::size_t n = 1;
    while (n < 8 && !(first & (0x80 >> (n - 1))))
        ++n;
    return n;
}

// Marks the element's size at `at` (just after its ID) unknown, keeping its length.
void makeUnknownSize(Bytes& b, std::size_t at) {
    const auto n = vintLength(b[at]);
    b[at] = static_cast<std::uint8_t>(0xFF >> (n - 1));
    for (std::size_t k = 1; k < n; ++k)
        b[at + k] = 0xFF;
}

struct Video {
    const char* name;
    FileKind kind;
    Bytes bytes;
};

std::vector<Video> videos(const testing::TempDir& dir) {
    std::vector<Video> out;
    const std::string input =
        "ffmpeg -v error -nostdin -f lavfi -i testsrc=size=160x120:rate=10:duration=2 "
        "-f lavfi -i sine=d=2 -metadata creation_time=2021-05-03T12:00:00Z ";
    if (const auto f =
            DocumentFixtures::produce(dir, "clip.mkv", input + "-c:v mpeg4 -c:a flac clip.mkv"))
        out.push_back({"mkv", FileKind::mkv, *f});
    if (const auto f = DocumentFixtures::produce(
            dir, "clip.webm", input + "-c:v libvpx -b:v 200k -c:a libopus clip.webm"))
        out.push_back({"webm", FileKind::webm, *f});
    return out;
}

TEST(MatroskaCarverTest, Sniff) {
    const Bytes header = {0x1A, 0x45, 0xDF, 0xA3, 0x9F, 0x42, 0x86, 0x81,
                          1,    0x42, 0xF7, 0x81, 1,    0x42, 0xF2, 0x81};
    EXPECT_EQ(matroska.sniff(header), FileKind::mkv);
    EXPECT_FALSE(matroska.sniff(ByteSpan(header).first(15)));
    auto bad = header;
    bad[4] = 0;
    EXPECT_FALSE(matroska.sniff(bad));
}

TEST(MatroskaCarverTest, FFmpegFilesWithKnownSizes) {
    testing::TempDir dir;
    const auto files = videos(dir);
    if (files.empty()) GTEST_SKIP() << "ffmpeg is not installed";
    for (const auto& [name, kind, file] : files) {
        const auto tail = CarveFixtures::noise(30000, 8);
        const auto carved = carveAt(DocumentFixtures::concat({&file, &tail}));
        ASSERT_TRUE(carved) << name;
        EXPECT_EQ(carved->kind, kind) << name;
        EXPECT_EQ(carved->size, file.size()) << name;
        EXPECT_TRUE(carved->complete);
        ASSERT_TRUE(carved->modified) << name;
        EXPECT_DOUBLE_EQ(unixSeconds(*carved->modified), 1620043200.0) << name;
        EXPECT_GT(DocumentFixtures::expectSafeOnDamage(matroska, file, FileKind::mkv), 0) << name;

        // A Segment that declares more than the source holds: not carved.
        const Bytes cut(file.begin(), file.end() - 1);
        EXPECT_FALSE(carveAt(cut)) << name;
    }
}

TEST(MatroskaCarverTest, HeaderChecks) {
    testing::TempDir dir;
    const auto files = videos(dir);
    if (files.empty()) GTEST_SKIP() << "ffmpeg is not installed";
    const auto& file = files.front().bytes;
    const auto docType = findAll(file, {0x42, 0x82})[0];
    auto other = file;
    other[docType + 3] = 'M'; // "Matroska" is not a known document type
    EXPECT_FALSE(carveAt(other));
    auto tiny = file;
    tiny[4] = 0x87; // EBML header of 7 bytes
    EXPECT_FALSE(carveAt(tiny));
    auto noSegment = file;
    noSegment[findAll(file, kSegmentID)[0]] = 0x1F;
    EXPECT_FALSE(carveAt(noSegment));
}

TEST(MatroskaCarverTest, LiveRecordingsWithUnknownSizes) {
    testing::TempDir dir;
    const auto live = DocumentFixtures::produce(
        dir, "live.webm",
        "ffmpeg -v error -nostdin -f lavfi -i testsrc=size=160x120:rate=10:duration=3 -f lavfi -i "
        "sine=d=3 -c:v libvpx -c:a libopus -f webm -live 1 - | cat > live.webm");
    if (!live) GTEST_SKIP() << "ffmpeg is not installed";
    const auto segment = findAll(*live, kSegmentID)[0];
    ASSERT_EQ((*live)[segment + 4], 0x01) << "a live recording has a Segment of unknown size";

    const auto tail = CarveFixtures::noise(30000, 8);
    const auto whole = carveAt(DocumentFixtures::concat({&*live, &tail}));
    ASSERT_TRUE(whole);
    EXPECT_EQ(whole->kind, FileKind::webm);
    EXPECT_EQ(whole->size, live->size());

    // Clusters of unknown size end at the first element that is not one of their children.
    auto unknown = *live;
    const auto clusters = findAll(unknown, kClusterID);
    ASSERT_GE(clusters.size(), 2u);
    for (const auto c : clusters)
        makeUnknownSize(unknown, c + 4);
    EXPECT_EQ(carveAt(DocumentFixtures::concat({&unknown, &tail})).value().size, live->size());

    // Cut off inside its last cluster: the recording ends where that cluster starts, never
    // past the source, whether the cluster's size is known or not.
    const std::size_t cutAt = clusters.back() + 200;
    for (const Bytes* variant : std::initializer_list<const Bytes*>{&*live, &unknown}) {
        const Bytes cut(variant->begin(), variant->begin() + static_cast<std::ptrdiff_t>(cutAt));
        const auto carved = carveAt(cut);
        ASSERT_TRUE(carved);
        EXPECT_LE(carved->size, cut.size());
        if (variant == &*live) {
            EXPECT_EQ(carved->size, clusters.back());
        }
    }
    EXPECT_GT(DocumentFixtures::expectSafeOnDamage(matroska, unknown, FileKind::mkv), 0);

    // Without Tracks, or without any Cluster, a live recording is not accepted.
    // (The last mention before the first Cluster: the SeekHead names Tracks too.)
    auto noTracks = *live;
    std::size_t tracks = 0;
    for (const auto at : findAll(noTracks, {0x16, 0x54, 0xAE, 0x6B}))
        if (at < clusters.front()) tracks = at;
    noTracks[tracks] = 0x17;
    EXPECT_FALSE(carveAt(noTracks));
    const Bytes headOnly(live->begin(),
                         live->begin() + static_cast<std::ptrdiff_t>(clusters.front()));
    EXPECT_FALSE(carveAt(headOnly));
}

TEST(MatroskaCarverTest, KnownSegmentWithAnOversizedChild) {
    testing::TempDir dir;
    const auto files = videos(dir);
    if (files.empty()) GTEST_SKIP() << "ffmpeg is not installed";
    // A child whose declared end runs past the Segment end stops the walk short of it.
    auto file = files.front().bytes;
    const auto cluster = findAll(file, kClusterID)[0];
    const auto n = vintLength(file[cluster + 4]);
    file[cluster + 4] = static_cast<std::uint8_t>(0x80 >> (n - 1));
    for (std::size_t k = 1; k < n; ++k)
        file[cluster + 4 + k] = 0xFE;
    EXPECT_FALSE(carveAt(file));
}

} // namespace
} // namespace vellary
