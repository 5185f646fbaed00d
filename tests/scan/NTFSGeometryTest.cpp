#include "core/scan/NTFSGeometry.hpp"

#include "core/io/BlockReader.hpp"
#include "tests/support/ByteWriters.hpp"

#include <gtest/gtest.h>

using namespace vellary;
using vellary::testing::putLE;

namespace {

Bytes bootSector(std::uint16_t bytesPerSector = 512, std::uint8_t sectorsPerCluster = 8,
                 std::uint64_t totalSectors = 204800, std::uint64_t mft = 4,
                 std::uint64_t mirror = 2, std::uint8_t perRecord = 0xF6) {
    Bytes b(512, 0);
    std::copy_n("NTFS    ", 8, b.begin() + 3);
    putLE(b, 11, bytesPerSector, 2);
    b[13] = sectorsPerCluster;
    putLE(b, 40, totalSectors, 8);
    putLE(b, 48, mft, 8);
    putLE(b, 56, mirror, 8);
    b[64] = perRecord;
    b[510] = 0x55;
    b[511] = 0xAA;
    return b;
}

} // namespace

TEST(NTFSGeometry, ParsesATypicalBootSector) {
    const auto g = NTFSGeometry::parse(bootSector(), 1048576);
    ASSERT_TRUE(g);
    EXPECT_EQ(g->partitionOffset, 1048576u);
    EXPECT_EQ(g->bytesPerSector, 512);
    EXPECT_EQ(g->clusterSize, 4096u);
    EXPECT_EQ(g->totalSectors, 204800u);
    EXPECT_EQ(g->totalClusters, 25600u);
    EXPECT_EQ(g->mftCluster, 4u);
    EXPECT_EQ(g->mirrorCluster, 2u);
    EXPECT_EQ(g->recordSize, 1024);
    EXPECT_EQ(g->volumeSize(), 204800u * 512);
}

TEST(NTFSGeometry, ClusterSizesAndTheirLimit) {
    EXPECT_EQ(NTFSGeometry::parse(bootSector(512, 0xF7, 1u << 30, 4), 0)->clusterSize, 262144u);
    EXPECT_EQ(NTFSGeometry::parse(bootSector(512, 0xF4, 1u << 30, 4), 0)->clusterSize, 2097152u);
    EXPECT_FALSE(NTFSGeometry::parse(bootSector(1024, 0xF4, 1u << 30, 4), 0));
    for (const std::uint8_t bad : {0, 3, 129, 200, 243})
        EXPECT_FALSE(NTFSGeometry::parse(bootSector(512, bad), 0)) << int(bad);
    for (const std::uint16_t bad : {0, 256, 513, 8192})
        EXPECT_FALSE(NTFSGeometry::parse(bootSector(bad), 0)) << bad;
}

TEST(NTFSGeometry, RecordSizes) {
    EXPECT_EQ(NTFSGeometry::parse(bootSector(512, 64, 1u << 24, 4, 2, 0xF6), 0)->recordSize, 1024);
    EXPECT_EQ(NTFSGeometry::parse(bootSector(512, 1, 1u << 24, 4, 2, 2), 0)->recordSize, 1024);
    EXPECT_EQ(NTFSGeometry::parse(bootSector(512, 1, 1u << 24, 4, 2, 0xF0), 0)->recordSize, 65536);
    EXPECT_FALSE(NTFSGeometry::parse(bootSector(512, 8, 1u << 24, 4, 2, 0), 0));
    EXPECT_FALSE(NTFSGeometry::parse(bootSector(512, 8, 1u << 24, 4, 2, 0xEF), 0));
    EXPECT_FALSE(NTFSGeometry::parse(bootSector(512, 8, 1u << 24, 4, 2, 0xF8), 0)); // 256 bytes
    EXPECT_FALSE(NTFSGeometry::parse(bootSector(512, 128, 1u << 24, 4, 2, 2), 0));  // 128 KiB
    EXPECT_FALSE(NTFSGeometry::parse(bootSector(512, 1, 1u << 24, 4, 2, 3), 0));    // 1536
}

TEST(NTFSGeometry, RejectsMalformedSectors) {
    Bytes b = bootSector();
    EXPECT_FALSE(NTFSGeometry::parse(ByteSpan(b).first(511), 0));
    b[511] = 0;
    EXPECT_FALSE(NTFSGeometry::parse(b, 0));
    b = bootSector();
    b[6] = 'X';
    EXPECT_FALSE(NTFSGeometry::parse(b, 0));
    EXPECT_FALSE(NTFSGeometry::parse(bootSector(512, 8, 0), 0));
    EXPECT_FALSE(NTFSGeometry::parse(bootSector(512, 8, std::uint64_t{1} << 48), 0));
    EXPECT_TRUE(NTFSGeometry::parse(bootSector(512, 8, (std::uint64_t{1} << 48) - 1), 0));
    EXPECT_FALSE(NTFSGeometry::parse(bootSector(512, 8, 80, 0), 0));
    EXPECT_FALSE(NTFSGeometry::parse(bootSector(512, 8, 80, 10), 0)); // 10 clusters
    EXPECT_EQ(NTFSGeometry::parse(bootSector(512, 8, 80, 4, 10), 0)->mirrorCluster, 0u);
}

TEST(NTFSGeometry, RangesOfRuns) {
    const auto g = *NTFSGeometry::parse(bootSector(512, 8, 800, 4), 1000); // 100 clusters
    const std::vector<NTFSRun> runs = {{10, 2},  {12, 3},  {std::nullopt, 5}, {50, 1},
                                       {98, 10}, {100, 1}, {500, 1}};
    const auto ranges = g.ranges(runs);
    ASSERT_EQ(ranges.size(), 3u);
    EXPECT_EQ(ranges[0], (ByteRange{1000 + 10 * 4096, 5 * 4096})); // touching runs joined
    EXPECT_EQ(ranges[1], (ByteRange{1000 + 50 * 4096, 4096}));
    EXPECT_EQ(ranges[2], (ByteRange{1000 + 98 * 4096, 2 * 4096})); // clipped at the volume end
    EXPECT_TRUE(g.ranges({}).empty());
    const std::vector<NTFSRun> huge = {{0, UINT64_MAX}};
    EXPECT_EQ(g.ranges(huge), (std::vector<ByteRange>{{1000, 100 * 4096}}));
}
