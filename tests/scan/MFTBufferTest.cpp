#include "core/scan/MFTBuffer.hpp"

#include <gtest/gtest.h>

using namespace vellary;

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
