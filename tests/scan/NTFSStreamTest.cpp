#include "core/scan/NTFSStream.hpp"

#include "core/records/RecoverError.hpp"
#include "tests/support/FaultyBlockReader.hpp"

#include <gtest/gtest.h>

using namespace vellary;
using vellary::testing::FaultyBlockReader;

namespace {

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

} // namespace

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
