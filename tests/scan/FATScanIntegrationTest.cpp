// Whole scans through RecoveryEngine of partitioned FAT32 cards and exFAT cards, healthy and
// with unreadable metadata.
#include "core/engine/RecoveryEngine.hpp"
#include "core/io/Binary.hpp"
#include "core/io/FileBlockReader.hpp"
#include "core/records/RecoverError.hpp"
#include "tests/support/ExFatImage.hpp"
#include "tests/support/FatImage.hpp"
#include "tests/support/FaultyBlockReader.hpp"
#include "tests/support/ScanChecks.hpp"
#include "tests/support/Tools.hpp"

#include <gtest/gtest.h>

namespace vellary {
namespace {

using testing::ExFatImage;
using testing::FatImage;
namespace fs = std::filesystem;

constexpr const char* kVolumeWarning =
    "Part of the file list couldn't be read, so the deep scan will look for those files instead.";
constexpr std::uint64_t kPartition = 1 << 20;

class FATScanIntegrationTest : public ::testing::Test {
protected:
    void SetUp() override {
        if (!FatImage::toolsAvailable() || !testing::haveTool("sfdisk"))
            GTEST_SKIP() << "mkfs.fat, mtools and sfdisk are needed";
        image_ = std::make_unique<FatImage>(dir_ / "card.img", 48ull << 20, 32, 1, kPartition);
        image_->makeDirectory("DCIM");
        image_->makeDirectory("DCIM/100CANON");
        for (int i = 1; i <= 3; ++i) {
            const auto local = dir_ / ("p" + std::to_string(i));
            testing::writeFile(local, "\xFF\xD8\xFF\xE1" + testing::patternBytes(20000 * i, i));
            testing::setModified(local, "2023-08-0" + std::to_string(i) + " 09:30:00");
            image_->copyIn(local, "DCIM/100CANON/Photo " + std::to_string(i) + ".jpg");
        }
        image_->remove("DCIM/100CANON/Photo 2.jpg");
        image_->remove("DCIM/100CANON/Photo 3.jpg");
    }

