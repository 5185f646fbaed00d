#include "core/restore/FileContents.hpp"

#include "tests/support/FaultyBlockReader.hpp"
#include "tests/support/RestoreFixtures.hpp"

#include <gtest/gtest.h>

namespace vellary::testing {
namespace {

// A file is the smaller of its size and its ranges; reads past the source end short, bad sectors
// read as zeros, and ranges that overflow read as nothing.
TEST(FileContents, MapsFilePositionsOntoRanges) {
    const Bytes source = patterned(16384);
    auto reader = std::make_shared<FaultyBlockReader>(source, 4096);
    reader->failSector(2); // bytes 8192..12287
    auto file = foundFile("f", "", {{5000, 100}, {200, 50}, {4096, 12400}});
    Bytes whole = slice(source, 5000, 100);
    for (const auto& piece : {slice(source, 200, 50), slice(source, 4096, 4096), Bytes(4096, 0),
                              slice(source, 12288, 4096)})
        whole.insert(whole.end(), piece.begin(), piece.end());
    file.size = 20000;
    const FileContents contents(file, reader);
    EXPECT_EQ(contents.size(), 12550u);
    // position, count, bytes expected
    const std::vector<std::tuple<std::uint64_t, std::int64_t, std::uint64_t>> cases = {
        {0, 20000, 12438}, {95, 10, 10}, {150, 5, 5}, {12437, 5, 1}, {12438, 1, 0}, {0, -1, 0}};
    for (const auto& [at, count, length] : cases)
        EXPECT_EQ(contents.read(at, count), slice(whole, at, length)) << at << "+" << count;
    file.ranges = {{UINT64_MAX - 5, 5}, {0, UINT64_MAX}, {0, 10}};
    EXPECT_EQ(FileContents(file, reader).size(), 20000u);
    EXPECT_TRUE(FileContents(file, reader).read(0, 100).empty());
    reader->vanishAt(9500);
    EXPECT_THROW(contents.read(0, 20000), RecoverError);
}

} // namespace
} // namespace vellary::testing
