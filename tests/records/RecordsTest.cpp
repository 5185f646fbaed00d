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
    a.name = "one";
    RecoverableFile b = a;
    b.name = "two";
    b.size = 99;
    EXPECT_EQ(a, b);
    EXPECT_EQ(std::hash<RecoverableFile>{}(a), std::hash<RecoverableFile>{}(b));
    b.id = "fat-0-4128";
    EXPECT_FALSE(a == b);
}

TEST(FileKind, TableOrderCategoriesExtensionsAndRawValues) {
    EXPECT_EQ(fileKind::category(FileKind::psd), FileCategory::photo);
    EXPECT_EQ(fileKind::category(FileKind::raf), FileCategory::raw);
    EXPECT_EQ(fileKind::category(FileKind::srw), FileCategory::raw);
    EXPECT_EQ(fileKind::category(FileKind::mov), FileCategory::video);
    EXPECT_EQ(fileKind::category(FileKind::webm), FileCategory::video);
    EXPECT_EQ(fileKind::category(FileKind::mp3), FileCategory::audio);
    EXPECT_EQ(fileKind::category(FileKind::aiff), FileCategory::audio);
    EXPECT_EQ(fileKind::category(FileKind::pdf), FileCategory::document);
    EXPECT_EQ(fileKind::category(FileKind::epub), FileCategory::document);
    EXPECT_EQ(fileKind::category(FileKind::zip), FileCategory::archive);
    EXPECT_EQ(fileKind::category(FileKind::other), FileCategory::other);
    EXPECT_TRUE(fileKind::hasImagePreview(FileKind::srw));
    EXPECT_FALSE(fileKind::hasImagePreview(FileKind::mov));
    EXPECT_EQ(fileKind::fileExtension(FileKind::jpeg), "jpg");
    EXPECT_EQ(fileKind::fileExtension(FileKind::threegp), "3gp");
    EXPECT_EQ(fileKind::fileExtension(FileKind::keynote), "key");
    EXPECT_EQ(fileKind::fileExtension(FileKind::other), "bin");
    EXPECT_EQ(fileKind::fileExtension(FileKind::numbers), "numbers");
    for (std::size_t i = 0; i < fileKind::count; ++i) {
        const auto kind = static_cast<FileKind>(i);
        EXPECT_EQ(fileKind::fromRaw(fileKind::rawValue(kind)), kind);
    }
    EXPECT_EQ(fileKind::fromRaw("jpg"), std::nullopt);
    EXPECT_EQ(fileCategory::fromRaw("raw"), FileCategory::raw);
    EXPECT_EQ(fileCategory::fromRaw("Photo"), std::nullopt);
}

TEST(FileTyping, ExtensionsKindsAndCategories) {
    EXPECT_EQ(FileTyping::extensionOf("DCIM/100CANON/IMG.JPG"), "jpg");
    EXPECT_EQ(FileTyping::extensionOf("a.b/noext"), "");
    EXPECT_EQ(FileTyping::kindForExtension("MPEG"), std::nullopt);
    EXPECT_EQ(FileTyping::categoryForExtension("MPEG"), FileCategory::video);
    EXPECT_EQ(FileTyping::kindForExtension("3gp"), FileKind::threegp);
    EXPECT_EQ(FileTyping::kindForExtension("threegp"), FileKind::threegp);
    EXPECT_EQ(FileTyping::kindForExtension("JPE"), FileKind::jpeg);
    EXPECT_EQ(FileTyping::kindForExtension("hif"), FileKind::heic);
    EXPECT_EQ(FileTyping::kindForExtension("key"), FileKind::keynote);
    EXPECT_EQ(FileTyping::kindForExtension("aif"), FileKind::aiff);
    EXPECT_EQ(FileTyping::kindForExtension("txt"), std::nullopt);
    EXPECT_EQ(FileTyping::category("notes.txt", FileKind::other), FileCategory::document);
    EXPECT_EQ(FileTyping::category("x.unknown", FileKind::other), FileCategory::other);
    EXPECT_EQ(FileTyping::category("x.txt", FileKind::jpeg), FileCategory::photo);
    EXPECT_FALSE(FileTyping::verifiable(FileKind::mp3));
    EXPECT_FALSE(FileTyping::verifiable(FileKind::other));
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
    EXPECT_EQ(FileTyping::repairFujifilmShortName("_SCF12A4.JPG"), "_SCF12A4.JPG");
    EXPECT_EQ(FileTyping::repairFujifilmShortName("_SCF1234.MP4"), "_SCF1234.MP4");
    EXPECT_EQ(FileTyping::repairFujifilmShortName("_SCF1234.a.JPG"), "_SCF1234.a.JPG");
    EXPECT_EQ(FileTyping::repairFujifilmShortName("_SCF123.JPG"), "_SCF123.JPG");
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

TEST(RecoverError, MessagesAndEquality) {
    EXPECT_EQ(RecoverError::cancelled().errorDescription(), "Stopped.");
    EXPECT_EQ(RecoverError::deviceGone().errorDescription(),
              "The disk was disconnected. Plug it back in and scan again.");
    EXPECT_EQ(RecoverError::readFailed("x").errorDescription(), "x");
    EXPECT_STREQ(RecoverError::message("y").what(), "y");
    const auto space = RecoverError::notEnoughSpace(2'500'000, 1'000'000).errorDescription();
    EXPECT_EQ(space, "That folder doesn't have enough free space. Recovery needs about " +
                         ByteText::string(2'500'000) + " and " + ByteText::string(1'000'000) +
                         " is free.");
    EXPECT_EQ(RecoverError::readFailed("a"), RecoverError::readFailed("a"));
    EXPECT_FALSE(RecoverError::readFailed("a") == RecoverError::message("a"));
    EXPECT_FALSE(RecoverError::notEnoughSpace(1, 2) == RecoverError::notEnoughSpace(1, 3));
}

TEST(ByteText, DecimalUnitsAndClamping) {
    EXPECT_EQ(ByteText::string(0), "0 bytes");
    EXPECT_EQ(ByteText::string(1), "1 byte");
    EXPECT_EQ(ByteText::string(999), "999 bytes");
    EXPECT_EQ(ByteText::string(1000), "1 KB");
    EXPECT_EQ(ByteText::string(999'499), "999 KB");
    EXPECT_EQ(ByteText::string(999'999), "1.0 MB");
    EXPECT_EQ(ByteText::string(1'500'000), "1.5 MB");
    EXPECT_EQ(ByteText::string(4'000'000'000ULL), "4.00 GB");
    EXPECT_EQ(ByteText::string(UINT64_MAX), ByteText::string(INT64_MAX));
}
