#include "core/scan/VolumeFinder.hpp"
#include "core/io/DataBlockReader.hpp"
#include "core/io/FileBlockReader.hpp"
#include "core/records/RecoverError.hpp"
#include "tests/support/DiskImages.hpp"
#include "tests/support/FaultyBlockReader.hpp"
#include "tests/support/Tools.hpp"

#include <cstring>
#include <gtest/gtest.h>
#include <tuple>

using namespace vellary;
using namespace vellary::testing;

namespace {

constexpr std::uint64_t MiB = 1024 * 1024;

// Sparse image files: only the sectors a test writes take space.
class SparseImage {
public:
    explicit SparseImage(std::uint64_t size) : path_(dir_ / "disk.img") {
        makeBlankFile(path_, size);
    }
    void write(std::uint64_t offset, const Bytes& bytes) {
        FILE* f = std::fopen(path_.c_str(), "r+b");
        std::fseek(f, static_cast<long>(offset), SEEK_SET);
        std::fwrite(bytes.data(), 1, bytes.size(), f);
        std::fclose(f);
    }
    const std::filesystem::path& path() const { return path_; }
    std::vector<FoundVolume> find() const { return VolumeFinder::find(FileBlockReader(path_)); }

private:
    TempDir dir_;
    std::filesystem::path path_;
};

Bytes mbr(std::initializer_list<std::pair<std::uint8_t, std::uint32_t>> entries) {
    Bytes b(512, 0);
    std::size_t at = 446;
    for (const auto& [type, lba] : entries) {
        b[at + 4] = type;
        putLE(b, at + 8, lba, 4);
        putLE(b, at + 12, 1000, 4);
        at += 16;
    }
    b[510] = 0x55;
    b[511] = 0xAA;
    return b;
}

// A FAT32 boot sector for a volume of the given size with 512-byte clusters.
Bytes fat32Boot(std::uint64_t bytes) {
    return fatBootSector(static_cast<std::uint32_t>(bytes / 512), 1, 0, 1024, 0);
}

// GPT header at 512 with an entry array at sector 2.
Bytes gptHeader(std::uint32_t count, std::uint32_t entrySize, std::uint64_t arrayStart = 2) {
    Bytes h(512, 0);
    std::memcpy(h.data(), "EFI PART", 8);
    putLE(h, 72, arrayStart, 8);
    putLE(h, 80, count, 4);
    putLE(h, 84, entrySize, 4);
    return h;
}

Bytes gptEntry(std::uint64_t firstSector) {
    Bytes e(128, 0);
    e[0] = 0xA2; // any non-zero type GUID
    putLE(e, 32, firstSector, 8);
    return e;
}

std::vector<std::uint64_t> partitionStarts(const std::filesystem::path& image) {
    const auto dump = capture("sfdisk -d '" + image.string() + "'");
    std::vector<std::uint64_t> starts;
    for (auto at = dump.find("start="); at != std::string::npos; at = dump.find("start=", at + 6))
        starts.push_back(std::stoull(dump.substr(at + 6)) * 512);
    return starts;
}

} // namespace

TEST(VolumeFinder, BareBootSectorIsOneVolumeAtZero) {
    SparseImage image(40 * MiB);
    image.write(0, fat32Boot(40 * MiB));
    const auto volumes = image.find();
    ASSERT_EQ(volumes.size(), 1u);
    EXPECT_EQ(volumes[0], (FoundVolume{0, VolumeKind::fat32}));
}

TEST(VolumeFinder, DuplicateEntriesAndSmallOrBlankSources) {
    SparseImage image(48 * MiB);
    image.write(0, mbr({{0x0C, 2048}, {0x0C, 2048}, {0x00, 4096}, {0x0C, 0}}));
    image.write(MiB, fat32Boot(40 * MiB));
    const auto volumes = image.find();
    ASSERT_EQ(volumes.size(), 1u);
    EXPECT_EQ(volumes[0].offset, MiB);

    EXPECT_TRUE(VolumeFinder::find(DataBlockReader(Bytes(511, 0))).empty());
    EXPECT_TRUE(VolumeFinder::find(DataBlockReader(Bytes(8192, 0))).empty());
    FaultyBlockReader unreadable(Bytes(8192, 0));
    unreadable.failSector(0);
    EXPECT_THROW(VolumeFinder::find(unreadable), RecoverError);
}

