// Extents and chains of FAT volumes, on tables and entries built in memory.
#include "core/scan/FATGeometry.hpp"
#include "core/io/DataBlockReader.hpp"
#include "core/records/RecoverError.hpp"
#include "core/scan/FATScanner.hpp"
#include "tests/support/DiskImages.hpp"

#include <gtest/gtest.h>

#include <ranges>

namespace vellary {
namespace {

FATGeometry geometry(std::uint32_t clusterCount,
                     FATGeometry::Kind kind = FATGeometry::Kind::fat32) {
    FATGeometry g;
    g.kind = kind, g.sectorsPerCluster = 4, g.reservedSectors = 32, g.fatCount = 2;
    g.fatSectors = 8, g.clusterCount = clusterCount;
    g.fat.assign(clusterCount + 2, 0);
    return g;
}

// Each cluster of the list points at the next.
void link(FATGeometry& g, std::initializer_list<std::uint32_t> chain) {
    for (auto it = chain.begin(); it + 1 != chain.end(); ++it)
        g.fat[*it] = *(it + 1);
}

std::vector<std::uint32_t> numbers(std::uint32_t first, std::uint32_t count) {
    const auto run = std::views::iota(first, first + count);
    return {run.begin(), run.end()};
}

TEST(FATGeometryTest, FreedChainIsAssumedContiguousAndMustFitTheVolume) {
    const auto g = geometry(100);
    const std::uint64_t cs = g.clusterSize();
    auto a = g.allocate(10, 10 * cs - 1);
    ASSERT_TRUE(a.has_value());
    EXPECT_EQ(a->clusters.clusters(), numbers(10, 10));
    EXPECT_EQ(a->confidence, RecoveryConfidence::estimated);
    EXPECT_TRUE(a->complete);
    // Clusters run from 2 to 101: start 92 with 10 clusters ends exactly at the limit.
    EXPECT_TRUE(g.allocate(92, 10 * cs).has_value());
    EXPECT_FALSE(g.allocate(93, 10 * cs).has_value());
    EXPECT_FALSE(g.allocate(1, cs).has_value());
    EXPECT_FALSE(g.allocate(102, cs).has_value());
    EXPECT_FALSE(g.allocate(10, 0).has_value());
}

TEST(FATGeometryTest, SurvivingChainsAreNamedPartialOrStretched) {
    auto g = geometry(100);
    const std::uint64_t cs = g.clusterSize();
    // Whole chain 20 -> 40 -> 21 -> end: named.
    link(g, {20, 40, 21, 0x0FFFFFFF});
    auto a = g.allocate(20, 3 * cs);
    EXPECT_EQ(a->clusters.clusters(), (std::vector<std::uint32_t>{20, 40, 21}));
    EXPECT_EQ(a->confidence, RecoveryConfidence::named);
    // Five of ten clusters in a broken order: those five, incomplete.
    link(g, {50, 60, 55, 52, 70, 0});
    a = g.allocate(50, 10 * cs);
    EXPECT_EQ(a->clusters.clusters(), (std::vector<std::uint32_t>{50, 60, 55, 52, 70}));
    EXPECT_EQ(a->confidence, RecoveryConfidence::estimated);
    EXPECT_FALSE(a->complete);
    EXPECT_EQ(ClusterMap::ranges(a->clusters, 5 * cs, cs, 0).size(), 5u);
    // A consecutive stub is stretched to the whole size when it fits...
    link(g, {80, 81, 0x0FFFFFF8});
    a = g.allocate(80, 6 * cs);
    EXPECT_EQ(a->clusters.clusters(), numbers(80, 6));
    EXPECT_TRUE(a->complete);
    // ...and kept as it is when it does not.
    link(g, {100, 101, 0x0FFFFFFF});
    a = g.allocate(100, 6 * cs);
    EXPECT_EQ(a->clusters.clusters(), numbers(100, 2));
    EXPECT_FALSE(a->complete);
}

TEST(FATGeometryTest, FollowStopsAtLoopsMarksAndTheEdge) {
    auto g = geometry(100, FATGeometry::Kind::fat16);
    g.fat.resize(50);          // a table shorter than the cluster count
    link(g, {10, 11, 12, 10}); // loop
    EXPECT_EQ(g.follow(10, 100).clusters(), numbers(10, 3));
    EXPECT_EQ(g.follow(10, 2).clusters(), numbers(10, 2));
    g.fat[20] = 0xFFF7; // bad cluster mark on FAT16
    EXPECT_EQ(g.follow(20, 100).clusters(), numbers(20, 1));
    g.fat[30] = 60; // beyond the table
    EXPECT_EQ(g.follow(30, 100).clusters(), numbers(30, 1));
    EXPECT_TRUE(g.follow(60, 100).empty());
    // The scratch marks are cleared: the same chain again gives the same answer.
    EXPECT_EQ(g.follow(10, 100).clusters(), numbers(10, 3));
    // A deleted folder whose chain was freed keeps its first cluster.
    EXPECT_EQ(g.directoryChain(40).clusters(), numbers(40, 1));
    EXPECT_TRUE(g.directoryChain(60).empty());
}

// Deleted extents judged against what the volume uses now: each row marks clusters in use (by
// the table) and owned by live files, then places a file of `clusters` clusters from `start`.
TEST(ClusterMapTest, FreedExtentsStepOverClustersInUse) {
    struct Row {
        const char* what;
        std::vector<std::uint32_t> inUse, live;
        std::uint32_t start;
        std::uint64_t clusters;
        bool chainMustBeFree;
        std::vector<std::uint32_t> expected; // empty: nothing
        RecoveryConfidence confidence;
        bool complete, overwritten;
    };
    constexpr auto E = RecoveryConfidence::estimated, N = RecoveryConfidence::named;
    const std::vector<Row> rows = {
        {"free run", {}, {}, 10, 4, false, numbers(10, 4), E, true, false},
        {"around a live file", {12, 13}, {12, 13}, 10, 4, false, {10, 11, 14, 15}, E, true, false},
        {"start owned by a live file", {10, 11}, {10}, 10, 3, false, numbers(10, 3), E, 0, 1},
        {"free clusters run out", {18, 19, 20, 21}, {}, 16, 4, false, {}, E, false, false},
        {"fits the last free cluster", {18, 19, 20}, {}, 16, 3, false, {16, 17, 21}, E, 1, 0},
        {"surviving chain, all free", {}, {}, 30, 3, true, {30, 40, 31}, N, true, false},
        {"chain handed on", {40}, {40}, 30, 3, true, {30, 31, 32}, E, true, false},
        {"chain kept where free is not asked", {40}, {}, 30, 3, false, {30, 40, 31}, N, 1, 0},
    };
    for (const auto& row : rows) {
        std::vector<std::uint32_t> fat(22 + 2 + 40, 0);
        fat[30] = 40, fat[40] = 31, fat[31] = 0xFFFFFFFF;
        ClusterBits inUse(fat.size()), live(fat.size());
        for (const auto c : row.inUse)
            inUse.set(c);
        for (const auto c : row.live)
            live.set(c);
        ClusterUse use;
        use.inUse = [&](std::uint64_t c) { return inUse.test(c); };
        use.live = [&](std::uint64_t c) { return live.test(c); };
        use.chainMustBeFree = row.chainMustBeFree;
        // 22 clusters below 30 for the free-run rows; the chain rows use the whole table.
        const std::uint64_t limit = row.start < 30 ? 22 : fat.size();
        std::vector<std::uint64_t> seen;
        const auto a = ClusterMap::allocate(fat, limit, 0x0FFFFFF7, row.start, row.clusters * 512,
                                            512, seen, use);
        if (row.expected.empty()) {
            EXPECT_FALSE(a.has_value()) << row.what;
            continue;
        }
        ASSERT_TRUE(a.has_value()) << row.what;
        EXPECT_EQ(a->clusters.clusters(), row.expected) << row.what;
        EXPECT_EQ(a->confidence, row.confidence) << row.what;
        EXPECT_EQ(a->complete, row.complete) << row.what;
        EXPECT_EQ(a->overwritten, row.overwritten) << row.what;
    }
}

TEST(FATLoadTest, BootSectorLimits) {
    const auto boot = [](std::uint32_t total, std::uint32_t fatSectors, std::size_t at = 0,
                         std::uint8_t value = 0xEB) {
        Bytes b = testing::fatBootSector(total, fatSectors);
        b[at] = value;
        b.resize(64 * 1024, 0);
        return b;
    };
    const std::string damaged = "The FAT on this card looks damaged.";
    const std::string size = "The FAT on this card is an unexpected size.";
    const std::vector<std::pair<Bytes, std::string>> cases = {
        {Bytes(511, 0), "The FAT boot sector is unreadable."},
        {boot(0xFFFFFFFF, 0x20001), size}, // 64 MiB + 512 bytes of FAT
        {boot(0xFFFFFFFF, 1, 36, 0), size},
        {boot(0xFFFFFFFF, 1, 13, 0), damaged}, // no sectors per cluster
        {boot(0xFFFFFFFF, 1), "loaded"},
        {boot(34, 1), damaged}, // nothing past the metadata
        {boot(35, 1), "loaded"},
    };
    for (std::size_t i = 0; i < cases.size(); ++i) {
        std::string outcome = "loaded";
        try {
            const auto g =
                FATScanner::load(DataBlockReader(cases[i].first), {0, VolumeKind::fat32});
            // One FAT sector holds 128 entries, whatever count the boot sector claims.
            EXPECT_TRUE(i != 4 || g.fat.size() == 128u) << g.fat.size();
        } catch (const RecoverError& e) {
            outcome = e.errorDescription();
        }
        EXPECT_EQ(outcome, cases[i].second) << i;
    }
}

} // namespace
} // namespace vellary
