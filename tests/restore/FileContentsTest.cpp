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
    // position, count, bytes expected from the whole file
    const std::vector<std::tuple<std::uint64_t, std::int64_t, std::uint64_t>> cases = {
        {0, 1000, 180}, {0, 10, 10}, {120, 1 << 20, 60}, {95, 10, 10}, {150, 5, 5},
        {180, 5, 0},    {0, 0, 0},   {0, -1, 0},         {179, 1, 1}};
    for (const auto& [at, count, length] : cases)
        EXPECT_EQ(RecoveryEngine::read(reader, file, at, count), slice(whole, at, length))
            << at << "+" << count;
}

TEST(RecoveryEngineRead, StopsWhereTheSourceEndsSurvivesHugeRangesAndZeroFillsBadSectors) {
    const Bytes source = patterned(64 * 1024);
    testing::FaultyBlockReader reader(source, 4096);
    EXPECT_EQ(RecoveryEngine::read(reader, foundFile("f", "", {{65500, 100}, {0, 10}}), 0, 500),
              slice(source, 65500, 36));
    const auto hostile = foundFile("h", "", {{UINT64_MAX - 5, 5}, {0, UINT64_MAX}, {0, 10}});
    EXPECT_TRUE(RecoveryEngine::read(reader, hostile, 0, 100).empty());
    EXPECT_TRUE(RecoveryEngine::read(reader, hostile, UINT64_MAX - 1, 100).empty());

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

TEST(FileContents, ReassemblesAFileScatteredInShuffledBlocks) {
    constexpr std::uint64_t kBlock = 512;
    const Bytes source = patterned(kBlock * 64, 7);
    std::vector<std::uint64_t> order(64);
    std::iota(order.begin(), order.end(), 0);
    std::shuffle(order.begin(), order.end(), std::mt19937(42));
    std::vector<ByteRange> ranges;
    for (const auto block : order)
        ranges.push_back({block * kBlock, kBlock});
    auto file = foundFile("scattered", "", ranges);
    file.size -= 100; // the file ends inside its last block
    const FileContents contents(file, std::make_shared<DataBlockReader>(source));
    const Bytes whole = slice(concat(source, ranges), 0, file.size);
    ASSERT_EQ(contents.size(), whole.size());
    // Every window, aligned or not, matches the reassembled file.
    for (std::uint64_t at = 0; at <= whole.size(); at += 777)
        EXPECT_EQ(contents.read(at, 1300),
                  slice(whole, at, std::min<std::uint64_t>(1300, whole.size() - at)))
            << at;
    EXPECT_TRUE(contents.read(whole.size(), 1).empty());
    EXPECT_TRUE(contents.read(0, 0).empty());
    EXPECT_EQ(contents.readTolerant(90, 20, 4).data, slice(whole, 90, 20));
}

} // namespace
} // namespace vellary
