#include "core/carve/ZIPCarver.hpp"

#include "tests/support/ByteWriters.hpp"
#include "tests/support/CarveFixtures.hpp"
#include "tests/support/DocumentFixtures.hpp"

#include <gtest/gtest.h>

namespace vellary {
namespace {

using testing::appendLE;
using testing::CarveFixtures;
using testing::DocumentFixtures;
using testing::putLE;
using Entry = DocumentFixtures::Entry;

const ZIPCarver zip;

std::optional<Carved> carveAt(const Bytes& source, std::uint64_t start = 0) {
    return DocumentFixtures::carve(zip, source, start, FileKind::zip);
}

void expectWhole(const Bytes& file, FileKind kind, const std::string& what) {
    ASSERT_TRUE(zip.sniff(ByteSpan(file).first(32))) << what;
    const auto tail = CarveFixtures::noise(3000, 3);
    const auto carved = carveAt(DocumentFixtures::concat({&file, &tail}));
    ASSERT_TRUE(carved) << what;
    EXPECT_EQ(carved->kind, kind) << what;
    EXPECT_EQ(carved->size, file.size()) << what;
    EXPECT_TRUE(carved->complete) << what;
}

TEST(ZIPCarverTest, SniffFollowsTheLocalHeaderRules) {
    const auto file = DocumentFixtures::storedZip({{"a.txt", "hello"}});
    EXPECT_EQ(zip.sniff(ByteSpan(file).first(30)), FileKind::zip);
    EXPECT_FALSE(zip.sniff(ByteSpan(file).first(29)));
    auto bad = file;
    bad[8] = 7; // method 7 is not accepted
    EXPECT_FALSE(zip.sniff(bad));
    bad = file;
    bad[4] = 64; // version needed too high
    EXPECT_FALSE(zip.sniff(bad));
    bad = file;
    bad[26] = 0; // empty name
    bad[27] = 0;
    EXPECT_FALSE(zip.sniff(bad));
}

TEST(ZIPCarverTest, OfficeDocumentsFromLibreOffice) {
    testing::TempDir dir;
    const auto docx = DocumentFixtures::office(dir, "letter.txt", "Dear reader,\nhello.\n", "docx");
    if (!docx) GTEST_SKIP() << "libreoffice is not installed";
    expectWhole(*docx, FileKind::docx, "docx");
    const auto xlsx = DocumentFixtures::office(dir, "sheet.csv", "a,b\n1,2\n3,4\n", "xlsx");
    ASSERT_TRUE(xlsx);
    expectWhole(*xlsx, FileKind::xlsx, "xlsx");
    const auto pptx =
        DocumentFixtures::office(dir, "slides.fodp", DocumentFixtures::slideDocument(), "pptx");
    ASSERT_TRUE(pptx);
    expectWhole(*pptx, FileKind::pptx, "pptx");
    EXPECT_GT(DocumentFixtures::expectSafeOnDamage(zip, *docx, FileKind::zip), 0);
}

TEST(ZIPCarverTest, ArchivesFromInfoZip) {
    if (!testing::haveTool("zip")) GTEST_SKIP() << "zip is not installed";
    testing::TempDir dir;
    std::string text;
    for (int i = 0; i < 400; ++i)
        text += "line " + std::to_string(i * 7919 % 1000) + " of the text\n";
    testing::writeFile(dir / "notes.txt", text);
    const auto noise = CarveFixtures::noise(5000, 9);
    testing::writeFile(dir / "noise.bin", std::string(noise.begin(), noise.end()));
    const struct {
        const char* name;
        const char* command;
    } cases[] = {
        {"stored.zip", "zip -q -0 stored.zip notes.txt noise.bin"},
        {"deflated.zip", "zip -q -9 deflated.zip notes.txt noise.bin"},
        {"descriptors.zip", "zip -q -fd descriptors.zip notes.txt noise.bin"},
        {"streamed.zip", "cat notes.txt | zip -q - - | cat > streamed.zip"},
        {"zip64.zip", "zip -q -fz zip64.zip notes.txt noise.bin"},
        {"commented.zip", "zip -q deflated2.zip notes.txt && cp deflated2.zip commented.zip && "
                          "printf '%0200d' 0 | zip -q -z commented.zip"},
    };
    for (const auto& c : cases) {
        const auto file = DocumentFixtures::produce(dir, c.name, c.command);
        ASSERT_TRUE(file) << c.name;
        expectWhole(*file, FileKind::zip, c.name);
    }
    const auto descriptors = DocumentFixtures::produce(dir, "descriptors.zip", "true");
    EXPECT_GT(DocumentFixtures::expectSafeOnDamage(zip, *descriptors, FileKind::zip), 0);
    const auto zip64 = DocumentFixtures::produce(dir, "zip64.zip", "true");
    EXPECT_GT(DocumentFixtures::expectSafeOnDamage(zip, *zip64, FileKind::zip), 0);
}

TEST(ZIPCarverTest, PythonZip64AndEpub) {
    if (!testing::haveTool("python3")) GTEST_SKIP() << "python3 is not installed";
    testing::TempDir dir;
    const auto forced = DocumentFixtures::produce(
        dir, "forced.zip",
        "python3 -c \"import zipfile\n"
        "with zipfile.ZipFile('forced.zip', 'w', zipfile.ZIP_DEFLATED) as z:\n"
        "    for i in range(3):\n"
        "        with z.open('part%d.txt' % i, 'w', force_zip64=True) as f: f.write(b'abc' * "
        "500)\n\"");
    ASSERT_TRUE(forced);
    expectWhole(*forced, FileKind::zip, "python force_zip64");

    // An EPUB as the format asks: "mimetype" first and stored, then the rest.
    testing::writeFile(dir / "mimetype", "application/epub+zip");
    std::filesystem::create_directories(dir.path() / "META-INF");
    std::filesystem::create_directories(dir.path() / "OEBPS");
    testing::writeFile(dir / "META-INF/container.xml", "<container/>");
    testing::writeFile(dir / "OEBPS/chapter.xhtml", "<html>word/ xl/ ppt/</html>");
    const auto epub = DocumentFixtures::produce(
        dir, "book.epub", "zip -q -X0 book.epub mimetype && zip -q -rX9 book.epub META-INF OEBPS");
    if (!epub) GTEST_SKIP() << "zip is not installed";
    expectWhole(*epub, FileKind::epub, "epub");
}

TEST(ZIPCarverTest, KindFromTheNames) {
    const struct {
        std::vector<Entry> entries;
        FileKind kind;
    } cases[] = {
        {{{"[Content_Types].xml", "x"}, {"word/document.xml", "x"}}, FileKind::docx},
        {{{"xl/workbook.xml", "x"}}, FileKind::xlsx},
        {{{"ppt/presentation.xml", "x"}}, FileKind::pptx},
        {{{"Index/Document.iwa", "x"}, {"Metadata/Properties.plist", "x"}}, FileKind::pages},
        {{{"Index/Document.iwa", "x"}, {"Index/CalculationEngine.iwa", "x"}}, FileKind::numbers},
        {{{"Index/Document.iwa", "x"}, {"Index/Tables/DataList.iwa", "x"}}, FileKind::numbers},
        {{{"Index/Document.iwa", "x"}, {"Index/Slide-1.iwa", "x"}, {"Index/Tables/T.iwa", "x"}},
         FileKind::keynote},
        {{{"Index/Slide-1.iwa", "x"}}, FileKind::zip}, // no Document.iwa: not iWork
        {{{"mimetype", "application/epub+zip"}, {"word/document.xml", "x"}}, FileKind::epub},
        {{{"word/document.xml", "x"}, {"mimetype", "application/epub+zip"}}, FileKind::docx},
        {{{"readme.txt", "x"}}, FileKind::zip},
    };
    for (const auto& c : cases) {
        const auto file = DocumentFixtures::storedZip(c.entries);
        const auto carved = carveAt(file);
        ASSERT_TRUE(carved) << c.entries[0].name;
        EXPECT_EQ(carved->kind, c.kind) << c.entries[0].name;
        EXPECT_EQ(carved->size, file.size());
    }
}

TEST(ZIPCarverTest, EndRecordChecks) {
    const std::vector<Entry> entries = {{"one.txt", "first"}, {"two.txt", "second"}};
    const auto comment = std::string(200, 'c');
    const auto commented = DocumentFixtures::storedZip(entries, comment);
    EXPECT_EQ(carveAt(commented).value().size, commented.size());

    // The comment runs past the end of the source.
    const Bytes cut(commented.begin(), commented.end() - 1);
    EXPECT_FALSE(carveAt(cut));

    // The end record's offset does not point at its central directory.
    auto moved = DocumentFixtures::storedZip(entries);
    moved[moved.size() - 6] ^= 0x01;
    EXPECT_FALSE(carveAt(moved));

    // A wrong entry count.
    auto counted = DocumentFixtures::storedZip(entries);
    counted[counted.size() - 12] = 3;
    EXPECT_FALSE(carveAt(counted));
}

TEST(ZIPCarverTest, WalkStopsAtAnUnknownMethod) {
    auto file = DocumentFixtures::storedZip({{"a.txt", "hello"}});
    file[8] = 7;
    EXPECT_FALSE(carveAt(file));
}

TEST(ZIPCarverTest, MissingCentralDirectoryIsNotGuessed) {
    const auto file = DocumentFixtures::storedZip({{"a.txt", "hello"}, {"b.txt", "world"}});
    const auto localEnd = 2 * 30 + 5 + 5 + 5 + 5;
    Bytes local(file.begin(), file.begin() + localEnd);
    const auto tail = CarveFixtures::noise(4096, 4);
    EXPECT_FALSE(carveAt(DocumentFixtures::concat({&local, &tail})));
}

TEST(ZIPCarverTest, ArchiveFollowedByAnotherArchive) {
    const auto first = DocumentFixtures::storedZip({{"word/document.xml", "x"}});
    const auto second = DocumentFixtures::storedZip({{"b.txt", "second"}});
    const auto source = DocumentFixtures::concat({&first, &second});
    const auto carved = carveAt(source);
    ASSERT_TRUE(carved);
    EXPECT_EQ(carved->size, first.size());
    EXPECT_EQ(carved->kind, FileKind::docx);
}

// Local entries that do not lead to the central directory: the end search takes over.
Bytes withGarbageBeforeDirectory(const Bytes& garbage) {
    const auto archive = DocumentFixtures::storedZip({{"a.txt", "hello"}, {"b.txt", "world"}});
    const std::size_t firstEntry = 30 + 5 + 5;
    const std::size_t cdStart = 2 * firstEntry;
    Bytes source(archive.begin(), archive.begin() + cdStart);
    source.insert(source.end(), garbage.begin(), garbage.end());
    source.insert(source.end(), archive.begin() + cdStart, archive.end());
    // The real end record's offset counts the garbage.
    const std::size_t end = source.size() - 22;
    const auto offset = static_cast<std::uint32_t>(cdStart + garbage.size());
    putLE(source, end + 16, offset, 4);
    // The second local header is damaged, so the walk stops before the garbage.
    source[firstEntry] = 'X';
    return source;
}

TEST(ZIPCarverTest, EndSearchSkipsRecordsOfArchivesThatStartedBeforeTheSource) {
    Bytes garbage(64, 'g');
    EXPECT_EQ(carveAt(withGarbageBeforeDirectory(garbage)).value().size,
              withGarbageBeforeDirectory(garbage).size());

    // An end record whose directory size plus offset exceeds its own position belongs to an
    // archive that began before the source: the search goes on past it.
    const std::uint8_t foreign[22] = {'P', 'K',  5,    6,    0,    0,    0,    0, 1, 0, 1,
                                      0,   0x00, 0x00, 0xF0, 0xFF, 0x00, 0x10, 0, 0, 0, 0};
    std::copy(std::begin(foreign), std::end(foreign), garbage.begin() + 10);
    const auto source = withGarbageBeforeDirectory(garbage);
    const auto carved = carveAt(source);
    ASSERT_TRUE(carved);
    EXPECT_EQ(carved->size, source.size());

    // An end record that closes an archive starting after the candidate ends the search.
    const std::uint8_t later[22] = {'P', 'K', 5, 6, 0, 0, 0, 0, 0, 0, 0,
                                    0,   4,   0, 0, 0, 0, 0, 0, 0, 0, 0};
    std::copy(std::begin(later), std::end(later), garbage.begin() + 36);
    EXPECT_FALSE(carveAt(withGarbageBeforeDirectory(garbage)));
}

// An entry written with a data descriptor and zero sizes: the descriptor search measures it.
Bytes descriptorEntry(const std::string& data, bool signature) {
    Bytes b = {'P', 'K', 3, 4, 20, 0, 8, 0, 0, 0, 0, 0, 0, 0, 0,
               0,   0,   0, 0, 0,  0, 0, 0, 0, 0, 0, 5, 0, 0, 0};
    const std::string name = "d.bin";
    b.insert(b.end(), name.begin(), name.end());
    b.insert(b.end(), data.begin(), data.end());
    if (signature) b.insert(b.end(), {'P', 'K', 7, 8});
    b.insert(b.end(), {0, 0, 0, 0}); // crc
    for (int twice = 0; twice < 2; ++twice)
        appendLE(b, data.size(), 4);
    return b;
}

// A central directory and end record for a single entry named d.bin at offset 0.
Bytes closeSingle(std::size_t cdOffset) {
    Bytes b = {'P', 'K', 1, 2, 20, 0, 20, 0, 8, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0,
               0,   0,   0, 0, 0,  5, 0,  0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0};
    b.insert(b.end(), {'d', '.', 'b', 'i', 'n'});
    const Bytes tail = {'P', 'K', 5, 6, 0, 0, 0, 0, 1, 0, 1, 0, 51, 0, 0, 0};
    b.insert(b.end(), tail.begin(), tail.end());
    appendLE(b, cdOffset, 4);
    b.insert(b.end(), {0, 0});
    return b;
}

TEST(ZIPCarverTest, DescriptorSearchStopsOnlyAtAbsoluteSectorBoundaries) {
    for (const bool signature : {true, false}) {
        // A local header signature inside the data, 512 bytes after the data start but not on
        // a 512-byte boundary of the source.
        const std::uint64_t start = 1024 + 100;
        std::string data(700, 'z');
        data.replace(512, 4, "PK\x03\x04");
        auto entry = descriptorEntry(data, signature);
        const auto close = closeSingle(entry.size());
        Bytes source(start, 0);
        source.insert(source.end(), entry.begin(), entry.end());
        source.insert(source.end(), close.begin(), close.end());
        auto carved = carveAt(source, start);
        ASSERT_TRUE(carved) << signature;
        EXPECT_EQ(carved->size, entry.size() + close.size());

        // The same bytes with the stray signature on a source sector boundary: a new file
        // starts there, so this entry's data was cut off.
        const std::size_t dataStart = start + 35;
        const std::size_t boundary = (dataStart + 511) / 512 * 512;
        std::string cut(700, 'z');
        cut.replace(boundary - dataStart, 4, "PK\x03\x04");
        entry = descriptorEntry(cut, signature);
        source.resize(start);
        source.insert(source.end(), entry.begin(), entry.end());
        source.insert(source.end(), close.begin(), close.end());
        EXPECT_FALSE(carveAt(source, start)) << signature;
    }
}

} // namespace
} // namespace vellary