TEST(VolumeFinder, BootSectorSizeMayOvershootTheDiskByOneMebibyteAtMost) {
    const std::uint64_t disk = 48 * MiB;
    // Where the volume starts (0: no partition table), the size it claims, whether it is kept.
    const std::tuple<std::uint64_t, std::uint64_t, bool> cases[] = {
        {8 * MiB, disk - 7 * MiB, true},
        {8 * MiB, disk - 7 * MiB + 512, false},
        {0, disk + 512, false}};
    for (const auto& [at, size, kept] : cases) {
        SparseImage image(disk);
        if (at > 0) image.write(0, mbr({{0x0C, static_cast<std::uint32_t>(at / 512)}}));
        image.write(at, fat32Boot(size));
        EXPECT_EQ(image.find().size(), kept ? 1u : 0u) << at << " " << size;
    }
}

TEST(VolumeFinder, GptUsesOnlyItsEntriesAndAtMost128) {
    SparseImage image(64 * MiB);
    // The MBR also lists a FAT32 volume: with a protective entry it must be ignored.
    image.write(0, mbr({{0xEE, 1}, {0x0C, 40 * 2048}}));
    image.write(40 * MiB, fat32Boot(20 * MiB));
    image.write(512, gptHeader(200, 128));
    Bytes entries(200 * 128, 0);
    put(entries, 0, gptEntry(2048));
    put(entries, 150 * 128, gptEntry(20 * 2048)); // past the 128th entry
    image.write(1024, entries);
    image.write(MiB, fat32Boot(34 * MiB));
    image.write(20 * MiB, fat32Boot(34 * MiB));
    const auto volumes = image.find();
    ASSERT_EQ(volumes.size(), 1u);
    EXPECT_EQ(volumes[0].offset, MiB);
}

TEST(VolumeFinder, CorruptGptHeadersAskForNoHugeReads) {
    for (const auto& header : {gptHeader(4, 8192), gptHeader(4, 132), gptHeader(4, 64),
                               gptHeader(0, 128), gptHeader(4, 128, UINT64_MAX / 256)}) {
        SparseImage image(40 * MiB);
        image.write(0, mbr({{0xEE, 1}}));
        image.write(512, header);
        image.write(1024, gptEntry(2048));
        image.write(MiB, fat32Boot(34 * MiB));
        EXPECT_TRUE(image.find().empty());
    }
    // The largest accepted entry size still works.
    SparseImage image(40 * MiB);
    image.write(0, mbr({{0xEE, 1}}));
    image.write(512, gptHeader(2, 4096));
    image.write(1024, gptEntry(2048));
    image.write(MiB, fat32Boot(34 * MiB));
    EXPECT_EQ(image.find().size(), 1u);
}

TEST(VolumeFinder, DisksWithLargeSectorsCountTablesInTheirOwnUnit) {
    // An MBR whose start sector (256) only makes sense in 4096-byte units.
    SparseImage image(48 * MiB);
    image.write(0, mbr({{0x0C, 256}}));
    image.write(256 * 4096, fat32Boot(40 * MiB));
    const auto volumes = image.find();
    ASSERT_EQ(volumes.size(), 1u);
    EXPECT_EQ(volumes[0].offset, 256u * 4096);
}

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
                                      "size=20480, type=7\n"));
    const auto starts = partitionStarts(image);
    ASSERT_EQ(starts.size(), 6u);
    ASSERT_TRUE(formatInto(image, starts[0], 40 * MiB, "mkfs.vfat -F 32 -s 1 {}"));
    ASSERT_TRUE(formatInto(image, starts[2], 10 * MiB, "mkfs.vfat -F 16 {}"));
    ASSERT_TRUE(formatInto(image, starts[3], 10 * MiB, "mkfs.exfat {}"));
    ASSERT_TRUE(formatInto(image, starts[4], 4 * MiB, "mkfs.vfat -F 12 {}"));
    ASSERT_TRUE(formatInto(image, starts[5], 10 * MiB, "mkfs.ntfs -Q -F {}"));
    const auto volumes = VolumeFinder::find(FileBlockReader(image));
    const std::vector<FoundVolume> expected = {{starts[0], VolumeKind::fat32},
                                               {starts[2], VolumeKind::fat16},
                                               {starts[3], VolumeKind::exfat},
                                               {starts[4], VolumeKind::fat12},
                                               {starts[5], VolumeKind::ntfs}};
    EXPECT_EQ(volumes, expected);
}

