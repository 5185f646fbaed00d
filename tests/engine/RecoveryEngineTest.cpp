#include "core/engine/RecoveryEngine.hpp"
#include "core/io/DataBlockReader.hpp"
#include "core/io/FileBlockReader.hpp"
#include "core/records/RecoverError.hpp"
#include "core/scan/VolumeFinder.hpp"
#include "tests/support/DiskImages.hpp"
#include "tests/support/FaultyBlockReader.hpp"
#include "tests/support/Tools.hpp"

#include <gtest/gtest.h>

using namespace vellary;
using namespace vellary::testing;

namespace {

constexpr std::uint64_t MiB = 1024 * 1024;
constexpr const char* kFat12 = "A very old FAT12 section was skipped.";
constexpr const char* kVolumeWarning =
    "Part of the file list couldn't be read, so the deep scan will look for those files instead.";

bool haveTools() {
    return missingTool({"sfdisk", "mkfs.vfat", "mkfs.exfat"}).empty();
}

struct Recorder {
    std::vector<ScanProgress> progress;
    int foundCalls = 0;
    std::size_t foundFiles = 0;

    ScanOptions options(bool deep) {
        ScanOptions o;
        o.deepScan = deep;
        o.progress = [this](const ScanProgress& p) { progress.push_back(p); };
        o.onFound = [this](const std::vector<RecoverableFile>& files) {
            ++foundCalls;
            foundFiles += files.size();
        };
        return o;
    }
};

// A partitioned image whose partitions are formatted with the given mkfs commands.
std::filesystem::path makeDisk(const TempDir& dir, const std::vector<std::string>& mkfs,
                               std::uint64_t partitionMiB) {
    const auto image = dir / "disk.img";
    makeBlankFile(image, (partitionMiB * mkfs.size() + 2) * MiB);
    std::string script = "label: dos\n";
    for (std::size_t i = 0; i < mkfs.size(); ++i)
        script += "size=" + std::to_string(partitionMiB) + "MiB, type=c\n";
    EXPECT_TRUE(partitionImage(image, script));
    for (std::size_t i = 0; i < mkfs.size(); ++i)
        EXPECT_TRUE(formatInto(image, MiB + i * partitionMiB * MiB, partitionMiB * MiB, mkfs[i]));
    return image;
}

} // namespace

TEST(RecoveryEngine, BlankDiskRunsTheContentSearchEvenWithoutDeepScan) {
    const DataBlockReader reader(Bytes(64 * 1024, 0));
    Recorder recorder;
    const auto result = RecoveryEngine::scan(reader, recorder.options(false));
    EXPECT_EQ(result.filesystem, "Unknown");
    EXPECT_EQ(result.volumeCount, 0);
    EXPECT_TRUE(result.searchedContents);
    EXPECT_TRUE(result.warnings.empty());
    EXPECT_EQ(result.unreadableBytes, 0u);
    ASSERT_GE(recorder.progress.size(), 2u);
    const auto& first = recorder.progress.front();
    EXPECT_EQ(first.phase, ScanProgress::Phase::fileRecords);
    EXPECT_EQ(first.bytesDone, 0u);
    EXPECT_EQ(first.bytesTotal, reader.size());
    const auto& last = recorder.progress.back();
    EXPECT_EQ(last.phase, ScanProgress::Phase::finished);
    EXPECT_EQ(last.bytesDone, reader.size());
    EXPECT_EQ(recorder.foundCalls, 0);
}

TEST(RecoveryEngine, CancellationBeforeAndBetweenVolumesAndDeviceLoss) {
    const DataBlockReader blank(Bytes(4096, 0));
    ScanOptions cancelled;
    cancelled.isCancelled = [] { return true; };
    try {
        RecoveryEngine::scan(blank, cancelled);
        FAIL();
    } catch (const RecoverError& error) {
        EXPECT_EQ(error.kind(), RecoverError::Case::cancelled);
    }

    FaultyBlockReader gone(Bytes(8192, 0));
    gone.vanishAt(0);
    try {
        RecoveryEngine::scan(gone, {});
        FAIL();
    } catch (const RecoverError& error) {
        EXPECT_EQ(error.kind(), RecoverError::Case::deviceGone);
    }

    if (!haveTools()) GTEST_SKIP() << "sfdisk, mkfs.vfat or mkfs.exfat missing";
    TempDir dir;
    const auto image = makeDisk(dir, {"mkfs.vfat -F 16 {}", "mkfs.vfat -F 16 {}"}, 16);
    const FileBlockReader reader(image);
    int polls = 0;
    ScanOptions options;
    options.isCancelled = [&polls] { return ++polls > 1; }; // yes from the first volume on
    try {
        RecoveryEngine::scan(reader, options);
        FAIL();
    } catch (const RecoverError& error) {
        EXPECT_EQ(error.kind(), RecoverError::Case::cancelled);
    }
}

