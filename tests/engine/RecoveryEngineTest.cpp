#include "core/engine/RecoveryEngine.hpp"
#include "core/io/Binary.hpp"
#include "core/io/DataBlockReader.hpp"
#include "core/io/FileBlockReader.hpp"
#include "core/records/RecoverError.hpp"
#include "tests/support/DiskImages.hpp"
#include "tests/support/FaultyBlockReader.hpp"
#include "tests/support/Tools.hpp"

#include <gtest/gtest.h>

using namespace vellary;
using namespace vellary::testing;

namespace {

constexpr std::uint64_t MiB = 1024 * 1024;

struct Recorder {
    std::vector<ScanProgress> progress;
    int foundCalls = 0;
    std::size_t foundFiles = 0;

    ScanOptions options() {
        ScanOptions o;
        o.deepScan = false;
        o.progress = [this](const ScanProgress& p) { progress.push_back(p); };
        o.onFound = [this](const std::vector<RecoverableFile>& files) {
            ++foundCalls;
            foundFiles += files.size();
        };
        return o;
    }
};

void expectError(const BlockReader& reader, const ScanOptions& options, RecoverError::Case kind) {
    try {
        (void)RecoveryEngine::scan(reader, options);
        ADD_FAILURE() << "no error";
    } catch (const RecoverError& error) {
        EXPECT_EQ(error.kind(), kind);
    }
}

} // namespace

TEST(RecoveryEngine, BlankDiskRunsTheContentSearchEvenWithoutDeepScan) {
    const DataBlockReader reader(Bytes(64 * 1024, 0));
    Recorder recorder;
    const auto result = RecoveryEngine::scan(reader, recorder.options());
    EXPECT_EQ(result.filesystem, "Unknown");
    EXPECT_EQ(result.volumeCount, 0);
    EXPECT_TRUE(result.searchedContents);
    ASSERT_GE(recorder.progress.size(), 2u);
    EXPECT_EQ(recorder.progress.front().phase, ScanProgress::Phase::fileRecords);
    EXPECT_EQ(recorder.progress.front().bytesTotal, reader.size());
    EXPECT_EQ(recorder.progress.back().phase, ScanProgress::Phase::finished);
    EXPECT_EQ(recorder.progress.back().bytesDone, reader.size());
    EXPECT_EQ(recorder.foundCalls, 0);
}

TEST(RecoveryEngine, CancellationBeforeAndBetweenVolumesAndDeviceLoss) {
    ScanOptions cancelled;
    cancelled.isCancelled = [] { return true; };
    expectError(DataBlockReader(Bytes(4096, 0)), cancelled, RecoverError::Case::cancelled);
    FaultyBlockReader gone(Bytes(8192, 0));
    gone.vanishAt(0);
    expectError(gone, {}, RecoverError::Case::deviceGone);

    if (!missingTool({"sfdisk", "mkfs.vfat"}).empty())
        GTEST_SKIP() << "sfdisk or mkfs.vfat missing";
    TempDir dir;
    // FAT12 is skipped unpolled, so only the engine's own check between volumes stops the scan
    // before the content search (which would end early rather than throw).
    const auto image = dir / "disk.img";
    makeBlankFile(image, 18 * MiB);
    ASSERT_TRUE(partitionImage(image, "label: dos\nsize=16MiB, type=c\n"));
    ASSERT_TRUE(formatInto(image, MiB, 16 * MiB, "mkfs.vfat -F 12 {}"));
    int polls = 0;
    ScanOptions options;
    options.isCancelled = [&polls] { return ++polls > 1; }; // yes from the first volume on
    expectError(FileBlockReader(image), options, RecoverError::Case::cancelled);
}

// Listed files keep the content search off and arrive in one batch; when both copies of the FAT
// are lost the user hears of it.
TEST(RecoveryEngine, ListedFilesAndUnreadableVolumes) {
    TempDir dir;
    const auto image = dir / "demo.img";
    ASSERT_EQ(run(std::string(VELLARY_CLI) + " demo-image '" + image.string() + "'"), 0);
    Recorder recorder;
    const auto result = RecoveryEngine::scan(FileBlockReader(image), recorder.options());
    EXPECT_EQ(result.filesystem, "FAT32");
    ASSERT_FALSE(result.files.empty());
    EXPECT_FALSE(result.searchedContents);
    EXPECT_EQ(result.unreadableBytes, 0u);
    EXPECT_EQ(recorder.foundCalls, 1);
    EXPECT_EQ(recorder.foundFiles, result.files.size());
    for (const auto& p : recorder.progress)
        EXPECT_NE(p.phase, ScanProgress::Phase::contents);
    EXPECT_EQ(recorder.progress.back().found, static_cast<std::int64_t>(result.files.size()));

    // The demo volume starts at 1 MiB; its two FATs follow 32 reserved sectors. When both copies
    // are lost the list still comes, with the warning.
    const auto bytes = readFile(image);
    FaultyBlockReader reader(Bytes(bytes.begin(), bytes.end()));
    reader.failSectors(2048 + 32, 2 * *Binary::u32le(reader.read(1048576, 512), 36));
    const auto lost = RecoveryEngine::scan(reader, {});
    EXPECT_EQ(lost.volumeCount, 1);
    ASSERT_EQ(lost.warnings.size(), 1u);
    EXPECT_NE(lost.warnings.front().find("deep scan"), std::string::npos);
}
