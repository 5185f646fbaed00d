#include "core/records/RangeCover.hpp"

#include <gtest/gtest.h>

using namespace vellary;

TEST(RangeCover, SortsMergesOverlappingAndTouchingRangesAndDropsEmptyOnes) {
    RecoverableFile file;
    file.ranges = {{5000, 100}, {0, 512}};
    const RangeCover cover({file}, {{512, 488}, {4000, 0}, {5050, 10}, {6000, 1}, {5100, 5}});
    const std::vector<ByteRange> expected = {{0, 1000}, {5000, 105}, {6000, 1}};
    EXPECT_EQ(cover.ranges(), expected);
    EXPECT_TRUE(RangeCover({}, {{10, 0}}).empty());
}

TEST(RangeCover, AClaimPastTheEndOfNumbersIsClampedNotWrapped) {
    const RangeCover cover(std::vector<ByteRange>{{1024, UINT64_MAX - 100}, {0, 100}, {2048, 10}});
    const std::vector<ByteRange> expected = {{0, 100}, {1024, UINT64_MAX - 1024}};
    EXPECT_EQ(cover.ranges(), expected);
}
