// The NTFS building blocks on bytes built in memory: boot sector geometry, run lists, stream
// reads, the MFT buffer, the cluster bitmap, folder paths and recycle-bin index files.
#include "core/io/BlockReader.hpp"
#include "core/io/DataBlockReader.hpp"
#include "core/records/RecoverError.hpp"
#include "core/scan/ClusterBitmap.hpp"
#include "core/scan/MFTBuffer.hpp"
#include "core/scan/NTFSGeometry.hpp"
#include "core/scan/NTFSPathResolver.hpp"
#include "core/scan/NTFSRunList.hpp"
#include "core/scan/NTFSStream.hpp"
#include "core/scan/RecycleBin.hpp"
#include "tests/support/ByteWriters.hpp"
#include "tests/support/FaultyBlockReader.hpp"
#include "tests/support/NtfsImage.hpp"

#include <gtest/gtest.h>

using namespace vellary;
using vellary::testing::appendLE;
using vellary::testing::encodeRunList;
using vellary::testing::FaultyBlockReader;
using vellary::testing::putLE;

namespace geometry_test {

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

} // namespace geometry_test

namespace run_list_test {

std::optional<std::vector<NTFSRun>> decode(const Bytes& bytes) {
    return NTFSRunList::decode(bytes, 0, static_cast<std::int64_t>(bytes.size()));
}

TEST(NTFSRunList, DecodesRelativeOffsetsAndSparseRuns) {
    // 0x21: 1-byte length, 2-byte offset; a negative second offset moves back.
    const Bytes bytes = {0x21, 0x18, 0x34, 0x56, 0x11, 0x05, 0xF0, 0x01,
                         0x03, 0x31, 0x02, 0x00, 0x00, 0x01, 0x00};
    const auto runs = decode(bytes);
    ASSERT_TRUE(runs);
    const std::vector<NTFSRun> expected = {
        {0x5634, 0x18}, {0x5634 - 0x10, 5}, {std::nullopt, 3}, {0x5634 - 0x10 + 0x10000, 2}};
    EXPECT_EQ(*runs, expected);
}

TEST(NTFSRunList, SparseFirstRunKeepsPreviousAtZero) {
    const auto runs = decode(encodeRunList({{4, std::nullopt}, {2, 7}}));
    ASSERT_TRUE(runs);
    EXPECT_EQ(*runs, (std::vector<NTFSRun>{{std::nullopt, 4}, {7, 2}}));
}

TEST(NTFSRunList, EndsAtTheLimitWithoutTerminator) {
    Bytes bytes = encodeRunList({{1, 100}, {2, 5}});
    bytes.pop_back();
    EXPECT_EQ(decode(bytes)->size(), 2u);
    EXPECT_EQ(NTFSRunList::decode(bytes, 0, 3)->size(), 1u); // stops after the first entry
    EXPECT_TRUE(NTFSRunList::decode(bytes, 2, 2)->empty());
}

TEST(NTFSRunList, RejectsMalformedLists) {
    EXPECT_FALSE(decode({0x10, 0x05}));                         // length width 0
    EXPECT_FALSE(decode({0x09, 1, 0, 0, 0, 0, 0, 0, 0, 0}));    // length width 9
    EXPECT_FALSE(decode({0x91, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1})); // offset width 9
    EXPECT_FALSE(decode({0x11, 0x00, 0x05}));                   // zero length
    EXPECT_FALSE(decode({0x11, 0xFF, 0x05}));                   // negative length
    EXPECT_FALSE(decode({0x11, 0x05, 0xFB}));                   // negative LCN
    EXPECT_FALSE(decode({0x21, 0x05, 0x10}));                   // entry past the end
    // An LCN that overflows 64 bits.
    EXPECT_FALSE(decode({0x81, 1, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0x7F,
                         0x81, 1, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0x7F}));
    const Bytes ok = encodeRunList({{1, 1}});
    EXPECT_FALSE(NTFSRunList::decode(ok, -1, 2));
    EXPECT_FALSE(NTFSRunList::decode(ok, 2, 1));
    EXPECT_FALSE(NTFSRunList::decode(ok, 0, 99));
}

TEST(NTFSRunList, AppendingDecodeLeavesOutputUntouchedOnFailure) {
    std::vector<NTFSRun> out = {{1, 1}};
    EXPECT_FALSE(NTFSRunList::decode(Bytes{0x11, 0x02, 0x03, 0x11, 0x00}, 0, 5, out));
    EXPECT_EQ(out.size(), 1u);
    EXPECT_TRUE(NTFSRunList::decode(Bytes{0x11, 0x02, 0x03}, 0, 3, out));
    EXPECT_EQ(out.size(), 2u);
}

TEST(NTFSRunList, EightByteFieldsDecodeInFull) {
    const std::int64_t big = (std::int64_t{1} << 40) + 3;
    const auto runs = decode(encodeRunList({{big, big}}));
    ASSERT_TRUE(runs);
    EXPECT_EQ((*runs)[0],
              (NTFSRun{static_cast<std::uint64_t>(big), static_cast<std::uint64_t>(big)}));
}

} // namespace run_list_test

