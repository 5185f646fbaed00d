// Deleted files on exFAT cards: written through exfat-fuse on a real mkfs.exfat image, and
// entry sets built byte by byte on such an image for the cases no tool writes.
#include "core/scan/ExFATScanner.hpp"
#include "core/formats/Signatures.hpp"
#include "core/io/DataBlockReader.hpp"
#include "core/io/FileBlockReader.hpp"
#include "core/records/RecoverError.hpp"
#include "tests/support/ExFatImage.hpp"
#include "tests/support/FatImage.hpp"
#include "tests/support/FaultyBlockReader.hpp"
#include "tests/support/ScanChecks.hpp"
#include "tests/support/Tools.hpp"

#include <gtest/gtest.h>

#include <cstdlib>
#include <ctime>
#include <fstream>
#include <random>

namespace vellary {
namespace {

using testing::ExFatImage;
namespace fs = std::filesystem;

struct Scan {
    std::vector<RecoverableFile> files;
    std::vector<ByteRange> used;
};

Scan scanReader(const BlockReader& reader, const ScanOptions& options = {}) {
    Scan out;
    ExFATScanner::scanVolume(reader, {0, VolumeKind::exfat}, options, out.files, out.used);
    return out;
}

Scan scanImage(const fs::path& path, const ScanOptions& options = {}) {
    FileBlockReader reader(path);
    return scanReader(reader, options);
}

// Runs with another local time zone, restoring the old one afterwards.
class TimeZone {
public:
    explicit TimeZone(const char* zone) {
        if (const char* old = std::getenv("TZ")) old_ = old;
        ::setenv("TZ", zone, 1);
        ::tzset();
    }
    ~TimeZone() {
        if (old_)
            ::setenv("TZ", old_->c_str(), 1);
        else
            ::unsetenv("TZ");
        ::tzset();
    }

private:
    std::optional<std::string> old_;
};

TEST(ExFATCardTest, FilesDeletedThroughFuseComeBackWithNamesFoldersDatesAndBytes) {
    if (!ExFatImage::formatAvailable()) GTEST_SKIP() << "mkfs.exfat is not installed";
    testing::TempDir dir;
    ExFatImage image(dir / "card.img", 96ull << 20, 32768);
    testing::ExFatMount mount(image.path(), dir / "mnt");
    if (!mount.mounted())
        GTEST_SKIP() << "cannot write exFAT through FUSE here: " << mount.failure();
    const fs::path root = dir / "mnt";

    struct Written {
        std::string path;
        fs::path local;
        bool deleted;
        bool exact;
    };
    std::vector<Written> written;
    const auto put = [&](const std::string& path, const std::string& bytes, const char* when,
                         bool deleted) {
        const auto local = dir / ("src" + std::to_string(written.size()));
        testing::writeFile(local, bytes);
        fs::create_directories((root / path).parent_path());
        fs::copy_file(local, root / path);
        testing::setModified(root / path, when);
        testing::setModified(local, when);
        written.push_back({path, local, deleted, true});
    };
    const auto jpeg = [&](int seed) {
        const auto p = dir / ("j" + std::to_string(seed) + ".jpg");
        if (!testing::makeJpeg(p, 300, 200, seed))
            return "\xFF\xD8\xFF\xE0" + testing::patternBytes(90000, seed);
        return testing::readFile(p);
    };

    put("DCIM/100CANON/IMG_0001.JPG", jpeg(1), "2023-07-14 10:22:34", false);
    put("DCIM/100CANON/IMG_0002.JPG", jpeg(2), "2023-07-14 10:25:02", true);
    put("DCIM/100CANON/Holiday at the beach, day two.jpg", jpeg(3), "2022-12-31 23:59:58", true);
    const auto movie = dir / "movie.mp4";
    if (testing::makeMp4(movie, 1))
        put("DCIM/100CANON/MVI_0003.MP4", testing::readFile(movie), "2024-02-29 12:00:00", true);
    put("Trip/Notes.txt", testing::patternBytes(5000, 5), "2020-01-02 03:04:06", true);
    put("Trip/Day 1/Beach.jpg", jpeg(4), "2020-01-02 03:04:08", true);
    // A file made to fragment: B's gap is too small for D.
    put("A.BIN", testing::patternBytes(3 * 32768, 6), "2024-01-01 00:00:00", false);
    put("B.BIN", testing::patternBytes(2 * 32768, 7), "2024-01-01 00:00:00", true);
    put("C.BIN", testing::patternBytes(3 * 32768 - 100, 8), "2024-01-01 00:00:02", true);
    fs::remove(root / "B.BIN");
    written[written.size() - 2].deleted = false; // its clusters go to D
    written[written.size() - 2].path = "";
    put("D.BIN", testing::patternBytes(4 * 32768, 9), "2024-01-01 00:00:04", true);
    written.back().exact = false;

    for (const auto& w : written)
        if (w.deleted && w.path.rfind("Trip/", 0) != 0) fs::remove(root / w.path);
    fs::remove_all(root / "Trip");
    mount.unmount();

    // The dates are stored in UTC with a valid offset, so the local zone must not matter.
    const TimeZone zone("Asia/Kolkata");
    const Scan scan = scanImage(image.path());
    FileBlockReader reader(image.path());
    std::size_t deleted = 0;
    for (const auto& w : written) {
        if (w.path.empty()) continue;
        const auto* file = testing::findByPath(scan.files, w.path);
        if (!w.deleted) {
            EXPECT_EQ(file, nullptr) << w.path;
            continue;
        }
        ++deleted;
        ASSERT_NE(file, nullptr) << w.path << " was not found";
        EXPECT_EQ(file->name, fs::path(w.path).filename().string());
        EXPECT_EQ(file->size, fs::file_size(w.local));
        ASSERT_TRUE(file->modified.has_value());
        EXPECT_EQ(unixSeconds(*file->modified), testing::modifiedSeconds(w.local)) << w.path;
        EXPECT_TRUE(file->complete) << w.path;
        EXPECT_EQ(file->id.rfind("exfat-0-", 0), 0u);
        if (w.exact) {
            EXPECT_EQ(file->confidence, RecoveryConfidence::named) << w.path; // no FAT chain
            EXPECT_EQ(testing::sha256Of(testing::contentsOf(reader, *file)),
                      testing::sha256Of(w.local))
                << w.path;
        }
    }
    EXPECT_EQ(scan.files.size(), deleted);
    // Live files and the boot area are claimed.
    ASSERT_FALSE(scan.used.empty());
    EXPECT_EQ(scan.used.back(), (ByteRange{0, image.layout().heapOffset}));

    // The command line lists them by folder and name too.
    if (fs::exists(VELLARY_CLI)) {
        const std::string out =
            testing::capture(std::string(VELLARY_CLI) + " scan '" + image.path().string() + "'");
        EXPECT_NE(out.find("ExFAT"), std::string::npos) << out;
        EXPECT_NE(out.find("  DCIM/100CANON/Holiday at the beach, day two.jpg\n"),
                  std::string::npos)
            << out;
        EXPECT_NE(out.find("  Trip/Day 1/Beach.jpg\n"), std::string::npos) << out;
    }
}

class ExFATBuiltTest : public ::testing::Test {
protected:
    void SetUp() override {
        if (!ExFatImage::formatAvailable()) GTEST_SKIP() << "mkfs.exfat is not installed";
        image_ = std::make_unique<ExFatImage>(dir_ / "card.img", 16ull << 20, 4096);
        layout_ = image_->layout();
    }

