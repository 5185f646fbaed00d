// Damaged file records: the $MFT record of a volume made by mkfs.ntfs, with one field broken.
#include "core/scan/MFTRecord.hpp"
#include "core/io/FileBlockReader.hpp"
#include "core/scan/NTFSGeometry.hpp"
#include "tests/support/ByteWriters.hpp"
#include "tests/support/NtfsImage.hpp"
#include "tests/support/Tools.hpp"

#include <functional>
#include <gtest/gtest.h>

using namespace vellary;
using namespace vellary::testing;

namespace {

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