    testing::TempDir dir_;
    std::unique_ptr<FatImage> image_;
};

TEST_F(FATScanIntegrationTest, PartitionedCardListsItsDeletedPhotosWithoutADeepScan) {
    FileBlockReader reader(image_->path());
    int batches = 0;
    ScanOptions options;
    options.onFound = [&](const std::vector<RecoverableFile>&) { ++batches; };
    const ScanResult result = RecoveryEngine::scan(reader, options);
    EXPECT_EQ(result.filesystem, "FAT32");
    EXPECT_EQ(result.volumeCount, 1);
    EXPECT_TRUE(result.warnings.empty());
    EXPECT_FALSE(result.searchedContents);
    EXPECT_EQ(result.unreadableBytes, 0u);
    EXPECT_EQ(batches, 1);
    ASSERT_EQ(result.files.size(), 2u);
    for (int i = 2; i <= 3; ++i) {
        const auto* file =
            testing::findByPath(result.files, "DCIM/100CANON/Photo " + std::to_string(i) + ".jpg");
        ASSERT_NE(file, nullptr);
        EXPECT_EQ(file->id.rfind("fat-1048576-", 0), 0u);
        EXPECT_EQ(file->folder(), "DCIM/100CANON");
        EXPECT_EQ(file->quality(), file->headerLooksValid == std::optional<bool>(false)
                                       ? RecoverableFile::Quality::damaged
                                       : RecoverableFile::Quality::good);
        const auto local = dir_ / ("p" + std::to_string(i));
        EXPECT_EQ(unixSeconds(*file->modified), testing::modifiedSeconds(local));
        EXPECT_EQ(testing::sha256Of(testing::contentsOf(reader, *file)), testing::sha256Of(local));
        for (const auto& r : file->ranges)
            EXPECT_GE(r.offset, kPartition);
    }
}

TEST_F(FATScanIntegrationTest, CommandLineListsTheDeletedPhotosByFolderNameAndDate) {
    if (!fs::exists(VELLARY_CLI)) GTEST_SKIP() << "vellary-cli is not built";
    const std::string out =
        testing::capture(std::string(VELLARY_CLI) + " scan '" + image_->path().string() + "'");
    EXPECT_NE(out.find("FAT32"), std::string::npos) << out;
    EXPECT_NE(out.find("2023-08-02 09:30  DCIM/100CANON/Photo 2.jpg"), std::string::npos) << out;
    EXPECT_NE(out.find("2023-08-03 09:30  DCIM/100CANON/Photo 3.jpg"), std::string::npos) << out;
    EXPECT_EQ(out.find("Photo 1.jpg"), std::string::npos) << out;
}

TEST_F(FATScanIntegrationTest, UnreadableFolderGivesTheWarningAndNoFilesFromTheVolume) {
    const auto layout = image_->layout();
    const auto entry = image_->findEntry("100CANON   ");
    ASSERT_TRUE(entry.has_value());
    const Bytes all = image_->bytes();
    const std::uint32_t cluster = *Binary::u16le(all, static_cast<std::int64_t>(*entry + 26));
    testing::FaultyBlockReader reader(all);
    reader.failSector(layout.clusterOffset(cluster) / 512);
    const ScanResult result = RecoveryEngine::scan(reader, {});
    EXPECT_EQ(result.filesystem, "FAT32");
    ASSERT_FALSE(result.warnings.empty());
    EXPECT_EQ(result.warnings.front(), kVolumeWarning);
    for (const auto& f : result.files)
        EXPECT_EQ(f.id.rfind("fat-", 0), std::string::npos);
    EXPECT_TRUE(result.searchedContents); // nothing was listed, so the content search ran
}

TEST_F(FATScanIntegrationTest, VanishedCardEndsTheScan) {
    testing::FaultyBlockReader reader(image_->bytes());
    reader.vanishAt(image_->layout().dataOffset);
    try {
        RecoveryEngine::scan(reader, {});
        FAIL() << "expected deviceGone";
    } catch (const RecoverError& error) {
        EXPECT_EQ(error.kind(), RecoverError::Case::deviceGone);
    }
}

TEST(ExFATScanIntegrationTest, ExFatCardThroughTheEngineKeepsFilesFoundBeforeAFailure) {
    if (!ExFatImage::formatAvailable()) GTEST_SKIP() << "mkfs.exfat is not installed";
    testing::TempDir dir;
    ExFatImage image(dir / "card.img", 48ull << 20, 4096);
    const auto layout = image.layout();
    const auto data = testing::patternBytes(10000, 1);
    const std::uint32_t first = image.spareCluster(0);
    image.writeBytes(layout.clusterOffset(first), Bytes(data.begin(), data.end()));
    ExFatImage::EntrySet photo;
    photo.name = u"IMG_0042.JPG";
    photo.firstCluster = first;
    photo.validLength = photo.dataLength = data.size();
    photo.modified = ExFatImage::stamp(2024, 3, 4, 5, 6, 8);
    photo.modifiedUtc = 0x80;
    image.append(layout.rootCluster, ExFatImage::encode(photo));
    ExFatImage::EntrySet folder;
    folder.name = u"DCIM";
    folder.directory = true;
    folder.deleted = false;
    folder.firstCluster = image.spareCluster(10);
    folder.validLength = folder.dataLength = 4096;
    image.append(layout.rootCluster, ExFatImage::encode(folder));

    {
        FileBlockReader reader(image.path());
        const ScanResult result = RecoveryEngine::scan(reader, {});
        EXPECT_EQ(result.filesystem, "ExFAT");
        EXPECT_TRUE(result.warnings.empty());
        ASSERT_EQ(result.files.size(), 1u);
        EXPECT_EQ(result.files[0].originalPath, "IMG_0042.JPG");
        EXPECT_EQ(unixSeconds(*result.files[0].modified), 1709528768); // 2024-03-04 05:06:08 UTC
        const Bytes back = testing::contentsOf(reader, result.files[0]);
        EXPECT_EQ(std::string(back.begin(), back.end()), data);
    }
    testing::FaultyBlockReader reader(image.bytes());
    reader.failSector(layout.clusterOffset(image.spareCluster(10)) / 512);
    const ScanResult result = RecoveryEngine::scan(reader, {});
    ASSERT_EQ(result.warnings.size(), 1u);
    EXPECT_EQ(result.warnings.front(), kVolumeWarning);
    EXPECT_NE(testing::findByPath(result.files, "IMG_0042.JPG"), nullptr);
}

} // namespace
} // namespace vellary
