#include "core/scan/RecycleBin.hpp"

#include "core/io/BlockReader.hpp"
#include "tests/support/ByteWriters.hpp"

#include <gtest/gtest.h>

using namespace vellary;
using vellary::testing::appendLE;
using vellary::testing::putLE;

namespace {

Bytes indexFile(std::uint64_t version, const std::u16string& path, bool terminate = true,
                std::optional<std::uint32_t> length = std::nullopt) {
    Bytes b(version == 2 ? 28 : 24, 0);
    b[0] = static_cast<std::uint8_t>(version);
    if (version == 2) {
        const std::uint32_t n = length.value_or(static_cast<std::uint32_t>(path.size() + 1));
        putLE(b, 24, n, 4);
    }
    for (const char16_t c : path)
        appendLE(b, c, 2);
    if (terminate) b.insert(b.end(), {0, 0});
    return b;
}

} // namespace

TEST(RecycleBin, FormerPathsOfBothVersions) {
    EXPECT_EQ(RecycleBin::originalPath(indexFile(2, u"C:\\Users\\Ann\\Pictures\\beach.jpg")),
              "Users/Ann/Pictures/beach.jpg");
    Bytes v1 = indexFile(1, u"D:\\Docs\\a.txt");
    v1.resize(24 + 520, 0);
    EXPECT_EQ(RecycleBin::originalPath(v1), "Docs/a.txt");
    EXPECT_EQ(RecycleBin::originalPath(indexFile(2, u"\\\\?\\C:\\Long\\.\\..\\x.doc")),
              "Long/x.doc");
    EXPECT_EQ(RecycleBin::originalPath(indexFile(2, u"relative/dir//f.pdf")), "relative/dir/f.pdf");
    EXPECT_EQ(RecycleBin::originalPath(indexFile(2, u"C:\\Fotos\\\u00e9t\u00e9.jpg")),
              "Fotos/\xC3\xA9t\xC3\xA9.jpg");
}

TEST(RecycleBin, BoundsAndTerminators) {
    // Version 2's length bounds the path; the data's end bounds it too.
    EXPECT_EQ(RecycleBin::originalPath(indexFile(2, u"C:\\abc\\def", true, 6)), "abc");
    EXPECT_EQ(RecycleBin::originalPath(indexFile(2, u"C:\\abc\\def", false)), "abc/def");
    Bytes odd = indexFile(2, u"C:\\abc", false);
    odd.push_back('x');
    EXPECT_EQ(RecycleBin::originalPath(odd), "abc");
    // Version 1 reads at most 260 units.
    std::u16string longName(300, u'a');
    EXPECT_EQ(RecycleBin::originalPath(indexFile(1, longName))->size(), 260u);
}

TEST(RecycleBin, RejectsWhatIsNotAnIndexFile) {
    EXPECT_FALSE(RecycleBin::originalPath(Bytes(7, 0)));
    EXPECT_FALSE(RecycleBin::originalPath(indexFile(3, u"C:\\a.jpg")));
    EXPECT_FALSE(RecycleBin::originalPath(indexFile(2, u"")));
    EXPECT_FALSE(RecycleBin::originalPath(indexFile(2, u"C:\\")));
    EXPECT_FALSE(RecycleBin::originalPath(indexFile(2, u"\\\\?\\.\\..\\")));
    EXPECT_FALSE(RecycleBin::originalPath(Bytes{2, 0, 0, 0, 0, 0, 0, 0, 0, 0})); // no length
    EXPECT_FALSE(RecycleBin::originalPath(indexFile(2, u"C:\\a.jpg", true, 0)));
}

TEST(RecycleBin, RandomBytesNeverReadOutside) {
    std::uint32_t x = 99;
    for (int round = 0; round < 5000; ++round) {
        Bytes data(static_cast<std::size_t>(round % 80));
        for (auto& b : data) {
            x ^= x << 13;
            x ^= x >> 17;
            x ^= x << 5;
            b = static_cast<std::uint8_t>(x % 4 == 0 ? 0 : x);
        }
        if (data.size() >= 8) data[0] = static_cast<std::uint8_t>(1 + round % 2);
        for (std::size_t i = 1; i < std::min<std::size_t>(8, data.size()); ++i)
            data[i] = 0;
        if (const auto path = RecycleBin::originalPath(data)) {
            EXPECT_FALSE(path->empty());
        }
    }
}
