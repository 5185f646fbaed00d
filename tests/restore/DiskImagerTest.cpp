#include "core/restore/DiskImager.hpp"

#include "core/io/DataBlockReader.hpp"
#include "core/records/RecoverError.hpp"
#include "tests/support/FaultyBlockReader.hpp"
#include "tests/support/RestoreFixtures.hpp"
#include "tests/support/SmallTmpfs.hpp"
#include "tests/support/Tools.hpp"

#include <gtest/gtest.h>

#include <mutex>
#include <sys/stat.h>

namespace vellary {
namespace {

using testing::patterned;
using testing::readBytes;
using testing::TempDir;

constexpr std::uint64_t MiB = 1024 * 1024;

// Records every read, to see the chunks the imager asks for; may claim more than it holds, like
// an image cut short.
class RecordingReader : public BlockReader {
public:
    RecordingReader(Bytes data, std::uint64_t claimed)
        : inner_(std::move(data)), claimed_(claimed) {}
    std::uint64_t size() const override { return claimed_; }
    Bytes read(std::uint64_t offset, std::int64_t count) const override {
        std::lock_guard lock(mutex_);
        reads.emplace_back(offset, count);
        return inner_.read(offset, count);
    }
    mutable std::vector<std::pair<std::uint64_t, std::int64_t>> reads;

private:
    DataBlockReader inner_;
    std::uint64_t claimed_;
    mutable std::mutex mutex_;
};

TEST(DiskImager, CopiesByteForByteInChunksOf8MiB) {
    const Bytes source = patterned(20 * MiB);
    RecordingReader reader(source, source.size());
    TempDir dir;
    std::vector<DiskImager::Progress> reports;
    const auto result =
        DiskImager::copy(reader, dir / "copy.img", [&](const auto& p) { reports.push_back(p); });
    EXPECT_EQ(result, (DiskImager::Progress{20 * MiB, 20 * MiB, 0}));
    EXPECT_EQ(readBytes(dir / "copy.img"), source);
    EXPECT_EQ(reader.reads, (std::vector<std::pair<std::uint64_t, std::int64_t>>{
                                {0, 8 * MiB}, {8 * MiB, 8 * MiB}, {16 * MiB, 4 * MiB}}));
    // The first chunk reports at once; the last report is the final state.
    ASSERT_GE(reports.size(), 2u);
    EXPECT_EQ(reports.front().bytesDone, 8 * MiB);
    EXPECT_EQ(reports.back(), result);
    struct stat st {};
    ASSERT_EQ(::stat((dir / "copy.img").c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 0133, 0u);
}

TEST(DiskImager, EmptyAndShortSourcesAndTheProgressFraction) {
    TempDir dir;
    int reports = 0;
    const auto empty = DiskImager::copy(DataBlockReader(Bytes{}), dir / "empty.img",
                                        [&](const auto&) { ++reports; });
    EXPECT_EQ(empty, (DiskImager::Progress{0, 0, 0}));
    EXPECT_EQ(reports, 1);
    EXPECT_EQ(std::filesystem::file_size(dir / "empty.img"), 0u);

    const Bytes data = patterned(3 * MiB);
    const auto cut = DiskImager::copy(RecordingReader(data, 5 * MiB), dir / "short.img");
    EXPECT_EQ(cut.bytesDone, 3 * MiB);
    EXPECT_EQ(cut.bytesTotal, 5 * MiB);
    EXPECT_FALSE(cut.complete());
    EXPECT_EQ(readBytes(dir / "short.img"), data);

    EXPECT_EQ((DiskImager::Progress{150, 100, 0}.fraction()), 1.0);
    EXPECT_EQ((DiskImager::Progress{50, 100, 0}.fraction()), 0.5);
    EXPECT_EQ((DiskImager::Progress{5, 0, 0}.fraction()), 0.0);
}

TEST(DiskImager, UnreadableSectorsBecomeCountedZerosAtTheirOffsets) {
    Bytes source = patterned(9 * MiB);
    testing::FaultyBlockReader reader(source, 4096);
    reader.failSector(5);
    reader.failSector(1000);
    TempDir dir;
    const auto result = DiskImager::copy(reader, dir / "bad.img");
    EXPECT_EQ(result.unreadable, 8192u);
    EXPECT_EQ(result.bytesDone, 9 * MiB);
    std::fill(source.begin() + 5 * 4096, source.begin() + 6 * 4096, 0);
    std::fill(source.begin() + 1000 * 4096, source.begin() + 1001 * 4096, 0);
    EXPECT_EQ(readBytes(dir / "bad.img"), source);
}

TEST(DiskImager, NeverReplacesAnExistingFile) {
    DataBlockReader reader(patterned(4096));
    TempDir dir;
    testing::writeFile(dir / "old.img", "keep me");
    std::filesystem::create_symlink(dir / "target", dir / "link.img");
    EXPECT_THROW(DiskImager::copy(reader, dir / "old.img"), RecoverError);
    EXPECT_EQ(testing::readFile(dir / "old.img"), "keep me");
    EXPECT_THROW(DiskImager::copy(reader, dir / "link.img"), RecoverError);
    EXPECT_FALSE(std::filesystem::exists(dir / "target"));
}

// However a copy stops, no partial image is left under the name.
TEST(DiskImager, CancellingAPulledDiskOrAFullFolderRemovesThePartialImage) {
    TempDir dir;
    int asked = 0;
    try {
        DiskImager::copy(DataBlockReader(patterned(30 * MiB)), dir / "part.img", {},
                         [&] { return ++asked > 2; });
        FAIL() << "expected cancelled";
    } catch (const RecoverError& error) {
        EXPECT_EQ(error.kind(), RecoverError::Case::cancelled);
    }
    EXPECT_EQ(asked, 3);
    EXPECT_FALSE(std::filesystem::exists(dir / "part.img"));

    testing::FaultyBlockReader pulled(patterned(20 * MiB));
    pulled.vanishAt(12 * MiB);
    try {
        DiskImager::copy(pulled, dir / "pulled.img");
        FAIL() << "expected deviceGone";
    } catch (const RecoverError& error) {
        EXPECT_EQ(error.kind(), RecoverError::Case::deviceGone);
    }
    EXPECT_FALSE(std::filesystem::exists(dir / "pulled.img"));

    testing::SmallTmpfs disk(2 * MiB);
    if (!disk.mounted()) GTEST_SKIP() << "cannot mount a tmpfs here (needs root)";
    try {
        DiskImager::copy(DataBlockReader(patterned(5 * MiB)), disk.path() / "full.img");
        FAIL() << "expected a write error";
    } catch (const RecoverError& error) {
        EXPECT_EQ(error.errorDescription(), "Couldn't write full.img. No space left on device");
    }
    EXPECT_FALSE(std::filesystem::exists(disk.path() / "full.img"));
}

} // namespace
} // namespace vellary
