#include "tests/support/ExFatImage.hpp"

#include "core/io/Binary.hpp"
#include "tests/support/ByteWriters.hpp"
#include "tests/support/FatImage.hpp"
#include "tests/support/Tools.hpp"

#include <fstream>
#include <stdexcept>

namespace vellary::testing {
bool ExFatImage::formatAvailable() {
    return haveTool("mkfs.exfat");
}

ExFatImage::ExFatImage(std::filesystem::path path, std::uint64_t size, std::uint64_t clusterSize)
    : path_(std::move(path)) {
    makeBlankFile(path_, size);
    if (run("mkfs.exfat -c " + std::to_string(clusterSize) + " -L CARD '" + path_.string() +
            "' >/dev/null") != 0)
        throw std::runtime_error("mkfs.exfat failed");
}

Bytes ExFatImage::bytes() const {
    const std::string text = readFile(path_);
    return Bytes(text.begin(), text.end());
}

void ExFatImage::writeBytes(std::uint64_t offset, const Bytes& data) const {
    patchFile(path_, offset, data);
}

ExFatImage::Layout ExFatImage::layout() const {
    Bytes boot(512);
    std::ifstream in(path_, std::ios::binary);
    in.read(reinterpret_cast<char*>(boot.data()), 512);
    Layout l;
    l.bytesPerSector = std::uint64_t{1} << boot[108];
    l.clusterSize = l.bytesPerSector << boot[109];
    l.fatOffset = *Binary::u32le(boot, 80) * l.bytesPerSector;
    l.heapOffset = *Binary::u32le(boot, 88) * l.bytesPerSector;
    l.clusterCount = *Binary::u32le(boot, 92);
    l.rootCluster = *Binary::u32le(boot, 96);
    return l;
}

Bytes ExFatImage::encode(const EntrySet& set) {
    const std::size_t nameEntries = (set.name.size() + 14) / 15;
    Bytes b(32 * (2 + nameEntries), 0);
    const std::uint8_t inUse = set.deleted ? 0x00 : 0x80;
    b[0] = 0x05 | inUse;
    b[1] = static_cast<std::uint8_t>(set.secondaryCount >= 0 ? set.secondaryCount
                                                             : static_cast<int>(1 + nameEntries));
    putLE(b, 4, set.directory ? 0x10 : 0x20, 2);
    putLE(b, 8, set.created, 4);
    putLE(b, 12, set.modified, 4);
    putLE(b, 16, set.modified, 4);
    b[32] = 0x40 | inUse;
    b[33] = static_cast<std::uint8_t>(0x01 | (set.noFatChain ? 0x02 : 0x00));
    b[35] = static_cast<std::uint8_t>(set.name.size());
    putLE(b, 40, set.validLength, 8);
    putLE(b, 52, set.firstCluster, 4);
    putLE(b, 56, set.dataLength, 8);
    for (std::size_t i = 0; i < set.name.size(); ++i)
        putLE(b, 66 + 32 * (i / 15) + 2 * (i % 15), static_cast<std::uint16_t>(set.name[i]), 2);
    for (std::size_t e = 0; e < nameEntries; ++e)
        b[64 + 32 * e] = 0x41 | inUse;
    return b;
}

std::uint64_t ExFatImage::append(std::uint32_t folderCluster, const Bytes& entries) const {
    const Layout l = layout();
    const std::uint64_t start = l.clusterOffset(folderCluster);
    const Bytes all = bytes();
    for (std::uint64_t p = start; p + entries.size() <= start + l.clusterSize; p += 32)
        if (all[p] == 0x00) {
            writeBytes(p, entries);
            return p;
        }
    throw std::runtime_error("folder cluster is full");
}

void ExFatImage::setFat(std::uint32_t cluster, std::uint32_t value) const {
    Bytes raw(4);
    putLE(raw, 0, value, 4);
    writeBytes(layout().fatOffset + 4ull * cluster, raw);
}

std::uint32_t ExFatImage::spareCluster(std::uint32_t index) const {
    return layout().clusterCount / 2 + index;
}

std::uint32_t ExFatImage::stamp(int year, int month, int day, int hour, int minute, int second) {
    return static_cast<std::uint32_t>((year - 1980) << 25 | month << 21 | day << 16 | hour << 11 |
                                      minute << 5 | second / 2);
}

ExFatMount::ExFatMount(const std::filesystem::path& image, const std::filesystem::path& mountPoint)
    : mountPoint_(mountPoint) {
    if (!haveTool("mount.exfat-fuse") || !haveTool("losetup") ||
        !std::filesystem::exists("/dev/fuse")) {
        failure_ = "exfat-fuse, losetup or /dev/fuse is missing";
        return;
    }
    loop_ = capture("losetup -f --show '" + image.string() + "' 2>/dev/null");
    loop_.erase(loop_.find_last_not_of("\n ") + 1);
    if (loop_.empty()) {
        failure_ = "no loop device could be attached";
        return;
    }
    std::filesystem::create_directories(mountPoint_);
    if (run("mount.exfat-fuse -o sync '" + loop_ + "' '" + mountPoint_.string() + "' 2>&1") != 0) {
        failure_ = "exfat-fuse could not mount the loop device";
        run("losetup -d '" + loop_ + "'");
        loop_.clear();
        return;
    }
    mounted_ = true;
}

void ExFatMount::unmount() {
    if (mounted_) {
        run("sync; fusermount -u '" + mountPoint_.string() + "' || umount '" +
            mountPoint_.string() + "'");
        mounted_ = false;
    }
    if (!loop_.empty()) {
        run("losetup -d '" + loop_ + "'");
        loop_.clear();
    }
}

} // namespace vellary::testing
