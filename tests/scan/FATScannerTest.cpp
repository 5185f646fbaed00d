// Deleted files on FAT16 and FAT32 cards written by mkfs.fat and mtools, and the same cards
// damaged on purpose.
#include "core/scan/FATScanner.hpp"
#include "core/engine/RecoveryEngine.hpp"
#include "core/formats/Signatures.hpp"
#include "core/io/DataBlockReader.hpp"
#include "core/io/FileBlockReader.hpp"
#include "tests/support/DiskImages.hpp"
#include "tests/support/FatImage.hpp"
#include "tests/support/FaultyBlockReader.hpp"
#include "tests/support/ScanChecks.hpp"
#include "tests/support/Tools.hpp"

#include <gtest/gtest.h>

#include <functional>
#include <map>
#include <set>

namespace vellary {
namespace {

using testing::FatImage;
namespace fs = std::filesystem;
using namespace std::string_literals;

struct Card {
    int fatBits, sectorsPerCluster;
    std::uint64_t size;
};

std::ostream& operator<<(std::ostream& out, const Card& c) {
    return out << "FAT" << c.fatBits << "_" << c.sectorsPerCluster * 512 << "B";
}

struct Scan {
    std::vector<RecoverableFile> files;
    std::vector<ByteRange> used;
};

Scan scanImage(const FatImage& image, int fatBits) {
    FileBlockReader reader(image.path());
    Scan out;
    FATScanner::scan(
        reader, {image.partitionOffset(), fatBits == 32 ? VolumeKind::fat32 : VolumeKind::fat16},
        {}, out.files, out.used);
    return out;
}

class FATCardTest : public ::testing::TestWithParam<Card> {
protected:
    void SetUp() override {
        if (!FatImage::toolsAvailable()) GTEST_SKIP() << "mkfs.fat and mtools are not installed";
    }

    // A local file with these bytes, or a photo of this seed when bytes are empty.
    fs::path local(const std::string& name, const std::string& bytes, const std::string& when,
                   int seed = 0) {
        const auto path = dir_ / name;
        if (!bytes.empty() || !testing::makeJpeg(path, 200 + seed * 10, 150, seed))
            testing::writeFile(path, bytes.empty()
                                         ? "\xFF\xD8\xFF\xE0" + testing::patternBytes(60000, seed)
                                         : bytes);
        testing::setModified(path, when);
        return path;
    }

