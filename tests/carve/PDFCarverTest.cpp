#include "core/carve/PDFCarver.hpp"

#include "tests/support/CarveFixtures.hpp"
#include "tests/support/DocumentFixtures.hpp"

#include <gtest/gtest.h>

#include <chrono>
#include <cstdlib>
#include <string>

namespace vellary {
namespace {

using testing::CarveFixtures;
using testing::DocumentFixtures;

const PDFCarver pdf;

std::optional<Carved> carveAt(const Bytes& source, std::uint64_t start = 0) {
    return DocumentFixtures::carve(pdf, source, start, FileKind::pdf);
}

// A small hand-written PDF: header, the body, a cross-reference section and its trailer.
std::string smallPDF(const std::string& body, const std::string& afterEOF = "\n") {
    std::string text =
        "%PDF-1.4\n%\xE2\xE3\xCF\xD3\n1 0 obj\n<< /Type /Catalog >>\nendobj\n" + body;
    const auto xref = text.size();
    text += "xref\n0 2\n0000000000 65535 f \n0000000015 00000 n \ntrailer\n<< /Size 2 /Root 1 0 R "
            ">>\nstartxref\n" +
            std::to_string(xref) + "\n%%EOF" + afterEOF;
    return text;
}

// An incremental update appended to a whole PDF: one object, its section and a new trailer.
std::string withUpdate(const std::string& pdfText, int object) {
    const auto previous = pdfText.rfind("startxref");
    const auto previousXref = std::stoul(pdfText.substr(previous + 10));
    std::string text = pdfText;
    const auto objectAt = text.size();
    text += std::to_string(object) + " 0 obj\n<< /Producer (an update) >>\nendobj\n";
    const auto xref = text.size();
    char entry[32];
    std::snprintf(entry, sizeof entry, "%010zu 00000 n \n", objectAt);
    text += "xref\n" + std::to_string(object) + " 1\n" + entry + "trailer\n<< /Size " +
            std::to_string(object + 1) + " /Prev " + std::to_string(previousXref) +
            " >>\nstartxref\n" + std::to_string(xref) + "\n%%EOF\n";
    return text;
}

std::int64_t utcSeconds(Date date) {
    return static_cast<std::int64_t>(unixSeconds(date));
}

TEST(PDFCarverTest, Sniff) {
    const auto ok = DocumentFixtures::fromString("%PDF-1.7\n");
    EXPECT_EQ(pdf.sniff(ok), FileKind::pdf);
    EXPECT_EQ(pdf.sniff(DocumentFixtures::fromString("%PDF-2.0\n")), FileKind::pdf);
    EXPECT_FALSE(pdf.sniff(DocumentFixtures::fromString("%PDF-3.0\n")));
    EXPECT_FALSE(pdf.sniff(DocumentFixtures::fromString("%PDF-1.x\n")));
    EXPECT_FALSE(pdf.sniff(DocumentFixtures::fromString("%PDF-1.7")));
}

TEST(PDFCarverTest, GhostscriptAndQpdfOutput) {
    if (!testing::haveTool("gs")) GTEST_SKIP() << "ghostscript is not installed";
    testing::TempDir dir;
    const auto plain = DocumentFixtures::produce(
        dir, "plain.pdf",
        "gs -q -sDEVICE=pdfwrite -o plain.pdf -c '/Helvetica findfont 20 scalefont setfont 72 "
        "720 moveto (Harbour) show showpage 72 720 moveto (Second page) show showpage'");
    ASSERT_TRUE(plain);
    std::vector<std::pair<std::string, Bytes>> files = {{"plain", *plain}};
    if (testing::haveTool("qpdf")) {
        const auto linearized =
            DocumentFixtures::produce(dir, "linear.pdf", "qpdf --linearize plain.pdf linear.pdf");
        ASSERT_TRUE(linearized);
        files.emplace_back("linearized", *linearized);
    }
    const std::string plainText(plain->begin(), plain->end());
    files.emplace_back("one update", DocumentFixtures::fromString(withUpdate(plainText, 40)));
    files.emplace_back("two updates",
                       DocumentFixtures::fromString(withUpdate(withUpdate(plainText, 40), 41)));

    const auto now = std::chrono::system_clock::now();
    for (const auto& [what, file] : files) {
        const auto tail = CarveFixtures::noise(5000, 1);
        const auto carved = carveAt(DocumentFixtures::concat({&file, &tail}));
        ASSERT_TRUE(carved) << what;
        EXPECT_EQ(carved->kind, FileKind::pdf);
        EXPECT_EQ(carved->size, file.size()) << what;
        EXPECT_TRUE(carved->complete);
        // Ghostscript stamps the time of writing.
        ASSERT_TRUE(carved->modified) << what;
        const auto age = std::chrono::duration<double>(now - carved->modified->time_since_epoch() -
                                                       std::chrono::system_clock::time_point{});
        EXPECT_LT(std::abs(age.count()), 3600.0) << what;
        EXPECT_GT(DocumentFixtures::expectSafeOnDamage(pdf, file, FileKind::pdf), 0) << what;
    }

    // Cut before its last "%%EOF": not carved.
    const Bytes cut(plain->begin(), plain->end() - 4);
    EXPECT_FALSE(carveAt(cut));

    // A PDF followed by another on a sector boundary: each measured on its own.
    Bytes two = *plain;
    two.resize((two.size() + 511) / 512 * 512, 0);
    const auto second = two.size();
    two.insert(two.end(), plain->begin(), plain->end());
    EXPECT_EQ(carveAt(two).value().size, plain->size());
    EXPECT_EQ(carveAt(two, second).value().size, plain->size());
}

TEST(PDFCarverTest, TrailerChecks) {
    // "%%EOF" followed by CR LF: both counted.
    const auto crlf = smallPDF("", "\r\nrest");
    EXPECT_EQ(carveAt(DocumentFixtures::fromString(crlf)).value().size, crlf.size() - 4);

    // A startxref pointing past the distance from the start is not a trailer.
    auto wrong = smallPDF("");
    const auto number = wrong.rfind("startxref\n") + 10;
    wrong.replace(number, wrong.find('\n', number) - number, "999999");
    const auto real = smallPDF("", "\n");
    const auto both = DocumentFixtures::fromString(wrong + real.substr(9));
    const auto carved = carveAt(both);
    ASSERT_TRUE(carved);
    EXPECT_EQ(carved->size, both.size());
    EXPECT_FALSE(carveAt(DocumentFixtures::fromString(wrong)));

    // Words other than numbers after startxref, or no number at all.
    for (const std::string value : {"12a", "", "1234567890123"}) {
        auto odd = smallPDF("");
        const auto at = odd.rfind("startxref\n") + 10;
        odd.replace(at, odd.find('\n', at) - at, value);
        EXPECT_FALSE(carveAt(DocumentFixtures::fromString(odd))) << value;
    }

    // An object header after the trailer is an update: the carver looks for a further %%EOF.
    const auto object = smallPDF("", "\n1 0 obj\n<< >>\nendobj\n");
    EXPECT_FALSE(carveAt(DocumentFixtures::fromString(object)));
    const auto updated = withUpdate(smallPDF(""), 2);
    EXPECT_EQ(carveAt(DocumentFixtures::fromString(updated)).value().size, updated.size());
    // Bytes that only begin like an object header are not an update.
    const auto prose = smallPDF("", "\n1 0 R and more");
    const auto ended = carveAt(DocumentFixtures::fromString(prose));
    ASSERT_TRUE(ended);
    EXPECT_EQ(ended->size, prose.size() - 14);
}

TEST(PDFCarverTest, HeadersInside) {
    // An embedded PDF at an unaligned offset is skipped.
    const auto embedded = smallPDF("2 0 obj\n(%PDF-1.4 inside)\nendobj\n");
    EXPECT_EQ(carveAt(DocumentFixtures::fromString(embedded)).value().size, embedded.size());

    // A header on a sector boundary before any trailer: another file starts there.
    std::string body = "2 0 obj\n(";
    const auto pad =
        512 - (std::string("%PDF-1.4\n%\xE2\xE3\xCF\xD3\n1 0 obj\n<< /Type /Catalog >>\nendobj\n")
                   .size() +
               body.size());
    body += std::string(pad, 'x') + "%PDF-1.4)\nendobj\n";
    const auto aligned = DocumentFixtures::fromString(smallPDF(body));
    ASSERT_EQ(std::string(aligned.begin() + 512, aligned.begin() + 517), "%PDF-");
    EXPECT_FALSE(carveAt(aligned));
}

TEST(PDFCarverTest, DatesFromTheDocumentInformation) {
    const auto dated = [](const std::string& info) {
        return carveAt(
                   DocumentFixtures::fromString(smallPDF("3 0 obj\n<< " + info + " >>\nendobj\n")))
            .value()
            .modified;
    };
    const auto offset = dated("/ModDate (D:20230102030405+01'00')");
    ASSERT_TRUE(offset);
    EXPECT_EQ(utcSeconds(*offset), 1672625045); // 2023-01-02 02:04:05 UTC

    const auto west = dated("/ModDate (D:20230102030405-05'30')");
    ASSERT_TRUE(west);
    EXPECT_EQ(utcSeconds(*west), 1672648445); // 08:34:05 UTC

    const auto zulu = dated("/CreationDate (D:20230102030405Z)");
    ASSERT_TRUE(zulu);
    EXPECT_EQ(utcSeconds(*zulu), 1672628645);

    // The creation date only when no modification date parses.
    const auto fallback = dated("/ModDate (D:19700101) /CreationDate (D:20230102030405Z)");
    ASSERT_TRUE(fallback);
    EXPECT_EQ(utcSeconds(*fallback), 1672628645);
    const auto first = dated("/CreationDate (D:20200101000000Z) /ModDate (D:20230102030405Z)");
    EXPECT_EQ(utcSeconds(*first), 1672628645);

    // Local time without a zone; a second of 60 counts as 58; month and day default to 1.
    const auto local = dated("/ModDate (D:2023010203)");
    ASSERT_TRUE(local);
    EXPECT_EQ(local, Binary::localDate(2023, 1, 2, 3, 0, 0));
    EXPECT_EQ(dated("/ModDate (D:20230102030460)"), Binary::localDate(2023, 1, 2, 3, 4, 58));

    EXPECT_FALSE(dated("/ModDate (D:2023010)"));
    EXPECT_FALSE(dated("/ModDate (D:20231302030405)"));
    EXPECT_FALSE(dated("/ModDate (D:21010102030405)"));
    EXPECT_FALSE(dated("/ModDate D:20230102030405"));

    // In a long file the date may sit in its last 64 KiB.
    std::string filler = "4 0 obj\n(" + std::string(200000, 'f') + ")\nendobj\n";
    const auto tailDated = carveAt(DocumentFixtures::fromString(
        smallPDF(filler + "3 0 obj\n<< /ModDate (D:20230102030405Z) >>\nendobj\n")));
    ASSERT_TRUE(tailDated && tailDated->modified);
    EXPECT_EQ(utcSeconds(*tailDated->modified), 1672628645);
}

TEST(PDFCarverTest, RangeAndStart) {
    // A candidate that is not at the source start.
    const auto file = smallPDF("");
    const auto source = DocumentFixtures::fromString(std::string(1024, '\0') + file);
    EXPECT_EQ(carveAt(source, 1024).value().size, file.size());
    // Without any trailer the search runs to the source end and gives up.
    const auto open = DocumentFixtures::fromString("%PDF-1.4\n" + std::string(100000, 'a'));
    EXPECT_FALSE(carveAt(open));
}

} // namespace
} // namespace vellary
