#include "core/restore/OutputPath.hpp"

#include <gtest/gtest.h>
#include <unicode/brkiter.h>
#include <unicode/unistr.h>

#include <memory>

namespace vellary {
namespace {

std::string repeat(const std::string& piece, int times) {
    std::string out;
    for (int i = 0; i < times; ++i)
        out += piece;
    return out;
}

int clusters(const std::string& text) {
    const auto unicode = icu::UnicodeString::fromUTF8(text);
    UErrorCode status = U_ZERO_ERROR;
    std::unique_ptr<icu::BreakIterator> it(
        icu::BreakIterator::createCharacterInstance(icu::Locale::getRoot(), status));
    it->setText(unicode);
    int count = 0;
    it->first();
    while (it->next() != icu::BreakIterator::DONE)
        ++count;
    return count;
}

TEST(OutputPathSanitize, ReplacesControlCharactersSlashesAndColons) {
    EXPECT_EQ(OutputPath::sanitize("a:b/c\\d"), "a_b_c_d");
    EXPECT_EQ(OutputPath::sanitize(std::string("x\x01y\x1fz\x7f", 6)), "x_y_z\x7f");
    EXPECT_EQ(OutputPath::sanitize(std::string("nul\0byte", 8)), "nul_byte");
    // A newline is a control character, so it is replaced before trimming.
    EXPECT_EQ(OutputPath::sanitize("photo.jpg\n"), "photo.jpg_");
    EXPECT_EQ(OutputPath::sanitize("tab\there"), "tab_here");
}

TEST(OutputPathSanitize, TrimsWhiteSpaceAndTrailingDots) {
    EXPECT_EQ(OutputPath::sanitize("  IMG_0001.JPG  "), "IMG_0001.JPG");
    EXPECT_EQ(OutputPath::sanitize("\u00a0\u3000name\u2003"), "name");
    EXPECT_EQ(OutputPath::sanitize("name. . ."), "name");
    EXPECT_EQ(OutputPath::sanitize(".hidden"), ".hidden");
}

TEST(OutputPathSanitize, EmptyAndDotNamesBecomeFile) {
    for (const char* name : {"", ".", "..", "...", " . . ", "   ", "\u3000"})
        EXPECT_EQ(OutputPath::sanitize(name), "file") << '"' << name << '"';
}

TEST(OutputPathSanitize, InvalidUTF8BecomesReplacementCharacters) {
    EXPECT_EQ(OutputPath::sanitize("a\xff\xfe"
                                   "b"),
              "a\uFFFD\uFFFDb");
}

TEST(OutputPathSanitize, CutsAt180Characters) {
    const std::string name = repeat("a", 300);
    EXPECT_EQ(OutputPath::sanitize(name), repeat("a", 180));
    EXPECT_EQ(OutputPath::sanitize(repeat("a", 180)), repeat("a", 180));
    // Two-byte characters: 180 of them are 360 bytes, so the byte limit decides.
    EXPECT_EQ(OutputPath::sanitize(repeat("\u00e9", 300)), repeat("\u00e9", 127));
}

TEST(OutputPathSanitize, CountsCombiningSequencesAsOneCharacter) {
    // e + combining acute: one character, three bytes.
    const std::string cluster = "e\u0301";
    const std::string cut = OutputPath::sanitize(repeat(cluster, 300));
    EXPECT_EQ(cut, repeat(cluster, 85));
    EXPECT_LE(cut.size(), 255u);
    // Under the byte limit, 180 characters are kept.
    const std::string smallCut = OutputPath::sanitize(repeat("a\u0300", 200));
    EXPECT_EQ(clusters(smallCut), 85);
}

TEST(OutputPathSanitize, NeverSplitsAnEmojiSequence) {
    const std::string family = "\U0001F468\u200D\U0001F469\u200D\U0001F467"; // 18 bytes
    const std::string flag = "\U0001F1EF\U0001F1F5";                         // 8 bytes
    const std::string name = repeat(family + flag, 40) + ".jpg";
    const std::string cut = OutputPath::sanitize(name);
    EXPECT_LE(cut.size(), 255u);
    EXPECT_EQ(cut, repeat(family + flag, 9) + family);
    EXPECT_LE(clusters(cut), 180);
}

TEST(OutputPathSanitize, OneHugeClusterIsCutInsideItRatherThanLeftEmpty) {
    const std::string name = "a" + repeat("\u0301", 400);
    const std::string cut = OutputPath::sanitize(name);
    EXPECT_FALSE(cut.empty());
    EXPECT_LE(cut.size(), 255u);
    EXPECT_EQ(cut, "a" + repeat("\u0301", 127));
}

TEST(OutputPathRelative, NeverLeavesTheFolder) {
    EXPECT_EQ(OutputPath::relative("../../etc/passwd"), "etc/passwd");
    EXPECT_EQ(OutputPath::relative("/etc/passwd"), "etc/passwd");
    EXPECT_EQ(OutputPath::relative("DCIM\\..\\..\\100CANON\\IMG.JPG"), "DCIM/100CANON/IMG.JPG");
    EXPECT_EQ(OutputPath::relative("a/./b//c.jpg"), "a/b/c.jpg");
    EXPECT_EQ(OutputPath::relative(" .. /x"), "file/x");
    EXPECT_EQ(OutputPath::relative("..../x"), "file/x");
    EXPECT_EQ(OutputPath::relative("a/b:c/d"), "a/b_c/d");
    for (const char* empty : {"", "/", "//", "..", "../..", ".\\.", "\\"})
        EXPECT_EQ(OutputPath::relative(empty), "") << empty;
}

TEST(OutputPathRelative, SanitisesEveryPart) {
    const std::string longPart = repeat("x", 300);
    EXPECT_EQ(OutputPath::relative(longPart + "/" + longPart),
              repeat("x", 180) + "/" + repeat("x", 180));
    EXPECT_EQ(OutputPath::relative("dir\x01/file\x02.jpg"), "dir_/file_.jpg");
}

TEST(OutputPathNumbered, PutsTheNumberBeforeTheExtension) {
    EXPECT_EQ(OutputPath::numbered("Pictures/IMG_0001.JPG", 2), "Pictures/IMG_0001 2.JPG");
    EXPECT_EQ(OutputPath::numbered("notes", 3), "notes 3");
    EXPECT_EQ(OutputPath::numbered("", 2), "file 2");
    EXPECT_EQ(OutputPath::numbered("//", 4), "file 4");
    EXPECT_EQ(OutputPath::numbered("archive.tar.gz", 2), "archive.tar 2.gz");
    EXPECT_EQ(OutputPath::numbered(".hidden", 2), ".hidden 2");
    EXPECT_EQ(OutputPath::numbered("a/b/c.", 10000), "a/b/c. 10000");
}

TEST(OutputPathNumbered, StaysWithin255Bytes) {
    const std::string longName = OutputPath::sanitize(repeat("\u00e9", 124) + ".jpg");
    ASSERT_LE(longName.size(), 255u);
    const std::string numbered = OutputPath::numbered("DCIM/" + longName, 10000);
    const std::string last = numbered.substr(5);
    EXPECT_LE(last.size(), 255u);
    EXPECT_EQ(last, repeat("\u00e9", 122) + " 10000.jpg");
    // A cut never splits a two-byte character.
    EXPECT_EQ(icu::UnicodeString::fromUTF8(last).indexOf(static_cast<char16_t>(0xFFFD)), -1);

    // An extension that leaves no room for a name is kept as part of the name.
    const std::string hugeExtension = "a." + repeat("x", 253);
    const std::string alternative = OutputPath::numbered(hugeExtension, 2);
    EXPECT_LE(alternative.size(), 255u);
    EXPECT_TRUE(alternative.ends_with(" 2"));
}

TEST(OutputPathFolded, IgnoresCase) {
    EXPECT_EQ(OutputPath::folded("DCIM/IMG_0001.JPG"), OutputPath::folded("dcim/img_0001.jpg"));
    EXPECT_EQ(OutputPath::folded("\u00c9T\u00c9.jpg"), OutputPath::folded("\u00e9t\u00e9.JPG"));
    EXPECT_NE(OutputPath::folded("a.jpg"), OutputPath::folded("b.jpg"));
}

} // namespace
} // namespace vellary
