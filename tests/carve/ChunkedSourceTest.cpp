#include "core/carve/ChunkedSource.hpp"
#include "core/carve/Carver.hpp"
#include "core/io/DataBlockReader.hpp"
#include "core/io/FileBlockReader.hpp"
#include "core/records/RecoverError.hpp"
#include "tests/support/CarveFixtures.hpp"
#include "tests/support/FaultyBlockReader.hpp"

#include <gtest/gtest.h>

#include <filesystem>

namespace vellary {
namespace {

using testing::CarveFixtures;
constexpr std::uint64_t MiB = 1024 * 1024;

std::vector<std::pair<std::uint64_t, std::uint64_t>> found(const BlockReader& reader,
                                                           const RangeCover& cover = {}) {
    std::vector<RecoverableFile> sink;
    Carver::carve(reader, cover, {}, 0, sink);
    std::vector<std::pair<std::uint64_t, std::uint64_t>> out;
    for (const auto& f : sink)
        out.emplace_back(f.ranges.front().offset, f.size);
    return out;
}

// JPEGs and bitmaps across piece and chunk boundaries, among noise.
Bytes straddlingImage() {
    auto image = CarveFixtures::noise(19 * MiB, 3);
    CarveFixtures::place(image, MiB - 512, CarveFixtures::jpeg(3000));
    CarveFixtures::place(image, 3 * MiB - 1024, CarveFixtures::bmp(300, 200));
    CarveFixtures::place(image, 8 * MiB - 4096, CarveFixtures::jpeg(700000));
    CarveFixtures::place(image, 16 * MiB - 512, CarveFixtures::jpeg(3 * MiB));
    return image;
}

TEST(ChunkedSource, FileAndMemorySourcesFindTheSameFilesUntilTheFileShrinks) {
    const auto image = straddlingImage();
    testing::TempDir dir;
    testing::writeFile(dir / "card.img", std::string(image.begin(), image.end()));
    const FileBlockReader file(dir / "card.img");
    const DataBlockReader memory(image);
    const std::vector<std::pair<std::uint64_t, std::uint64_t>> expected = {
        {MiB - 512, 3000},
        {3 * MiB - 1024, CarveFixtures::bmp(300, 200).size()},
        {8 * MiB - 4096, 700000},
        {16 * MiB - 512, 3 * MiB}};
    EXPECT_EQ(found(memory), expected);
    EXPECT_EQ(found(file), expected);
    const RangeCover cover({{MiB - 2048, 4096}, {8 * MiB - 5000, 5000}});
    EXPECT_EQ(found(file, cover), found(memory, cover));
    EXPECT_EQ(found(file, cover).size(), 2u);

    ChunkedSource source(file);
    source.start(0, MiB);
    const auto ahead = source.ahead(MiB + 10, 3 * MiB);
    ASSERT_TRUE(ahead);
    EXPECT_TRUE(std::equal(ahead->begin(), ahead->end(), image.begin() + MiB + 10));
    EXPECT_EQ(ahead->size(), MiB);
    EXPECT_EQ(source.ahead(19 * MiB - 5, UINT64_MAX)->size(), 5u);
    EXPECT_FALSE(source.ahead(10, 3 * MiB));                    // inside the chunk
    EXPECT_FALSE(source.ahead(2 * MiB, 2 * MiB));               // at the limit
    EXPECT_TRUE(ChunkedSource(memory).ahead(2 * MiB, 3 * MiB)); // any reader, not only files

    // A file that shrinks during the scan ends the walk: the JPEG at 8 MiB - 4096 is now cut.
    std::filesystem::resize_file(dir / "card.img", 8 * MiB + 1000);
    EXPECT_EQ(found(file), decltype(expected)(expected.begin(), expected.begin() + 2));
}

TEST(ChunkedSource, ReadsInsideAndOutsideTheChunk) {
    const auto image = CarveFixtures::noise(3 * MiB, 4);
    const DataBlockReader memory(image);
    ChunkedSource source(memory);
    source.start(MiB, MiB);
    EXPECT_EQ(source.length(), MiB);
    const auto across = source.read(2 * MiB - 10, 20);
    EXPECT_EQ(across, Bytes(image.begin() + 2 * MiB - 10, image.begin() + 2 * MiB + 10));
    EXPECT_EQ(source.read(10, 5), Bytes(image.begin() + 10, image.begin() + 15));
    EXPECT_EQ(source.loadedThrough(MiB + 5), 2 * MiB);
    EXPECT_FALSE(source.loadedThrough(2 * MiB));

    source.start(3 * MiB - 100, MiB);
    EXPECT_EQ(source.length(), 100u);
    source.start(3 * MiB, MiB);
    EXPECT_EQ(source.length(), 0u);
}

TEST(ChunkedSource, UnreadableChunkSendsReadsToTheSource) {
    testing::FaultyBlockReader faulty(CarveFixtures::noise(2 * MiB, 5));
    faulty.failSector(10);
    ChunkedSource source(faulty);
    source.start(0, MiB);
    EXPECT_EQ(source.finish(), 4096);
    EXPECT_EQ(source.data()[10 * 512], 0); // zero-filled for the walk
    EXPECT_FALSE(source.loadedThrough(0));
    // A carver sees the failure, not the zeros.
    EXPECT_THROW(source.read(10 * 512, 16), RecoverError);
    EXPECT_EQ(source.read(0, 16).size(), 16u);
}

} // namespace
} // namespace vellary