TEST(RecoveryEngine, Fat12IsSkippedWithOneWarningAndNotCounted) {
    if (!haveTools()) GTEST_SKIP() << "sfdisk, mkfs.vfat or mkfs.exfat missing";
    TempDir dir;
    const auto image =
        makeDisk(dir, {"mkfs.vfat -F 12 {}", "mkfs.vfat -F 32 -s 1 {}", "mkfs.vfat -F 12 {}"}, 36);
    const FileBlockReader reader(image);
    ASSERT_EQ(VolumeFinder::find(reader).size(), 3u);
    const auto result = RecoveryEngine::scan(reader, {});
    ASSERT_FALSE(result.warnings.empty());
    EXPECT_EQ(result.warnings.front(), kFat12);
    EXPECT_EQ(std::count(result.warnings.begin(), result.warnings.end(), kFat12), 1);
    EXPECT_EQ(result.volumeCount, 1);
    EXPECT_EQ(result.filesystem, "FAT32");
}

TEST(RecoveryEngine, FileSystemLabelsAreDistinctAndSorted) {
    if (!haveTools()) GTEST_SKIP() << "sfdisk, mkfs.vfat or mkfs.exfat missing";
    {
        TempDir dir;
        const auto image = makeDisk(dir, {"mkfs.exfat {}", "mkfs.vfat -F 16 {}"}, 16);
        const auto result = RecoveryEngine::scan(FileBlockReader(image), {});
        EXPECT_EQ(result.filesystem, "ExFAT and FAT16");
        EXPECT_EQ(result.volumeCount, 2);
    }
    {
        TempDir dir;
        const auto image =
            makeDisk(dir, {"mkfs.vfat -F 32 -s 1 {}", "mkfs.vfat -F 32 -s 1 {}"}, 36);
        const auto result = RecoveryEngine::scan(FileBlockReader(image), {});
        EXPECT_EQ(result.filesystem, "FAT32");
        EXPECT_EQ(result.volumeCount, 2);
    }
}

TEST(RecoveryEngine, FileSystemFilesSkipTheContentSearchAndArriveInOneBatch) {
    TempDir dir;
    const auto image = dir / "demo.img";
    ASSERT_EQ(run(std::string(VELLARY_CLI) + " demo-image '" + image.string() + "'"), 0);
    const FileBlockReader reader(image);
    Recorder recorder;
    const auto result = RecoveryEngine::scan(reader, recorder.options(false));
    EXPECT_EQ(result.filesystem, "FAT32");
    ASSERT_FALSE(result.files.empty());
    EXPECT_FALSE(result.searchedContents);
    EXPECT_EQ(result.unreadableBytes, 0u);
    EXPECT_EQ(recorder.foundCalls, 1);
    EXPECT_EQ(recorder.foundFiles, result.files.size());
    for (const auto& p : recorder.progress)
        EXPECT_NE(p.phase, ScanProgress::Phase::contents);
    EXPECT_EQ(recorder.progress.back().found, static_cast<std::int64_t>(result.files.size()));
}

TEST(RecoveryEngine, AnUnreadableVolumeBecomesAWarningAndTheScanGoesOn) {
    TempDir dir;
    const auto image = dir / "demo.img";
    ASSERT_EQ(run(std::string(VELLARY_CLI) + " demo-image '" + image.string() + "'"), 0);
    const auto bytes = readFile(image);
    FaultyBlockReader reader(Bytes(bytes.begin(), bytes.end()));
    // The demo volume starts at 1 MiB; its FAT follows 32 reserved sectors.
    for (std::uint64_t sector = 2048 + 32; sector < 2048 + 32 + 2000; ++sector)
        reader.failSector(sector);
    const auto result = RecoveryEngine::scan(reader, {});
    EXPECT_EQ(result.filesystem, "FAT32");
    EXPECT_EQ(result.volumeCount, 1);
    ASSERT_FALSE(result.warnings.empty());
    EXPECT_EQ(result.warnings.front(), kVolumeWarning);
    // A failing FAT volume hands over nothing; the content search ran instead.
    EXPECT_TRUE(result.searchedContents);
    for (const auto& file : result.files)
        EXPECT_EQ(file.confidence, RecoveryConfidence::carved);
}