    // A deleted file of size bytes with its data in spare clusters from index on.
    ExFatImage::EntrySet file(const std::u16string& name, std::uint32_t index, std::uint64_t size) {
        ExFatImage::EntrySet set;
        set.name = name;
        set.firstCluster = image_->spareCluster(index);
        set.validLength = size;
        set.dataLength = size;
        set.modified = ExFatImage::stamp(2023, 5, 6, 7, 8, 10);
        set.created = ExFatImage::stamp(2023, 1, 1, 0, 0, 0);
        return set;
    }
    std::uint64_t add(std::uint32_t folder, const ExFatImage::EntrySet& set) {
        return image_->append(folder, ExFatImage::encode(set));
    }
    const RecoverableFile* byName(const Scan& scan, const std::string& name) {
        for (const auto& f : scan.files)
            if (f.name == name) return &f;
        return nullptr;
    }

    testing::TempDir dir_;
    std::unique_ptr<ExFatImage> image_;
    ExFatImage::Layout layout_;
};

TEST_F(ExFATBuiltTest, ExtentsFollowTheNoFatChainFlagAndTheTable) {
    const std::uint32_t root = layout_.rootCluster;
    add(root, file(u"NOCHAIN.JPG", 0, 3 * 4096)); // three clusters, contiguous by flag
    auto zeroed = file(u"ZEROED.JPG", 10, 4 * 4096);
    zeroed.noFatChain = false; // its FAT entries were freed: assumed contiguous
    add(root, zeroed);
    auto chained = file(u"CHAINED.JPG", 20, 2 * 4096);
    chained.noFatChain = false;
    add(root, chained);
    image_->setFat(image_->spareCluster(20), image_->spareCluster(30));
    image_->setFat(image_->spareCluster(30), 0xFFFFFFFF);
    auto onlyData = file(u"DATALEN.JPG", 40, 0);
    onlyData.dataLength = 5000;
    add(root, onlyData);

    const Scan scan = scanImage(image_->path());
    const auto* a = byName(scan, "NOCHAIN.JPG");
    ASSERT_NE(a, nullptr);
    EXPECT_EQ(a->ranges,
              (std::vector<ByteRange>{{layout_.clusterOffset(image_->spareCluster(0)), 3 * 4096}}));
    EXPECT_EQ(a->confidence, RecoveryConfidence::named);
    EXPECT_TRUE(a->complete);
    const auto* b = byName(scan, "ZEROED.JPG");
    ASSERT_NE(b, nullptr);
    EXPECT_EQ(b->confidence, RecoveryConfidence::estimated);
    EXPECT_TRUE(b->complete);
    EXPECT_EQ(b->ranges.size(), 1u);
    const auto* c = byName(scan, "CHAINED.JPG");
    ASSERT_NE(c, nullptr);
    EXPECT_EQ(c->confidence, RecoveryConfidence::named);
    ASSERT_EQ(c->ranges.size(), 2u);
    EXPECT_EQ(c->ranges[1].offset, layout_.clusterOffset(image_->spareCluster(30)));
    const auto* d = byName(scan, "DATALEN.JPG");
    ASSERT_NE(d, nullptr);
    EXPECT_EQ(d->size, 5000u);
    // A photo header makes the kind check meaningful once the JPEG signature is registered.
    EXPECT_EQ(a->kind, FileKind::jpeg);
    if (Signatures::kind(ByteSpan(image_->bytes()).subspan(a->ranges[0].offset, 32))) {
        EXPECT_TRUE(a->headerLooksValid.has_value());
    } else {
        EXPECT_EQ(a->headerLooksValid, std::optional<bool>(false)); // zeros are not a JPEG
    }
}

TEST_F(ExFATBuiltTest, MalformedSetsAreSkippedAndLongNamesSpanEntries) {
    const std::uint32_t root = layout_.rootCluster;
    auto one = file(u"ONE.TXT", 0, 100);
    one.secondaryCount = 1;
    add(root, one);
    auto nineteen = file(u"NINETEEN.TXT", 1, 100);
    nineteen.secondaryCount = 19;
    add(root, nineteen);
    Bytes noStream = ExFatImage::encode(file(u"NOSTREAM.TXT", 2, 100));
    noStream[32] = 0x41; // a name entry where the stream entry belongs
    image_->append(root, noStream);
    add(root, file(u"Twenty characters!.j", 3, 100));
    auto empty = file(u"ZERO.TXT", 4, 0);
    add(root, empty);
    auto huge = file(u"HUGE.MOV", 5, 0x2000000001ull);
    add(root, huge);
    auto outside = file(u"OUTSIDE.JPG", 0, 100);
    outside.firstCluster = layout_.clusterCount + 2;
    add(root, outside);

    const Scan scan = scanImage(image_->path());
    std::set<std::string> names;
    for (const auto& f : scan.files)
        names.insert(f.name);
    EXPECT_EQ(names, (std::set<std::string>{"Twenty characters!.j"}));
}

TEST_F(ExFATBuiltTest, ZeroEntryEndsTheFolderOnlyBeforeAZeroRun) {
    const std::uint32_t root = layout_.rootCluster;
    const auto first = add(root, file(u"FIRST.TXT", 0, 100));
    // Leave one empty slot, then a set 96 bytes later: within 256 bytes, so the walk goes on.
    const Bytes set = ExFatImage::encode(file(u"SECOND.TXT", 1, 100));
    const std::uint64_t gap = first + 96 + 32;
    image_->writeBytes(gap, set);
    // A set 256 zero bytes past the end of SECOND is never reached.
    image_->writeBytes(gap + set.size() + 256, ExFatImage::encode(file(u"THIRD.TXT", 2, 100)));
    const Scan scan = scanImage(image_->path());
    EXPECT_NE(byName(scan, "FIRST.TXT"), nullptr);
    EXPECT_NE(byName(scan, "SECOND.TXT"), nullptr);
    EXPECT_EQ(byName(scan, "THIRD.TXT"), nullptr);
}

TEST_F(ExFATBuiltTest, DatesFallBackToCreationAndHonourTheUtcOffset) {
    const std::uint32_t root = layout_.rootCluster;
    auto local = file(u"LOCAL.TXT", 0, 10);
    add(root, local);
    auto tokyo = file(u"TOKYO.TXT", 1, 10);
    tokyo.modifiedUtc = 0x80 | 36; // +9:00
    add(root, tokyo);
    auto west = file(u"WEST.TXT", 2, 10);
    west.modifiedUtc = 0x80 | (0x80 - 20); // -5:00, seven-bit two's complement
    add(root, west);
    auto fallback = file(u"FALLBACK.TXT", 3, 10);
    fallback.modified = ExFatImage::stamp(2023, 1, 1, 0, 0, 0) & ~(0xFu << 21); // month 0
    add(root, fallback);
    auto none = file(u"NONE.TXT", 4, 10);
    none.modified = 0;
    none.created = 0;
    add(root, none);

    const TimeZone zone("America/New_York");
    const Scan scan = scanImage(image_->path());
    const auto at = [&](const char* name) { return unixSeconds(*byName(scan, name)->modified); };
    // 2023-05-06 07:08:10 on the card's own clock.
    const double utcWall = 1683356890;
    EXPECT_EQ(at("TOKYO.TXT"), utcWall - 9 * 3600);
    EXPECT_EQ(at("WEST.TXT"), utcWall + 5 * 3600);
    EXPECT_EQ(at("LOCAL.TXT"), utcWall + 4 * 3600); // New York is UTC-4 in May
    EXPECT_EQ(at("FALLBACK.TXT"), 1672549200);      // 2023-01-01 00:00 in New York
    EXPECT_FALSE(byName(scan, "NONE.TXT")->modified.has_value());
}

TEST_F(ExFATBuiltTest, DepthStopsAt32AndLoopsAreWalkedOnce) {
    // Folder k (1..34) lives in spare cluster 100 + k; each holds a deleted file.
    std::uint32_t parent = layout_.rootCluster;
    for (std::uint32_t k = 1; k <= 34; ++k) {
        ExFatImage::EntrySet folder;
        folder.name = u"D" + std::u16string(1, static_cast<char16_t>(u'0' + k % 10));
        folder.directory = true;
        folder.deleted = k % 2 == 0; // deleted and live folders are both entered
        folder.firstCluster = image_->spareCluster(100 + k);
        folder.validLength = folder.dataLength = 4096;
        add(parent, folder);
        parent = folder.firstCluster;
        auto deep = file(u"AT" + std::u16string(1, static_cast<char16_t>(u'0' + k / 10)) +
                             std::u16string(1, static_cast<char16_t>(u'0' + k % 10)) + u".TXT",
                         k, 10);
        add(parent, deep);
    }
    // The deepest folder also points back at the root.
    ExFatImage::EntrySet loop;
    loop.name = u"LOOP";
    loop.directory = true;
    loop.firstCluster = layout_.rootCluster;
    loop.noFatChain = false;
    add(parent, loop);

    const Scan scan = scanImage(image_->path());
    EXPECT_NE(byName(scan, "AT32.TXT"), nullptr); // folder 32 levels below the root
    EXPECT_EQ(byName(scan, "AT33.TXT"), nullptr);
    EXPECT_EQ(scan.files.size(), 32u);
    const auto* at2 = byName(scan, "AT02.TXT");
    ASSERT_NE(at2, nullptr);
    EXPECT_EQ(at2->originalPath, "D1/D2/AT02.TXT");
}

TEST_F(ExFATBuiltTest, UnreadableFolderKeepsWhatWasFoundBefore) {
    const std::uint32_t root = layout_.rootCluster;
    add(root, file(u"BEFORE.TXT", 0, 10));
    ExFatImage::EntrySet folder;
    folder.name = u"BAD";
    folder.directory = true;
    folder.firstCluster = image_->spareCluster(50);
    folder.validLength = folder.dataLength = 4096;
    add(root, folder);
    add(root, file(u"AFTER.TXT", 1, 10));

    testing::FaultyBlockReader reader(image_->bytes());
    reader.failSector(layout_.clusterOffset(image_->spareCluster(50)) / 512);
    Scan scan;
    try {
        ExFATScanner::scanVolume(reader, {0, VolumeKind::exfat}, {}, scan.files, scan.used);
        FAIL() << "the unreadable folder must fail the volume";
    } catch (const RecoverError& error) {
        EXPECT_EQ(error.kind(), RecoverError::Case::readFailed);
    }
    ASSERT_EQ(scan.files.size(), 1u);
    EXPECT_EQ(scan.files.front().name, "BEFORE.TXT");

    // A vanished card ends everything with deviceGone.
    testing::FaultyBlockReader gone(image_->bytes());
    gone.vanishAt(layout_.clusterOffset(image_->spareCluster(0)));
    try {
        scanReader(gone);
        FAIL() << "expected deviceGone";
    } catch (const RecoverError& error) {
        EXPECT_EQ(error.kind(), RecoverError::Case::deviceGone);
    }
}

TEST_F(ExFATBuiltTest, TruncatedImageDropsFilesPastTheEnd) {
    const std::uint32_t root = layout_.rootCluster;
    add(root, file(u"NEAR.TXT", 0, 100));
    auto far = file(u"FAR.TXT", 0, 100);
    far.firstCluster = layout_.clusterCount; // the last clusters
    add(root, far);
    const Bytes all = image_->bytes();
    const DataBlockReader cut(Bytes(
        all.begin(),
        all.begin() + static_cast<std::ptrdiff_t>(layout_.clusterOffset(image_->spareCluster(1)))));
    const Scan scan = scanReader(cut);
    EXPECT_NE(byName(scan, "NEAR.TXT"), nullptr);
    EXPECT_EQ(byName(scan, "FAR.TXT"), nullptr);
}

// Boot sectors built on a real formatted image.
class ExFATLoadTest : public ExFATBuiltTest {
protected:
    std::string loadMessage(const std::function<void(Bytes&)>& damage) {
        Bytes all = image_->bytes();
        damage(all);
        try {
            ExFATScanner::load(DataBlockReader(all), {0, VolumeKind::exfat});
        } catch (const RecoverError& e) {
            return e.errorDescription();
        }
        return "loaded";
    }
};

TEST_F(ExFATLoadTest, BootSectorChecks) {
    EXPECT_EQ(loadMessage([](Bytes&) {}), "loaded");
    EXPECT_EQ(loadMessage([](Bytes& b) { b[3] = 'N'; }), "The ExFAT boot sector is unreadable.");
    EXPECT_EQ(loadMessage([](Bytes& b) { b.resize(511); }), "The ExFAT boot sector is unreadable.");
    EXPECT_EQ(loadMessage([](Bytes& b) { b[108] = 13; }),
              "The ExFAT card uses an unexpected sector size.");
    EXPECT_EQ(loadMessage([](Bytes& b) { b[109] = 17; }),
              "The ExFAT card uses an unexpected sector size.");
    // 4096-byte sectors with 2^16 of them per cluster would make 256 MiB clusters.
    EXPECT_EQ(loadMessage([](Bytes& b) { b[108] = 12, b[109] = 16; }),
              "The ExFAT card uses an unexpected sector size.");
    EXPECT_EQ(loadMessage([](Bytes& b) { b[108] = 12, b[109] = 13; }), "loaded"); // 32 MiB
    EXPECT_EQ(loadMessage([](Bytes& b) { std::fill(b.begin() + 84, b.begin() + 88, 0); }),
              "The ExFAT allocation table is an unexpected size.");
    EXPECT_EQ(loadMessage([](Bytes& b) { b[84] = 0x01, b[85] = 0x00, b[86] = 0x02, b[87] = 0x00; }),
              "The ExFAT allocation table is an unexpected size.");
}

TEST_F(ExFATLoadTest, TableIsSizedByItsBytesNotTheClaimedCount) {
    Bytes all = image_->bytes();
    const std::uint64_t fatBytes = *Binary::u32le(all, 84) * layout_.bytesPerSector;
    all[92] = all[93] = all[94] = all[95] = 0xFF; // about four billion clusters
    const auto g = ExFATScanner::load(DataBlockReader(all), {0, VolumeKind::exfat});
    EXPECT_EQ(g.fat.size(), fatBytes / 4);
    EXPECT_EQ(g.clusterLimit(), 0x100000001ull);
    // A directory without a chain cannot claim more than the capped folder size.
    const auto clusters = g.directoryClusters(2, std::uint64_t{1} << 40, true, 100);
    EXPECT_EQ(clusters.count, 100u);
    EXPECT_EQ(
        ExFATScanner::load(DataBlockReader(image_->bytes()), {0, VolumeKind::exfat}).fat.size(),
        layout_.clusterCount + 2u);
}

} // namespace
} // namespace vellary

