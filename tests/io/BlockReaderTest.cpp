#include "core/io/DataBlockReader.hpp"
#include "core/io/FileBlockReader.hpp"
#include "core/records/RecoverError.hpp"
#include "tests/support/FaultyBlockReader.hpp"
#include "tests/support/Tools.hpp"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <numeric>
#include <unistd.h>

using namespace vellary;
using vellary::testing::FaultyBlockReader;
using vellary::testing::TempDir;

namespace {

Bytes counting(std::size_t n) {
    Bytes b(n);
    for (std::size_t i = 0; i < n; ++i)
        b[i] = static_cast<std::uint8_t>(i * 7 + i / 256);
    return b;
}

std::string asString(const Bytes& b) {
    return std::string(b.begin(), b.end());
}

} // namespace

TEST(DataBlockReader, ContractAtTheEdges) {
    const DataBlockReader reader(counting(100));
    EXPECT_TRUE(reader.read(100, 10).empty());
    EXPECT_TRUE(reader.read(1000, 10).empty());
    EXPECT_TRUE(reader.read(0, 0).empty());
    EXPECT_TRUE(reader.read(0, -5).empty());
    EXPECT_EQ(reader.read(96, 10).size(), 4u);
    EXPECT_EQ(reader.read(UINT64_MAX, 10).size(), 0u);
}

TEST(FileBlockReader, ReadsFilesExactlyAndShortAtTheEnd) {
    TempDir dir;
    const auto data = counting(10000);
    vellary::testing::writeFile(dir / "image.img", asString(data));
    const FileBlockReader reader(dir / "image.img");
    EXPECT_EQ(reader.size(), 10000u);
    EXPECT_TRUE(reader.read(10000, 1).empty());
    EXPECT_EQ(reader.read(9996, 10), Bytes(data.begin() + 9996, data.end()));
    EXPECT_EQ(reader.read(1234, 100), Bytes(data.begin() + 1234, data.begin() + 1334));
}

TEST(FileBlockReader, AlignedReadsSliceTheBlocksTheyRead) {
    TempDir dir;
    const auto data = counting(3 * 4096 + 100);
    vellary::testing::writeFile(dir / "image.img", asString(data));
    const int fd = ::open((dir / "image.img").c_str(), O_RDONLY);
    ASSERT_GE(fd, 0);
    const FileBlockReader reader(fd, 4096, true, std::nullopt, true);
    EXPECT_EQ(reader.read(5000, 10), Bytes(data.begin() + 5000, data.begin() + 5010));
    // The last block is partial: the read is capped at the size.
    EXPECT_EQ(reader.read(3 * 4096 + 90, 64), Bytes(data.begin() + 3 * 4096 + 90, data.end()));
    EXPECT_EQ(reader.read(0, 4096), Bytes(data.begin(), data.begin() + 4096));
    EXPECT_EQ(reader.blockSize(), 4096);
}

TEST(FileBlockReader, AFileShorterThanItsExpectedSizeGivesShortReads) {
    TempDir dir;
    vellary::testing::writeFile(dir / "image.img", std::string(1000, 'x'));
    const int fd = ::open((dir / "image.img").c_str(), O_RDONLY);
    const FileBlockReader reader(fd, 512, false, std::nullopt, true);
    // The file shrinks after the size was taken, as a pulled image copy would.
    ASSERT_EQ(::truncate((dir / "image.img").c_str(), 600), 0);
    EXPECT_EQ(reader.read(500, 400).size(), 100u);
    const auto tolerant = reader.readTolerant(500, 400, 512);
    EXPECT_EQ(tolerant.data.size(), 100u);
    EXPECT_EQ(tolerant.unreadable, 0);
}

TEST(FileBlockReader, RefusesWritableDescriptorsAndUnmeasurableSources) {
    TempDir dir;
    vellary::testing::writeFile(dir / "image.img", std::string(4096, 'x'));
    for (const int mode : {O_RDWR, O_WRONLY}) {
        const int fd = ::open((dir / "image.img").c_str(), mode);
        ASSERT_GE(fd, 0);
        try {
            FileBlockReader reader(fd, 512, false, std::nullopt, true);
            FAIL() << "a writable descriptor was accepted";
        } catch (const RecoverError& error) {
            EXPECT_EQ(error.errorDescription(), "Refusing to use a descriptor that can write.");
        }
        // The reader owned it and closed it.
        EXPECT_EQ(::fcntl(fd, F_GETFD), -1);
    }
    vellary::testing::writeFile(dir / "empty.img", "");
    try {
        FileBlockReader reader(dir / "empty.img");
        FAIL();
    } catch (const RecoverError& error) {
        EXPECT_EQ(error.errorDescription(), "Couldn't read the size of the disk.");
    }
    const int fd = ::open((dir / "empty.img").c_str(), O_RDONLY);
    const FileBlockReader expected(fd, 512, false, 2048, true);
    EXPECT_EQ(expected.size(), 2048u);
    try {
        FileBlockReader reader(dir / "missing.img");
        FAIL();
    } catch (const RecoverError& error) {
        EXPECT_EQ(error.errorDescription().rfind(
                      "Couldn't open " + (dir / "missing.img").string() + ". ", 0),
                  0u);
    }
}

TEST(ReadTolerant, ZeroesOnlyTheFailingSectors) {
    const auto data = counting(64 * 1024);
    FaultyBlockReader reader(data);
    reader.failSector(10);
    reader.failSector(11);
    reader.failSector(100);
    const auto result = reader.readTolerant(0, 64 * 1024, 512);
    ASSERT_EQ(result.data.size(), 64u * 1024);
    EXPECT_EQ(result.unreadable, 3 * 512);
    for (std::size_t i = 0; i < data.size(); ++i) {
        const auto sector = i / 512;
        const bool bad = sector == 10 || sector == 11 || sector == 100;
        ASSERT_EQ(result.data[i], bad ? 0 : data[i]) << i;
    }
}

TEST(ReadTolerant, ClipsToTheSourceAndPassesOnDeviceGone) {
    FaultyBlockReader reader(counting(5000));
    reader.failSector(9);
    const auto tail = reader.readTolerant(4000, 4000, 512);
    EXPECT_EQ(tail.data.size(), 1000u);
    // Pieces count from the offset asked for: the second one (4512-5000) holds the bad sector.
    EXPECT_EQ(tail.unreadable, 5000 - 4512);
    const auto past = reader.readTolerant(6000, 100, 512);
    EXPECT_TRUE(past.data.empty());
    EXPECT_EQ(past.unreadable, 0);

    FaultyBlockReader gone(counting(8192));
    gone.vanishAt(4096);
    EXPECT_EQ(gone.readTolerant(0, 4096, 512).unreadable, 0);
    try {
        gone.readTolerant(0, 8192, 512);
        FAIL();
    } catch (const RecoverError& error) {
        EXPECT_EQ(error.kind(), RecoverError::Case::deviceGone);
    }
}