namespace stream_test {

// A 16-cluster volume of 512-byte clusters at offset 1024; every byte holds its cluster number.
NTFSGeometry geometry() {
    NTFSGeometry g;
    g.partitionOffset = 1024;
    g.clusterSize = 512;
    g.totalClusters = 16;
    g.totalSectors = 16;
    return g;
}

Bytes volume() {
    Bytes b(1024 + 16 * 512, 0xEE);
    for (std::size_t c = 0; c < 16; ++c)
        std::fill_n(b.begin() + 1024 + c * 512, 512, c + 1);
    return b;
}

TEST(NTFSStream, ReadsAcrossRunsSparseAndOutOfVolume) {
    NTFSStream s;
    s.runs = {{3, 1}, {std::nullopt, 1}, {10, 2}, {15, 2}};
    const FaultyBlockReader reader(volume());
    const Bytes all = s.read(reader, geometry(), 0, 6 * 512);
    ASSERT_EQ(all.size(), 6u * 512);
    EXPECT_EQ(all[0], 4);
    EXPECT_EQ(all[511], 4);
    EXPECT_EQ(all[512], 0); // sparse
    EXPECT_EQ(all[1024], 11);
    EXPECT_EQ(all[2047], 12);
    EXPECT_EQ(all[2048], 0); // the run reaches past the volume
    const Bytes middle = s.read(reader, geometry(), 500, 600);
    ASSERT_EQ(middle.size(), 600u);
    EXPECT_EQ(middle[11], 4);
    EXPECT_EQ(middle[12], 0);
    EXPECT_EQ(middle[524], 11);
}

TEST(NTFSStream, ShortPastTheLastRunAndEmptyForNothingAsked) {
    NTFSStream s;
    s.runs = {{2, 1}};
    const FaultyBlockReader reader(volume());
    EXPECT_EQ(s.read(reader, geometry(), 100, 1000).size(), 412u);
    EXPECT_TRUE(s.read(reader, geometry(), 512, 10).empty());
    EXPECT_TRUE(s.read(reader, geometry(), 0, 0).empty());
    EXPECT_TRUE(s.read(reader, geometry(), 0, -5).empty());
    EXPECT_EQ(s.read(reader, geometry(), UINT64_MAX - 2, INT64_MAX).size(), 0u);
    s.runs = {{1, UINT64_MAX / 2}, {2, 1}};
    EXPECT_EQ(s.read(reader, geometry(), 0, 8).size(), 8u); // absurd run: zeros, no overflow
}

TEST(NTFSStream, BadSectorsReadAsZerosAndVanishedDevicesThrow) {
    NTFSStream s;
    s.runs = {{0, 16}};
    FaultyBlockReader reader(volume());
    reader.failSector(4); // inside the first 4096-byte piece of the tolerant read
    const Bytes got = s.read(reader, geometry(), 0, 16 * 512);
    ASSERT_EQ(got.size(), 8192u);
    EXPECT_EQ(got[0], 0);
    EXPECT_EQ(got[4095], 0);
    EXPECT_EQ(got[4096], 9);
    reader.vanishAt(0);
    EXPECT_THROW(s.read(reader, geometry(), 0, 10), RecoverError);
}

} // namespace stream_test

