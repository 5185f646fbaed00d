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
        // The assumed run of a fragmented file reaches over another file's data: not trusted.
        EXPECT_EQ(file->complete, w.exact) << w.path;
        if (!w.exact) {
            EXPECT_NE(file->quality(), RecoverableFile::Quality::good) << w.path;
        }
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

} // namespace
} // namespace vellary