    testing::TempDir dir_;
};

TEST_P(FATCardTest, DeletedFilesComeBackWithNamesFoldersDatesAndBytes) {
    const Card card = GetParam();
    FatImage image(dir_ / "card.img", card.size, card.fatBits, card.sectorsPerCluster);
    const std::uint64_t cs = static_cast<std::uint64_t>(card.sectorsPerCluster) * 512;
    std::vector<testing::Written> written;
    // A deleted 8.3 name without a long name loses its first letter, as on a real card.
    const auto put = [&](const std::string& path, const fs::path& from, bool deleted,
                         std::string found = {}) {
        image.copyIn(from, path);
        written.push_back({path, found.empty() ? path : found, from, deleted, true});
    };

    image.makeDirectory("DCIM");
    image.makeDirectory("DCIM/100CANON");
    image.makeDirectory("Trip");
    put("DCIM/100CANON/IMG_0001.JPG", local("p1.jpg", {}, "2023-07-14 10:22:34", 1), false);
    // The live sibling gives the first letter back; the camera prefix does for the movie.
    put("DCIM/100CANON/IMG_0002.JPG", local("p2.jpg", {}, "2023-07-14 10:25:02", 2), true);
    put("DCIM/100CANON/Holiday at the beach.jpg", local("p3.jpg", {}, "2022-12-31 23:59:58", 3),
        true);
    put("DSCF1234.RAF", local("raf", testing::patternBytes(70001, 4), "2021-03-01 08:00:00"), true);
    const fs::path movie = dir_ / "movie.mp4";
    if (testing::makeMp4(movie, 1)) {
        testing::setModified(movie, "2024-02-29 12:00:00");
        put("DCIM/100CANON/MVI_0003.MP4", movie, true);
    }
    put("Trip/Notes.txt", local("notes", testing::patternBytes(5000, 5), "2020-01-02 03:04:06"),
        true);
    put("Trip/Old photo.jpg", local("p4.jpg", {}, "2020-01-02 03:04:08", 4), true);
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
    const auto listed = testing::expectListed(scan.files, written, reader);
    for (std::size_t i = 0; i < written.size(); ++i) {
        const auto& w = written[i];
        const auto* file = listed[i];
        if (!file) continue;
        EXPECT_EQ(file->confidence, RecoveryConfidence::estimated) << w.path;
        // Deleted short names lose their first letter; DSCF, IMG_ and MVI_ are put back.
        EXPECT_EQ(file->nameInferred, w.path.find("/IMG_") != std::string::npos ||
                                          w.path.find("MVI_") != std::string::npos ||
                                          w.path == "DSCF1234.RAF")
            << w.path;
        // An assumed extent is whole only when its header checks out, and never when it reaches
        // over another file's data: a freed fragmented chain is assumed contiguous, so its tail
        // is someone else's.
        EXPECT_EQ(file->complete, w.exact && file->headerLooksValid == true) << w.path;
        const auto bytes = testing::contentsOf(reader, *file);
        EXPECT_EQ(testing::sha256Of(bytes) == testing::sha256Of(w.local), w.exact) << w.path;
        if (w.path.ends_with(".JPG") || w.path.ends_with(".jpg")) {
            EXPECT_EQ(file->kind, FileKind::jpeg);
            EXPECT_EQ(file->category, FileCategory::photo);
            if (Signatures::kind(ByteSpan(bytes).first(32)) == FileKind::jpeg) {
                EXPECT_EQ(file->headerLooksValid, std::optional<bool>(true)) << w.path;
            }
        }
    }
    EXPECT_EQ(testing::findByPath(scan.files, "DSCF1234.RAF")->kind, FileKind::raf);
    EXPECT_EQ(testing::findByPath(scan.files, "Trip/Notes.txt")->category, FileCategory::document);

    // Live files and the metadata area are claimed; the content search keeps off them.
    const auto layout = image.layout();
    ASSERT_FALSE(scan.used.empty());
    EXPECT_EQ(scan.used.back(), (ByteRange{0, layout.dataOffset}));
    const auto claims = [&](std::uint64_t at) {
        return std::ranges::any_of(scan.used,
                                   [&](auto& r) { return at >= r.offset && at < r.end(); });
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
                         ::testing::PrintToStringParamName());

class FATDamageTest : public FATCardTest {};

// Each row damages a fresh FAT32 card (DCIM made); the scan must end with exactly these names.
TEST_F(FATDamageTest, DamagedCardsEndAndInventNoNames) {
    // All are written before any is removed, so none reuses another's clusters or slot.
    const auto put = [&](FatImage& img, const std::vector<std::string>& paths, bool gone = true) {
        for (const auto& path : paths)
            img.copyIn(local("f", std::string(1000, 'x'), "2023-01-01 10:00:00"), path);
        for (const auto& path : paths)
            if (gone) img.remove(path);
    };
    using Row = std::pair<std::function<void(FatImage&)>, std::multiset<std::string>>;
    const std::vector<Row> rows = {
        {[&](FatImage& img) { // 33 nested folders, a loop to DCIM, a root chain loop
             std::vector<std::string> files = {"DCIM/TOP.TXT"};
             std::string path = "DCIM";
             for (int level = 2; level <= 34; ++level)
                 if (img.makeDirectory(path += "/D"); level >= 32)
                     files.push_back(path + "/AT.TXT");
             img.makeDirectory("DCIM/LOOP");
             put(img, files);
             const std::uint8_t dcim = img.bytes()[*img.findEntry("DCIM       ") + 26];
             img.writeBytes(*img.findEntry("LOOP       ") + 26, {dcim}); // a DCIM inside DCIM
             img.writeBytes(img.layout().fatOffset + 4 * img.layout().rootCluster, {2, 0, 0, 0});
         },
         {"_OP.TXT", "_T.TXT"}},
        {[&](FatImage& img) { // GONE: past the end, 4 GiB, then noise; the card ends in FAR
             put(img, {"DCIM/KEEP.TXT", "DCIM/GONE.TXT", "FAR.TXT"});
             std::string noise = testing::patternBytes(200 * 32, 3);
             for (std::size_t i = 0; i < noise.size(); i += 32)
                 noise[i] = '\xE5';
             const auto gone = *img.findEntry("_ONE    TXT");
             img.writeBytes(gone + 32, Bytes(noise.begin(), noise.end()));
             img.writeBytes(gone + 20, {0xFF, 0x0F, 0, 0, 0, 0, 0, 0, 0xFF, 0xFF, 0xFF, 0xFF});
             const auto far = img.bytes()[*img.findEntry("_AR     TXT") + 26];
             fs::resize_file(img.path(), img.layout().clusterOffset(far) + 512);
         },
         {"_EEP.TXT"}},
        {[&](FatImage& img) { // a label splits a long name from its entry
             put(img, {"DCIM/Birthday cake.jpg", "DCIM/Second long name.jpg", "DSCF0001.RAF",
                       "DSCF0002.JPG", "Dscf0003.RAF", "DSCF12A4.JPG"});
             img.writeBytes(*img.findEntry("_ECOND~1JPG") - 32 + 11, {0x08});
         },
         {"Birthday cake.jpg", "_ECOND~1.JPG", "DSCF0001.RAF", "DSCF0002.JPG", "Dscf0003.RAF",
          "_SCF12A4.JPG"}},
        {[&](FatImage& img) { // OLD's freed cluster now holds a photo that looks like entries
             img.makeDirectory("OLD");
             put(img, {"OLD/FILE1.JPG", "OLD/FILE2.JPG"}, false);
             img.removeTree("OLD");
             std::string photo = "\xFF\xD8\xFF\xE0" + testing::patternBytes(20000, 9);
             for (int i = 1; i <= 100; ++i) // deleted files and sub-folders that fit the card
                 photo.replace(32 * i, 32,
                               (i % 2 ? "\xE5\x41KE    JPG "s : "SUBDIR     \x10"s) +
                                   std::string(14, '\0') + char(40 + i) + "\0\xE8\x03\0\0"s);
             testing::writeFile(dir_ / "new.jpg", photo);
             img.forgetNextFreeHint();
             img.copyIn(dir_ / "new.jpg", "DCIM/NEW.JPG");
             img.remove("DCIM/NEW.JPG");
         },
         {"_EW.JPG"}},
    };
    for (std::size_t i = 0; i < rows.size(); ++i) {
        FatImage image(dir_ / ("d" + std::to_string(i) + ".img"), 40ull << 20, 32, 1);
        image.makeDirectory("DCIM");
        rows[i].first(image);
        std::multiset<std::string> names;
        for (const auto& f : scanImage(image, 32).files)
            names.insert(f.name);
        EXPECT_EQ(names, rows[i].second) << "row " << i;
    }
}

// A folder whose cluster cannot be read is passed over with a note; the folders after it and the
// files of the others are still listed. A first FAT that cannot be read is read from the second.
TEST_F(FATDamageTest, UnreadableFoldersAndTableSectorsArePassedOver) {
    FatImage image(dir_ / "bad.img", 40ull << 20, 32, 1);
    for (const char* folder : {"ALPHA", "BRAVO", "CHARLIE"}) {
        image.makeDirectory(folder);
        image.copyIn(local("f", std::string(1000, 'x'), "2023-01-01 10:00:00"),
                     folder + std::string("/GONE.TXT"));
        image.remove(folder + std::string("/GONE.TXT"));
    }
    const Bytes all = image.bytes();
    const auto layout = image.layout();
    const auto folderSector = [&](const char* name11) {
        const auto at = *image.findEntry(name11);
        const std::uint32_t c = all[at + 26] | all[at + 27] << 8 | all[at + 20] << 16;
        return layout.clusterOffset(c) / 512;
    };
    const auto scan = [&](std::uint64_t badSector, std::uint64_t count) {
        testing::FaultyBlockReader reader(all);
        reader.failSectors(badSector, count);
        Scan out;
        VolumeNotes notes;
        FATScanner::scan(reader, {0, VolumeKind::fat32}, {}, out.files, out.used, &notes);
        std::multiset<std::string> paths;
        for (const auto& f : out.files)
            paths.insert(f.originalPath);
        return std::pair(paths, notes.unreadable);
    };
    const std::multiset<std::string> every = {"ALPHA/_ONE.TXT", "BRAVO/_ONE.TXT",
                                              "CHARLIE/_ONE.TXT"};
    EXPECT_EQ(scan(UINT64_MAX, 0), std::pair(every, false));
    EXPECT_EQ(scan(folderSector("BRAVO      "), 1),
              std::pair(std::multiset<std::string>{"ALPHA/_ONE.TXT", "CHARLIE/_ONE.TXT"}, true));
    const std::uint64_t fatSectors = *Binary::u32le(all, 36);
    EXPECT_EQ(scan(layout.fatOffset / 512, fatSectors), std::pair(every, false));
}

// A quick format rewrites the tables and the root but leaves the folders in the data area: their
// files come back with their names, under the folder names that survive.
TEST_P(FATCardTest, QuickFormattedCardKeepsItsFolderNames) {
    const Card card = GetParam();
    FatImage image(dir_ / "card.img", card.size, card.fatBits, card.sectorsPerCluster);
    std::map<std::string, std::string> written; // path after the format -> SHA-256
    const auto put = [&](const std::string& path, const std::string& found, int seed) {
        const auto from =
            local("f" + std::to_string(seed) + ".jpg", {}, "2023-07-14 10:22:34", seed);
        image.copyIn(from, path);
        written[found] = testing::sha256Of(from);
    };
    image.makeDirectory("DCIM");
    image.makeDirectory("DCIM/100CANON");
    image.makeDirectory("Trip");
    image.makeDirectory("Trip/Day one");
    for (int i = 1; i <= 3; ++i)
        put("DCIM/100CANON/IMG_000" + std::to_string(i) + ".JPG",
            "Recovered folder 1/100CANON/IMG_000" + std::to_string(i) + ".JPG", i);
    put("Trip/Day one/Beach at noon.jpg", "Recovered folder 2/Day one/Beach at noon.jpg", 4);
    // A file whose bytes look like a folder, but whose "." names another cluster: not a folder.
    std::string fake =
        ".          \x10" + std::string(14, '\0') + "\x61\x1e" + std::string(4, '\0');
    fake += "..         \x10" + std::string(20, '\0');
    fake += "GHOST   JPG " + std::string(14, '\0') + "\x61\x1e\x64" + std::string(3, '\0');
    testing::writeFile(dir_ / "fake", fake + std::string(4096, '\0'));
    image.copyIn(dir_ / "fake", "FAKE.BIN");
    ASSERT_EQ(testing::run("mkfs.fat -F " + std::to_string(card.fatBits) + " -s " +
                           std::to_string(card.sectorsPerCluster) + " -n CARD '" +
                           image.path().string() + "' >/dev/null"),
              0);

    const Scan scan = scanImage(image, card.fatBits);
    FileBlockReader reader(image.path());
    std::map<std::string, std::string> listed;
    for (const auto& f : scan.files)
        listed[f.originalPath] = testing::sha256Of(testing::contentsOf(reader, f));
    EXPECT_EQ(listed, written);
}

// The file limit of one volume: a root of exactly 100,000 deleted entries is listed whole and
// silently; one more entry stops the list at 100,000 and the user is told.
TEST_F(FATDamageTest, FileLimitIsReachedAndSaid) {
    FatImage image(dir_ / "many.img", 72ull << 20, 32, 2);
    image.copyIn(local("f", std::string(100, 'x'), "2023-01-01 10:00:00"), "DATA.TXT");
    const auto layout = image.layout();
    const Bytes clean = image.bytes();
    const auto data = *image.findEntry("DATA    TXT");
    const std::uint32_t dataCluster = clean[data + 26] | clean[data + 27] << 8;
    const std::uint64_t entries = FATScanner::kMaxFiles + 1;
    const std::uint64_t clusters = (entries + 1) * 32 / layout.clusterSize + 1;
    // The root moves to a chain of clusters from 1000 on, filled with count deleted entries.
    const auto scanWith = [&](std::uint64_t count) {
        Bytes all = clean;
        const std::uint32_t first = 1000;
        testing::putLE(all, 44, first, 4);
        for (std::uint32_t c = first; c < first + clusters; ++c)
            testing::putLE(all, layout.fatOffset + 4 * c,
                           c + 1 < first + clusters ? c + 1 : 0x0FFFFFFF, 4);
        const std::uint64_t at = layout.clusterOffset(first);
        testing::put(all, at, Bytes(clusters * layout.clusterSize, 0));
        for (std::uint64_t i = 0; i < count; ++i) {
            const std::string name =
                std::string("\xE5") + "F" + std::to_string(1000000 + i).substr(1) + "TXT";
            testing::put(all, at + 32 * i, Bytes(name.begin(), name.end()));
            testing::putLE(all, at + 32 * i + 26, dataCluster, 2);
            all[at + 32 * i + 28] = 100;
        }
        return all;
    };
    for (const std::uint64_t count : {entries - 1, entries}) {
        const Bytes all = scanWith(count);
        Scan out;
        VolumeNotes notes;
        FATScanner::scan(DataBlockReader(all), {0, VolumeKind::fat32}, {}, out.files, out.used,
                         &notes);
        EXPECT_EQ(out.files.size(), FATScanner::kMaxFiles) << count;
        EXPECT_EQ(notes.fileLimit, count == entries) << count;
        if (count < entries) continue;
        const auto said = [](const std::string& w) { return w.find("100,000") != w.npos; };
        EXPECT_EQ(
            std::ranges::count_if(RecoveryEngine::scan(DataBlockReader(all), {}).warnings, said),
            1);
    }
}

} // namespace
} // namespace vellary