namespace buffer_test {

TEST(MFTBuffer, MapsRecordRangesToDiskAcrossPieces) {
    MFTBuffer buffer;
    buffer.append(Bytes(1024, 1), 10000, 1024);
    buffer.append(Bytes(1024, 2), 50000, 1024);
    ASSERT_EQ(buffer.data.size(), 2048u);
    EXPECT_EQ(buffer.diskRanges(0, {0, 100}), (std::vector<ByteRange>{{10000, 100}}));
    // A record straddling two reads maps to two extents.
    EXPECT_EQ(buffer.diskRanges(512, {0, 1024}),
              (std::vector<ByteRange>{{10512, 512}, {50000, 512}}));
    EXPECT_FALSE(buffer.diskRanges(1024, {0, 2000})); // past the buffer
    EXPECT_FALSE(buffer.diskRanges(0, {-1, 5}));
}

TEST(MFTBuffer, ContiguousReadsJoinAndMissingBytesHaveNoPosition) {
    MFTBuffer buffer;
    buffer.append(Bytes(512, 1), 4096, 512);
    buffer.append(Bytes(512, 1), 4608, 512);
    EXPECT_EQ(buffer.diskRanges(0, {100, 900}), (std::vector<ByteRange>{{4196, 800}}));
    // A short read: the rest stands as zeros with no disk position.
    buffer.append(Bytes(100, 3), 9000, 512);
    ASSERT_EQ(buffer.data.size(), 1536u);
    EXPECT_EQ(buffer.data[1200], 0);
    EXPECT_TRUE(buffer.diskRanges(1024, {0, 100}));
    EXPECT_FALSE(buffer.diskRanges(1024, {0, 101}));
    // A sparse chunk: nothing read at all.
    buffer.append({}, std::nullopt, 512);
    EXPECT_EQ(buffer.data.size(), 2048u);
    EXPECT_FALSE(buffer.diskRanges(1536, {0, 1}));
}

TEST(MFTBuffer, CompactTrimsStraddlingPieces) {
    MFTBuffer buffer;
    buffer.append(Bytes(1000, 1), 0, 1000);
    buffer.append(Bytes(1000, 2), 20000, 1000);
    buffer.cursor = 1500;
    buffer.compact();
    EXPECT_EQ(buffer.cursor, 0);
    ASSERT_EQ(buffer.data.size(), 500u);
    EXPECT_EQ(buffer.data[0], 2);
    ASSERT_EQ(buffer.pieces.size(), 1u);
    EXPECT_EQ(buffer.pieces[0].start, 0);
    EXPECT_EQ(buffer.pieces[0].length, 500);
    EXPECT_EQ(buffer.diskRanges(0, {0, 10}), (std::vector<ByteRange>{{20500, 10}}));
    buffer.cursor = 500;
    buffer.compact();
    EXPECT_TRUE(buffer.data.empty());
    EXPECT_TRUE(buffer.pieces.empty());
}

} // namespace buffer_test

namespace bitmap_test {

NTFSGeometry geometry(std::uint64_t clusters) {
    NTFSGeometry g;
    g.clusterSize = 4096;
    g.totalClusters = clusters;
    g.totalSectors = clusters * 8;
    return g;
}

TEST(NTFSClusterBitmap, NoSourceMeansNothingAllocated) {
    const DataBlockReader reader(Bytes(16, 0));
    ClusterBitmap bitmap(std::nullopt, geometry(100), reader);
    EXPECT_FALSE(bitmap.anyAllocated(0, 100));
}

TEST(NTFSClusterBitmap, ResidentBitsBytesAndTheEnd) {
    const DataBlockReader reader(Bytes(16, 0));
    MFTCatalog::BitmapSource source;
    source.bytes = {0x00, 0x10, 0x00, 0x80};
    ClusterBitmap bitmap(source, geometry(1000), reader);
    EXPECT_TRUE(bitmap.isAllocated(12));
    EXPECT_FALSE(bitmap.isAllocated(11));
    EXPECT_FALSE(bitmap.anyAllocated(0, 12));
    EXPECT_TRUE(bitmap.anyAllocated(0, 13));
    EXPECT_TRUE(bitmap.anyAllocated(9, 4));
    EXPECT_FALSE(bitmap.anyAllocated(13, 18));
    EXPECT_TRUE(bitmap.anyAllocated(16, 16));   // whole bytes, bit 31 set
    EXPECT_FALSE(bitmap.anyAllocated(32, 500)); // past the resident bytes: free
    EXPECT_FALSE(bitmap.anyAllocated(UINT64_MAX - 3, 10));
}

TEST(NTFSClusterBitmap, NonResidentPagesAndAShortFirstExtent) {
    // Bitmap stream of 3 MiB whose runs cover only 1.5 MiB: the rest reads as free rather than
    // past the page's end.
    Bytes disk(2 * 1048576, 0);
    disk[0] = 0x01;                // cluster 0
    disk[1048576 + 5] = 0x02;      // byte 1 MiB + 5 -> cluster (1 MiB + 5) * 8 + 1
    disk[1048576 + 524287] = 0x80; // the last byte the runs cover
    const DataBlockReader reader(disk);
    MFTCatalog::BitmapSource source;
    source.kind = MFTCatalog::BitmapSource::Kind::clusters;
    source.stream.dataSize = 3 * 1048576;
    source.stream.runs = {{0, 384}}; // 1.5 MiB
    ClusterBitmap bitmap(source, geometry(1u << 30), reader);
    EXPECT_TRUE(bitmap.isAllocated(0));
    EXPECT_TRUE(bitmap.isAllocated((1048576ull + 5) * 8 + 1));
    EXPECT_TRUE(bitmap.isAllocated((1048576ull + 524287) * 8 + 7));
    EXPECT_FALSE(bitmap.anyAllocated((1048576ull + 524288) * 8, 8 * 600000));
    EXPECT_FALSE(bitmap.anyAllocated(2ull * 1048576 * 8, 8 * 1048576)); // third page: nothing read
    EXPECT_FALSE(bitmap.isAllocated(3ull * 1048576 * 8 + 1));           // past dataSize
}

} // namespace bitmap_test

