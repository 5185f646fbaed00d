#include "core/carve/OLE2Carver.hpp"

#include "tests/support/ByteWriters.hpp"
#include "tests/support/CarveFixtures.hpp"
#include "tests/support/DocumentFixtures.hpp"
#include "tests/support/FaultyBlockReader.hpp"

#include "core/records/RecoverError.hpp"

#include <gtest/gtest.h>

namespace vellary {
namespace {

using testing::CarveFixtures;
using testing::DocumentFixtures;
using testing::putLE;

const OLE2Carver ole2;

std::optional<Carved> carveAt(const Bytes& source, std::uint64_t start = 0) {
    return DocumentFixtures::carve(ole2, source, start, FileKind::doc);
}

// Offset of FAT entry n in a built file (FAT in sector 0).
std::size_t fatEntry(std::uint32_t n) {
    return 512 + 4 * std::size_t{n};
}

TEST(OLE2CarverTest, Sniff) {
    const auto file = DocumentFixtures::compoundFile({"WordDocument"}, 4);
    EXPECT_EQ(ole2.sniff(ByteSpan(file).first(32)), FileKind::doc);
    EXPECT_FALSE(ole2.sniff(ByteSpan(file).first(31)));
    auto bad = file;
    bad[30] = 12; // version 3 with 4096-byte sectors
    EXPECT_FALSE(ole2.sniff(ByteSpan(bad).first(32)));
    bad = file;
    bad[28] = 0xFF; // byte-order mark
    EXPECT_FALSE(ole2.sniff(ByteSpan(bad).first(32)));
}

TEST(OLE2CarverTest, OfficeFilesFromLibreOffice) {
    testing::TempDir dir;
    const auto doc = DocumentFixtures::office(dir, "letter.txt", "Dear reader,\nhello.\n", "doc");
    if (!doc) GTEST_SKIP() << "libreoffice is not installed";
    const auto xls = DocumentFixtures::office(dir, "sheet.csv", "a,b\n1,2\n", "xls");
    const auto ppt =
        DocumentFixtures::office(dir, "slides.fodp", DocumentFixtures::slideDocument(), "ppt");
    ASSERT_TRUE(xls && ppt);
    for (const auto& [file, kind] : {std::pair{*doc, FileKind::doc}, std::pair{*xls, FileKind::xls},
                                     std::pair{*ppt, FileKind::ppt}}) {
        ASSERT_TRUE(ole2.sniff(ByteSpan(file).first(32)));
        const auto tail = CarveFixtures::noise(4096, 2);
        const auto carved = carveAt(DocumentFixtures::concat({&file, &tail}));
        ASSERT_TRUE(carved) << fileKind::rawValue(kind);
        EXPECT_EQ(carved->kind, kind);
        EXPECT_EQ(carved->size, file.size()) << fileKind::rawValue(kind);
        EXPECT_TRUE(carved->complete);
        DocumentFixtures::expectSafeOnDamage(ole2, file, FileKind::doc);
    }
}

TEST(OLE2CarverTest, SizeFromTheHighestUsedSector) {
    const auto file = DocumentFixtures::compoundFile({"WordDocument"}, 40);
    const auto tail = CarveFixtures::noise(8192, 3);
    const auto carved = carveAt(DocumentFixtures::concat({&file, &tail}));
    ASSERT_TRUE(carved);
    EXPECT_EQ(carved->size, 42u * 512);
    EXPECT_EQ(carved->kind, FileKind::doc);

    // Cut short: the highest used sector is no longer available.
    const Bytes cut(file.begin(), file.end() - 1);
    EXPECT_FALSE(carveAt(cut));
    EXPECT_EQ(DocumentFixtures::expectSafeOnDamage(ole2, file, FileKind::doc) > 0, true);
}

TEST(OLE2CarverTest, KindFromTheStreamNames) {
    const struct {
        std::vector<std::string> streams;
        std::optional<FileKind> kind;
    } cases[] = {
        {{"Workbook", "WordDocument"}, FileKind::doc},
        {{"Book"}, FileKind::xls},
        {{"SummaryInformation", "Workbook"}, FileKind::xls},
        {{"PowerPoint Document", "Pictures"}, FileKind::ppt},
        {{"Contents", "CompObj", "Equation Native", "Ole10Native", "Other"}, std::nullopt},
    };
    for (const auto& c : cases) {
        const auto carved = carveAt(DocumentFixtures::compoundFile(c.streams, 12));
        EXPECT_EQ(carved.has_value(), c.kind.has_value()) << c.streams[0];
        if (carved && c.kind) {
            EXPECT_EQ(carved->kind, *c.kind) << c.streams[0];
        }
    }
}

TEST(OLE2CarverTest, RootEntryDate) {
    // 2021-05-03 12:00:00 UTC as a file time.
    const std::uint64_t fileTime = (1620043200ULL + 11644473600ULL) * 10000000ULL;
    const auto dated = carveAt(DocumentFixtures::compoundFile({"WordDocument"}, 6, fileTime));
    ASSERT_TRUE(dated && dated->modified);
    EXPECT_DOUBLE_EQ(unixSeconds(*dated->modified), 1620043200.0);
    EXPECT_FALSE(carveAt(DocumentFixtures::compoundFile({"WordDocument"}, 6, 0)).value().modified);
    // 1990 lies before the accepted years.
    const std::uint64_t old = (631152000ULL + 11644473600ULL) * 10000000ULL;
    EXPECT_FALSE(
        carveAt(DocumentFixtures::compoundFile({"WordDocument"}, 6, old)).value().modified);
}

TEST(OLE2CarverTest, TablesThatDoNotCheckOut) {
    const auto good = DocumentFixtures::compoundFile({"WordDocument"}, 20);
    ASSERT_TRUE(carveAt(good));
    const auto damaged = [&](auto change) {
        Bytes b = good;
        change(b);
        return carveAt(b);
    };
    // A FAT entry pointing past the end of the FAT (128 entries here).
    EXPECT_FALSE(damaged([](Bytes& b) { putLE(b, fatEntry(10), 128, 4); }));
    EXPECT_TRUE(damaged([](Bytes& b) { putLE(b, fatEntry(10), 127, 4); }));
    // The reserved special value.
    EXPECT_FALSE(damaged([](Bytes& b) { putLE(b, fatEntry(10), 0xFFFFFFFB, 4); }));
    // A used sector beyond the source.
    EXPECT_FALSE(damaged([](Bytes& b) { putLE(b, fatEntry(100), 0xFFFFFFFE, 4); }));
    // The directory chain ends in a free sector, or loops.
    EXPECT_FALSE(damaged([](Bytes& b) { putLE(b, fatEntry(1), 0xFFFFFFFF, 4); }));
    EXPECT_FALSE(damaged([](Bytes& b) { putLE(b, fatEntry(1), 1, 4); }));
    // Header fields.
    EXPECT_FALSE(damaged([](Bytes& b) { b[32] = 7; }));             // mini-sector shift
    EXPECT_FALSE(damaged([](Bytes& b) { putLE(b, 56, 2048, 4); })); // mini-stream cutoff
    EXPECT_FALSE(damaged([](Bytes& b) { putLE(b, 44, 0, 4); }));    // no FAT sectors
    EXPECT_FALSE(damaged([](Bytes& b) { putLE(b, 44, 1000, 4); })); // FAT larger than the source
    EXPECT_FALSE(damaged([](Bytes& b) { putLE(b, 72, 2, 4); }));    // more DIFAT than FAT sectors
    EXPECT_FALSE(damaged([](Bytes& b) { putLE(b, 76, 0xFFFFFFFF, 4); })); // FAT sector not a sector
    // A directory entry with an impossible name length is skipped, not fatal.
    EXPECT_FALSE(damaged([](Bytes& b) { b[1024 + 128 + 64] = 66; }));
    EXPECT_TRUE(damaged([](Bytes& b) { b[1024 + 64] = 80; }));
}

TEST(OLE2CarverTest, FATSectorsListedInTheDIFAT) {
    // 110 FAT sectors: the last one is listed in a DIFAT sector.
    const auto file =
        DocumentFixtures::compoundFile({"PowerPoint Document"}, 110 * 128 - 1, 0, 110);
    const auto carved = carveAt(file);
    ASSERT_TRUE(carved);
    EXPECT_EQ(carved->size, file.size());
    EXPECT_EQ(carved->kind, FileKind::ppt);
    Bytes broken = file;
    putLE(broken, 68, 0xFFFFFFFE, 4); // the DIFAT chain is gone
    EXPECT_FALSE(carveAt(broken));
}

TEST(OLE2CarverTest, ReadErrorsGiveNoResultButAVanishedDeviceStillEndsTheScan) {
    const auto file = DocumentFixtures::compoundFile({"WordDocument"}, 8);
    testing::FaultyBlockReader bad(file);
    bad.failSector(2); // the directory
    EXPECT_FALSE(ole2.carve(bad, 0, FileKind::doc));
    testing::FaultyBlockReader gone(file);
    gone.vanishAt(1024);
    EXPECT_THROW(ole2.carve(gone, 0, FileKind::doc), RecoverError);
}

} // namespace
} // namespace vellary
