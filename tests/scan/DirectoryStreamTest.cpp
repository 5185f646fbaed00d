// The piecewise directory reader that keeps deep folder walks small.
#include "core/scan/DirectoryStream.hpp"
#include "core/io/DataBlockReader.hpp"
#include "core/records/RecoverError.hpp"
#include "tests/support/FaultyBlockReader.hpp"

#include <gtest/gtest.h>

namespace vellary {
namespace {

Bytes numbered(std::size_t size) {
    Bytes b(size);
    for (std::size_t i = 0; i < size; ++i)
        b[i] = static_cast<std::uint8_t>(i * 7 + i / 251);
    return b;
}

TEST(DirectoryStreamTest, ViewsRunAcrossExtentsAndPieces) {
    const std::uint64_t piece = DirectoryStream::kPiece;
    const Bytes source = numbered(4 * piece);
    const DataBlockReader reader(source);
    // Three extents out of order; the middle one spans two pieces.
    DirectoryStream stream(reader, {{3 * piece, 1000}, {100, piece + 500}, {2 * piece, 64}});
    EXPECT_EQ(stream.length(), 1000 + piece + 500 + 64);
    std::vector<std::uint8_t> seen;
    for (std::uint64_t pos = 0;; pos += 32) {
        const auto view = stream.view(pos, 96); // look ahead past every boundary
        if (view.empty()) break;
        seen.insert(seen.end(), view.begin(),
                    view.begin() + std::min<std::size_t>(32, view.size()));
    }
    Bytes expected(source.begin() + 3 * piece, source.begin() + 3 * piece + 1000);
    expected.insert(expected.end(), source.begin() + 100, source.begin() + 100 + piece + 500);
    expected.insert(expected.end(), source.begin() + 2 * piece, source.begin() + 2 * piece + 64);
    EXPECT_EQ(Bytes(seen.begin(), seen.end()), expected);
    EXPECT_EQ(stream.sourceOffset(0), 3 * piece);
    EXPECT_EQ(stream.sourceOffset(1000), 100u);
    EXPECT_EQ(stream.sourceOffset(1000 + piece + 500 + 10), 2 * piece + 10);
    EXPECT_EQ(stream.sourceOffset(stream.length()), 0u);
}

TEST(DirectoryStreamTest, LimitShortSourceAndFailures) {
    const Bytes source = numbered(10000);
    const DataBlockReader reader(source);
    DirectoryStream limited(reader, {{0, 4096}, {8192, 4096}}, 5000);
    EXPECT_EQ(limited.view(4990, 32).size(), 10u);
    EXPECT_TRUE(limited.view(5000, 32).empty());
    // The second extent runs past the source's end: the data ends there.
    DirectoryStream shortened(reader, {{0, 512}, {9728, 1024}});
    EXPECT_EQ(shortened.view(512, 1024).size(), 272u);
    EXPECT_TRUE(shortened.view(512 + 288, 32).empty());
    // A failed read is the caller's failure, not silent zeros.
    testing::FaultyBlockReader faulty(source);
    faulty.failSector(1);
    DirectoryStream failing(faulty, {{0, 1024}});
    EXPECT_THROW(failing.view(0, 32), RecoverError);
}

} // namespace
} // namespace vellary