namespace path_test {

constexpr std::uint64_t ref(std::uint64_t record, std::uint16_t sequence) {
    return (std::uint64_t{sequence} << 48) | record;
}
constexpr std::uint64_t kRoot = ref(5, 5);

struct Fixture {
    std::unordered_map<std::uint64_t, MFTCatalog::Folder> folders;
    std::unordered_map<std::string, std::string> recycled;
    NTFSPathResolver resolver{folders, recycled};
};

TEST(NTFSPathResolver, NestedFoldersAndTheRoot) {
    Fixture f;
    f.folders[40] = {"Docs", kRoot, 2, true};
    f.folders[41] = {"2024", ref(40, 2), 1, true};
    EXPECT_EQ(f.resolver.path(kRoot), "");
    EXPECT_EQ(f.resolver.path(ref(41, 1)), "Docs/2024");
    EXPECT_EQ(f.resolver.known.at(ref(40, 2)), "Docs");
    EXPECT_EQ(f.resolver.path(ref(40, 2)), "Docs");
}

TEST(NTFSPathResolver, DeletedAndReusedFolders) {
    Fixture f;
    f.folders[40] = {"Gone", kRoot, 3, false};  // freed: sequence raised by one
    f.folders[41] = {"Taken", kRoot, 3, true};  // reused
    f.folders[42] = {"Other", kRoot, 9, false}; // freed, but not from this reference
    f.folders[43] = {"Wrap", kRoot, 1, false};
    EXPECT_EQ(f.resolver.path(ref(40, 2)), "Gone");
    EXPECT_EQ(f.resolver.path(ref(41, 2)), "Lost folders/Folder 41");
    EXPECT_EQ(f.resolver.path(ref(42, 2)), "Lost folders/Folder 42");
    EXPECT_EQ(f.resolver.path(ref(43, 65535)), "Wrap");
    EXPECT_EQ(f.resolver.path(ref(77, 1)), "Lost folders/Folder 77");
}

TEST(NTFSPathResolver, LoopsAndDeepChains) {
    Fixture f;
    f.folders[40] = {"A", ref(41, 1), 1, true};
    f.folders[41] = {"B", ref(40, 1), 1, true};
    EXPECT_EQ(f.resolver.path(ref(40, 1)), "Lost folders/Folder 40/B/A");
    Fixture deep;
    for (std::uint64_t i = 0; i < 70; ++i)
        deep.folders[100 + i] = {"d" + std::to_string(i), i == 69 ? kRoot : ref(101 + i, 1), 1,
                                 true};
    const auto path = deep.resolver.path(ref(100, 1));
    ASSERT_TRUE(path);
    EXPECT_EQ(path->rfind("Lost folders/Folder 164/", 0), 0u);
}

TEST(NTFSPathResolver, HiddenFoldersHideEverythingBelow) {
    Fixture f;
    f.folders[40] = {"System Volume INFORMATION", kRoot, 1, true};
    f.folders[41] = {"inner", ref(40, 1), 1, true};
    f.folders[42] = {"deeper", ref(41, 1), 1, true};
    EXPECT_FALSE(f.resolver.path(ref(41, 1)));
    EXPECT_TRUE(f.resolver.hidden.count(ref(40, 1)));
    EXPECT_TRUE(f.resolver.hidden.count(ref(41, 1)));
    EXPECT_FALSE(f.resolver.path(ref(42, 1)));
    EXPECT_FALSE(f.resolver.path(ref(40, 1)));
}

TEST(NTFSPathResolver, RecycledFoldersTakeTheirFormerPath) {
    Fixture f;
    f.folders[50] = {"$Recycle.Bin", kRoot, 1, true};
    f.folders[51] = {"S-1-5-21-1", ref(50, 1), 1, true};
    f.folders[52] = {"$Rqw12", ref(51, 1), 1, true};
    f.folders[53] = {"sub", ref(52, 1), 1, true};
    f.recycled["51/QW12"] = "Users/Ann/Trip";
    EXPECT_EQ(f.resolver.path(ref(53, 1)), "Users/Ann/Trip/sub");
    EXPECT_EQ(f.resolver.known.at(ref(52, 1)), "Users/Ann/Trip");
    f.folders[54] = {"$Rnone", ref(51, 1), 1, true};
    EXPECT_EQ(f.resolver.path(ref(54, 1)), "$Recycle.Bin/S-1-5-21-1/$Rnone");
}

} // namespace path_test

