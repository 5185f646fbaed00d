// Partition tables and boot sectors: built in memory for the damaged and limit cases, and a
// disk partitioned by sfdisk and formatted by the real mkfs tools.
#include "core/scan/VolumeFinder.hpp"
#include "core/engine/RecoveryEngine.hpp"
#include "core/io/DataBlockReader.hpp"
#include "core/io/FileBlockReader.hpp"
#include "tests/support/DiskImages.hpp"
#include "tests/support/Tools.hpp"

#include <cstring>
#include <gtest/gtest.h>

using namespace vellary;
using namespace vellary::testing;

namespace {

constexpr std::uint64_t MiB = 1024 * 1024;

Bytes mbr(std::initializer_list<std::pair<std::uint8_t, std::uint32_t>> entries) {
    Bytes b(512, 0);
    std::size_t at = 446;
    for (const auto& [type, lba] : entries) {
        b[at + 4] = type;
        putLE(b, at + 8, lba, 4);
        putLE(b, at + 12, 1000, 4);
        at += 16;
    }
    putLE(b, 510, 0xAA55, 2);
    return b;
}

// A FAT32 boot sector for a volume of the given size with 512-byte clusters.
Bytes fat32Boot(std::uint64_t bytes) {
    return fatBootSector(static_cast<std::uint32_t>(bytes / 512), 1024);
}

// GPT header at 512 with its entry array at sector arrayStart; entries start at sectors 2048
// and 20 * 2048, the second one past the 128th slot.
Bytes gpt(std::uint32_t count, std::uint32_t entrySize, std::uint64_t arrayStart = 2) {
    Bytes h(1024 + 200 * 128, 0);
    std::memcpy(h.data() + 512, "EFI PART", 8);
    putLE(h, 512 + 72, arrayStart, 8);
    putLE(h, 512 + 80, count, 4);
    putLE(h, 512 + 84, entrySize, 4);
    for (const std::uint64_t at : {1024ull, 1024ull + 150 * 128}) {
        h[at] = 0xA2; // any non-zero type GUID
        putLE(h, at + 32, at == 1024 ? 2048 : 20 * 2048, 8);
    }
    put(h, 0, mbr({{0xEE, 1}, {0x0C, 40 * 2048}})); // the MBR's own FAT entry is ignored
    return h;
}

std::vector<std::uint64_t> partitionStarts(const std::filesystem::path& image) {
    const auto dump = capture("sfdisk -d '" + image.string() + "'");
    std::vector<std::uint64_t> starts;
    for (auto at = dump.find("start="); at != std::string::npos; at = dump.find("start=", at + 6))
        starts.push_back(std::stoull(dump.substr(at + 6)) * 512);
    return starts;
}

TEST(VolumeFinder, TablesAndTheirLimits) {
    struct Case {
        const char* what;
        Bytes table;
        std::uint64_t at;   // where a FAT32 boot sector goes
        std::uint64_t size; // the size it claims
        std::vector<std::uint64_t> found;
    };
    const std::uint64_t disk = 48 * MiB;
    const Bytes duplicates = mbr({{0x0C, 2048}, {0x0C, 2048}, {0x00, 4096}, {0x0C, 0}});
    const std::vector<Case> cases = {
        {"bare", {}, 0, 40 * MiB, {0}},
        {"duplicates", duplicates, MiB, 40 * MiB, {MiB}},
        {"overshoot 1 MiB", mbr({{0x0C, 8 * 2048}}), 8 * MiB, disk - 7 * MiB, {8 * MiB}},
        {"overshoot more", mbr({{0x0C, 8 * 2048}}), 8 * MiB, disk - 7 * MiB + 512, {}},
        {"4096-byte units", mbr({{0x0C, 256}}), 256 * 4096, 40 * MiB, {256 * 4096}},
        {"gpt", gpt(200, 128), MiB, 34 * MiB, {MiB}},
        {"gpt huge entries", gpt(4, 8192), MiB, 34 * MiB, {}},
        {"gpt small entries", gpt(4, 64), MiB, 34 * MiB, {}},
        {"gpt no entries", gpt(0, 128), MiB, 34 * MiB, {}},
        {"gpt array past the end", gpt(4, 128, UINT64_MAX / 256), MiB, 34 * MiB, {}},
    };
    for (const auto& c : cases) {
        Bytes image(disk, 0);
        put(image, 0, c.table);
        put(image, c.at, fat32Boot(c.size));
        if (c.what[0] == 'g') {
            put(image, 40 * MiB, fat32Boot(8 * MiB));
            put(image, 20 * MiB, fat32Boot(34 * MiB));
        }
        std::vector<std::uint64_t> found;
        for (const auto& v : VolumeFinder::find(DataBlockReader(std::move(image))))
            found.push_back(v.offset);
        EXPECT_EQ(found, c.found) << c.what;
    }
    EXPECT_TRUE(VolumeFinder::find(DataBlockReader(Bytes(511, 0))).empty());
}

// Volumes in partition order; the scan skips FAT12 with one warning, does not count it, and
// names each kind once.
TEST(VolumeFinder, RecognisesRealFileSystemsInMbrAndExtendedPartitions) {
    if (const auto tool = missingTool({"sfdisk", "mkfs.vfat", "mkfs.exfat", "mkfs.ntfs"});
        !tool.empty())
        GTEST_SKIP() << tool << " is not installed (scripts/setup installs it)";
    TempDir dir;
    const auto image = dir / "disk.img";
    makeBlankFile(image, 128 * MiB);
    ASSERT_TRUE(partitionImage(image, "label: dos\n"
                                      "start=2048, size=81920, type=c\n"
                                      "start=83968, type=5\n"
                                      "size=20480, type=6\n"
                                      "size=20480, type=7\n"
                                      "size=8192, type=1\n"
                                      "size=20480, type=7\n"
                                      "size=20480, type=6\n"));
    const auto starts = partitionStarts(image);
    ASSERT_EQ(starts.size(), 7u);
    ASSERT_TRUE(formatInto(image, starts[0], 40 * MiB, "mkfs.vfat -F 32 -s 1 {}"));
    ASSERT_TRUE(formatInto(image, starts[2], 10 * MiB, "mkfs.vfat -F 16 {}"));
    ASSERT_TRUE(formatInto(image, starts[3], 10 * MiB, "mkfs.exfat {}"));
    ASSERT_TRUE(formatInto(image, starts[4], 4 * MiB, "mkfs.vfat -F 12 {}"));
    ASSERT_TRUE(formatInto(image, starts[5], 10 * MiB, "mkfs.ntfs -Q -F {}"));
    ASSERT_TRUE(formatInto(image, starts[6], 10 * MiB, "mkfs.vfat -F 16 {}"));
    const auto volumes = VolumeFinder::find(FileBlockReader(image));
    const std::vector<FoundVolume> expected = {
        {starts[0], VolumeKind::fat32}, {starts[2], VolumeKind::fat16},
        {starts[3], VolumeKind::exfat}, {starts[4], VolumeKind::fat12},
        {starts[5], VolumeKind::ntfs},  {starts[6], VolumeKind::fat16}};
    EXPECT_EQ(volumes, expected);
    const auto result = RecoveryEngine::scan(FileBlockReader(image), {});
    EXPECT_EQ(result.filesystem, "ExFAT and FAT16 and FAT32 and NTFS");
    EXPECT_EQ(result.volumeCount, 5);
    EXPECT_EQ(result.warnings, std::vector<std::string>{"A very old FAT12 section was skipped."});
}

TEST(VolumeFinder, DetectRefusesDamagedBootSectors) {
    const std::uint64_t disk = 64 * MiB;
    const Bytes boot = fat32Boot(40 * MiB);
    EXPECT_EQ(VolumeFinder::detect(boot, 0, disk), VolumeKind::fat32);
    EXPECT_EQ(VolumeFinder::detect(boot, disk, disk), std::nullopt);
    EXPECT_EQ(VolumeFinder::detect(ByteSpan(boot).first(511), 0, disk), std::nullopt);
    // 2080 metadata sectors; the cluster count decides FAT12 below 4085.
    EXPECT_EQ(VolumeFinder::detect(fatBootSector(2081, 1024), 0, disk), VolumeKind::fat12);
    EXPECT_EQ(VolumeFinder::detect(fatBootSector(2080, 1024), 0, disk), std::nullopt);
    EXPECT_EQ(VolumeFinder::detect(fatBootSector(6164, 1024), 0, disk), VolumeKind::fat12);
    EXPECT_EQ(VolumeFinder::detect(fatBootSector(6165, 1024), 0, disk), VolumeKind::fat16);
    // Sectors per cluster not a power of two, three FATs, a media byte, no jump, no marker, and
    // an NTFS name over a broken geometry (not then taken for FAT).
    const std::pair<std::size_t, Bytes> damage[] = {
        {13, {3}}, {16, {3}},  {21, {0x12}},
        {0, {0}},  {511, {0}}, {3, {'N', 'T', 'F', 'S', ' ', ' ', ' ', ' '}}};
    for (const auto& [at, bytes] : damage) {
        Bytes bad = boot;
        put(bad, at, bytes);
        EXPECT_EQ(VolumeFinder::detect(bad, 0, disk), std::nullopt) << at;
    }
}
} // namespace
