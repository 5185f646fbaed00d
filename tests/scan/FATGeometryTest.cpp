// Extents, chains and names of FAT volumes, on tables and entries built in memory.
#include "core/scan/FATGeometry.hpp"
#include "core/io/DataBlockReader.hpp"
#include "core/records/RecoverError.hpp"
#include "core/scan/ClusterMap.hpp"
#include "core/scan/FATNames.hpp"
#include "core/scan/FATScanner.hpp"
#include "tests/support/DiskImages.hpp"

#include <gtest/gtest.h>

#include <cstring>

namespace vellary {
namespace {

FATGeometry geometry(std::uint32_t clusterCount,
                     FATGeometry::Kind kind = FATGeometry::Kind::fat32) {
    FATGeometry g;
    g.kind = kind;
    g.bytesPerSector = 512;
    g.sectorsPerCluster = 4;
    g.reservedSectors = 32;
    g.fatCount = 2;
    g.fatSectors = 8;
    g.clusterCount = clusterCount;
    g.fat.assign(clusterCount + 2, 0);
    return g;
}

std::vector<std::uint32_t> numbers(std::uint32_t first, std::uint32_t count) {
    std::vector<std::uint32_t> out;
    for (std::uint32_t i = 0; i < count; ++i)
        out.push_back(first + i);
    return out;
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
    g.fat[20] = 40;
    g.fat[40] = 21;
    g.fat[21] = 0x0FFFFFFF;
    auto a = g.allocate(20, 3 * cs);
    EXPECT_EQ(a->clusters.clusters(), (std::vector<std::uint32_t>{20, 40, 21}));
    EXPECT_EQ(a->confidence, RecoveryConfidence::named);
    // Five of ten clusters in a broken order: those five, incomplete.
    g.fat[50] = 60;
    g.fat[60] = 55;
    g.fat[55] = 52;
    g.fat[52] = 70;
    g.fat[70] = 0;
    a = g.allocate(50, 10 * cs);
    EXPECT_EQ(a->clusters.clusters(), (std::vector<std::uint32_t>{50, 60, 55, 52, 70}));
    EXPECT_EQ(a->confidence, RecoveryConfidence::estimated);
    EXPECT_FALSE(a->complete);
    EXPECT_EQ(ClusterMap::ranges(a->clusters, 5 * cs, cs, 0).size(), 5u);
    // A consecutive stub is stretched to the whole size when it fits...
    g.fat[80] = 81;
    g.fat[81] = 0xFFFFFFF & 0x0FFFFFF8;
    a = g.allocate(80, 6 * cs);
    EXPECT_EQ(a->clusters.clusters(), numbers(80, 6));
    EXPECT_TRUE(a->complete);
    // ...and kept as it is when it does not.
    g.fat[100] = 101;
    g.fat[101] = 0x0FFFFFFF;
    a = g.allocate(100, 6 * cs);
    EXPECT_EQ(a->clusters.clusters(), numbers(100, 2));
    EXPECT_FALSE(a->complete);
}

TEST(FATGeometryTest, FollowStopsAtLoopsMarksAndTheEdge) {
    auto g = geometry(100, FATGeometry::Kind::fat16);
    g.fat.resize(50); // a table shorter than the cluster count
    g.fat[10] = 11;
    g.fat[11] = 12;
    g.fat[12] = 10; // loop
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

TEST(FATGeometryTest, LimitsAreComputedIn64Bits) {
    // 0xFFFFFFFE + 2 wraps to 0 in 32 bits; every cluster would then look out of range.
    auto g = geometry(10);
    g.clusterCount = 0xFFFFFFFE;
    EXPECT_EQ(g.clusterLimit(), 0x100000000ull);
    EXPECT_TRUE(g.contiguous(0xFFFFFFF0, 0x10).has_value());
    EXPECT_FALSE(g.contiguous(0xFFFFFFF0, 0x11).has_value());
}

TEST(FATGeometryTest, ClusterNumberUsesTheHighHalfOnlyOnFat32) {
    std::array<std::uint8_t, 32> entry{};
    entry[26] = 0x34;
    entry[27] = 0x12;
    entry[20] = 0x02;
    EXPECT_EQ(geometry(10).clusterNumber(entry), 0x00021234u);
    EXPECT_EQ(geometry(10, FATGeometry::Kind::fat16).clusterNumber(entry), 0x1234u);
    entry[20] = 0;
    EXPECT_EQ(geometry(10).clusterNumber(entry), 0x1234u);
    EXPECT_EQ(geometry(10).clusterNumber(ByteSpan(entry).first(10)), 0u);
}

TEST(FATGeometryTest, RangesJoinRunsAndStopAtTheByteCount) {
    ClusterChain chain;
    for (const std::uint32_t c : {5u, 6u, 7u, 20u, 21u, 9u})
        chain.append(c);
    const auto ranges = ClusterMap::ranges(chain, 4096 * 5 + 10, 4096, 1000);
    ASSERT_EQ(ranges.size(), 3u);
    EXPECT_EQ(ranges[0], (ByteRange{1000 + 3 * 4096, 3 * 4096}));
    EXPECT_EQ(ranges[1], (ByteRange{1000 + 18 * 4096, 2 * 4096}));
    EXPECT_EQ(ranges[2], (ByteRange{1000 + 7 * 4096, 10}));
    EXPECT_TRUE(ClusterMap::ranges(chain, 0, 4096, 0).empty());
    EXPECT_TRUE(ClusterMap::ranges(chain, 10, 0, 0).empty());
    EXPECT_TRUE(ClusterMap::ranges(chain, 10, 4096, UINT64_MAX - 100).empty());
}

// A FAT32 boot sector with one sector per cluster over a small in-memory volume.
Bytes bootSector(std::uint32_t totalSectors, std::uint32_t fatSectors) {
    return testing::fatBootSector(totalSectors, 1, 0, fatSectors, 0);
}

TEST(FATLoadTest, TableIsSizedByWhatTheFatHoldsNotByTheClaimedCount) {
    // One FAT sector (128 entries) while the boot sector claims about four billion clusters.
    Bytes image = bootSector(0xFFFFFFFF, 1);
    image.resize(64 * 1024, 0);
    const DataBlockReader reader(image);
    const auto g = FATScanner::load(reader, {0, VolumeKind::fat32});
    EXPECT_EQ(g.clusterCount, 0xFFFFFFFFu - 34u);
    EXPECT_EQ(g.fat.size(), 128u);
    EXPECT_EQ(g.allocate(127, 512).has_value(), true);
    EXPECT_FALSE(g.allocate(128, 512).has_value());

    // A healthy volume keeps clusterCount + 2 entries.
    Bytes small = bootSector(32 + 4 + 100, 2);
    small.resize(300 * 512, 0);
    EXPECT_EQ(FATScanner::load(DataBlockReader(small), {0, VolumeKind::fat32}).fat.size(), 102u);
}

TEST(FATLoadTest, DamagedBootSectorsFailWithTheirMessages) {
    const auto message = [](const Bytes& image) {
        try {
            FATScanner::load(DataBlockReader(image), {0, VolumeKind::fat32});
        } catch (const RecoverError& e) {
            return e.errorDescription();
        }
        return std::string("loaded");
    };
    EXPECT_EQ(message(Bytes(511, 0)), "The FAT boot sector is unreadable.");
    Bytes huge = bootSector(0xFFFFFFFF, 0x20001); // 64 MiB + 512 bytes of FAT
    EXPECT_EQ(message(huge), "The FAT on this card is an unexpected size.");
    Bytes zero = bootSector(0xFFFFFFFF, 1);
    std::memset(zero.data() + 36, 0, 4);
    EXPECT_EQ(message(zero), "The FAT on this card is an unexpected size.");
}

FATNames::Entry lfn(std::uint8_t checksum, const std::u16string& part) {
    FATNames::Entry e{};
    e[11] = 0x0F;
    e[13] = checksum;
    static constexpr int offsets[13] = {1, 3, 5, 7, 9, 14, 16, 18, 20, 22, 24, 28, 30};
    for (int i = 0; i < 13; ++i) {
        const std::uint16_t u = i < static_cast<int>(part.size())
                                    ? part[static_cast<std::size_t>(i)]
                                : i == static_cast<int>(part.size()) ? 0
                                                                     : 0xFFFF;
        e[static_cast<std::size_t>(offsets[i])] = static_cast<std::uint8_t>(u & 0xFF);
        e[static_cast<std::size_t>(offsets[i] + 1)] = static_cast<std::uint8_t>(u >> 8);
    }
    return e;
}

std::uint8_t checksumOf(const char* name11) {
    std::uint8_t s = 0;
    for (int i = 0; i < 11; ++i)
        s = static_cast<std::uint8_t>(((s >> 1) | (s << 7)) + static_cast<std::uint8_t>(name11[i]));
    return s;
}

TEST(FATNamesTest, DeletedLongNameIsMatchedThroughTheLostFirstByte) {
    const std::uint8_t sum = checksumOf("IMG_0~1 JPG");
    // On disk the entry holding the end of the name comes first.
    const std::vector<FATNames::Entry> entries = {lfn(sum, u"h-day.jpg"),
                                                  lfn(sum, u"IMG_0001 birt")};
    std::array<std::uint8_t, 32> shortEntry{};
    std::memcpy(shortEntry.data(), "\xE5MG_0~1 JPG", 11);
    EXPECT_EQ(FATNames::longName(entries, shortEntry), "IMG_0001 birth-day.jpg");
    // A stale entry before the set is skipped by bestLongName only.
    std::vector<FATNames::Entry> stale = {lfn(0x12, u"old")};
    stale.insert(stale.end(), entries.begin(), entries.end());
    EXPECT_FALSE(FATNames::longName(stale, shortEntry).has_value());
    EXPECT_EQ(FATNames::bestLongName(stale, shortEntry), "IMG_0001 birth-day.jpg");
    // A checksum that no first byte reproduces gives nothing.
    const std::vector<FATNames::Entry> wrong = {lfn(static_cast<std::uint8_t>(sum + 1), u"x")};
    std::memcpy(shortEntry.data(), "\xE5MG_0~1 JPG", 11);
    bool anyMatch = false;
    for (int b = 0; b < 256; ++b) {
        char name[12];
        std::memcpy(name, "\xE5MG_0~1 JPG", 12);
        name[0] = static_cast<char>(b);
        anyMatch = anyMatch || checksumOf(name) == static_cast<std::uint8_t>(sum + 1);
    }
    EXPECT_EQ(FATNames::longName(wrong, shortEntry).has_value(), anyMatch);
    // Non-BMP characters come through as surrogate pairs.
    const std::vector<FATNames::Entry> emoji = {lfn(sum, u"\U0001F600.jpg")};
    EXPECT_EQ(FATNames::longName(emoji, shortEntry), "\xF0\x9F\x98\x80.jpg");
}

TEST(FATNamesTest, ShortNamesAndJoins) {
    const auto name = [](const char* raw) {
        std::array<std::uint8_t, 32> e{};
        std::memcpy(e.data(), raw, 11);
        return FATNames::shortName(e);
    };
    EXPECT_EQ(name("IMG_0001JPG"), "IMG_0001.JPG");
    EXPECT_EQ(name("\xE5SCF1234RAF"), "_SCF1234.RAF");
    EXPECT_EQ(name("README     "), "README");
    EXPECT_EQ(name("           "), "FILE");
    EXPECT_EQ(name("\x05"
                   "ABC    TXT"),
              "FILE.TXT"); // 0xE5 as a real first character
    EXPECT_EQ(FATNames::join("", "DCIM"), "DCIM");
    EXPECT_EQ(FATNames::join("DCIM", "100CANON"), "DCIM/100CANON");
    EXPECT_EQ(FATNames::join("DCIM", ".."), "DCIM");
}

} // namespace
} // namespace vellary
