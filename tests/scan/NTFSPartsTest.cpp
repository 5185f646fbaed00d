// Malformed and limit cases of the NTFS parsers that real volumes never show, one table each:
// boot sectors, run lists, and the $MFT record of a volume made by mkfs.ntfs with one field
// broken.
#include "core/io/FileBlockReader.hpp"
#include "core/scan/MFTRecord.hpp"
#include "core/scan/NTFSGeometry.hpp"
#include "core/scan/NTFSRunList.hpp"
#include "tests/support/ByteWriters.hpp"
#include "tests/support/NtfsImage.hpp"
#include "tests/support/Tools.hpp"

#include <functional>

#include <gtest/gtest.h>

using namespace vellary;
using namespace vellary::testing;

namespace {

Bytes bootSector(std::uint16_t bytesPerSector, std::uint8_t sectorsPerCluster,
                 std::uint64_t totalSectors, std::uint64_t mft, std::uint8_t perRecord = 0xF6) {
    Bytes b(512, 0);
    std::copy_n("NTFS    ", 8, b.begin() + 3);
    putLE(b, 11, bytesPerSector, 2);
    b[13] = sectorsPerCluster;
    putLE(b, 40, totalSectors, 8);
    putLE(b, 48, mft, 8);
    putLE(b, 56, 2, 8);
    b[64] = perRecord;
    putLE(b, 510, 0xAA55, 2);
    return b;
}

TEST(NTFSGeometry, BootSectorLimits) {
    struct Case {
        Bytes boot;
        std::uint64_t clusterSize; // 0: refused
        int recordSize;
    };
    const std::uint64_t big = std::uint64_t{1} << 30;
    Bytes noMarker = bootSector(512, 8, 80, 4);
    noMarker[511] = 0;
    const std::vector<Case> cases = {
        {bootSector(512, 8, 204800, 4), 4096, 1024},
        {bootSector(512, 0xF4, big, 4), 2097152, 1024}, // 2 MiB clusters: the limit
        {bootSector(1024, 0xF4, big, 4), 0, 0},
        {bootSector(512, 3, big, 4), 0, 0},
        {bootSector(256, 8, big, 4), 0, 0},
        {bootSector(512, 1, big, 4, 0xF0), 512, 65536},
        {bootSector(512, 8, big, 4, 0xF7), 4096, 512}, // the smallest records
        {bootSector(512, 8, big, 4, 0xF8), 0, 0},      // 256-byte records
        {bootSector(512, 1, big, 4, 3), 0, 0},         // 1536
        {bootSector(512, 8, 0, 4), 0, 0},
        {bootSector(512, 8, std::uint64_t{1} << 48, 4), 0, 0},
        {bootSector(512, 8, 80, 0), 0, 0},
        {bootSector(512, 8, 80, 10), 0, 0}, // the MFT just past the 10 clusters
        {bootSector(512, 8, 88, 10), 4096, 1024},
        {noMarker, 0, 0},
    };
    for (std::size_t i = 0; i < cases.size(); ++i) {
        const auto g = NTFSGeometry::parse(cases[i].boot, 0);
        EXPECT_EQ(g ? g->clusterSize : 0, cases[i].clusterSize) << i;
        EXPECT_EQ(g ? g->recordSize : 0, cases[i].recordSize) << i;
    }
}

TEST(NTFSRunList, MalformedListsAreRefused) {
    using Runs = std::vector<NTFSRun>;
    const std::vector<std::pair<Bytes, std::optional<Runs>>> cases = {
        // A negative second offset moves back; 0x01 is sparse.
        {{0x21, 0x18, 0x34, 0x56, 0x11, 0x05, 0xF0, 0x01, 0x03, 0x00},
         Runs{{0x5634, 0x18}, {0x5634 - 0x10, 5}, {std::nullopt, 3}}},
        {{0x11, 0x02, 0x03}, Runs{{3, 2}}}, // ends at the limit without a terminator
        {{0x11, 0x02, 0x03, 0x11, 0x01, 0xFF}, Runs{{3, 2}, {2, 1}}},
        {{0x10, 0x05}, std::nullopt},                      // length width 0
        {{0x09, 1, 0, 0, 0, 0, 0, 0, 0, 0}, std::nullopt}, // length width 9
        {{0x91, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1}, std::nullopt},
        {{0x11, 0x00, 0x05}, std::nullopt}, // zero length
        {{0x11, 0x05, 0xFB}, std::nullopt}, // negative LCN
        {{0x81, 1, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0x7F,
          0x81, 1, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0x7F},
         std::nullopt}, // LCN overflows 64 bits
    };
    for (const auto& [bytes, want] : cases)
        EXPECT_EQ(NTFSRunList::decode(bytes, 0, static_cast<std::int64_t>(bytes.size())), want)
            << bytes.size();
    const Bytes ok = {0x11, 0x01, 0x01, 0x00};
    EXPECT_FALSE(NTFSRunList::decode(ok, -1, 2));
    EXPECT_FALSE(NTFSRunList::decode(ok, 2, 1));
    EXPECT_FALSE(NTFSRunList::decode(ok, 0, 99));
    EXPECT_FALSE(NTFSRunList::decode(Bytes{0x21, 0x05, 0x10, 0x00}, 0, 3)); // entry past the limit
}

// Offset of the first attribute of this type in a record.
std::size_t attribute(const Bytes& r, std::uint32_t type) {
    std::size_t at = r[20] | r[21] << 8;
    while (r[at] != type)
        at += r[at + 4] | r[at + 5] << 8;
    return at;
}

// name / data streams / date, or "refused".
std::string outcome(const Bytes& record) {
    const auto parsed = MFTRecord::parse(record);
    if (!parsed) return "refused";
    const auto& r = parsed->record;
    return (r.fileName ? r.fileName->name : "-") + "/" + std::to_string(r.dataStreams.size()) +
           "/" + (r.modified ? "t" : "-");
}

TEST(MFTRecord, DamagedFieldsOfARealRecord) {
    TempDir dir;
    if (!NtfsImage::format(dir / "ntfs.img", 8 << 20)) GTEST_SKIP() << "mkfs.ntfs is missing";
    const FileBlockReader reader(dir / "ntfs.img");
    const auto g = *NTFSGeometry::parse(reader.read(0, 512), 0);
    const Bytes record =
        reader.read(static_cast<std::int64_t>(g.mftCluster * g.clusterSize), g.recordSize);
    const std::size_t name = attribute(record, 0x30), data = attribute(record, 0x80);
    const std::size_t nameValue = name + record[name + 20], runs = data + record[data + 32];
    const std::size_t nameLength = record[name + 4], inUse = record[24] | record[25] << 8;
    using Damage = std::function<void(Bytes&)>;
    const std::vector<std::pair<Damage, std::string>> cases = {
        {[](Bytes&) {}, "$MFT/1/t"},
        {[](Bytes& r) { r[1022] ^= 0xFF; }, "refused"}, // the last stride's check bytes
        {[](Bytes& r) { r[4] = 49; }, "refused"},       // odd update sequence offset
        {[](Bytes& r) { r[4] = 38; }, "refused"},
        {[](Bytes& r) { r[6] = 1; }, "refused"}, // one entry protects nothing
        {[](Bytes& r) { r[6] = 240; }, "refused"},
        {[](Bytes& r) { r[0] = 'B'; }, "refused"},
        {[](Bytes& r) { r.resize(1000); }, "refused"},
        {[](Bytes& r) { putLE(r, 24, 60, 4); }, "refused"},  // in use ends in the first header
        {[](Bytes& r) { putLE(r, 20, 50, 2); }, "refused"},  // attributes over the fixups
        {[](Bytes& r) { putLE(r, 24, 40, 4); }, "$MFT/1/t"}, // below 48: the whole buffer
        {[&](Bytes& r) { r[nameValue + 64] = 5; }, "-/1/t"}, // name runs past its value
        {[&](Bytes& r) { r[nameValue + 64] = 0; }, "-/1/t"},
        {[&](Bytes& r) { putLE(r, name + 16, nameLength - 24 + 1, 4); }, "-/1/t"},
        {[&](Bytes& r) { putLE(r, name + 4, inUse - name + 8, 4); }, "-/0/t"},
        {[&](Bytes& r) { putLE(r, data + 32, r[data + 4], 2); }, "$MFT/0/t"},
        {[&](Bytes& r) { putLE(r, data + 32, 63, 2); }, "$MFT/0/t"},
        {[&](Bytes& r) { r[runs] = 0x19; }, "$MFT/0/t"}, // run length 9 bytes wide
    };
    for (std::size_t i = 0; i < cases.size(); ++i) {
        Bytes damaged = record;
        cases[i].first(damaged);
        EXPECT_EQ(outcome(damaged), cases[i].second) << i;
    }
}

} // namespace
