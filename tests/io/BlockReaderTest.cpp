#include "core/io/DataBlockReader.hpp"
#include "core/io/FileBlockReader.hpp"
#include "core/records/RecoverError.hpp"
#include "tests/support/FaultyBlockReader.hpp"
#include "tests/support/RestoreFixtures.hpp"
#include "tests/support/Tools.hpp"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <unistd.h>

using namespace vellary;
using vellary::testing::FaultyBlockReader;
using vellary::testing::patterned;
using vellary::testing::slice;
using vellary::testing::TempDir;

namespace {

template <typename F> std::string errorOf(F&& step) {
    try {
        step();
    } catch (const RecoverError& error) {
        return error.errorDescription();
    }
    return "no error";
}

} // namespace

// Plain, and aligned to 4096-byte blocks over a file whose last block is partial.
TEST(BlockReaders, ReadExactlyAndShortAtTheEnd) {
    TempDir dir;
    const auto data = patterned(3 * 4096 + 100);
    vellary::testing::writeFile(dir / "image.img", std::string(data.begin(), data.end()));
    const DataBlockReader memory(data);
    const FileBlockReader file(dir / "image.img");
    const FileBlockReader aligned(::open((dir / "image.img").c_str(), O_RDONLY), 4096, true,
                                  std::nullopt, true);
    EXPECT_EQ(aligned.blockSize(), 4096);
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

TEST(FileBlockReader, AFileShorterThanItsExpectedSizeGivesShortReads) {
    TempDir dir;
    vellary::testing::writeFile(dir / "image.img", std::string(1000, 'x'));
    const FileBlockReader reader(::open((dir / "image.img").c_str(), O_RDONLY), 512, false,
                                 std::nullopt, true);
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
        EXPECT_EQ(errorOf([&] { FileBlockReader(fd, 512, false, std::nullopt, true); }),
                  "Refusing to use a descriptor that can write.");
        // The reader owned it and closed it.
        EXPECT_EQ(::fcntl(fd, F_GETFD), -1);
    }
    vellary::testing::writeFile(dir / "empty.img", "");
    EXPECT_EQ(errorOf([&] { FileBlockReader(dir / "empty.img"); }),
              "Couldn't read the size of the disk.");
    const FileBlockReader expected(::open((dir / "empty.img").c_str(), O_RDONLY), 512, false, 2048,
                                   true);
    EXPECT_EQ(expected.size(), 2048u);
    EXPECT_TRUE(errorOf([&] {
                    FileBlockReader(dir / "missing.img");
                }).starts_with("Couldn't open " + (dir / "missing.img").string() + ". "));
}

TEST(ReadTolerant, ZeroesOnlyTheFailingSectorsClipsToTheSourceAndPassesOnDeviceGone) {
    const auto data = patterned(64 * 1024);
    FaultyBlockReader reader(data);
    for (const std::uint64_t sector : {10, 11, 100})
        reader.failSector(sector);
    const auto result = reader.readTolerant(0, 64 * 1024, 512);
    Bytes expected = data;
    for (const std::size_t sector : {10, 11, 100})
        std::fill_n(expected.begin() + static_cast<std::ptrdiff_t>(sector * 512), 512, 0);
    EXPECT_EQ(result.data, expected);
    EXPECT_EQ(result.unreadable, 3 * 512);

    FaultyBlockReader small(patterned(5000));
    small.failSector(9);
    const auto tail = small.readTolerant(4000, 4000, 512);
    EXPECT_EQ(tail.data.size(), 1000u);
    // Pieces count from the offset asked for: the second one (4512-5000) holds the bad sector.
    EXPECT_EQ(tail.unreadable, 5000 - 4512);
    const auto past = small.readTolerant(6000, 100, 512);
    EXPECT_TRUE(past.data.empty());
    EXPECT_EQ(past.unreadable, 0);

    reader.vanishAt(60000);
    EXPECT_EQ(reader.readTolerant(0, 4096, 512).unreadable, 0);
    EXPECT_THROW(reader.readTolerant(0, 64 * 1024, 512), RecoverError);
}