TEST(VolumeFinder, RecognisesRealFileSystemsInGptPartitions) {
    if (const auto tool = missingTool({"sfdisk", "mkfs.vfat", "mkfs.exfat", "mkfs.ntfs"});
        !tool.empty())
        GTEST_SKIP() << tool << " is not installed (scripts/setup installs it)";
    TempDir dir;
    const auto image = dir / "disk.img";
    makeBlankFile(image, 96 * MiB);
    ASSERT_TRUE(partitionImage(image, "label: gpt\n"
                                      "size=40MiB, type=EBD0A0A2-B9E5-4433-87C0-68B6B72699C7\n"
                                      "size=16MiB, type=EBD0A0A2-B9E5-4433-87C0-68B6B72699C7\n"
                                      "size=16MiB, type=EBD0A0A2-B9E5-4433-87C0-68B6B72699C7\n"));
    const auto starts = partitionStarts(image);
    ASSERT_EQ(starts.size(), 3u);
    ASSERT_TRUE(formatInto(image, starts[0], 40 * MiB, "mkfs.vfat -F 32 -s 1 {}"));
    ASSERT_TRUE(formatInto(image, starts[1], 16 * MiB, "mkfs.exfat {}"));
    ASSERT_TRUE(formatInto(image, starts[2], 16 * MiB, "mkfs.ntfs -Q -F {}"));
    const auto volumes = VolumeFinder::find(FileBlockReader(image));
    const std::vector<FoundVolume> expected = {{starts[0], VolumeKind::fat32},
                                               {starts[1], VolumeKind::exfat},
                                               {starts[2], VolumeKind::ntfs}};
    EXPECT_EQ(volumes, expected);
}

TEST(VolumeFinder, DetectRefusesDamagedBootSectors) {
    const std::uint64_t disk = 64 * MiB;
    const Bytes boot = fat32Boot(40 * MiB);
    EXPECT_EQ(VolumeFinder::detect(boot, 0, disk), VolumeKind::fat32);
    EXPECT_EQ(VolumeFinder::detect(boot, disk, disk), std::nullopt);
    EXPECT_EQ(VolumeFinder::detect(ByteSpan(boot).first(511), 0, disk), std::nullopt);
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
    const auto exfat = [&](std::uint64_t sectors, std::uint8_t sectorShift, std::uint32_t root) {
        Bytes b(512, 0);
        put(b, 0, {0xEB, 0x76, 0x90, 'E', 'X', 'F', 'A', 'T', ' ', ' ', ' '});
        putLE(b, 72, sectors, 8);
        putLE(b, 92, 1000, 4);
        putLE(b, 96, root, 4);
        put(b, 108, {sectorShift, 3});
        put(b, 510, {0x55, 0xAA});
        return VolumeFinder::detect(b, 0, disk);
    };
    EXPECT_EQ(exfat(disk / 512 + 4096, 9, 2), VolumeKind::exfat); // 4096 sectors past the disk
    EXPECT_EQ(exfat(disk / 512 + 4097, 9, 2), std::nullopt);
    EXPECT_EQ(exfat(1000, 13, 2), std::nullopt);
    EXPECT_EQ(exfat(1000, 9, 1), std::nullopt);
}
