// Malformed and unusual archives and documents, table by table. The files real producers write
// are in CarverContractTest.
#include "core/carve/OLE2Carver.hpp"
#include "core/carve/PDFCarver.hpp"
#include "core/carve/ZIPCarver.hpp"
#include "core/records/RecoverError.hpp"
#include "tests/support/ByteWriters.hpp"
#include "tests/support/CarveFixtures.hpp"
#include "tests/support/FaultyBlockReader.hpp"

#include <gtest/gtest.h>

namespace vellary {
namespace {

using testing::CarveFixtures;
using F = CarveFixtures;

// Local entries that do not lead to the central directory, with garbage between them and it:
// the end search takes over.
Bytes withGarbageBeforeDirectory(const Bytes& garbage) {
    const auto archive = F::storedZip({{"a.txt", "hello"}, {"b.txt", "world"}});
    const std::size_t firstEntry = 30 + 5 + 5, cdStart = 2 * firstEntry;
    auto source = F::join({Bytes(archive.begin(), archive.begin() + cdStart), garbage,
                           Bytes(archive.begin() + cdStart, archive.end())});
    source = F::patched(source, source.size() - 22 + 16, cdStart + garbage.size(), 4);
    source[firstEntry] = 'X'; // the second local header is damaged
    return source;
}

// An entry written with a data descriptor and zero sizes, then a central directory and end
// record for it, at start in the source.
Bytes descriptorArchive(std::size_t start, const std::string& data, bool signature) {
    Bytes entry = {'P', 'K', 3, 4, 20, 0, 8, 0, 0, 0, 0, 0, 0, 0, 0,
                   0,   0,   0, 0, 0,  0, 0, 0, 0, 0, 0, 5, 0, 0, 0};
    entry = F::join({entry, F::text("d.bin"), F::text(data)});
    if (signature) entry = F::join({entry, {'P', 'K', 7, 8}});
    entry = F::patched(F::patched(F::join({entry, {0, 0, 0, 0}}), entry.size() + 4, data.size(), 4),
                       entry.size() + 8, data.size(), 4);
    Bytes close = {'P', 'K', 1, 2, 20, 0, 20, 0, 8, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0,
                   0,   0,   0, 0, 0,  5, 0,  0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0};
    close =
        F::join({close, F::text("d.bin"), {'P', 'K', 5, 6, 0, 0, 0, 0, 1, 0, 1, 0, 51, 0, 0, 0}});
    close = F::join({F::patched(close, close.size(), entry.size(), 4), {0, 0}});
    return F::join({Bytes(start, 0), entry, close});
}

TEST(ZIPCarver, HeadersEndRecordsAndSearches) {
    const ZIPCarver zip;
    const auto file = F::storedZip({{"a.txt", "hello"}});
    EXPECT_EQ(zip.sniff(ByteSpan(file).first(30)), FileKind::zip);
    EXPECT_FALSE(zip.sniff(ByteSpan(file).first(29)));
    for (const auto& [at, value, width] : {std::tuple{8, 7, 1}, {4, 64, 1}, {26, 0, 2}})
        EXPECT_FALSE(zip.sniff(F::patched(file, at, value, width))) << at; // method, version, name

    const std::vector<F::Entry> entries = {{"one.txt", "first"}, {"two.txt", "second"}};
    const auto commented = F::storedZip(entries, std::string(200, 'c'));
    const auto two = F::storedZip({{"a.txt", "hello"}, {"b.txt", "world"}});
    const auto docx = F::storedZip({{"word/document.xml", "x"}});
    // An end record whose directory size plus offset exceeds its own position belongs to an
    // archive that began before the source: the search goes on past it. One that closes an
    // archive starting after the candidate ends the search.
    Bytes garbage(64, 'g');
    const auto plain = withGarbageBeforeDirectory(garbage);
    const Bytes foreign = {'P', 'K', 5, 6,    0,    0, 0,    0, 1, 0, 1,
                           0,   0,   0, 0xF0, 0xFF, 0, 0x10, 0, 0, 0, 0};
    std::copy(foreign.begin(), foreign.end(), garbage.begin() + 10);
    const auto skipped = withGarbageBeforeDirectory(garbage);
    const Bytes later = {'P', 'K', 5, 6, 0, 0, 0, 0, 0, 0, 0, 0, 4, 0, 0, 0, 0, 0, 0, 0, 0, 0};
    std::copy(later.begin(), later.end(), garbage.begin() + 36);
    // A local header signature inside descriptor data, off a sector boundary of the source:
    // part of the data. On a boundary: a new file starts there, so this entry was cut off.
    const std::size_t start = 1024 + 100, dataStart = start + 35;
    std::string inside(700, 'z'), onBoundary(700, 'z');
    inside.replace(512, 4, "PK\x03\x04");
    onBoundary.replace((dataStart + 511) / 512 * 512 - dataStart, 4, "PK\x03\x04");
    const auto inData = [&](bool signature) { return descriptorArchive(start, inside, signature); };
    const auto onEdge = [&](bool sig) { return descriptorArchive(start, onBoundary, sig); };
    const auto z = FileKind::zip;
    const auto noise = F::noise(4096, 4);
    F::expectCases(
        zip,
        {{"comment", commented, commented.size()},
         {"end record offset moved", F::patched(two, two.size() - 6, two[two.size() - 6] ^ 1), {}},
         {"wrong entry count", F::patched(two, two.size() - 12, 3), {}},
         {"unknown method", F::patched(file, 8, 7), {}, true, 0, z},
         {"no central directory", F::join({Bytes(two.begin(), two.begin() + 80), noise}), {}},
         {"followed by another archive", F::join({docx, file}), docx.size()},
         {"end search", plain, plain.size()},
         {"end search past a foreign record", skipped, skipped.size()},
         {"end search stopped by a later archive", withGarbageBeforeDirectory(garbage), {}},
         {"signature in data", inData(true), inData(true).size() - start, true, start},
         {"signature in data, bare descriptor", inData(false), inData(false).size() - start, true,
          start},
         {"signature on a boundary", onEdge(true), {}, true, start},
         {"signature on a boundary, bare descriptor", onEdge(false), {}, true, start}});

    const std::pair<std::vector<F::Entry>, FileKind> kinds[] = {
        {{{"Index/Document.iwa", "x"}, {"Metadata/Properties.plist", "x"}}, FileKind::pages},
        {{{"Index/Document.iwa", "x"}, {"Index/CalculationEngine.iwa", "x"}}, FileKind::numbers},
        {{{"Index/Document.iwa", "x"}, {"Index/Tables/DataList.iwa", "x"}}, FileKind::numbers},
        {{{"Index/Document.iwa", "x"}, {"Index/Slide-1.iwa", "x"}, {"Index/Tables/T.iwa", "x"}},
         FileKind::keynote},
        {{{"Index/Slide-1.iwa", "x"}}, FileKind::zip}, // no Document.iwa: not iWork
        {{{"mimetype", "application/epub+zip"}, {"word/document.xml", "x"}}, FileKind::epub},
        {{{"word/document.xml", "x"}, {"mimetype", "application/epub+zip"}}, FileKind::docx},
    };
    for (const auto& [names, kind] : kinds)
        EXPECT_EQ(F::carve(zip, F::storedZip(names)).value().kind, kind) << names[0].name;
}

// A small hand-written PDF: header, the body, a cross-reference section and its trailer.
std::string smallPDF(const std::string& body, const std::string& afterEOF = "\n",
                     const char* startxref = nullptr) {
    std::string text =
        "%PDF-1.4\n%\xE2\xE3\xCF\xD3\n1 0 obj\n<< /Type /Catalog >>\nendobj\n" + body;
    const auto xref = text.size();
    return text +
           "xref\n0 2\n0000000000 65535 f \n0000000015 00000 n \ntrailer\n<< /Size 2 /Root 1 "
           "0 R >>\nstartxref\n" +
           (startxref ? std::string(startxref) : std::to_string(xref)) + "\n%%EOF" + afterEOF;
}

// An incremental update appended to a whole PDF: one object, its section and a new trailer.
std::string withUpdate(const std::string& pdf, int object) {
    const auto previous = std::stoul(pdf.substr(pdf.rfind("startxref") + 10));
    char entry[32];
    std::snprintf(entry, sizeof entry, "%010zu 00000 n \n", pdf.size());
    std::string text =
        pdf + std::to_string(object) + " 0 obj\n<< /Producer (an update) >>\nendobj\n";
    const auto xref = text.size();
    return text + "xref\n" + std::to_string(object) + " 1\n" + entry + "trailer\n<< /Size " +
           std::to_string(object + 1) + " /Prev " + std::to_string(previous) + " >>\nstartxref\n" +
           std::to_string(xref) + "\n%%EOF\n";
}

TEST(PDFCarver, TrailersUpdatesHeadersAndDates) {
    const PDFCarver pdf;
    EXPECT_EQ(pdf.sniff(F::text("%PDF-2.0\n")), FileKind::pdf);
    for (const auto* bad : {"%PDF-3.0\n", "%PDF-1.x\n", "%PDF-1.7"})
        EXPECT_FALSE(pdf.sniff(F::text(bad))) << bad;

    const auto crlf = smallPDF("", "\r\nrest");
    const auto wrong = smallPDF("", "\n", "999999"); // startxref past the distance from the start
    const auto real = smallPDF("");
    const auto eof = smallPDF("", "\n", "999").find("%%EOF");
    const auto xref = std::to_string(real.find("xref"));
    const auto padded = std::string(13 - xref.size(), '0') + xref; // right but too long
    const auto updated = withUpdate(withUpdate(real, 2), 3);
    const auto prose = smallPDF("", "\n1 0 R and more"); // only begins like an object header
    const auto embedded = smallPDF("2 0 obj\n(%PDF-1.4 inside)\nendobj\n"); // off a boundary
    std::string body = "2 0 obj\n(";
    body += std::string(512 - real.find("xref") - body.size(), 'x') + "%PDF-1.4)\nendobj\n";
    const auto aligned = smallPDF(body); // another file starts on the boundary, before a trailer
    ASSERT_EQ(aligned.substr(512, 5), "%PDF-");
    Bytes two = F::text(real);
    two.resize(512, 0);
    two = F::join({two, F::text(real)});
    const auto p = FileKind::pdf;
    F::expectCases(
        pdf,
        {{"CR LF after %%EOF", F::text(crlf), crlf.size() - 4},
         {"a wrong startxref, then a real one", F::text(wrong + real.substr(9)),
          wrong.size() + real.size() - 9},
         {"only a wrong startxref", F::text(wrong), {}},
         {"startxref at %%EOF", F::text(smallPDF("", "\n", std::to_string(eof).c_str())), {}},
         {"startxref 12a", F::text(smallPDF("", "\n", "12a")), {}},
         {"startxref of 13 digits", F::text(smallPDF("", "\n", padded.c_str())), {}},
         {"startxref empty", F::text(smallPDF("", "\n", "")), {}},
         {"an object after the trailer", F::text(smallPDF("", "\n1 0 obj\n<< >>\nendobj\n")), {}},
         {"two updates", F::text(updated), updated.size()},
         {"prose after the trailer", F::text(prose), prose.size() - 14},
         {"embedded header", F::text(embedded), embedded.size()},
         {"header on a boundary", F::text(aligned), {}},
         {"first of two", two, real.size()},
         {"second of two", two, real.size(), true, 512, p},
         {"no trailer", F::text("%PDF-1.4\n" + std::string(100000, 'a')), {}}});

    const auto dated = [&](const std::string& info, const std::string& before = "") {
        return F::carve(pdf, F::text(smallPDF(before + "3 0 obj\n<< " + info + " >>\nendobj\n")))
            .value()
            .modified;
    };
    const auto utc = [](double seconds) { return std::optional(dateFromUnixSeconds(seconds)); };
    const std::pair<const char*, std::optional<Date>> dates[] = {
        {"/ModDate (D:20230102030405+01'00')", utc(1672625045)},
        {"/ModDate (D:20230102030405-05'30')", utc(1672648445)},
        // The creation date only when no modification date parses.
        {"/ModDate (D:19700101) /CreationDate (D:20230102030405Z)", utc(1672628645)},
        {"/CreationDate (D:20200101000000Z) /ModDate (D:20230102030405Z)", utc(1672628645)},
        // Local time without a zone; a second of 60 counts as 58; month and day default to 1.
        {"/ModDate (D:2023010203)", Binary::localDate(2023, 1, 2, 3, 0, 0)},
        {"/ModDate (D:20230102030460)", Binary::localDate(2023, 1, 2, 3, 4, 58)},
        {"/ModDate (D:20231302030405)", std::nullopt},
        {"/ModDate (D:21010102030405)", std::nullopt},
        {"/ModDate D:20230102030405", std::nullopt}};
    for (const auto& [info, date] : dates)
        EXPECT_EQ(dated(info), date) << info;
    // In a long file the date may sit in its last 64 KiB.
    EXPECT_EQ(dated("/ModDate (D:20230102030405Z)",
                    "4 0 obj\n(" + std::string(200000, 'f') + ")\nendobj\n"),
              utc(1672628645));
}

TEST(OLE2Carver, TablesKindsAndDates) {
    const testing::TempDir dir;
    const auto made = F::produce(dir, "a.doc",
                                 "printf 'Dear reader,\\n' > a.txt && timeout 180 libreoffice "
                                 "-env:UserInstallation=file://$PWD/lo --headless --convert-to doc "
                                 "a.txt >/dev/null 2>&1");
    if (!made) GTEST_SKIP() << "libreoffice is not installed";
    const OLE2Carver ole2;
    const auto& file = *made;
    EXPECT_FALSE(ole2.sniff(ByteSpan(file).first(31)));
    EXPECT_FALSE(ole2.sniff(F::patched(file, 30, 12)));   // version 3 with 4096-byte sectors
    EXPECT_FALSE(ole2.sniff(F::patched(file, 28, 0xFF))); // byte-order mark
    // One FAT sector; a stream chain ends at `tail`, and the directory chain starts at `first`.
    ASSERT_EQ(*Binary::u32le(file, 44), 1u);
    const auto fat = [&](std::uint32_t n) { return (*Binary::u32le(file, 76) + 1) * 512 + 4 * n; };
    const auto first = *Binary::u32le(file, 48);
    const std::size_t root = (first + 1) * 512;
    std::uint32_t tail = 0;
    while (tail < first && *Binary::u32le(file, fat(tail)) != 0xFFFFFFFE)
        ++tail;
    ASSERT_LT(tail, first);
    const Bytes name = {'W', 0, 'o', 0, 'r', 0, 'd', 0, 'D', 0};
    const auto word = static_cast<std::size_t>(
        std::search(file.begin() + root, file.end(), name.begin(), name.end()) - file.begin());
    const auto doc = FileKind::doc;
    F::expectCases(
        ole2,
        {{"highest used sector", F::join({file, F::noise(8192, 3)}), file.size()},
         {"FAT entry past the FAT", F::patched(file, fat(tail), 128, 4), {}},
         {"last FAT entry", F::patched(file, fat(tail), 127, 4), file.size()},
         {"reserved value", F::patched(file, fat(tail), 0xFFFFFFFB, 4), {}},
         {"used sector beyond the source", F::patched(file, fat(100), 0xFFFFFFFE, 4), {}},
         {"directory chain ends free", F::patched(file, fat(first), 0xFFFFFFFF, 4), {}},
         {"directory chain loops", F::patched(file, fat(first), first, 4), {}},
         {"mini-sector shift", F::patched(file, 32, 7), {}},
         {"mini-stream cutoff", F::patched(file, 56, 2048, 4), {}},
         {"no FAT sectors", F::patched(file, 44, 0, 4), {}},
         {"FAT larger than the source", F::patched(file, 44, 1000, 4), {}},
         {"as many DIFAT as FAT sectors", F::patched(file, 72, 1, 4), file.size()},
         {"more DIFAT than FAT sectors", F::patched(file, 72, 2, 4), {}},
         {"FAT sector not a sector", F::patched(file, 76, 0xFFFFFFFF, 4), {}},
         // A directory entry with an impossible name length is skipped, not fatal.
         {"stream name length 66", F::patched(file, word + 64, 66), {}},
         {"root name length 80", F::patched(file, root + 64, 80), file.size()},
         {"no known stream", F::patched(file, word, 'V'), {}}},
        doc);
    const auto book = F::patched(F::patched(F::patched(file, word, 'B', 2), word + 64, 10, 2),
                                 word + 2, 0x006B006F006FULL, 6); // "Book"
    EXPECT_EQ(F::carve(ole2, book, 0, doc).value().kind, FileKind::xls);
    // The root entry's file time, unless it is zero or before the accepted years (1990).
    const auto dated = [&](std::uint64_t unix) {
        const auto time = unix ? (unix + 11644473600ULL) * 10000000ULL : 0;
        return F::carve(ole2, F::patched(file, root + 108, time, 8)).value().modified;
    };
    EXPECT_EQ(dated(1620043200), dateFromUnixSeconds(1620043200.0));
    EXPECT_FALSE(dated(0));
    EXPECT_FALSE(dated(631152000));

    testing::FaultyBlockReader bad(file);
    bad.failSector(first + 1);
    EXPECT_FALSE(ole2.carve(bad, 0, FileKind::doc));
    testing::FaultyBlockReader gone(file);
    gone.vanishAt(root);
    EXPECT_THROW(ole2.carve(gone, 0, FileKind::doc), RecoverError);
}

} // namespace
} // namespace vellary
