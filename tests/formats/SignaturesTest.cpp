#include "core/formats/Signatures.hpp"
#include "core/carve/Boundaries.hpp"
#include "core/carve/Registry.hpp"
#include "core/io/DataBlockReader.hpp"
#include "tests/support/CarveFixtures.hpp"
#include "tests/support/FaultyBlockReader.hpp"

#include <gtest/gtest.h>

namespace vellary {
namespace {

using testing::CarveFixtures;

class Anywhere : public FormatCarver {
public:
    std::optional<std::vector<std::uint8_t>> leadBytes() const override { return std::nullopt; }
    std::optional<FileKind> sniff(ByteSpan) const override { return std::nullopt; }
    std::optional<Carved> carve(const BlockReader&, std::uint64_t, FileKind) const override {
        return std::nullopt;
    }
};

class Leads : public Anywhere {
public:
    std::optional<std::vector<std::uint8_t>> leadBytes() const override {
        return std::vector<std::uint8_t>{0x49, 0x4D};
    }
};

TEST(Registry, JPEGFirstBMPLastAndIndexedByLeadByte) {
    const auto& all = Registry::all();
    ASSERT_GE(all.size(), 2u);
    EXPECT_EQ(all.front()->sniff(Bytes{0xFF, 0xD8, 0xFF, 0xE0}), FileKind::jpeg);
    EXPECT_EQ(all.back()->sniff(CarveFixtures::bmp(2, 2)), FileKind::bmp);
    EXPECT_EQ(Registry::byLeadByte()[0xFF].front(), all.front());
    EXPECT_EQ(Registry::byLeadByte()[0x42].back(), all.back());
    EXPECT_TRUE(Registry::byLeadByte()[0x11].empty());

    const Leads leads;
    const Anywhere anywhere;
    const auto table = Registry::leadTable({&leads, &anywhere});
    EXPECT_EQ(table[0x49], (std::vector<const FormatCarver*>{&leads, &anywhere}));
    EXPECT_EQ(table[0x4D], (std::vector<const FormatCarver*>{&leads, &anywhere}));
    EXPECT_EQ(table[0x00], (std::vector<const FormatCarver*>{&anywhere}));
}

TEST(Signatures, KindNeedsTwelveBytes) {
    Bytes jpeg = {0xFF, 0xD8, 0xFF, 0xE0, 0, 16, 'J', 'F', 'I', 'F', 0};
    EXPECT_FALSE(Signatures::kind(jpeg));
    jpeg.push_back(1);
    EXPECT_EQ(Signatures::kind(jpeg), FileKind::jpeg);
    const auto sniffed = Registry::sniff(jpeg);
    ASSERT_TRUE(sniffed);
    EXPECT_EQ(sniffed->carver, Registry::all().front());
    EXPECT_EQ(Signatures::kind(CarveFixtures::bmp(3, 3)), FileKind::bmp);
    EXPECT_FALSE(Signatures::kind(Bytes(64, 0x11)));
}

TEST(Signatures, OneForEveryCarverUnderEachLeadByte) {
    for (int lead = 0; lead < 256; ++lead) {
        const auto& signatures = Signatures::all();
        const auto count = std::count_if(signatures.begin(), signatures.end(),
                                         [&](const Signature& s) { return s.lead == lead; });
        EXPECT_EQ(static_cast<std::size_t>(count), Registry::byLeadByte()[lead].size()) << lead;
    }
}

TEST(Signatures, CompatibleFamiliesAndDirections) {
    using K = FileKind;
    // Same kind, one family, only one in a family, and Matroska's one direction.
    for (const auto& [found, wanted, ok] : {std::tuple{K::other, K::other, true},
                                            {K::tiff, K::nef, true},
                                            {K::tiff, K::jpeg, false},
                                            {K::raf, K::tiff, false},
                                            {K::doc, K::docx, false},
                                            {K::mkv, K::webm, true},
                                            {K::webm, K::mkv, false}})
        EXPECT_EQ(Signatures::compatible(found, wanted), ok) << fileKind::rawValue(found);
}

TEST(Boundaries, BlankOrKnownSectorBeforeTheLimit) {
    auto image = CarveFixtures::noise(3 * 1024 * 1024, 5);
    image[5 * 512] = 0x22;
    CarveFixtures::place(image, 40 * 512, CarveFixtures::jpeg());
    std::fill(image.begin() + 2 * 1024 * 1024 + 512, image.begin() + 2 * 1024 * 1024 + 1024, 0);
    const DataBlockReader reader(image);
    EXPECT_EQ(Boundaries::nextFileOrBlank(reader, 1, UINT64_MAX), 40u * 512);
    EXPECT_EQ(Boundaries::nextFileOrBlank(reader, 40 * 512, UINT64_MAX), 40u * 512);
    EXPECT_EQ(Boundaries::nextFileOrBlank(reader, 40 * 512 + 1, UINT64_MAX),
              2u * 1024 * 1024 + 512);
    EXPECT_FALSE(Boundaries::nextFileOrBlank(reader, 41 * 512, 2 * 1024 * 1024 + 1023));
    EXPECT_EQ(Boundaries::nextFileOrBlank(reader, 41 * 512, 2 * 1024 * 1024 + 1024),
              2u * 1024 * 1024 + 512);
    EXPECT_FALSE(Boundaries::nextFileOrBlank(reader, 41 * 512, 40 * 512));
    EXPECT_FALSE(Boundaries::nextFileOrBlank(reader, UINT64_MAX - 3, UINT64_MAX));

    testing::FaultyBlockReader faulty(image);
    faulty.failSector(41);
    EXPECT_FALSE(Boundaries::nextFileOrBlank(faulty, 0, UINT64_MAX));
}

} // namespace
} // namespace vellary
