#include "core/scan/ClusterBitmap.hpp"

#include "core/io/DataBlockReader.hpp"

#include <gtest/gtest.h>

using namespace vellary;

namespace {

NTFSGeometry geometry(std::uint64_t clusters) {
    NTFSGeometry g;
    g.clusterSize = 4096;
    g.totalClusters = clusters;
    g.totalSectors = clusters * 8;
    return g;
}

} // namespace

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
