#include "core/restore/FileContents.hpp"

#include "core/engine/RecoveryEngine.hpp"
#include "core/io/DataBlockReader.hpp"
#include "core/records/RecoverError.hpp"
#include "tests/support/FaultyBlockReader.hpp"
#include "tests/support/RestoreFixtures.hpp"

#include <gtest/gtest.h>

#include <algorithm>
#include <numeric>
#include <random>

namespace vellary {
namespace {

using testing::foundFile;
using testing::patterned;
using testing::slice;

Bytes concat(const Bytes& source, const std::vector<ByteRange>& ranges) {
    Bytes out;
    for (const auto& range : ranges) {
        const Bytes piece = slice(source, range.offset, range.length);
        out.insert(out.end(), piece.begin(), piece.end());
    }
    return out;
}

TEST(RecoveryEngineRead, MapsFilePositionsOntoRanges) {
    const Bytes source = patterned(10000);
    DataBlockReader reader(source);
    const auto file = foundFile("f", "", {{5000, 100}, {200, 50}, {9000, 30}});
    const Bytes whole = concat(source, file.ranges);

    EXPECT_EQ(RecoveryEngine::read(reader, file, 0, 1000), whole);
    EXPECT_EQ(RecoveryEngine::read(reader, file, 0, 10), slice(whole, 0, 10));
    // From inside the second range to past the end: the rest of the file and no more.
    EXPECT_EQ(RecoveryEngine::read(reader, file, 120, 1 << 20), slice(whole, 120, 60));
    // Across a range boundary.
    EXPECT_EQ(RecoveryEngine::read(reader, file, 95, 10), slice(whole, 95, 10));
    EXPECT_EQ(RecoveryEngine::read(reader, file, 150, 5), slice(whole, 150, 5));
    EXPECT_TRUE(RecoveryEngine::read(reader, file, 180, 5).empty());
    EXPECT_TRUE(RecoveryEngine::read(reader, file, 0, 0).empty());
    EXPECT_TRUE(RecoveryEngine::read(reader, file, 0, -1).empty());
}

TEST(RecoveryEngineRead, StopsWhereTheSourceEndsAndSurvivesHugeRanges) {
    const Bytes source = patterned(1000);
    DataBlockReader reader(source);
    const auto file = foundFile("f", "", {{950, 100}, {0, 10}});
    EXPECT_EQ(RecoveryEngine::read(reader, file, 0, 500), slice(source, 950, 50));
    RecoverableFile hostile = foundFile("h", "", {{UINT64_MAX - 5, 5}, {0, UINT64_MAX}, {0, 10}});
    EXPECT_TRUE(RecoveryEngine::read(reader, hostile, 0, 100).empty());
    EXPECT_TRUE(RecoveryEngine::read(reader, hostile, UINT64_MAX - 1, 100).empty());
}

TEST(RecoveryEngineRead, ZeroFillsBadSectorsAndPassesOnAVanishedDisk) {
    const Bytes source = patterned(64 * 1024);
    testing::FaultyBlockReader reader(source, 4096);
    reader.failSector(2);
    const auto file = foundFile("f", "", {{4096, 12288}});
    Bytes expected = slice(source, 4096, 12288);
    std::fill(expected.begin() + 4096, expected.begin() + 8192, 0);
    EXPECT_EQ(RecoveryEngine::read(reader, file, 0, 12288), expected);

    reader.vanishAt(10000);
    EXPECT_THROW(RecoveryEngine::read(reader, file, 0, 12288), RecoverError);
}

TEST(FileContents, SizeIsTheSmallerOfTheFileSizeAndItsRanges) {
    auto source = std::make_shared<DataBlockReader>(patterned(1000));
    auto file = foundFile("f", "", {{0, 100}, {500, 100}});
    file.size = 150;
    EXPECT_EQ(FileContents(file, source).size(), 150u);
    file.size = 5000;
    EXPECT_EQ(FileContents(file, source).size(), 200u);
    file.ranges = {{0, UINT64_MAX}, {0, 10}};
    EXPECT_EQ(FileContents(file, source).size(), 5000u);
}

TEST(FileContents, ReadsLikeAnyOtherSource) {
    const Bytes source = patterned(4096);
    auto reader = std::make_shared<DataBlockReader>(source);
    auto file = foundFile("f", "", {{3000, 96}, {100, 200}});
    file.size = 250;
    const FileContents contents(file, reader);
    const Bytes whole = slice(concat(source, file.ranges), 0, 250);
    EXPECT_EQ(contents.read(0, 1000), whole);
    EXPECT_EQ(contents.read(240, 100), slice(whole, 240, 10));
    EXPECT_TRUE(contents.read(250, 1).empty());
    EXPECT_TRUE(contents.read(0, 0).empty());
    EXPECT_EQ(contents.readTolerant(90, 20, 4).data, slice(whole, 90, 20));
}

TEST(FileContents, ReassemblesAFileScatteredInShuffledBlocks) {
    constexpr std::uint64_t kBlock = 512;
    constexpr std::uint64_t kBlocks = 64;
    const Bytes source = patterned(kBlock * kBlocks, 7);
    std::vector<std::uint64_t> order(kBlocks);
    std::iota(order.begin(), order.end(), 0);
    std::shuffle(order.begin(), order.end(), std::mt19937(42));
    std::vector<ByteRange> ranges;
    for (const auto block : order)
        ranges.push_back({block * kBlock, kBlock});
    const auto file = foundFile("scattered", "", ranges);
    const FileContents contents(file, std::make_shared<DataBlockReader>(source));
    const Bytes whole = concat(source, ranges);
    ASSERT_EQ(contents.size(), whole.size());
    // Every window, aligned or not, matches the reassembled file.
    for (std::uint64_t at = 0; at < whole.size(); at += 777)
        EXPECT_EQ(contents.read(at, 1300),
                  slice(whole, at, std::min<std::uint64_t>(1300, whole.size() - at)))
            << at;
}

} // namespace
} // namespace vellary
