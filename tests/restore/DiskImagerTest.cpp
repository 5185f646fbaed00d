#include "core/restore/DiskImager.hpp"

#include "core/io/FileBlockReader.hpp"
#include "tests/support/FaultyBlockReader.hpp"
#include "tests/support/RestoreFixtures.hpp"
#include "tests/support/SmallTmpfs.hpp"
#include "tests/support/Tools.hpp"

#include <gtest/gtest.h>
#include <unistd.h>

namespace vellary::testing {
namespace {

namespace fs = std::filesystem;
constexpr std::uint64_t MiB = 1024 * 1024;

TEST(DiskImager, CopiesByteForByteWithBadSectorsAsCountedZerosAndStopsWhereTheSourceEnds) {
    Bytes source = patterned(9 * MiB);
    FaultyBlockReader reader(source, 4096);
    reader.failSector(5);
    reader.failSector(1000);
    TempDir dir;
    DiskImager::Progress last;
    EXPECT_EQ(DiskImager::copy(reader, dir / "bad.img", [&](const auto& p) { last = p; }),
              (DiskImager::Progress{9 * MiB, 9 * MiB, 8192}));
    EXPECT_EQ(last.bytesDone, 9 * MiB);
    std::fill_n(source.begin() + 5 * 4096, 4096, 0);
    std::fill_n(source.begin() + 1000 * 4096, 4096, 0);
    EXPECT_EQ(readBytes(dir / "bad.img"), source);

    // A source that ends before its size, like an image file cut short while it is read.
    writeFile(dir / "card.img", std::string(source.begin(), source.begin() + 5 * MiB));
    const FileBlockReader shrinking(dir / "card.img");
    ASSERT_EQ(::truncate((dir / "card.img").c_str(), 3 * MiB), 0);
    EXPECT_EQ(DiskImager::copy(shrinking, dir / "short.img"),
              (DiskImager::Progress{3 * MiB, 5 * MiB, 0}));
    EXPECT_EQ(readFile(dir / "short.img"), std::string(source.begin(), source.begin() + 3 * MiB));
    EXPECT_EQ(DiskImager::copy(DataBlockReader(Bytes{}), dir / "empty.img"),
              (DiskImager::Progress{}));
}

// However a copy stops, no partial image is left under the name.
TEST(DiskImager, CancellingAPulledDiskOrAFullFolderRemovesThePartialImage) {
    TempDir dir;
    int asked = 0;
    FaultyBlockReader pulled(patterned(20 * MiB));
    pulled.vanishAt(12 * MiB);
    SmallTmpfs disk(2 * MiB);
    const std::vector<std::pair<fs::path, std::function<void()>>> stops = {
        {dir / "part.img",
         [&] { DiskImager::copy(pulled, dir / "part.img", {}, [&] { return ++asked > 1; }); }},
        {dir / "pulled.img", [&] { DiskImager::copy(pulled, dir / "pulled.img"); }},
        {disk.path() / "full.img",
         [&] { DiskImager::copy(DataBlockReader(patterned(5 * MiB)), disk.path() / "full.img"); }}};
    for (const auto& [out, copy] : stops) {
        if (!disk.mounted() && out.parent_path() == disk.path()) continue;
        EXPECT_THROW(copy(), RecoverError) << out;
        EXPECT_FALSE(fs::exists(out)) << out;
    }
}

} // namespace
} // namespace vellary::testing
