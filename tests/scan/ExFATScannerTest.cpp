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
#include <functional>
#include <map>

namespace vellary {
namespace {

using testing::ExFatImage;
namespace fs = std::filesystem;

struct Scan {
    std::vector<RecoverableFile> files;
    std::vector<ByteRange> used;
};

Scan scanImage(const fs::path& path) {
    FileBlockReader reader(path);
    Scan out;
    ExFATScanner::scanVolume(reader, {0, VolumeKind::exfat}, {}, out.files, out.used);
    return out;
}

// Runs with another local time zone, restoring the old one afterwards.
struct TimeZone {
    explicit TimeZone(const char* zone) : old(std::getenv("TZ") ? std::getenv("TZ") : "") {
        ::setenv("TZ", zone, 1), ::tzset();
    }
    ~TimeZone() { old.empty() ? ::unsetenv("TZ") : ::setenv("TZ", old.c_str(), 1), ::tzset(); }
    std::string old;
};

TEST(ExFATCardTest, FilesDeletedThroughFuseComeBackWithNamesFoldersDatesAndBytes) {
    if (!ExFatImage::formatAvailable()) GTEST_SKIP() << "mkfs.exfat is not installed";
    testing::TempDir dir;
    ExFatImage image(dir / "card.img", 96ull << 20, 32768);
    testing::ExFatMount mount(image.path(), dir / "mnt");
    if (!mount.mounted())
        GTEST_SKIP() << "cannot write exFAT through FUSE here: " << mount.failure();
    const fs::path root = dir / "mnt";

    std::vector<testing::Written> written;
    const auto put = [&](const std::string& path, const std::string& bytes, const char* when,
                         bool deleted) {
        const auto local = dir / ("src " + fs::path(path).filename().string());
        testing::writeFile(local, bytes);
        fs::create_directories((root / path).parent_path());
        fs::copy_file(local, root / path);
        testing::setModified(root / path, when);
        testing::setModified(local, when);
        written.push_back({path, path, local, deleted, true});
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
    written.erase(written.end() - 2); // its clusters go to D: not looked for
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
    const auto listed = testing::expectListed(scan.files, written, reader);
    for (std::size_t i = 0; i < written.size(); ++i) {
        if (!listed[i]) continue;
        // The assumed run of a fragmented file reaches over another file's data: not trusted.
        EXPECT_EQ(listed[i]->complete, written[i].exact) << written[i].path;
        if (written[i].exact) { // no FAT chain
            EXPECT_EQ(listed[i]->confidence, RecoveryConfidence::named) << written[i].path;
        }
    }
    // Live files and the boot area are claimed.
    ASSERT_FALSE(scan.used.empty());
    EXPECT_EQ(scan.used.back(), (ByteRange{0, image.layout().heapOffset}));
}

// A quick format rewrites the boot area, the tables and the root, not the folders in the heap:
// their files come back named, under "Recovered folder N" and the folder names that survive.
TEST(ExFATCardTest, QuickFormattedCardKeepsItsFolderNames) {
    if (!ExFatImage::formatAvailable()) GTEST_SKIP() << "mkfs.exfat is not installed";
    testing::TempDir dir;
    const auto path = dir / "card.img";
    std::map<std::string, std::string> written;
    {
        ExFatImage image(path, 64ull << 20, 4096);
        testing::ExFatMount mount(path, dir / "mnt");
        if (!mount.mounted())
            GTEST_SKIP() << "cannot write exFAT through FUSE here: " << mount.failure();
        fs::create_directories(dir / "mnt/DCIM/100CANON");
        fs::create_directories(dir / "mnt/Trip/Day one");
        const auto put = [&](const std::string& at, const std::string& found, int seed) {
            const std::string bytes = "\xFF\xD8\xFF\xE0" + testing::patternBytes(9000 * seed, seed);
            testing::writeFile(dir / "mnt" / at, bytes);
            written[found] = testing::sha256Of(Bytes(bytes.begin(), bytes.end()));
        };
        for (int i = 1; i <= 3; ++i)
            put("DCIM/100CANON/IMG_000" + std::to_string(i) + ".JPG",
                "Recovered folder 1/100CANON/IMG_000" + std::to_string(i) + ".JPG", i);
        put("Trip/Day one/Beach at noon.jpg", "Recovered folder 2/Day one/Beach at noon.jpg", 4);
        mount.unmount();
    }
    ASSERT_EQ(testing::run("mkfs.exfat -c 4096 -L CARD '" + path.string() + "' >/dev/null"), 0);

    const Scan scan = scanImage(path);
    FileBlockReader reader(path);
    std::map<std::string, std::string> listed;
    for (const auto& f : scan.files)
        listed[f.originalPath] = testing::sha256Of(testing::contentsOf(reader, f));
    EXPECT_EQ(listed, written);
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
        return {.name = name,
                .firstCluster = image_->spareCluster(index),
                .validLength = size,
                .dataLength = size,
                .modified = ExFatImage::stamp(2023, 5, 6, 7, 8, 10),
                .created = ExFatImage::stamp(2023, 1, 1, 0, 0, 0)};
    }
    std::uint64_t add(std::uint32_t folder, const ExFatImage::EntrySet& set) {
        return image_->append(folder, ExFatImage::encode(set));
    }

    testing::TempDir dir_;
    std::unique_ptr<ExFatImage> image_;
    ExFatImage::Layout layout_;
};

// Extents follow the no-FAT-chain flag, a chain that survived and the allocation bitmap, which
// says which clusters are in use again: a run that starts in one is damaged, one that crosses one
// is incomplete, and a chain survives only while all of it is free.
TEST_F(ExFATBuiltTest, ExtentsFollowTheFlagTheTableAndTheBitmap) {
    const Bytes all = image_->bytes();
    std::uint64_t bitmapAt = 0;
    for (std::uint64_t p = layout_.clusterOffset(layout_.rootCluster); all[p] != 0; p += 32)
        if (all[p] == 0x81) bitmapAt = layout_.clusterOffset(*Binary::u32le(all, p + 20));
    ASSERT_NE(bitmapAt, 0u);
    const auto markUsed = [&](std::uint32_t c) {
        const std::uint64_t byte = bitmapAt + (c - 2) / 8;
        image_->writeBytes(byte,
                           {static_cast<std::uint8_t>(image_->bytes()[byte] | 1 << (c - 2) % 8)});
    };
    using C = RecoveryConfidence;
    const Bytes kJpegHeader = {0xFF, 0xD8, 0xFF, 0xE0, 0x00, 0x10, 'J', 'F', 'I', 'F', 0x00};
    struct Row {
        std::u16string name;
        std::uint32_t at, clusters; // spare clusters
        bool chain;                 // a FAT chain at -> at + 5 (else the no-chain flag)
        std::vector<std::uint32_t> used, starts; // spare clusters in use; where ranges start
        C confidence;
        bool complete, damaged;
    };
    const std::vector<Row> rows = {
        {u"NOCHAIN.JPG", 0, 3, false, {}, {0}, C::named, true, false},
        {u"TAKEN.JPG", 10, 3, false, {10}, {10}, C::named, false, true},
        {u"CROSSED.JPG", 20, 3, false, {21}, {20}, C::named, false, false},
        {u"KEPT.JPG", 30, 2, true, {}, {30, 35}, C::named, true, false},
        {u"HANDED.JPG", 40, 2, true, {45}, {40}, C::estimated, true, false},
    };
    for (const auto& row : rows) {
        auto set = file(row.name, row.at, row.clusters * 4096);
        set.noFatChain = !row.chain;
        if (row.chain) {
            image_->setFat(set.firstCluster, set.firstCluster + 5);
            image_->setFat(set.firstCluster + 5, 0xFFFFFFFF);
        }
        add(layout_.rootCluster, set);
        image_->writeBytes(layout_.clusterOffset(set.firstCluster), kJpegHeader);
        for (const auto c : row.used)
            markUsed(image_->spareCluster(c));
    }
    auto zeroed = file(u"ZEROED.JPG", 50, 4 * 4096);
    zeroed.noFatChain = false; // its FAT entries were freed: assumed contiguous
    add(layout_.rootCluster, zeroed);
    auto onlyData = file(u"DATALEN.JPG", 60, 0);
    onlyData.dataLength = 5000;
    add(layout_.rootCluster, onlyData);

    const Scan scan = scanImage(image_->path());
    for (const auto& row : rows) {
        std::string name(row.name.begin(), row.name.end());
        const auto* f = testing::findByPath(scan.files, name);
        ASSERT_NE(f, nullptr) << name;
        EXPECT_EQ(f->quality() == RecoverableFile::Quality::damaged, row.damaged) << name;
        EXPECT_EQ(f->confidence, row.confidence) << name;
        EXPECT_EQ(f->complete, row.complete) << name;
        if (row.damaged) continue;
        std::vector<std::uint32_t> starts;
        std::uint64_t length = 0;
        for (const auto& r : f->ranges) {
            starts.push_back((r.offset - layout_.clusterOffset(image_->spareCluster(0))) / 4096);
            length += r.length;
        }
        EXPECT_EQ(starts, row.starts) << name;
        EXPECT_EQ(length, row.clusters * 4096) << name;
    }
    const auto* b = testing::findByPath(scan.files, "ZEROED.JPG");
    ASSERT_NE(b, nullptr);
    EXPECT_EQ(b->confidence, RecoveryConfidence::estimated);
    EXPECT_FALSE(b->complete); // zeros, not a JPEG: nothing vouches for the assumed run
    EXPECT_EQ(b->ranges.size(), 1u);
    EXPECT_EQ(testing::findByPath(scan.files, "DATALEN.JPG")->size, 5000u);
    EXPECT_EQ(testing::findByPath(scan.files, "NOCHAIN.JPG")->kind, FileKind::jpeg);
}

// The file limit counts this volume's files only, however many earlier volumes gave.
TEST_F(ExFATBuiltTest, FileLimitIsPerVolume) {
    add(layout_.rootCluster, file(u"HERE.JPG", 0, 100));
    Scan scan;
    scan.files.resize(ExFATScanner::kMaxFiles); // from earlier volumes
    VolumeNotes notes;
    ExFATScanner::scanVolume(FileBlockReader(image_->path()), {0, VolumeKind::exfat}, {},
                             scan.files, scan.used, &notes);
    ASSERT_EQ(scan.files.size(), ExFATScanner::kMaxFiles + 1);
    EXPECT_EQ(scan.files.back().name, "HERE.JPG");
    EXPECT_FALSE(notes.fileLimit);
}

// Boot sectors of a real formatted image with one field broken.
TEST_F(ExFATBuiltTest, BootSectorChecks) {
    const std::string table = "The ExFAT allocation table is an unexpected size.";
    const std::string sector = "The ExFAT card uses an unexpected sector size.";
    const std::vector<std::pair<std::function<void(Bytes&)>, std::string>> cases = {
        {[](Bytes&) {}, "loaded"},
        {[](Bytes& b) { b[3] = 'N'; }, "The ExFAT boot sector is unreadable."},
        {[](Bytes& b) { b.resize(511); }, "The ExFAT boot sector is unreadable."},
        {[](Bytes& b) { b[108] = 13; }, sector},
        {[](Bytes& b) { b[108] = 8; }, sector},
        {[](Bytes& b) { b[109] = 17; }, sector},
        {[](Bytes& b) { b[108] = 12, b[109] = 16; }, sector}, // 256 MiB clusters
        {[](Bytes& b) { b[108] = 12, b[109] = 13; }, "loaded"},
        {[](Bytes& b) { std::fill(b.begin() + 84, b.begin() + 88, 0); }, table},
        {[](Bytes& b) { b[84] = 0x01, b[85] = 0x00, b[86] = 0x02, b[87] = 0x00; }, table},
    };
    for (std::size_t i = 0; i < cases.size(); ++i) {
        Bytes all = image_->bytes();
        cases[i].first(all);
        std::string outcome = "loaded";
        try {
            ExFATScanner::load(DataBlockReader(all), {0, VolumeKind::exfat});
        } catch (const RecoverError& e) {
            outcome = e.errorDescription();
        }
        EXPECT_EQ(outcome, cases[i].second) << i;
    }
}

// Each row damages a fresh image (and may cut it or fail a sector): exactly these names come back.
TEST_F(ExFATBuiltTest, DamagedFoldersEndAndInventNoNames) {
    const std::uint32_t root = layout_.rootCluster;
    std::uint64_t cut = 0, bad = 0;
    auto dir = file(u"D", 0, 4096);
    dir.directory = true;
    const auto folder = [&](std::uint32_t parent, std::uint32_t at) {
        dir.firstCluster = at;
        add(parent, dir);
        return at;
    };
    const std::vector<std::pair<std::function<void()>, std::vector<std::string>>> rows = {
        {[&] { // 34 nested folders with a file each; the first also points back at the root
             for (std::uint32_t k = 1, parent = root; k <= 34; ++k)
                 add(parent = folder(parent, image_->spareCluster(100 + k)),
                     file(u"AT.TXT", k, 10));
             folder(image_->spareCluster(101), root);
         },
         std::vector<std::string>(32, "AT.TXT")},
        {[&] { // malformed sets; the image ends before FAR's cluster
             auto sets = std::vector{file(u"ONE.TXT", 0, 100),
                                     file(u"NINETEEN.TXT", 1, 100),
                                     file(u"Twenty characters!.j", 3, 100),
                                     file(u"ZERO.TXT", 4, 0),
                                     file(u"HUGE.MOV", 5, 0x2000000001ull),
                                     file(u"OUT.JPG", 0, 100),
                                     file(u"FAR.TXT", 0, 100)};
             sets[0].secondaryCount = 1, sets[1].secondaryCount = 19;
             sets[5].firstCluster = layout_.clusterCount + 2;
             sets[6].firstCluster = layout_.clusterCount; // past the cut
             for (const auto& set : sets)
                 add(root, set);
             Bytes noStream = ExFatImage::encode(file(u"NOSTREAM.TXT", 2, 100));
             noStream[32] = 0x41; // a name entry where the stream entry belongs
             image_->append(root, noStream);
             cut = layout_.clusterOffset(image_->spareCluster(4));
         },
         {"Twenty characters!.j"}},
        {[&] { // the unreadable folder is passed over; the walk goes on after it
             add(root, file(u"BEFORE.TXT", 0, 10));
             bad = layout_.clusterOffset(folder(root, image_->spareCluster(50))) / 512;
             add(root, file(u"AFTER.TXT", 1, 10));
         },
         {"BEFORE.TXT", "AFTER.TXT"}},
    };
    for (std::size_t i = 0; i < rows.size(); ++i) {
        SetUp();
        cut = bad = UINT64_MAX;
        rows[i].first();
        Bytes all = image_->bytes();
        all.resize(std::min<std::uint64_t>(all.size(), cut));
        testing::FaultyBlockReader reader(all);
        reader.failSector(bad);
        Scan scan;
        VolumeNotes notes;
        ExFATScanner::scanVolume(reader, {0, VolumeKind::exfat}, {}, scan.files, scan.used, &notes);
        EXPECT_EQ(notes.unreadable, bad != UINT64_MAX) << "row " << i;
        std::vector<std::string> names;
        for (const auto& f : scan.files)
            names.push_back(f.name);
        EXPECT_EQ(names, rows[i].second) << "row " << i;
    }
}

} // namespace
} // namespace vellary