namespace vellary {
namespace {

TEST_F(ExFATBuiltTest, RandomlyDamagedFoldersNeverCrashOrLeaveTheSource) {
    std::uint32_t parent = layout_.rootCluster;
    for (std::uint32_t k = 0; k < 6; ++k) {
        ExFatImage::EntrySet folder;
        folder.name = u"Folder " + std::u16string(1, static_cast<char16_t>(u'A' + k));
        folder.directory = true;
        folder.firstCluster = image_->spareCluster(200 + k);
        folder.validLength = folder.dataLength = 4096;
        add(parent, folder);
        add(folder.firstCluster, file(u"A photo with a rather long name.jpg", k * 3, 9000));
        parent = folder.firstCluster;
    }
    const Bytes pristine = image_->bytes();
    std::vector<std::uint64_t> hot = {layout_.fatOffset,
                                      layout_.clusterOffset(layout_.rootCluster)};
    for (std::uint32_t k = 0; k < 6; ++k)
        hot.push_back(layout_.clusterOffset(image_->spareCluster(200 + k)));
    std::mt19937 rng(11);
    for (int round = 0; round < 300; ++round) {
        Bytes damaged = pristine;
        for (int k = 0; k < 30; ++k)
            damaged[hot[rng() % hot.size()] + rng() % 512] = static_cast<std::uint8_t>(rng());
        if (round % 10 == 0) damaged.resize(rng() % damaged.size());
        const DataBlockReader reader(std::move(damaged));
        std::vector<RecoverableFile> files;
        std::vector<ByteRange> used;
        try {
            ExFATScanner::scanVolume(reader, {0, VolumeKind::exfat}, {}, files, used);
        } catch (const RecoverError&) {
        }
        for (const auto& f : files)
            for (const auto& r : f.ranges)
                ASSERT_LE(r.end(), reader.size()) << f.name;
    }
}

} // namespace
} // namespace vellary
