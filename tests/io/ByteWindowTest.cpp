#include "core/io/ByteWindow.hpp"
#include "core/io/DataBlockReader.hpp"
#include "tests/support/FaultyBlockReader.hpp"

#include <gtest/gtest.h>

using namespace vellary;

namespace {

ByteSpan text(const char* s) {
    return ByteSpan(reinterpret_cast<const std::uint8_t*>(s), std::strlen(s));
}

} // namespace

TEST(ByteWindow, ReadsIntegersAcrossRefillsAndStopsAtTheEnd) {
    Bytes data(100);
    for (std::size_t i = 0; i < data.size(); ++i)
        data[i] = static_cast<std::uint8_t>(i);
    const DataBlockReader reader(data);
    ByteWindow window(reader, 50, 8);
    EXPECT_EQ(window.end(), 50u);
    EXPECT_EQ(window.byte(7), 7);
    EXPECT_EQ(window.u16be(7), 0x0708); // straddles two windows
    EXPECT_EQ(window.u32le(6), 0x09080706u);
    EXPECT_EQ(window.u64be(40), 0x28292A2B2C2D2E2FULL);
    EXPECT_EQ(window.u32be(47), std::nullopt); // would pass the end
    EXPECT_EQ(window.byte(50), std::nullopt);
    EXPECT_EQ(window.bytes(45, 5)->size(), 5u);
    EXPECT_EQ(window.bytes(45, 6), std::nullopt);
    EXPECT_EQ(window.bytes(45, 0)->size(), 0u);
    EXPECT_EQ(window.bytes(UINT64_MAX, 2), std::nullopt);
    ByteWindow wide(reader, 1000, 8);
    EXPECT_EQ(wide.end(), 100u);
}

TEST(ByteWindow, NextFFWalksWindows) {
    Bytes data(1000, 0);
    data[517] = 0xFF;
    const DataBlockReader reader(data);
    ByteWindow window(reader, 1000, 64);
    EXPECT_EQ(window.nextFF(0), 517u);
    EXPECT_EQ(window.nextFF(517), 517u);
    EXPECT_EQ(window.nextFF(518), std::nullopt);
    ByteWindow shorter(reader, 517, 64);
    EXPECT_EQ(shorter.nextFF(0), std::nullopt);
}

TEST(ByteWindow, FindFirstAcrossWindowBoundariesAndLimits) {
    Bytes data(256, '.');
    // "ABCD" starts one byte before the first 16-byte window ends.
    std::memcpy(&data[15], "ABCD", 4);
    std::memcpy(&data[100], "XY", 2);
    const DataBlockReader reader(data);
    const std::vector<ByteSpan> patterns = {text("XY"), text("ABCD")};
    ByteWindow window(reader, 256, 16);
    auto match = window.findFirst(patterns, 0);
    ASSERT_TRUE(match);
    EXPECT_EQ(match->index, 1u);
    EXPECT_EQ(match->offset, 15u);
    match = window.findFirst(patterns, 16);
    ASSERT_TRUE(match);
    EXPECT_EQ(match->index, 0u);
    EXPECT_EQ(match->offset, 100u);
    // A match must end before the limit.
    EXPECT_EQ(window.findFirst(patterns, 16, 101), std::nullopt);
    EXPECT_EQ(window.findFirst(patterns, 16, 102)->offset, 100u);
    // One that fills the whole stretch from the start to the limit counts.
    EXPECT_TRUE(window.findFirst(patterns, 100, 102).has_value());
    EXPECT_EQ(window.findFirst({}, 0), std::nullopt);
    EXPECT_EQ(window.findFirst(patterns, 255), std::nullopt);
}

TEST(ByteWindow, FindFirstTiesGoToTheEarlierPattern) {
    Bytes data(64, 0);
    std::memcpy(&data[20], "PKxx", 4);
    const DataBlockReader reader(data);
    ByteWindow window(reader, 64, 32);
    const auto match = window.findFirst({text("PKxx"), text("PK")}, 0);
    ASSERT_TRUE(match);
    EXPECT_EQ(match->index, 0u);
    const auto other = window.findFirst({text("PK"), text("PKxx")}, 0);
    EXPECT_EQ(other->index, 0u);
    EXPECT_EQ(other->offset, 20u);
}

TEST(ByteWindow, ReadErrorsCountAsNoBytes) {
    Bytes data(4096, 0xFF);
    vellary::testing::FaultyBlockReader reader(data);
    reader.failSector(2);
    ByteWindow window(reader, 4096, 512);
    EXPECT_EQ(window.byte(10), 0xFF);
    EXPECT_EQ(window.byte(1030), std::nullopt);
    EXPECT_EQ(window.u32le(1030), std::nullopt);
    EXPECT_EQ(window.bytes(1020, 8), std::nullopt);
}
