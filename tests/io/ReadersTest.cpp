// The three block readers, the tolerant read and the byte window, at the edges of their data.
#include "core/io/Binary.hpp"
#include "core/io/ByteWindow.hpp"
#include "core/io/FileBlockReader.hpp"
#include "tests/support/FaultyBlockReader.hpp"
#include "tests/support/RestoreFixtures.hpp"
#include "tests/support/Tools.hpp"

#include <cstdlib>
#include <ctime>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <unistd.h>

namespace vellary::testing {
namespace {

// Plain, and aligned to 4096-byte blocks over a file whose last block is partial.
TEST(BlockReaders, ReadExactlyAndShortAtTheEnd) {
    TempDir dir;
    const auto data = patterned(3 * 4096 + 100);
    writeFile(dir / "image.img", std::string(data.begin(), data.end()));
    const DataBlockReader memory(data);
    const FileBlockReader file(dir / "image.img");
    const FileBlockReader aligned(::open((dir / "image.img").c_str(), O_RDONLY), 4096, true,
                                  std::nullopt, true);
    const std::uint64_t size = data.size();
    // offset, count, bytes expected
    const std::vector<std::tuple<std::uint64_t, std::int64_t, std::uint64_t>> cases = {
        {5000, 10, 10}, {0, 4096, 4096}, {size - 10, 64, 10}, {size, 1, 0}, {size + 900, 10, 0},
        {0, 0, 0},      {0, -5, 0},      {UINT64_MAX, 10, 0}, {4095, 2, 2}};
    for (const BlockReader* reader :
         std::initializer_list<const BlockReader*>{&memory, &file, &aligned}) {
        EXPECT_EQ(reader->size(), size);
        for (const auto& [offset, count, length] : cases)
            EXPECT_EQ(reader->read(offset, count), length ? slice(data, offset, length) : Bytes{})
                << offset << "+" << count;
    }
}

TEST(FileBlockReader, RefusesWritableDescriptorsAndUnmeasurableSourcesAndReadsAShrunkFileShort) {
    TempDir dir;
    writeFile(dir / "image.img", std::string(4096, 'x'));
    for (const int mode : {O_RDWR, O_WRONLY}) {
        const int fd = ::open((dir / "image.img").c_str(), mode);
        EXPECT_THROW(FileBlockReader(fd, 512, false, std::nullopt, true), RecoverError);
        EXPECT_EQ(::fcntl(fd, F_GETFD), -1) << "the reader owned it and closed it";
    }
    writeFile(dir / "empty.img", "");
    EXPECT_THROW(FileBlockReader(dir / "empty.img"), RecoverError);
    EXPECT_EQ(FileBlockReader(::open((dir / "empty.img").c_str(), O_RDONLY), 512, false, 2048, true)
                  .size(),
              2048u);
    const FileBlockReader shrunk(::open((dir / "image.img").c_str(), O_RDONLY), 512, false,
                                 std::nullopt, true);
    ASSERT_EQ(::truncate((dir / "image.img").c_str(), 600), 0);
    EXPECT_EQ(shrunk.read(500, 400).size(), 100u);
    EXPECT_EQ(shrunk.readTolerant(500, 400, 512).unreadable, 0);
}

ByteSpan text(const char* s) {
    return ByteSpan(reinterpret_cast<const std::uint8_t*>(s), std::strlen(s));
}

TEST(ByteWindow, ReadsAcrossRefillsAndStopsAtTheEndOrABadSector) {
    Bytes data(100);
    for (std::size_t i = 0; i < data.size(); ++i)
        data[i] = static_cast<std::uint8_t>(i);
    data[77] = 0xFF;
    FaultyBlockReader reader(data, 8);
    reader.failSector(11); // bytes 88..95
    ByteWindow window(reader, 80, 8);
    EXPECT_EQ(window.u16be(7), 0x0708); // straddles two windows
    EXPECT_EQ(window.u64be(40), 0x28292A2B2C2D2E2FULL);
    EXPECT_EQ(window.u32be(77), std::nullopt); // would pass the end
    EXPECT_EQ(window.byte(80), std::nullopt);
    EXPECT_EQ(window.bytes(75, 5)->size(), 5u);
    EXPECT_EQ(window.bytes(75, 6), std::nullopt);
    EXPECT_EQ(window.bytes(UINT64_MAX, 2), std::nullopt);
    EXPECT_EQ(window.nextFF(0), 77u);
    EXPECT_EQ(window.nextFF(78), std::nullopt);
    EXPECT_EQ(ByteWindow(reader, 77, 8).nextFF(0), std::nullopt);
    ByteWindow wide(reader, 1000, 8);
    EXPECT_EQ(wide.end(), 100u);
    EXPECT_EQ(wide.byte(80), 80);
    EXPECT_EQ(wide.byte(90), std::nullopt);
    EXPECT_EQ(wide.bytes(84, 8), std::nullopt);
}

TEST(ByteWindow, FindFirstAcrossWindowBoundariesAndLimits) {
    Bytes data(256, '.');
    std::memcpy(&data[15], "ABCD", 4); // starts one byte before the first window ends
    std::memcpy(&data[100], "XY", 2);
    const DataBlockReader reader(data);
    const std::vector<ByteSpan> patterns = {text("XY"), text("ABCD")};
    ByteWindow window(reader, 256, 16);
    EXPECT_EQ(window.findFirst(patterns, 0)->offset, 15u);
    EXPECT_EQ(window.findFirst(patterns, 16)->offset, 100u);
    // A match must end before the limit; one that fills the stretch up to it counts.
    EXPECT_EQ(window.findFirst(patterns, 16, 101), std::nullopt);
    EXPECT_EQ(window.findFirst(patterns, 100, 102)->offset, 100u);
    EXPECT_EQ(window.findFirst(patterns, 255), std::nullopt);
    // Ties go to the earlier pattern.
    EXPECT_EQ(window.findFirst({text("ABC"), text("ABCD")}, 0)->index, 0u);
}

std::uint16_t date(int y, int m, int d) {
    return static_cast<std::uint16_t>(((y - 1980) << 9) | (m << 5) | d);
}
std::uint16_t time(int h, int mi, int s2) {
    return static_cast<std::uint16_t>((h << 11) | (mi << 5) | s2);
}

TEST(Binary, CheckedReadsStayInsideTheBuffer) {
    const std::uint8_t bytes[] = {0x01, 0x02, 0x03, 0x04, 0x05};
    const ByteSpan s(bytes);
    EXPECT_EQ(Binary::u32le(s, 1), 0x05040302u);
    EXPECT_EQ(Binary::u16le(s, 4), std::nullopt);
    EXPECT_EQ(Binary::u16le(s, -1), std::nullopt);
    EXPECT_EQ(Binary::u32le(s, INT64_MAX), std::nullopt);
}

// Impossible calendar days and times are refused rather than rolled over.
TEST(Binary, DatesAtTheirLimits) {
    ::setenv("TZ", "UTC0", 1); // local time, made checkable
    ::tzset();
    // time, date, the instant or nothing
    const std::vector<std::tuple<std::uint16_t, std::uint16_t, std::optional<double>>> cases = {
        {0, 0x0021, 315532800}, // 1980-01-01 00:00
        {time(23, 59, 29), date(2020, 1, 1), 1577923198},
        {0, date(1980, 1, 0), std::nullopt},
        {0, date(2020, 13, 1), std::nullopt},
        {time(24, 0, 0), date(2020, 1, 1), std::nullopt},
        {time(0, 60, 0), date(2020, 1, 1), std::nullopt},
        {time(0, 0, 30), date(2020, 1, 1), std::nullopt},
        {0, date(2021, 2, 29), std::nullopt},
        {0, date(2021, 4, 31), std::nullopt},
        {0, date(2100, 2, 29), std::nullopt},
        {0, date(2000, 2, 29), 951782400},
        {0, date(2020, 2, 29), 1582934400},
    };
    for (const auto& [t, d, instant] : cases) {
        const auto got = Binary::fatDate(t, d);
        EXPECT_EQ(got ? std::optional(unixSeconds(*got)) : std::nullopt, instant) << t << " " << d;
    }
    const std::uint32_t stamp = (std::uint32_t{date(2024, 6, 30)} << 16) | time(12, 34, 28);
    EXPECT_EQ(Binary::exfatDate(stamp), dateFromUnixSeconds(1719750896));
    EXPECT_EQ(Binary::exfatDate(0), std::nullopt);
    EXPECT_EQ(Binary::fileTimeDate(119600064000000000ULL - 1), std::nullopt);
    EXPECT_EQ(Binary::fileTimeDate(119600064000000000ULL), dateFromUnixSeconds(315532800));
    EXPECT_EQ(Binary::fileTimeDate(157469184000000000ULL), std::nullopt);
    EXPECT_DOUBLE_EQ(unixSeconds(*Binary::fileTimeDate(132000000005000000ULL)), 1555526400.5);
    // FAT and exFAT times are local: summer in Central Europe is UTC+2.
    ::setenv("TZ", "CET-1CEST,M3.5.0,M10.5.0/3", 1);
    ::tzset();
    EXPECT_EQ(Binary::fatDate(time(12, 0, 0), date(2024, 7, 1)), dateFromUnixSeconds(1719828000));
}

} // namespace
} // namespace vellary::testing
