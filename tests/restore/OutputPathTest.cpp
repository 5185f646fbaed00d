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
    for (it->first(); it->next() != icu::BreakIterator::DONE;)
        ++count;
    return count;
}

using Cases = std::vector<std::pair<std::string, std::string>>;

TEST(OutputPath, SanitizeReplacesTrimsAndCuts) {
    const std::string family = "\U0001F468\u200D\U0001F469\u200D\U0001F467"; // 18 bytes
    const std::string flag = "\U0001F1EF\U0001F1F5";                         // 8 bytes
    const Cases cases = {
        {"a:b/c\\d", "a_b_c_d"},
        {std::string("x\x01y\x1fz\x7f", 6), "x_y_z\x7f"},
        {std::string("nul\0byte", 8), "nul_byte"},
        // A newline is a control character, so it is replaced before trimming.
        {"photo.jpg\n", "photo.jpg_"},
        {"  IMG_0001.JPG  ", "IMG_0001.JPG"},
        {"\u00a0\u3000name\u2003", "name"},
        {"name. . .", "name"},
        {".hidden", ".hidden"},
        {"", "file"},
        {".", "file"},
        {"..", "file"},
        {" . . ", "file"},
        {"\u3000", "file"},
        {"a\xff\xfe"
         "b",
         "a\uFFFD\uFFFDb"},
        {repeat("a", 300), repeat("a", 180)},
        {repeat("a", 180), repeat("a", 180)},
        // Two-byte characters: 180 of them are 360 bytes, so the byte limit decides.
        {repeat("\u00e9", 300), repeat("\u00e9", 127)},
        // e + combining acute is one character of three bytes.
        {repeat("e\u0301", 300), repeat("e\u0301", 85)},
        {repeat("a\u0300", 200), repeat("a\u0300", 85)},
        {repeat(family + flag, 40) + ".jpg", repeat(family + flag, 9) + family},
        // One huge cluster is cut inside rather than left empty.
        {"a" + repeat("\u0301", 400), "a" + repeat("\u0301", 127)},
    };
    for (const auto& [name, expected] : cases) {
        const std::string cut = OutputPath::sanitize(name);
        EXPECT_EQ(cut, expected) << '"' << name << '"';
        EXPECT_LE(cut.size(), 255u);
        EXPECT_LE(clusters(cut), 180);
    }
}

TEST(OutputPath, RelativeNeverLeavesTheFolderAndSanitisesEveryPart) {
    const Cases cases = {
        {"../../etc/passwd", "etc/passwd"},
        {"/etc/passwd", "etc/passwd"},
        {"DCIM\\..\\..\\100CANON\\IMG.JPG", "DCIM/100CANON/IMG.JPG"},
        {"a/./b//c.jpg", "a/b/c.jpg"},
        {" .. /x", "file/x"},
        {"..../x", "file/x"},
        {"a/b:c/d", "a/b_c/d"},
        {"dir\x01/file\x02.jpg", "dir_/file_.jpg"},
        {repeat("x", 300) + "/" + repeat("x", 300), repeat("x", 180) + "/" + repeat("x", 180)},
        {"", ""},
        {"//", ""},
        {"../..", ""},
        {".\\.", ""},
        {"\\", ""},
    };
    for (const auto& [path, expected] : cases)
        EXPECT_EQ(OutputPath::relative(path), expected) << path;
}

TEST(OutputPath, NumberedPutsTheNumberBeforeTheExtensionWithin255Bytes) {
    const Cases cases = {
        {"Pictures/IMG_0001.JPG", "Pictures/IMG_0001 2.JPG"},
        {"notes", "notes 2"},
        {"", "file 2"},
        {"//", "file 2"},
        {"archive.tar.gz", "archive.tar 2.gz"},
        {".hidden", ".hidden 2"},
        {"a/b/c.", "a/b/c. 2"},
    };
    for (const auto& [path, expected] : cases)
        EXPECT_EQ(OutputPath::numbered(path, 2), expected) << path;

    const std::string longName = OutputPath::sanitize(repeat("\u00e9", 124) + ".jpg");
    const std::string last = OutputPath::numbered("DCIM/" + longName, 10000).substr(5);
    // The cut never splits a two-byte character.
    EXPECT_EQ(last, repeat("\u00e9", 122) + " 10000.jpg");
    // An extension that leaves no room for a name is kept as part of the name; at 255 bytes
    // with the number, there is none.
    const std::string alternative = OutputPath::numbered("a." + repeat("x", 252), 2);
    EXPECT_TRUE(alternative.starts_with("a.xx") && alternative.ends_with("x 2")) << alternative;
}

TEST(OutputPath, FoldedIgnoresCase) {
    EXPECT_EQ(OutputPath::folded("DCIM/IMG_0001.JPG"), OutputPath::folded("dcim/img_0001.jpg"));
    EXPECT_EQ(OutputPath::folded("\u00c9T\u00c9.jpg"), OutputPath::folded("\u00e9t\u00e9.JPG"));
    EXPECT_NE(OutputPath::folded("a.jpg"), OutputPath::folded("b.jpg"));
}

} // namespace
} // namespace vellary
