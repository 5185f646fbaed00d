#include "core/scan/NTFSRunList.hpp"

#include "tests/support/NtfsImage.hpp"

#include <gtest/gtest.h>

using namespace vellary;
using vellary::testing::encodeRunList;

namespace {

std::optional<std::vector<NTFSRun>> decode(const Bytes& bytes) {
    return NTFSRunList::decode(bytes, 0, static_cast<std::int64_t>(bytes.size()));
}

} // namespace

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
