#include "core/scan/NTFSScanner.hpp"

#include "core/io/DataBlockReader.hpp"
#include "core/records/RecoverError.hpp"
#include "tests/support/NtfsImage.hpp"

#include <gtest/gtest.h>

using namespace vellary;
using namespace vellary::testing;

namespace {

constexpr std::uint64_t kCluster = 4096;
constexpr std::uint64_t kRoot = 0x0005000000000005ULL;

NTFSGeometry geometry() {
    NTFSGeometry g;
    g.clusterSize = kCluster;
    g.totalClusters = 64;
    g.totalSectors = 64 * 8;
    g.recordSize = 1024;
    return g;
}

void place(Bytes& disk, std::uint64_t cluster, std::uint64_t slot, const Bytes& record) {
    std::copy(record.begin(), record.end(),
              disk.begin() + static_cast<std::ptrdiff_t>(cluster * kCluster + slot * 1024));
}

NTFSStream mftStream(std::vector<NTFSRun> runs, std::uint64_t records) {
    NTFSStream s;
    s.runs = std::move(runs);
    s.dataSize = records * 1024;
    s.initializedSize = s.dataSize;
    return s;
}

// A deleted five-byte resident file's record.
Bytes deletedNote(const std::string& name) {
    return MftRecordBuilder().flags(0).fileName(kRoot, name, 1).residentData(Bytes(5, 1)).build();
}

std::vector<std::uint64_t> numbers(const MFTCatalog& catalog) {
    std::vector<std::uint64_t> out;
    for (const auto& c : catalog.candidates)
        out.push_back(c.number);
    return out;
}

} // namespace

TEST(NTFSWalk, FollowsTheMFTsOwnExtensionRecordsAndSparseRuns) {
    Bytes disk(64 * kCluster, 0);
    // Records 0-3 at cluster 4, 4-7 sparse, 8-11 at cluster 12 (named by an
    // extension of record 0).
    place(disk, 4, 1,
          MftRecordBuilder()
              .baseReference(0x0001000000000000ULL)
              .nonResident(0x80, encodeRunList({{1, 12}}), 0, 0, 2)
              .build());
    place(disk, 4, 2, deletedNote("early.txt"));
    place(disk, 4, 3,
          MftRecordBuilder()
              .fileName(kRoot, "live.bin", 1)
              .nonResident(0x80, encodeRunList({{2, 40}}), 8192, 8192)
              .build());
    place(disk, 12, 1,
          MftRecordBuilder()
              .fileName(kRoot, "late.bin", 1)
              .nonResident(0x80, encodeRunList({{1, 50}}), 4096, 4096)
              .build());
    const DataBlockReader reader(disk);
    MFTCatalog catalog;
    std::vector<ByteRange> used;
    NTFSScanner::walkMFT(reader, geometry(), mftStream({{4, 1}, {std::nullopt, 1}}, 12),
                         ScanOptions{}, catalog, used);
    // Records 2 and 9 are below 24 and so never candidates. The used list shows
    // the walk passed the sparse run and reached the extent the extension names:
    // in-use records claim their runs (the table's extension record, live.bin and
    // late.bin).
    EXPECT_EQ(used, (std::vector<ByteRange>{{12 * kCluster, kCluster},
                                            {40 * kCluster, 2 * kCluster},
                                            {50 * kCluster, kCluster}}));
    EXPECT_TRUE(numbers(catalog).empty());
}

TEST(NTFSWalk, CandidatesAndTheEndOfTheVolume) {
    Bytes disk(64 * kCluster, 0);
    // 32 records: 24 system ones at clusters 2-7, then 24-27 at cluster 20 and
    // 28-31 at 40.
    NTFSStream mft = mftStream({{2, 6}, {20, 1}, {40, 1}}, 32);
    place(disk, 20, 0, deletedNote("a.txt"));
    place(disk, 20, 1, deletedNote("b.txt"));
    place(disk, 40, 0, deletedNote("c.txt"));
    {
        const DataBlockReader reader(disk);
        MFTCatalog catalog;
        std::vector<ByteRange> used;
        NTFSScanner::walkMFT(reader, geometry(), mft, ScanOptions{}, catalog, used);
        EXPECT_EQ(numbers(catalog), (std::vector<std::uint64_t>{24, 25, 28}));
        // The resident bytes are located at their place on the disk.
        ASSERT_EQ(catalog.candidates[2].content.ranges.size(), 1u);
        EXPECT_EQ(catalog.candidates[2].content.ranges[0].offset / kCluster, 40u);
    }
    {
        // The last run points past the volume: the walk ends quietly before it.
        mft.runs[2].lcn = 70;
        const DataBlockReader reader(disk);
        MFTCatalog catalog;
        std::vector<ByteRange> used;
        NTFSScanner::walkMFT(reader, geometry(), mft, ScanOptions{}, catalog, used);
        EXPECT_EQ(numbers(catalog), (std::vector<std::uint64_t>{24, 25}));
    }
    {
        // A table whose record size exceeds its data walks nothing; cancellation
        // throws.
        const DataBlockReader reader(disk);
        MFTCatalog catalog;
        std::vector<ByteRange> used;
        NTFSScanner::walkMFT(reader, geometry(), mftStream({{2, 6}}, 0), ScanOptions{}, catalog,
                             used);
        EXPECT_TRUE(catalog.candidates.empty());
        ScanOptions stop;
        stop.isCancelled = [] { return true; };
        EXPECT_THROW(NTFSScanner::walkMFT(reader, geometry(), mft, stop, catalog, used),
                     RecoverError);
    }
}

TEST(NTFSWalk, ExtensionRecordsOfTheTableAddRuns) {
    Bytes disk(64 * kCluster, 0);
    // Records 0-23 at clusters 2-7; record 1 names the table's next extent: VCN 6
    // at cluster 30.
    place(disk, 2, 1,
          MftRecordBuilder()
              .baseReference(0x0001000000000000ULL)
              .nonResident(0x80, encodeRunList({{1, 30}}), 0, 0, 6)
              .build());
    place(disk, 30, 0, deletedNote("beyond.txt"));
    const DataBlockReader reader(disk);
    MFTCatalog catalog;
    std::vector<ByteRange> used;
    NTFSScanner::walkMFT(reader, geometry(), mftStream({{2, 6}}, 28), ScanOptions{}, catalog, used);
    ASSERT_EQ(numbers(catalog), (std::vector<std::uint64_t>{24}));
    EXPECT_EQ(catalog.candidates[0].name, "beyond.txt");
    EXPECT_EQ(catalog.candidates[0].content.ranges[0].offset / kCluster, 30u);
}
