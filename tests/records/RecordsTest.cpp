#include "core/records/ByteText.hpp"
#include "core/records/FileTyping.hpp"
#include "core/records/RecoverError.hpp"
#include "core/records/RecoverableFile.hpp"
#include "core/records/ScanProgress.hpp"

#include <gtest/gtest.h>

using namespace vellary;

TEST(RecoverableFile, QualityFollowsHeaderThenCompleteness) {
    RecoverableFile file;
    file.complete = false;
    EXPECT_EQ(file.quality(), RecoverableFile::Quality::partial);
    file.complete = true;
    EXPECT_EQ(file.quality(), RecoverableFile::Quality::good);
    file.headerLooksValid = false;
    EXPECT_EQ(file.quality(), RecoverableFile::Quality::damaged);
    file.headerLooksValid = true;
    EXPECT_EQ(file.quality(), RecoverableFile::Quality::good);
}

TEST(RecoverableFile, FolderDropsNameAndEmptyComponentsButNotForCarvedFiles) {
    RecoverableFile file;
    file.confidence = RecoveryConfidence::named;
    file.originalPath = "DCIM/100CANON/IMG_0001.JPG";
    EXPECT_EQ(file.folder(), "DCIM/100CANON");
    file.originalPath = "//DCIM//x.jpg";
    EXPECT_EQ(file.folder(), "DCIM");
    file.originalPath = "IMG_0001.JPG";
    EXPECT_EQ(file.folder(), "");
    file.confidence = RecoveryConfidence::carved;
    file.originalPath = "a/b/c.jpg";
    EXPECT_EQ(file.folder(), "");
}

TEST(RecoverableFile, IdentityIsTheIdAlone) {
    RecoverableFile a;
    a.id = "fat-0-4096";
    RecoverableFile b = a;
    b.name = "two";
    EXPECT_EQ(a, b);
    EXPECT_EQ(std::hash<RecoverableFile>{}(a), std::hash<RecoverableFile>{}(b));
    b.id = "fat-0-4128";
    EXPECT_FALSE(a == b);
}

// The tables themselves are not restated here; that their raw names round-trip is.
TEST(FileKind, RawValuesRoundTrip) {
    for (std::size_t i = 0; i < fileKind::count; ++i) {
        const auto kind = static_cast<FileKind>(i);
        EXPECT_EQ(fileKind::fromRaw(fileKind::rawValue(kind)), kind);
    }
    EXPECT_EQ(fileKind::fromRaw("jpg"), std::nullopt);
    EXPECT_EQ(fileCategory::fromRaw("raw"), FileCategory::raw);
    EXPECT_EQ(fileCategory::fromRaw("Photo"), std::nullopt);
}

// Not the tables themselves: case, aliases, and what falls back to what.
TEST(FileTyping, ExtensionsKindsAndCategories) {
    EXPECT_EQ(FileTyping::extensionOf("DCIM/100CANON/IMG.JPG"), "jpg");
    EXPECT_EQ(FileTyping::extensionOf("a.b/noext"), "");
    EXPECT_EQ(FileTyping::kindForExtension("JPE"), FileKind::jpeg);
    EXPECT_EQ(FileTyping::kindForExtension("threegp"), FileKind::threegp);
    EXPECT_EQ(FileTyping::kindForExtension("MPEG"), std::nullopt);
    EXPECT_EQ(FileTyping::categoryForExtension("MPEG"), FileCategory::video);
    EXPECT_EQ(FileTyping::category("notes.txt", FileKind::other), FileCategory::document);
    EXPECT_EQ(FileTyping::category("x.unknown", FileKind::other), FileCategory::other);
    EXPECT_EQ(FileTyping::category("x.txt", FileKind::jpeg), FileCategory::photo);
    EXPECT_FALSE(FileTyping::verifiable(FileKind::mp3));
    EXPECT_TRUE(FileTyping::verifiable(FileKind::zip));
}

TEST(FileTyping, SkippedFilesAndFolders) {
    for (const char* name :
         {"", ".", "..", ".DS_Store", "._IMG_0001.JPG", "Thumbs.db", "DESKTOP.INI"})
        EXPECT_TRUE(FileTyping::skipFile(name)) << name;
    EXPECT_FALSE(FileTyping::skipFile("IMG_0001.JPG"));
    for (const char* name :
         {"", ".", "..", ".Spotlight-V100", "System Volume Information", ".fseventsd"})
        EXPECT_TRUE(FileTyping::skipDirectory(name)) << name;
    EXPECT_FALSE(FileTyping::skipDirectory(".Trashes"));
    EXPECT_FALSE(FileTyping::skipDirectory("DCIM"));
}

TEST(FileTyping, FujifilmShortNameRepair) {
    EXPECT_EQ(FileTyping::repairFujifilmShortName("_SCF1234.raf"), "DSCF1234.RAF");
    EXPECT_EQ(FileTyping::repairFujifilmShortName("_SCF0001.JPG"), "DSCF0001.JPG");
    for (const char* name : {"_SCF12A4.JPG", "_SCF1234.MP4", "_SCF1234.a.JPG", "_SCF123.JPG"})
        EXPECT_EQ(FileTyping::repairFujifilmShortName(name), name);
}

TEST(ScanProgress, FractionOnlyWhenDeterminate) {
    ScanProgress p{ScanProgress::Phase::fileRecords, 10, 100, 0};
    EXPECT_EQ(p.fraction(), std::nullopt);
    p.phase = ScanProgress::Phase::contents;
    EXPECT_DOUBLE_EQ(*p.fraction(), 0.1);
    p.bytesDone = 200;
    EXPECT_DOUBLE_EQ(*p.fraction(), 1.0);
    p.bytesTotal = 0;
    EXPECT_EQ(p.fraction(), std::nullopt);
    p.phase = ScanProgress::Phase::finished;
    EXPECT_DOUBLE_EQ(*p.fraction(), 1.0);
}

TEST(RecoverError, EqualityComparesKindAndText) {
    EXPECT_EQ(RecoverError::readFailed("a"), RecoverError::readFailed("a"));
    EXPECT_FALSE(RecoverError::readFailed("a") == RecoverError::message("a"));
    EXPECT_FALSE(RecoverError::notEnoughSpace(1, 2) == RecoverError::notEnoughSpace(1, 3));
}

TEST(ByteText, DecimalUnitsAndClamping) {
    const std::vector<std::pair<std::uint64_t, std::string>> cases = {
        {0, "0 bytes"},        {1, "1 byte"},
        {999, "999 bytes"},    {1000, "1 KB"},
        {999'499, "999 KB"},   {999'999, "1.0 MB"},
        {1'500'000, "1.5 MB"}, {4'000'000'000ULL, "4.00 GB"}};
    for (const auto& [bytes, text] : cases)
        EXPECT_EQ(ByteText::string(bytes), text);
    EXPECT_EQ(ByteText::string(UINT64_MAX), ByteText::string(INT64_MAX));
}
