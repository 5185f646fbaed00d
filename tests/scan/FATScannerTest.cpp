// Deleted files on FAT16 and FAT32 cards written by mkfs.fat and mtools, and the same cards
// damaged on purpose.
#include "core/scan/FATScanner.hpp"
#include "core/formats/Signatures.hpp"
#include "core/io/DataBlockReader.hpp"
#include "core/io/FileBlockReader.hpp"
#include "core/records/RecoverError.hpp"
#include "tests/support/FatImage.hpp"
#include "tests/support/ScanChecks.hpp"
#include "tests/support/Tools.hpp"

#include <gtest/gtest.h>

#include <chrono>
#include <random>

namespace vellary {
namespace {

using testing::FatImage;
namespace fs = std::filesystem;

struct Card {
    int fatBits;
    int sectorsPerCluster;
    std::uint64_t size;
};

std::ostream& operator<<(std::ostream& out, const Card& c) {
    return out << "FAT" << c.fatBits << "_" << c.sectorsPerCluster * 512 << "B";
}

// One file written to the card, and what the scan should say about it.
struct Written {
    std::string path;
    std::string found; // the path the scan gives back
    fs::path local;
    bool deleted = true;
    bool exact = true; // stored contiguously and not overwritten
};

struct Scan {
    std::vector<RecoverableFile> files;
    std::vector<ByteRange> used;
};

Scan scanImage(const FatImage& image, int fatBits, const ScanOptions& options = {}) {
    FileBlockReader reader(image.path());
    Scan out;
    FATScanner::scan(
        reader, {image.partitionOffset(), fatBits == 32 ? VolumeKind::fat32 : VolumeKind::fat16},
        options, out.files, out.used);
    return out;
}

class FATCardTest : public ::testing::TestWithParam<Card> {
protected:
    void SetUp() override {
        if (!FatImage::toolsAvailable()) GTEST_SKIP() << "mkfs.fat and mtools are not installed";
    }

    fs::path local(const std::string& name, const std::string& bytes, const std::string& when) {
        const auto path = dir_ / name;
        testing::writeFile(path, bytes);
        testing::setModified(path, when);
        return path;
    }
    fs::path jpeg(const std::string& name, int seed, const std::string& when) {
        const auto path = dir_ / name;
        if (!testing::makeJpeg(path, 200 + seed * 10, 150, seed))
            testing::writeFile(path, "\xFF\xD8\xFF\xE0" + testing::patternBytes(60000, seed));
        testing::setModified(path, when);
        return path;
    }

