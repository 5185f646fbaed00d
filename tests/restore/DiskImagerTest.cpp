#include "core/restore/DiskImager.hpp"

#include "core/io/DataBlockReader.hpp"
#include "core/io/FileBlockReader.hpp"
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

// Records every read, to see the chunks the imager asks for.
class RecordingReader : public BlockReader {
public:
    explicit RecordingReader(const BlockReader& inner) : inner_(inner) {}
    std::uint64_t size() const override { return inner_.size(); }
    Bytes read(std::uint64_t offset, std::int64_t count) const override {
        std::lock_guard lock(mutex_);
        reads_.emplace_back(offset, count);
        return inner_.read(offset, count);
    }
    std::vector<std::pair<std::uint64_t, std::int64_t>> reads() const {
        std::lock_guard lock(mutex_);
        return reads_;
    }

private:
    const BlockReader& inner_;
    mutable std::mutex mutex_;
    mutable std::vector<std::pair<std::uint64_t, std::int64_t>> reads_;
};

// A source whose size says more than it can deliver, like an image cut short.
class ShortReader : public BlockReader {
public:
    ShortReader(Bytes data, std::uint64_t claimed) : inner_(std::move(data)), claimed_(claimed) {}
    std::uint64_t size() const override { return claimed_; }
    Bytes read(std::uint64_t offset, std::int64_t count) const override {
        return inner_.read(offset, count);
    }

private:
    DataBlockReader inner_;
    std::uint64_t claimed_;
};

TEST(DiskImager, CopiesByteForByteInChunksOf8MiB) {
    const Bytes source = patterned(20 * MiB);
    DataBlockReader data(source);
    RecordingReader reader(data);
    TempDir dir;
    std::vector<DiskImager::Progress> reports;
    const auto result =
        DiskImager::copy(reader, dir / "copy.img", [&](const auto& p) { reports.push_back(p); });
    EXPECT_EQ(result, (DiskImager::Progress{20 * MiB, 20 * MiB, 0}));
    EXPECT_EQ(readBytes(dir / "copy.img"), source);
    const auto reads = reader.reads();
    ASSERT_EQ(reads.size(), 3u);
    EXPECT_EQ(reads[0], std::make_pair(std::uint64_t{0}, std::int64_t(8 * MiB)));
    EXPECT_EQ(reads[1], std::make_pair(8 * MiB, std::int64_t(8 * MiB)));
    EXPECT_EQ(reads[2], std::make_pair(16 * MiB, std::int64_t(4 * MiB)));
    // The first chunk reports at once; the last report is the final state.
    ASSERT_GE(reports.size(), 2u);
    EXPECT_EQ(reports.front().bytesDone, 8 * MiB);
    EXPECT_EQ(reports.back(), result);
    struct stat st {};
    ASSERT_EQ(::stat((dir / "copy.img").c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 0133, 0u);
}

TEST(DiskImager, AnEmptySourceGivesAnEmptyImageAndOneReport) {
    DataBlockReader reader(Bytes{});
    TempDir dir;
    int reports = 0;
    const auto result =
        DiskImager::copy(reader, dir / "empty.img", [&](const auto&) { ++reports; });
    EXPECT_EQ(result, (DiskImager::Progress{0, 0, 0}));
    EXPECT_EQ(result.fraction(), 0.0);
    EXPECT_EQ(reports, 1);
    EXPECT_EQ(std::filesystem::file_size(dir / "empty.img"), 0u);
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
    try {
        DiskImager::copy(reader, dir / "old.img");
        FAIL() << "expected a refusal";
    } catch (const RecoverError& error) {
        EXPECT_EQ(error.errorDescription(), "Couldn't create old.img. File exists");
    }
    EXPECT_EQ(testing::readFile(dir / "old.img"), "keep me");
    EXPECT_THROW(DiskImager::copy(reader, dir / "link.img"), RecoverError);
    EXPECT_FALSE(std::filesystem::exists(dir / "target"));
}

TEST(DiskImager, CancellingRemovesThePartialImage) {
    DataBlockReader reader(patterned(30 * MiB));
    TempDir dir;
    int asked = 0;
    try {
        DiskImager::copy(reader, dir / "part.img", {}, [&] { return ++asked > 2; });
        FAIL() << "expected cancelled";
    } catch (const RecoverError& error) {
        EXPECT_EQ(error.kind(), RecoverError::Case::cancelled);
    }
    EXPECT_EQ(asked, 3);
    EXPECT_FALSE(std::filesystem::exists(dir / "part.img"));
}

TEST(DiskImager, ADiskPulledMidCopyRemovesThePartialImage) {
    testing::FaultyBlockReader reader(patterned(20 * MiB));
    reader.vanishAt(12 * MiB);
    TempDir dir;
    try {
        DiskImager::copy(reader, dir / "pulled.img");
        FAIL() << "expected deviceGone";
    } catch (const RecoverError& error) {
        EXPECT_EQ(error.kind(), RecoverError::Case::deviceGone);
    }
    EXPECT_FALSE(std::filesystem::exists(dir / "pulled.img"));
}

TEST(DiskImager, ASourceThatEndsEarlyGivesAnIncompleteCopy) {
    const Bytes data = patterned(3 * MiB);
    ShortReader reader(data, 5 * MiB);
    TempDir dir;
    const auto result = DiskImager::copy(reader, dir / "short.img");
    EXPECT_EQ(result.bytesDone, 3 * MiB);
    EXPECT_EQ(result.bytesTotal, 5 * MiB);
    EXPECT_FALSE(result.complete());
    EXPECT_EQ(readBytes(dir / "short.img"), data);
}

TEST(DiskImager, AFullDiskRemovesThePartialImage) {
    testing::SmallTmpfs disk(2 * MiB);
    if (!disk.mounted()) GTEST_SKIP() << "cannot mount a tmpfs here (needs root)";
    DataBlockReader reader(patterned(5 * MiB));
    try {
        DiskImager::copy(reader, disk.path() / "full.img");
        FAIL() << "expected a write error";
    } catch (const RecoverError& error) {
        EXPECT_EQ(error.errorDescription(), "Couldn't write full.img. No space left on device");
    }
    EXPECT_FALSE(std::filesystem::exists(disk.path() / "full.img"));
}

TEST(DiskImager, CopiesARealImageFileExactly) {
    TempDir dir;
    const Bytes data = patterned(3 * MiB + 512, 3);
    testing::writeFile(dir / "source.img", std::string(data.begin(), data.end()));
    const std::string before = testing::sha256(dir / "source.img");
    {
        FileBlockReader reader(dir / "source.img");
        DiskImager::copy(reader, dir / "copy.img");
    }
    EXPECT_EQ(testing::sha256(dir / "copy.img"), before);
    EXPECT_EQ(testing::sha256(dir / "source.img"), before);
}

TEST(DiskImagerProgress, FractionIsBounded) {
    EXPECT_EQ((DiskImager::Progress{150, 100, 0}.fraction()), 1.0);
    EXPECT_EQ((DiskImager::Progress{50, 100, 0}.fraction()), 0.5);
    EXPECT_EQ((DiskImager::Progress{5, 0, 0}.fraction()), 0.0);
}

} // namespace
} // namespace vellary
