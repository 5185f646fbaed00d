#include "core/carve/BMPCarver.hpp"
#include "core/io/DataBlockReader.hpp"
#include "tests/support/ByteWriters.hpp"
#include "tests/support/CarveFixtures.hpp"
#include "tests/support/FaultyBlockReader.hpp"

#include <gtest/gtest.h>

namespace vellary {
namespace {

using testing::CarveFixtures;
using testing::putLE;

std::optional<Carved> carve(const Bytes& data, std::uint64_t start = 0) {
    return BMPCarver().carve(DataBlockReader(data), start, FileKind::bmp);
}

std::optional<std::uint64_t> measured(const Bytes& data, std::uint64_t start = 0) {
    const auto carved = carve(data, start);
    if (!carved) return std::nullopt;
    return carved->size;
}

TEST(BMPSniff, HeaderChecks) {
    const BMPCarver carver;
    const auto good = CarveFixtures::bmp(4, 3);
    EXPECT_EQ(carver.sniff(ByteSpan(good).first(30)), FileKind::bmp);
    EXPECT_FALSE(carver.sniff(ByteSpan(good).first(29)));
    const auto broken = [&](std::size_t at, std::uint32_t value, bool wide = true) {
        auto b = good;
        wide ? putLE(b, at, value, 4) : putLE(b, at, static_cast<std::uint16_t>(value), 2);
        return carver.sniff(ByteSpan(b).first(32));
    };
    EXPECT_FALSE(broken(6, 1));   // reserved
    EXPECT_FALSE(broken(14, 44)); // header size
    EXPECT_FALSE(broken(10, 53)); // pixels inside the headers
    EXPECT_FALSE(broken(2, 512u * 1024 * 1024 + 1));
    EXPECT_FALSE(broken(10, static_cast<std::uint32_t>(good.size())));
    EXPECT_FALSE(broken(18, 0));        // width
    EXPECT_FALSE(broken(22, 0));        // height
    EXPECT_FALSE(broken(26, 2, false)); // planes
    EXPECT_FALSE(broken(28, 2, false)); // bits per pixel
    EXPECT_TRUE(broken(28, 32, false));

    Bytes core = {'B', 'M'};
    core.resize(30, 0);
    putLE(core, 2, 26 + 12, 4);
    putLE(core, 10, 26, 4);
    putLE(core, 14, 12, 4);
    putLE(core, 18, 2, 2);
    putLE(core, 20, 2, 2);
    putLE(core, 22, 1, 2);
    putLE(core, 24, 24, 2);
    EXPECT_EQ(carver.sniff(core), FileKind::bmp);
    core.resize(60, 0); // a 42-byte file among more bytes
    putLE(core, 2, 26 + 16, 4);
    EXPECT_EQ(measured(core), 42u);
    putLE(core, 24, 16, 2); // not a core-header depth
    EXPECT_FALSE(carver.sniff(core));
}

TEST(BMPCarve, DeclaredSizeWithinSlack) {
    for (const std::uint32_t slack : {0u, 1024u, 1025u}) {
        const auto bmp = CarveFixtures::bmp(5, 7, slack);
        const auto carved = carve(bmp);
        EXPECT_EQ(carved.has_value(), slack <= 1024) << slack;
        if (carved) {
            EXPECT_EQ(carved->size, bmp.size());
            EXPECT_EQ(carved->kind, FileKind::bmp);
            EXPECT_TRUE(carved->complete);
            EXPECT_FALSE(carved->modified);
        }
    }
    auto shortDeclared = CarveFixtures::bmp(5, 7);
    putLE(shortDeclared, 2, static_cast<std::uint32_t>(shortDeclared.size() - 1), 4);
    EXPECT_FALSE(carve(shortDeclared));
}

TEST(BMPCarve, TopDownAndExtremeHeights) {
    const auto topDown = CarveFixtures::bmp(6, -5);
    EXPECT_EQ(measured(topDown), topDown.size());
    // The most negative height has no 32-bit absolute value.
    auto extreme = CarveFixtures::bmp(6, -5);
    putLE(extreme, 22, 0x80000000u, 4);
    EXPECT_FALSE(carve(extreme));
    auto tall = CarveFixtures::bmp(1, 1);
    putLE(tall, 22, 65537, 4);
    EXPECT_FALSE(carve(tall));
    auto wide = CarveFixtures::bmp(1, 1);
    putLE(wide, 18, 0xFFFFFFFFu, 4); // width -1
    EXPECT_FALSE(carve(wide));
}

TEST(BMPCarve, CompressionAndPalette) {
    auto rle = CarveFixtures::bmp(8, 8);
    putLE(rle, 28, 8, 2);
    putLE(rle, 30, 1, 4);
    putLE(rle, 34, 100, 4);
    putLE(rle, 2, 54 + 100, 4);
    EXPECT_EQ(measured(rle), 154u);
    putLE(rle, 34, 0, 4);
    EXPECT_FALSE(carve(rle));

    auto rle4 = rle;
    putLE(rle4, 28, 4, 2);
    putLE(rle4, 30, 2, 4);
    putLE(rle4, 34, 100, 4);
    EXPECT_EQ(measured(rle4), 154u);
    putLE(rle4, 28, 8, 2);
    EXPECT_FALSE(carve(rle4));

    auto bitfields = CarveFixtures::bmp(8, 8);
    putLE(bitfields, 30, 3, 4);
    EXPECT_FALSE(carve(bitfields)); // 24 bits
    putLE(bitfields, 28, 32, 2);
    putLE(bitfields, 2, 54 + 8 * 4 * 8, 4);
    bitfields.resize(54 + 8 * 4 * 8);
    EXPECT_EQ(measured(bitfields), 54u + 256);
    putLE(bitfields, 30, 4, 4); // JPEG inside: not measured
    EXPECT_FALSE(carve(bitfields));

    auto palette = CarveFixtures::bmp(8, 8);
    putLE(palette, 28, 4, 2);
    putLE(palette, 2, 54 + 4 * 8, 4);
    putLE(palette, 46, 16, 4);
    EXPECT_EQ(measured(palette), 54u + 32);
    putLE(palette, 46, 17, 4);
    EXPECT_FALSE(carve(palette));
}

TEST(BMPCarve, EmbeddedProfileExtendsTheFile) {
    Bytes v5 = {'B', 'M'};
    v5.resize(14 + 124 + 16 + 200, 0);
    putLE(v5, 2, static_cast<std::uint32_t>(v5.size()), 4);
    putLE(v5, 10, 14 + 124, 4);
    putLE(v5, 14, 124, 4);
    putLE(v5, 18, 2, 4);
    putLE(v5, 22, 2, 4);
    putLE(v5, 26, 1, 2);
    putLE(v5, 28, 32, 2);
    putLE(v5, 70, 0x4D424544, 4);
    putLE(v5, 126, 124 + 16, 4);
    putLE(v5, 130, 200, 4);
    EXPECT_EQ(measured(v5), v5.size());
    putLE(v5, 130, 201, 4); // the profile runs past the declared size
    EXPECT_FALSE(carve(v5));
}

TEST(BMPCarve, SourceBoundsAndReadErrors) {
    const auto bmp = CarveFixtures::bmp(10, 10);
    Bytes image(1000, 0);
    CarveFixtures::place(image, 1000, bmp);
    EXPECT_EQ(measured(image, 1000), bmp.size());
    image.pop_back(); // the last byte is missing
    EXPECT_FALSE(carve(image, 1000));
    EXPECT_FALSE(carve(Bytes(bmp.begin(), bmp.begin() + 53)));
    EXPECT_FALSE(carve(bmp, bmp.size() + 10));

    testing::FaultyBlockReader faulty(bmp);
    faulty.failSector(0);
    EXPECT_FALSE(BMPCarver().carve(faulty, 0, FileKind::bmp));
}

} // namespace
} // namespace vellary