    testing::TempDir dir_;
};

TEST_P(FATCardTest, DeletedFilesComeBackWithNamesFoldersDatesAndBytes) {
    const Card card = GetParam();
    FatImage image(dir_ / "card.img", card.size, card.fatBits, card.sectorsPerCluster);
    const std::uint64_t cs = static_cast<std::uint64_t>(card.sectorsPerCluster) * 512;
    std::vector<Written> written;
    // A deleted 8.3 name without a long name loses its first letter, as on a real card.
    const auto put = [&](const std::string& path, const fs::path& from, bool deleted,
                         std::string found = {}) {
        image.copyIn(from, path);
        written.push_back({path, found.empty() ? path : found, from, deleted, true});
    };

    image.makeDirectory("DCIM");
    image.makeDirectory("DCIM/100CANON");
    image.makeDirectory("Trip");
    put("DCIM/100CANON/IMG_0001.JPG", jpeg("p1.jpg", 1, "2023-07-14 10:22:34"), false);
    put("DCIM/100CANON/IMG_0002.JPG", jpeg("p2.jpg", 2, "2023-07-14 10:25:02"), true,
        "DCIM/100CANON/_MG_0002.JPG");
    put("DCIM/100CANON/Holiday at the beach.jpg", jpeg("p3.jpg", 3, "2022-12-31 23:59:58"), true);
    put("DSCF1234.RAF", local("raf", testing::patternBytes(70001, 4), "2021-03-01 08:00:00"), true);
    const fs::path movie = dir_ / "movie.mp4";
    if (testing::makeMp4(movie, 1)) {
        testing::setModified(movie, "2024-02-29 12:00:00");
        put("DCIM/100CANON/MVI_0003.MP4", movie, true, "DCIM/100CANON/_VI_0003.MP4");
    }
    put("Trip/Notes.txt", local("notes", testing::patternBytes(5000, 5), "2020-01-02 03:04:06"),
        true);
    put("Trip/Old photo.jpg", jpeg("p4.jpg", 4, "2020-01-02 03:04:08"), true);
    // Fragmentation: D fills B's gap and goes on after C.
    put("A.BIN", local("a", testing::patternBytes(3 * cs, 6), "2024-01-01 00:00:00"), false);
    image.copyIn(local("b", testing::patternBytes(2 * cs, 7), "2024-01-01 00:00:00"), "B.BIN");
    put("CCCC.BIN", local("c", testing::patternBytes(3 * cs - 100, 8), "2024-01-01 00:00:02"), true,
        "_CCC.BIN");
    image.remove("B.BIN");
    image.forgetNextFreeHint();
    put("DDDD.BIN", local("d", testing::patternBytes(4 * cs, 9), "2024-01-01 00:00:04"), true,
        "_DDD.BIN");
    written.back().exact = false;

    for (const auto& w : written)
        if (w.deleted && w.path.rfind("Trip/", 0) != 0) image.remove(w.path);
    image.removeTree("Trip");

    const Scan scan = scanImage(image, card.fatBits);
    FileBlockReader reader(image.path());
    std::size_t deleted = 0;
    for (const auto& w : written) {
        // Cameras' deleted short names lose their first letter; DSCF is put back.
        const auto* file = testing::findByPath(scan.files, w.found);
        if (!w.deleted) {
            EXPECT_EQ(file, nullptr) << w.path << " is live and must not be listed";
            continue;
        }
        ++deleted;
        ASSERT_NE(file, nullptr) << w.path << " was not found";
        EXPECT_EQ(file->name, fs::path(w.found).filename().string());
        EXPECT_EQ(file->size, fs::file_size(w.local)) << w.path;
        ASSERT_TRUE(file->modified.has_value()) << w.path;
        EXPECT_EQ(unixSeconds(*file->modified), testing::modifiedSeconds(w.local)) << w.path;
        EXPECT_EQ(file->confidence, RecoveryConfidence::estimated) << w.path;
        EXPECT_TRUE(file->complete) << w.path;
        EXPECT_EQ(file->id.rfind("fat-0-", 0), 0u);
        const auto bytes = testing::contentsOf(reader, *file);
        if (w.exact)
            EXPECT_EQ(testing::sha256Of(bytes), testing::sha256Of(w.local)) << w.path;
        else // a freed fragmented chain is assumed contiguous, so its tail is someone else's
            EXPECT_NE(testing::sha256Of(bytes), testing::sha256Of(w.local)) << w.path;
        if (w.path.ends_with(".JPG") || w.path.ends_with(".jpg")) {
            EXPECT_EQ(file->kind, FileKind::jpeg);
            EXPECT_EQ(file->category, FileCategory::photo);
            if (Signatures::kind(ByteSpan(bytes).first(32)) == FileKind::jpeg) {
                EXPECT_EQ(file->headerLooksValid, std::optional<bool>(true)) << w.path;
            }
        }
    }
    EXPECT_EQ(scan.files.size(), deleted);
    EXPECT_EQ(testing::findByPath(scan.files, "DSCF1234.RAF")->kind, FileKind::raf);
    EXPECT_EQ(testing::findByPath(scan.files, "Trip/Notes.txt")->category, FileCategory::document);

    // Live files and the metadata area are claimed; the content search keeps off them.
    const auto layout = image.layout();
    ASSERT_FALSE(scan.used.empty());
    EXPECT_EQ(scan.used.back(), (ByteRange{0, layout.dataOffset}));
    const auto claims = [&](std::uint64_t offset) {
        for (const auto& r : scan.used)
            if (offset >= r.offset && offset < r.end()) return true;
        return false;
    };
    // A.BIN is the first file in the root on FAT16, and follows the folders on FAT32.
    const auto aEntry = image.findEntry("A       BIN");
    ASSERT_TRUE(aEntry.has_value());
    const Bytes all = image.bytes();
    std::uint32_t aCluster = *Binary::u16le(all, static_cast<std::int64_t>(*aEntry + 26));
    if (card.fatBits == 32)
        aCluster |= *Binary::u16le(all, static_cast<std::int64_t>(*aEntry + 20)) << 16;
    EXPECT_TRUE(claims(layout.clusterOffset(aCluster)));
    EXPECT_TRUE(claims(layout.clusterOffset(aCluster) + 3 * cs - 1));
}

INSTANTIATE_TEST_SUITE_P(Cards, FATCardTest,
                         ::testing::Values(Card{16, 2, 32ull << 20}, Card{16, 8, 64ull << 20},
                                           Card{32, 1, 40ull << 20}, Card{32, 4, 160ull << 20}),
                         [](const ::testing::TestParamInfo<Card>& param) {
                             std::ostringstream name;
                             name << param.param;
                             return name.str();
                         });

class FATDamageTest : public FATCardTest {
protected:
    void SetUp() override {
        FATCardTest::SetUp();
        if (IsSkipped()) return;
        image_ = std::make_unique<FatImage>(dir_ / "card.img", 40ull << 20, 32, 1);
        image_->makeDirectory("DCIM");
    }
    std::unique_ptr<FatImage> image_;
};

TEST_F(FATDamageTest, DeletedLongNameMatchesItsChecksumAndALabelBetweenDropsIt) {
    image_->copyIn(jpeg("x.jpg", 1, "2023-01-01 10:00:00"), "DCIM/Birthday cake.jpg");
    image_->copyIn(jpeg("y.jpg", 2, "2023-01-01 10:00:00"), "DCIM/Second long name.jpg");
    image_->remove("DCIM/Birthday cake.jpg");
    image_->remove("DCIM/Second long name.jpg");
    // Make a volume label out of the long-name slot right before the second short entry.
    const auto shortEntry = image_->findEntry("_ECOND~1JPG");
    ASSERT_TRUE(shortEntry.has_value());
    Bytes slot(32, 0x20);
    slot[0] = 'L';
    slot[11] = 0x08;
    image_->writeBytes(*shortEntry - 32, slot);

    const Scan scan = scanImage(*image_, 32);
    EXPECT_NE(testing::findByPath(scan.files, "DCIM/Birthday cake.jpg"), nullptr);
    EXPECT_EQ(testing::findByPath(scan.files, "DCIM/Second long name.jpg"), nullptr);
    EXPECT_NE(testing::findByPath(scan.files, "DCIM/_ECOND~1.JPG"), nullptr);
}

TEST_F(FATDamageTest, FujifilmShortNamesAreRepairedOnlyWithoutALongName) {
    image_->copyIn(local("r1", testing::patternBytes(3000, 1), "2023-01-01 10:00:00"),
                   "DSCF0001.RAF");
    image_->copyIn(local("r2", testing::patternBytes(3000, 2), "2023-01-01 10:00:00"),
                   "DSCF0002.JPG");
    image_->copyIn(local("r3", testing::patternBytes(3000, 3), "2023-01-01 10:00:00"),
                   "Dscf0003.RAF");
    image_->copyIn(local("r4", testing::patternBytes(3000, 4), "2023-01-01 10:00:00"),
                   "DSCF12A4.JPG");
    for (const char* name : {"DSCF0001.RAF", "DSCF0002.JPG", "Dscf0003.RAF", "DSCF12A4.JPG"})
        image_->remove(name);
    const Scan scan = scanImage(*image_, 32);
    EXPECT_NE(testing::findByPath(scan.files, "DSCF0001.RAF"), nullptr);
    EXPECT_NE(testing::findByPath(scan.files, "DSCF0002.JPG"), nullptr);
    // A mixed-case name is stored as a long name and comes back as written.
    EXPECT_NE(testing::findByPath(scan.files, "Dscf0003.RAF"), nullptr);
    EXPECT_EQ(testing::findByPath(scan.files, "DSCF0003.RAF"), nullptr);
    EXPECT_NE(testing::findByPath(scan.files, "_SCF12A4.JPG"), nullptr);
}

TEST_F(FATDamageTest, DeletedFolderWhoseClusterHoldsPhotoDataInventsNothing) {
    image_->makeDirectory("OLD");
    for (int i = 0; i < 5; ++i)
        image_->copyIn(
            local("o" + std::to_string(i), testing::patternBytes(3000, i), "2023-01-01 10:00:00"),
            "OLD/FILE" + std::to_string(i) + ".JPG");
    image_->removeTree("OLD");
    // A photo now fills the first free clusters, OLD's among them. Its bytes after the JPEG
    // header happen to look like deleted directory entries and sub-folders.
    std::string photo = testing::readFile(jpeg("big.jpg", 9, "2023-02-02 10:00:00"));
    std::string fake;
    for (int i = 0; i < 100; ++i) {
        std::string e(32, '\0');
        e.replace(0, 11,
                  i % 2 == 0 ? "\xE5"
                               "AKE    JPG"
                             : "SUBDIR     ");
        e[11] = i % 2 == 0 ? 0x20 : 0x10;
        e[26] = static_cast<char>(40 + i); // clusters and sizes that fit the volume
        e[28] = static_cast<char>(0xE8);
        e[29] = 0x03;
        fake += e;
    }
    photo.replace(32, fake.size(), fake);
    const auto local = dir_ / "new.jpg";
    testing::writeFile(local, photo);
    image_->forgetNextFreeHint();
    image_->copyIn(local, "DCIM/NEW.JPG"); // inside DCIM, so OLD's root entry stays
    image_->remove("DCIM/NEW.JPG");

    const auto old = image_->findEntry("_LD        ");
    ASSERT_TRUE(old.has_value());
    const Bytes all = image_->bytes();
    const std::uint32_t cluster = *Binary::u16le(all, static_cast<std::int64_t>(*old + 26));
    ASSERT_EQ(all[image_->layout().clusterOffset(cluster)], 0xFF) << "the photo did not reuse OLD";

    const Scan scan = scanImage(*image_, 32);
    ASSERT_EQ(scan.files.size(), 1u);
    EXPECT_EQ(scan.files.front().originalPath, "DCIM/_EW.JPG");
}

TEST_F(FATDamageTest, FolderLoopsAndChainLoopsEndAndDepthStopsAt32) {
    // 34 nested folders (DCIM is level 1), then a deleted file in each of the deepest three.
    std::string path = "DCIM";
    std::vector<std::string> deepest;
    for (int level = 2; level <= 34; ++level) {
        path += "/D";
        image_->makeDirectory(path);
        if (level >= 32) deepest.push_back(path);
    }
    for (std::size_t i = 0; i < deepest.size(); ++i) {
        const std::string file = deepest[i] + "/AT" + std::to_string(32 + i) + ".TXT";
        image_->copyIn(
            local("n" + std::to_string(i), testing::patternBytes(1000, i), "2023-01-01 10:00:00"),
            file);
        image_->remove(file);
    }
    // A folder inside DCIM that points back at DCIM itself.
    image_->makeDirectory("DCIM/LOOP");
    const auto loopEntry = image_->findEntry("LOOP       ");
    const auto dcimEntry = image_->findEntry("DCIM       ");
    ASSERT_TRUE(loopEntry && dcimEntry);
    const Bytes all = image_->bytes();
    image_->writeBytes(*loopEntry + 20,
                       Bytes(all.begin() + static_cast<std::ptrdiff_t>(*dcimEntry) + 20,
                             all.begin() + static_cast<std::ptrdiff_t>(*dcimEntry) + 22));
    image_->writeBytes(*loopEntry + 26,
                       Bytes(all.begin() + static_cast<std::ptrdiff_t>(*dcimEntry) + 26,
                             all.begin() + static_cast<std::ptrdiff_t>(*dcimEntry) + 28));
    // A live file whose chain loops back on itself.
    image_->copyIn(local("live", testing::patternBytes(5000, 7), "2023-01-01 10:00:00"),
                   "LIVE.BIN");
    const auto liveEntry = image_->findEntry("LIVE    BIN");
    ASSERT_TRUE(liveEntry.has_value());
    const std::uint32_t live =
        *Binary::u16le(image_->bytes(), static_cast<std::int64_t>(*liveEntry + 26));
    image_->setFatEntry(live + 2, live);

    const Scan scan = scanImage(*image_, 32);
    std::set<std::string> names;
    for (const auto& f : scan.files)
        names.insert(f.name);
    // DCIM is depth 1, so AT32 sits in a folder 32 levels down: walked. AT33 is not.
    EXPECT_EQ(names, (std::set<std::string>{"_T32.TXT"}));
    EXPECT_EQ(scan.files.size(), 1u);
}

TEST_F(FATDamageTest, CorruptEntriesAndTruncatedImagesAreSkippedCleanly) {
    image_->copyIn(local("k", testing::patternBytes(2000, 1), "2023-01-01 10:00:00"),
                   "DCIM/KEEP.TXT");
    image_->copyIn(local("g", testing::patternBytes(2000, 2), "2023-01-01 10:00:00"),
                   "DCIM/GONE.TXT");
    image_->remove("DCIM/KEEP.TXT");
    image_->remove("DCIM/GONE.TXT");
    const auto gone = image_->findEntry("_ONE    TXT");
    ASSERT_TRUE(gone.has_value());
    // GONE's entry claims a cluster past the end and a size of 4 GiB - 1.
    image_->writeBytes(*gone + 20, {0xFF, 0x0F});
    image_->writeBytes(*gone + 28, {0xFF, 0xFF, 0xFF, 0xFF});
    // After it, 200 entries of noise marked deleted.
    Bytes noise(200 * 32);
    const std::string pattern = testing::patternBytes(noise.size(), 3);
    for (std::size_t i = 0; i < noise.size(); ++i)
        noise[i] = i % 32 == 0 ? 0xE5 : static_cast<std::uint8_t>(pattern[i]);
    image_->writeBytes(*gone + 32, noise);

    Scan scan = scanImage(*image_, 32);
    EXPECT_NE(testing::findByPath(scan.files, "DCIM/_EEP.TXT"), nullptr);
    EXPECT_EQ(testing::findByPath(scan.files, "DCIM/_ONE.TXT"), nullptr);
    FileBlockReader reader(image_->path());
    for (const auto& f : scan.files)
        for (const auto& r : f.ranges)
            EXPECT_LE(r.end(), reader.size()) << f.name;

    // Cut the card short in the middle of the data area: files past the cut drop out.
    fs::resize_file(image_->path(), image_->layout().dataOffset + 4096);
    scan = scanImage(*image_, 32);
    for (const auto& f : scan.files)
        for (const auto& r : f.ranges)
            EXPECT_LE(r.end(), fs::file_size(image_->path()));
}

TEST_F(FATDamageTest, HighClusterHalfOnFat32) {
    // Fill the first 65,600 clusters so that the next file starts above 0xFFFF.
    image_->copyIn(local("fill", std::string(65600 * 512, 'F'), "2023-01-01 10:00:00"), "FILL.BIN");
    image_->copyIn(local("high", testing::patternBytes(9000, 5), "2023-05-05 05:05:04"),
                   "HIGH.BIN");
    image_->remove("HIGH.BIN");
    const auto entry = image_->findEntry("_IGH    BIN");
    ASSERT_TRUE(entry.has_value());
    EXPECT_NE(*Binary::u16le(image_->bytes(), static_cast<std::int64_t>(*entry + 20)), 0);
    const Scan scan = scanImage(*image_, 32);
    const auto* file = testing::findByPath(scan.files, "_IGH.BIN");
    ASSERT_NE(file, nullptr);
    FileBlockReader reader(image_->path());
    EXPECT_EQ(testing::sha256Of(testing::contentsOf(reader, *file)),
              testing::sha256Of(dir_ / "high"));
}

TEST_F(FATDamageTest, CategoriesFilterByNameAndByHeader) {
    const auto photo = jpeg("p.jpg", 2, "2023-01-01 10:00:00");
    image_->copyIn(photo, "DCIM/PHOTO.DAT");
    image_->copyIn(local("v", testing::patternBytes(4000, 1), "2023-01-01 10:00:00"),
                   "DCIM/CLIP.MP4");
    image_->remove("DCIM/PHOTO.DAT");
    image_->remove("DCIM/CLIP.MP4");
    ScanOptions photos;
    photos.categories = {FileCategory::photo};
    const Scan scan = scanImage(*image_, 32, photos);
    EXPECT_EQ(testing::findByPath(scan.files, "DCIM/_LIP.MP4"), nullptr);
    const std::string head = testing::readFile(photo).substr(0, 32);
    if (Signatures::kind(ByteSpan(reinterpret_cast<const std::uint8_t*>(head.data()),
                                  head.size())) != FileKind::jpeg)
        GTEST_SKIP() << "the JPEG signature is not registered yet";
    const auto* file = testing::findByPath(scan.files, "DCIM/_HOTO.DAT");
    ASSERT_NE(file, nullptr);
    EXPECT_EQ(file->kind, FileKind::jpeg);
    EXPECT_EQ(file->category, FileCategory::photo);
}

TEST_F(FATDamageTest, QuickFormattedCardListsNothingButClaimsItsMetadata) {
    image_->copyIn(jpeg("q.jpg", 3, "2023-01-01 10:00:00"), "DCIM/IMG_0001.JPG");
    image_->remove("DCIM/IMG_0001.JPG");
    image_->quickFormat();
    const Scan scan = scanImage(*image_, 32);
    EXPECT_TRUE(scan.files.empty());
    ASSERT_EQ(scan.used.size(), 1u);
    EXPECT_EQ(scan.used.front(), (ByteRange{0, image_->layout().dataOffset}));
}

TEST_F(FATDamageTest, CancellationEndsTheVolume) {
    ScanOptions options;
    options.isCancelled = [] { return true; };
    try {
        scanImage(*image_, 32, options);
        FAIL() << "expected cancelled";
    } catch (const RecoverError& error) {
        EXPECT_EQ(error.kind(), RecoverError::Case::cancelled);
    }
}

} // namespace
} // namespace vellary