namespace recycle_bin_test {

Bytes indexFile(std::uint64_t version, const std::u16string& path, bool terminate = true,
                std::optional<std::uint32_t> length = std::nullopt) {
    Bytes b(version == 2 ? 28 : 24, 0);
    b[0] = static_cast<std::uint8_t>(version);
    if (version == 2) {
        const std::uint32_t n = length.value_or(static_cast<std::uint32_t>(path.size() + 1));
        putLE(b, 24, n, 4);
    }
    for (const char16_t c : path)
        appendLE(b, c, 2);
    if (terminate) b.insert(b.end(), {0, 0});
    return b;
}

TEST(RecycleBin, FormerPathsOfBothVersions) {
    EXPECT_EQ(RecycleBin::originalPath(indexFile(2, u"C:\\Users\\Ann\\Pictures\\beach.jpg")),
              "Users/Ann/Pictures/beach.jpg");
    Bytes v1 = indexFile(1, u"D:\\Docs\\a.txt");
    v1.resize(24 + 520, 0);
    EXPECT_EQ(RecycleBin::originalPath(v1), "Docs/a.txt");
    EXPECT_EQ(RecycleBin::originalPath(indexFile(2, u"\\\\?\\C:\\Long\\.\\..\\x.doc")),
              "Long/x.doc");
    EXPECT_EQ(RecycleBin::originalPath(indexFile(2, u"relative/dir//f.pdf")), "relative/dir/f.pdf");
    EXPECT_EQ(RecycleBin::originalPath(indexFile(2, u"C:\\Fotos\\\u00e9t\u00e9.jpg")),
              "Fotos/\xC3\xA9t\xC3\xA9.jpg");
}

TEST(RecycleBin, BoundsAndTerminators) {
    // Version 2's length bounds the path; the data's end bounds it too.
    EXPECT_EQ(RecycleBin::originalPath(indexFile(2, u"C:\\abc\\def", true, 6)), "abc");
    EXPECT_EQ(RecycleBin::originalPath(indexFile(2, u"C:\\abc\\def", false)), "abc/def");
    Bytes odd = indexFile(2, u"C:\\abc", false);
    odd.push_back('x');
    EXPECT_EQ(RecycleBin::originalPath(odd), "abc");
    // Version 1 reads at most 260 units.
    std::u16string longName(300, u'a');
    EXPECT_EQ(RecycleBin::originalPath(indexFile(1, longName))->size(), 260u);
}

TEST(RecycleBin, RejectsWhatIsNotAnIndexFile) {
    EXPECT_FALSE(RecycleBin::originalPath(Bytes(7, 0)));
    EXPECT_FALSE(RecycleBin::originalPath(indexFile(3, u"C:\\a.jpg")));
    EXPECT_FALSE(RecycleBin::originalPath(indexFile(2, u"")));
    EXPECT_FALSE(RecycleBin::originalPath(indexFile(2, u"C:\\")));
    EXPECT_FALSE(RecycleBin::originalPath(indexFile(2, u"\\\\?\\.\\..\\")));
    EXPECT_FALSE(RecycleBin::originalPath(Bytes{2, 0, 0, 0, 0, 0, 0, 0, 0, 0})); // no length
    EXPECT_FALSE(RecycleBin::originalPath(indexFile(2, u"C:\\a.jpg", true, 0)));
}

} // namespace recycle_bin_test
