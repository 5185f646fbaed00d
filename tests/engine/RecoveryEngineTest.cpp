#include "core/engine/RecoveryEngine.hpp"
#include "core/io/Binary.hpp"
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

bool haveTools() {
    return missingTool({"sfdisk", "mkfs.vfat", "mkfs.exfat"}).empty();
}

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

    if (!haveTools()) GTEST_SKIP() << "sfdisk, mkfs.vfat or mkfs.exfat missing";
    TempDir dir;
    // FAT12 is skipped unpolled, so only the engine's own check between volumes stops the scan
    // before the content search (which would end early rather than throw).
    const auto image = makeDisk(dir, {"mkfs.vfat -F 12 {}"}, 16);
    int polls = 0;
    ScanOptions options;
    options.isCancelled = [&polls] { return ++polls > 1; }; // yes from the first volume on
    expectError(FileBlockReader(image), options, RecoverError::Case::cancelled);
}

// Volumes in partition order; FAT12 skipped with one warning and not counted; labels distinct
// and sorted.
TEST(RecoveryEngine, VolumeLabelsCountsAndFat12) {
    if (!haveTools()) GTEST_SKIP() << "sfdisk, mkfs.vfat or mkfs.exfat missing";
    const struct {
        std::vector<std::string> mkfs;
        std::uint64_t mib;
        const char* filesystem;
        int volumes;
    } cases[] = {
        {{"mkfs.vfat -F 12 {}", "mkfs.vfat -F 32 -s 1 {}", "mkfs.vfat -F 12 {}"}, 36, "FAT32", 1},
        {{"mkfs.exfat {}", "mkfs.vfat -F 16 {}"}, 16, "ExFAT and FAT16", 2},
        {{"mkfs.vfat -F 32 -s 1 {}", "mkfs.vfat -F 32 -s 1 {}"}, 36, "FAT32", 2}};
    for (const auto& c : cases) {
        TempDir dir;
        const FileBlockReader reader(makeDisk(dir, c.mkfs, c.mib));
        ASSERT_EQ(VolumeFinder::find(reader).size(), c.mkfs.size());
        const auto result = RecoveryEngine::scan(reader, {});
        EXPECT_EQ(result.filesystem, c.filesystem);
        EXPECT_EQ(result.volumeCount, c.volumes);
        const auto fat12 = std::count(result.warnings.begin(), result.warnings.end(), kFat12);
        EXPECT_EQ(fat12, c.volumes == 1 ? 1 : 0) << c.filesystem;
        if (fat12) {
            EXPECT_EQ(result.warnings.front(), kFat12);
        }
    }
}

// Listed files keep the content search off and arrive in one batch; a FAT sector that cannot be
// read comes from the second copy, and only when both are lost does the user hear of it.
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

    // The demo volume starts at 1 MiB; its two FATs follow 32 reserved sectors. A first copy that
    // cannot be read is read from the second: nothing changes.
    const auto bytes = readFile(image);
    const std::uint64_t fatSectors =
        *Binary::u32le(Bytes(bytes.begin(), bytes.end()), 1048576 + 36);
    const auto scanWith = [&](std::uint64_t first, std::uint64_t count) {
        FaultyBlockReader reader(Bytes(bytes.begin(), bytes.end()));
        reader.failSectors(first, count);
        return RecoveryEngine::scan(reader, {});
    };
    const auto fatStart = 2048 + 32;
    const auto mirrored = scanWith(fatStart, fatSectors);
    EXPECT_TRUE(mirrored.warnings.empty());
    ASSERT_EQ(mirrored.files.size(), result.files.size());
    for (std::size_t i = 0; i < result.files.size(); ++i)
        EXPECT_EQ(mirrored.files[i].ranges, result.files[i].ranges) << result.files[i].name;
    // Both copies lost: the list still comes, with the warning.
    const auto lost = scanWith(fatStart, 2 * fatSectors);
    EXPECT_EQ(lost.volumeCount, 1);
    ASSERT_EQ(lost.warnings.size(), 1u);
    EXPECT_NE(lost.warnings.front().find("deep scan"), std::string::npos);
}