namespace vellary {
namespace {

TEST(FATFuzzTest, RandomlyDamagedMetadataNeverCrashesOrLeavesTheSource) {
    if (!FatImage::toolsAvailable()) GTEST_SKIP() << "mkfs.fat and mtools are not installed";
    testing::TempDir dir;
    FatImage image(dir / "card.img", 4ull << 20, 16, 1);
    image.makeDirectory("DCIM");
    image.makeDirectory("DCIM/100CANON");
    for (int i = 0; i < 6; ++i) {
        const auto local = dir / ("f" + std::to_string(i));
        testing::writeFile(local, testing::patternBytes(3000 + 700 * i, i));
        image.copyIn(local, "DCIM/100CANON/Photo number " + std::to_string(i) + ".jpg");
        if (i % 2 == 0) image.remove("DCIM/100CANON/Photo number " + std::to_string(i) + ".jpg");
    }
    const Bytes pristine = image.bytes();
    const std::uint64_t metadata = image.layout().dataOffset + 16 * 512;
    std::mt19937 rng(7);
    for (int round = 0; round < 300; ++round) {
        Bytes damaged = pristine;
        for (int k = 0; k < 40; ++k)
            damaged[512 + rng() % (metadata - 512)] = static_cast<std::uint8_t>(rng());
        if (round % 10 == 0) damaged.resize(rng() % damaged.size());
        const DataBlockReader reader(std::move(damaged));
        std::vector<RecoverableFile> files;
        std::vector<ByteRange> used;
        try {
            FATScanner::scan(reader, {0, VolumeKind::fat16}, {}, files, used);
        } catch (const RecoverError&) {
        }
        for (const auto& f : files)
            for (const auto& r : f.ranges)
                ASSERT_LE(r.end(), reader.size()) << f.name;
    }
}

} // namespace
} // namespace vellary
