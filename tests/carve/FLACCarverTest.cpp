#include "core/carve/FLACCarver.hpp"

#include "tests/support/CarveFixtures.hpp"
#include "tests/support/DocumentFixtures.hpp"

#include <gtest/gtest.h>

namespace vellary {
namespace {

using testing::CarveFixtures;
using testing::DocumentFixtures;

const FLACCarver flac;

std::optional<Carved> carveAt(const Bytes& source) {
    return DocumentFixtures::carve(flac, source, 0, FileKind::flac);
}

Bytes prefix(const Bytes& b, std::size_t n) {
    return Bytes(b.begin(), b.begin() + static_cast<std::ptrdiff_t>(n));
}

// Where the audio frames begin: after the metadata block with the last-block flag.
std::size_t audioStart(const Bytes& file) {
    std::size_t pos = 4;
    for (;;) {
        const bool last = file[pos] & 0x80;
        pos += 4 + ((std::size_t{file[pos + 1]} << 16) | (std::size_t{file[pos + 2]} << 8) |
                    file[pos + 3]);
        if (last) return pos;
    }
}

struct Encoded {
    std::string name;
    Bytes bytes;
};

std::vector<Encoded> encodedStreams(const testing::TempDir& dir) {
    std::vector<Encoded> out;
    if (const auto f = DocumentFixtures::produce(
            dir, "tone.flac",
            "ffmpeg -v error -nostdin -f lavfi -i 'sine=frequency=440:duration=3' -f lavfi -i "
            "'anoisesrc=d=3:a=0.2' -filter_complex amerge=inputs=2 -ac 2 -c:a flac tone.flac"))
        out.push_back({"ffmpeg stereo", *f});
    if (const auto f = DocumentFixtures::produce(
            dir, "mono24.flac",
            "ffmpeg -v error -nostdin -f lavfi -i 'anoisesrc=d=2:a=0.5' -ar 48000 -ac 1 "
            "-sample_fmt s32 -c:a flac mono24.flac"))
        out.push_back({"ffmpeg mono 24-bit", *f});
    if (const auto f = DocumentFixtures::produce(
            dir, "sox.flac", "sox -n -r 22050 -c 2 -b 16 sox.flac synth 2 pinknoise vol 0.3"))
        out.push_back({"sox", *f});
    return out;
}

TEST(FLACCarverTest, Sniff) {
    Bytes header = {'f', 'L', 'a', 'C', 0x80, 0, 0, 0x22, 0x10, 0,    0x10,
                    0,   0,   0,   0,   0,    0, 0, 0x0A, 0xC4, 0x42, 0xF0};
    EXPECT_EQ(flac.sniff(header), FileKind::flac);
    EXPECT_FALSE(flac.sniff(prefix(header, 21)));
    auto bad = header;
    bad[4] = 0x81; // not STREAMINFO
    EXPECT_FALSE(flac.sniff(bad));
    bad = header;
    bad[9] = 0x0F; // minimum block size 15
    bad[8] = 0;
    EXPECT_FALSE(flac.sniff(bad));
    bad = header;
    bad[18] = bad[19] = 0;
    bad[20] &= 0x0F; // sample rate 0
    EXPECT_FALSE(flac.sniff(bad));
}

TEST(FLACCarverTest, EncoderOutputMeasuredToTheLastFrame) {
    testing::TempDir dir;
    const auto streams = encodedStreams(dir);
    if (streams.empty()) GTEST_SKIP() << "neither ffmpeg nor sox is installed";
    for (const auto& [name, file] : streams) {
        ASSERT_TRUE(flac.sniff(ByteSpan(file).first(22))) << name;
        const auto tail = CarveFixtures::noise(20000, 6);
        const auto carved = carveAt(DocumentFixtures::concat({&file, &tail}));
        ASSERT_TRUE(carved) << name;
        EXPECT_EQ(carved->kind, FileKind::flac);
        EXPECT_EQ(carved->size, file.size()) << name;
        EXPECT_TRUE(carved->complete) << name;
        EXPECT_FALSE(carved->modified);
        EXPECT_GT(DocumentFixtures::expectSafeOnDamage(flac, file, FileKind::flac), 0) << name;
    }
}

TEST(FLACCarverTest, DamagedStreams) {
    testing::TempDir dir;
    const auto streams = encodedStreams(dir);
    if (streams.empty()) GTEST_SKIP() << "neither ffmpeg nor sox is installed";
    for (const auto& [name, file] : streams) {
        // Cut in the middle: the frame that was cut is dropped.
        const auto cut = carveAt(prefix(file, file.size() / 2));
        ASSERT_TRUE(cut) << name;
        EXPECT_FALSE(cut->complete);
        EXPECT_LT(cut->size, file.size() / 2);
        const auto frame = cut->size; // a frame starts here

        // Up to that frame boundary exactly: the stream is whole but short of its total.
        const auto shortStream = carveAt(prefix(file, frame));
        ASSERT_TRUE(shortStream);
        EXPECT_EQ(shortStream->size, frame);
        EXPECT_FALSE(shortStream->complete) << name;
        // Without a total sample count in STREAMINFO, nothing says it is short.
        auto noTotal = prefix(file, frame);
        noTotal[8 + 13] &= 0xF0;
        noTotal[8 + 14] = noTotal[8 + 15] = noTotal[8 + 16] = noTotal[8 + 17] = 0;
        EXPECT_TRUE(carveAt(noTotal).value().complete) << name;

        // One corrupted frame header in the middle: the chain ends before it.
        auto corrupt = file;
        corrupt[frame + 1] = 0x00;
        const auto broken = carveAt(corrupt);
        ASSERT_TRUE(broken) << name;
        EXPECT_EQ(broken->size, frame) << name;
        EXPECT_FALSE(broken->complete);

        // A fragment from the middle behind a copied header: its first frame is not number 0.
        auto fragment = prefix(file, audioStart(file));
        fragment.insert(fragment.end(), file.begin() + static_cast<std::ptrdiff_t>(frame),
                        file.end());
        EXPECT_FALSE(carveAt(fragment)) << name;

        // The last frame fails its CRC-16: carved up to that frame's start.
        auto badEnd = file;
        badEnd.back() ^= 0xFF;
        const auto dropped = carveAt(badEnd);
        ASSERT_TRUE(dropped) << name;
        EXPECT_LT(dropped->size, file.size());
        EXPECT_GT(dropped->size, audioStart(file));
        EXPECT_FALSE(dropped->complete);

        // Only the first frame, and it fails: nothing.
        auto single = carveAt(prefix(file, audioStart(file) + 40));
        EXPECT_FALSE(single) << name;
    }
}

TEST(FLACCarverTest, MetadataBlocks) {
    testing::TempDir dir;
    const auto streams = encodedStreams(dir);
    if (streams.empty()) GTEST_SKIP() << "neither ffmpeg nor sox is installed";
    const auto& file = streams.front().bytes;
    // A block type above 6 ends the carve.
    auto reserved = file;
    const std::size_t second = 4 + 4 + 34;
    ASSERT_EQ(reserved[4] & 0x80, 0) << "STREAMINFO should not be the last block";
    reserved[second] = static_cast<std::uint8_t>((reserved[second] & 0x80) | 7);
    EXPECT_FALSE(carveAt(reserved));
    // The metadata runs off the source.
    EXPECT_FALSE(carveAt(prefix(file, second + 2)));
    EXPECT_FALSE(carveAt(prefix(file, 30)));
}

} // namespace
} // namespace vellary
