// The map beside an image: blocks that always cover the disk without gaps, the text that GNU
// ddrescue reads and writes, and the holes it leaves in found files.
#include "core/restore/RescueMap.hpp"
#include "core/records/RecoverError.hpp"
#include "tests/support/RestoreFixtures.hpp"
#include "tests/support/Tools.hpp"

#include <gtest/gtest.h>

namespace vellary {
namespace {

using Block = RescueMap::Block;
using S = RescueMap::Status;
using testing::TempDir;

struct SetCase {
    const char* what;
    std::vector<Block> marks; // applied in order to a 1000-byte map
    std::vector<Block> expected;
};

TEST(RescueMap, MarkingSplitsJoinsAndClipsBlocks) {
    const std::vector<SetCase> cases = {
        {"nothing", {}, {{0, 1000, S::nonTried}}},
        {"the middle",
         {{100, 50, S::finished}},
         {{0, 100, S::nonTried}, {100, 50, S::finished}, {150, 850, S::nonTried}}},
        {"the first byte", {{0, 1, S::badSector}}, {{0, 1, S::badSector}, {1, 999, S::nonTried}}},
        {"the last byte",
         {{999, 1, S::badSector}},
         {{0, 999, S::nonTried}, {999, 1, S::badSector}}},
        {"neighbours join",
         {{0, 10, S::finished}, {20, 10, S::finished}, {10, 10, S::finished}},
         {{0, 30, S::finished}, {30, 970, S::nonTried}}},
        {"over several blocks",
         {{10, 10, S::badSector}, {30, 10, S::nonScraped}, {5, 40, S::finished}},
         {{0, 5, S::nonTried}, {5, 40, S::finished}, {45, 955, S::nonTried}}},
        {"past the end is clipped",
         {{990, 100, S::finished}},
         {{0, 990, S::nonTried}, {990, 10, S::finished}}},
        {"beyond the end or empty is ignored",
         {{1000, 5, S::finished}, {5, 0, S::finished}},
         {{0, 1000, S::nonTried}}},
        {"the whole", {{3, 4, S::badSector}, {0, 1000, S::finished}}, {{0, 1000, S::finished}}},
        {"inside a block of its own kind",
         {{0, 1000, S::finished}, {10, 10, S::finished}},
         {{0, 1000, S::finished}}},
        {"an overflowing size",
         {{500, UINT64_MAX, S::finished}},
         {{0, 500, S::nonTried}, {500, 500, S::finished}}},
    };
    for (const auto& c : cases) {
        RescueMap map(1000);
        for (const auto& mark : c.marks)
            map.set(mark.pos, mark.size, mark.status);
        EXPECT_EQ(map.blocks(), c.expected) << c.what;
    }
}

TEST(RescueMap, ResizingGrowsWithUntriedBytesOrCutsAtTheEnd) {
    RescueMap map(100);
    map.set(0, 100, S::finished);
    map.resize(150);
    EXPECT_EQ(map.blocks(), (std::vector<Block>{{0, 100, S::finished}, {100, 50, S::nonTried}}));
    map.set(40, 20, S::badSector);
    map.resize(50);
    EXPECT_EQ(map.blocks(), (std::vector<Block>{{0, 40, S::finished}, {40, 10, S::badSector}}));
    map.resize(0);
    EXPECT_TRUE(map.blocks().empty());
    EXPECT_TRUE(RescueMap(0).blocks().empty());
}

TEST(RescueMap, TextReadsBackAndAcceptsWhatDdrescueWrites) {
    RescueMap map(0x4000);
    map.set(0, 0x1000, S::finished);
    map.set(0x1000, 0x200, S::badSector);
    map.set(0x1200, 0x600, S::nonScraped);
    map.set(0x1800, 0x800, S::nonTrimmed);
    map.currentPos = 0x1200;
    map.phase = RescueMap::Phase::scraping;
    map.pass = 2;
    const auto back = RescueMap::parse(map.text("vellary-cli image a b"));
    ASSERT_TRUE(back);
    EXPECT_EQ(back->blocks(), map.blocks());
    EXPECT_EQ(back->currentPos, 0x1200u);
    EXPECT_EQ(back->phase, RescueMap::Phase::scraping);
    EXPECT_EQ(back->pass, 2);

    // Older versions write no pass; numbers may be decimal; comments and blank lines anywhere.
    const auto old = RescueMap::parse("# Mapfile. Created by GNU ddrescue version 1.21\n"
                                      "# current_pos  current_status\n"
                                      "0x00001000     -\n\n"
                                      "#      pos        size  status\n"
                                      "0  4096  +\n"
                                      "0x00001000  0x00000200  -\r\n"
                                      "4608  512  +\n");
    ASSERT_TRUE(old);
    EXPECT_EQ(old->size(), 5120u);
    EXPECT_EQ(old->pass, 1);
    EXPECT_EQ(old->blocks(),
              (std::vector<Block>{
                  {0, 4096, S::finished}, {4096, 512, S::badSector}, {4608, 512, S::finished}}));
    const auto finished = RescueMap::parse("0x0 F\n0x0 0x10 +\n");
    ASSERT_TRUE(finished);
    EXPECT_EQ(finished->phase, RescueMap::Phase::finished);
}

TEST(RescueMap, TextThatIsNotAMapIsRefused) {
    const std::vector<std::pair<const char*, const char*>> cases = {
        {"empty", ""},
        {"comments only", "# nothing\n"},
        {"no header", "0x0 0x10 +\n0x10 0x10 -\n"},
        {"unknown phase", "0 X 1\n0 16 +\n"},
        {"pass zero", "0 ? 0\n0 16 +\n"},
        {"unknown status", "0 ? 1\n0 16 x\n"},
        {"two status characters", "0 ? 1\n0 16 ++\n"},
        {"does not start at 0", "0 ? 1\n16 16 +\n"},
        {"a gap", "0 ? 1\n0 16 +\n32 16 +\n"},
        {"an overlap", "0 ? 1\n0 16 +\n8 16 +\n"},
        {"an empty block", "0 ? 1\n0 0 +\n"},
        {"a negative number", "0 ? 1\n0 -16 +\n"},
        {"not a number", "0 ? 1\n0 1x6 +\n"},
        {"too many fields", "0 ? 1\n0 16 + extra\n"},
        {"past 64 bits", "0 ? 1\n0 0xFFFFFFFFFFFFFFFF +\n0xFFFFFFFFFFFFFFFF 2 +\n"},
        {"a number too large", "0 ? 1\n0 0x1FFFFFFFFFFFFFFFF +\n"},
    };
    for (const auto& [what, text] : cases)
        EXPECT_FALSE(RescueMap::parse(text)) << what;
}

TEST(RescueMap, UnreadableBytesOfAFileCountOnlyItsOverlapWithTheHoles) {
    RescueMap map(10000);
    map.set(0, 10000, S::finished);
    map.set(1000, 512, S::badSector);
    map.set(1512, 488, S::nonScraped); // touches the bad sector: one hole 1000..2000
    map.set(5000, 100, S::nonTried);
    EXPECT_EQ(map.unreadable(), (std::vector<ByteRange>{{1000, 1000}, {5000, 100}}));
    const std::vector<std::pair<std::vector<ByteRange>, std::uint64_t>> cases = {
        {{{0, 1000}}, 0},                    // ends where the hole starts
        {{{2000, 3000}}, 0},                 // starts where it ends, ends where the next starts
        {{{999, 2}}, 1},                     // one byte in
        {{{1999, 2}}, 1},                    // one byte in at the other edge
        {{{0, 10000}}, 1100},                // over both
        {{{1200, 100}, {5050, 10000}}, 150}, // inside one; past the end of the map
        {{{5000, UINT64_MAX}}, 100},         // a range that would overflow
        {{}, 0},
    };
    for (const auto& [ranges, expected] : cases) {
        const auto file = testing::foundFile("f", "", ranges);
        EXPECT_EQ(map.unreadableIn(file), expected) << ranges.size();
    }
}

TEST(RescueMap, SavingNeverReplacesAnotherFileUnlessTheMapIsOurs) {
    TempDir dir;
    RescueMap map(100);
    testing::writeFile(dir / "x.map", "someone's notes");
    EXPECT_THROW(map.save(dir / "x.map", false), RecoverError);
    EXPECT_EQ(testing::readFile(dir / "x.map"), "someone's notes");
    map.save(dir / "y.map", false);
    map.set(0, 100, S::finished);
    map.save(dir / "y.map", true);
    EXPECT_EQ(RescueMap::load(dir / "y.map")->blocks(), map.blocks());
    EXPECT_EQ(testing::listTree(dir.path()), (std::set<std::string>{"x.map", "y.map"}))
        << "no temporary file is left behind";
    EXPECT_THROW(map.save(dir / "missing/z.map", false), RecoverError);
    EXPECT_FALSE(RescueMap::load(dir / "missing.map"));
    EXPECT_FALSE(RescueMap::load(dir.path()));
}

} // namespace
} // namespace vellary
