#include "core/scan/FATGeometry.hpp"

namespace vellary {

std::optional<FATBoot> FATBoot::parse(ByteSpan b) {
    if (b.size() < 512 || (b[0] != 0xEB && b[0] != 0xE9)) return std::nullopt;
    FATBoot f;
    f.bytesPerSector = Binary::rawU16le(b.data() + 11);
    if (f.bytesPerSector != 512 && f.bytesPerSector != 1024 && f.bytesPerSector != 2048 &&
        f.bytesPerSector != 4096)
        return std::nullopt;
    f.sectorsPerCluster = b[13];
    if (f.sectorsPerCluster == 0 || f.sectorsPerCluster > 128 ||
        (f.sectorsPerCluster & (f.sectorsPerCluster - 1)) != 0)
        return std::nullopt;
    f.reservedSectors = Binary::rawU16le(b.data() + 14);
    f.fatCount = b[16];
    if (f.reservedSectors == 0 || (f.fatCount != 1 && f.fatCount != 2) || b[21] < 0xF0)
        return std::nullopt;
    f.rootEntryCount = Binary::rawU16le(b.data() + 17);
    f.totalSectors = Binary::rawU16le(b.data() + 19);
    if (f.totalSectors == 0) f.totalSectors = Binary::rawU32le(b.data() + 32);
    f.fatSectors = Binary::rawU16le(b.data() + 22);
    if (f.fatSectors == 0) f.fatSectors = Binary::rawU32le(b.data() + 36);
    if (f.totalSectors == 0) return std::nullopt;
    const std::uint64_t rootSectors =
        (f.rootEntryCount * 32 + f.bytesPerSector - 1) / f.bytesPerSector;
    const std::uint64_t metadata = f.reservedSectors + f.fatCount * f.fatSectors + rootSectors;
    if (f.totalSectors <= metadata || f.totalSectors - metadata < f.sectorsPerCluster)
        return std::nullopt;
    f.clusters = (f.totalSectors - metadata) / f.sectorsPerCluster;
    return f;
}

std::uint64_t FATGeometry::clusterSize() const {
    return static_cast<std::uint64_t>(sectorsPerCluster) *
           static_cast<std::uint64_t>(bytesPerSector);
}

std::uint64_t FATGeometry::fatByteOffset() const {
    return partitionOffset + reservedSectors * static_cast<std::uint64_t>(bytesPerSector);
}

std::uint64_t FATGeometry::rootDirectoryOffset() const {
    return fatByteOffset() + static_cast<std::uint64_t>(fatCount) * fatSectors *
                                 static_cast<std::uint64_t>(bytesPerSector);
}

std::uint64_t FATGeometry::rootDirectoryBytes() const {
    const auto bps = static_cast<std::uint64_t>(bytesPerSector);
    return (static_cast<std::uint64_t>(rootEntryCount) * 32 + bps - 1) / bps * bps;
}

std::uint64_t FATGeometry::dataByteOffset() const {
    return rootDirectoryOffset() + rootDirectoryBytes();
}

std::uint32_t FATGeometry::clusterNumber(ByteSpan entry) const {
    std::uint32_t cluster = Binary::u16le(entry, 26).value_or(0);
    if (kind == Kind::fat32)
        cluster |= static_cast<std::uint32_t>(Binary::u16le(entry, 20).value_or(0)) << 16;
    return cluster;
}

ClusterChain FATGeometry::follow(std::uint32_t start, std::uint64_t limit) const {
    return ClusterMap::follow(fat, clusterLimit(), endMark(), start, limit, seen_);
}

std::optional<ClusterChain> FATGeometry::contiguous(std::uint32_t start,
                                                    std::uint64_t count) const {
    return ClusterMap::contiguous(start, count, clusterLimit());
}

std::optional<Allocation> FATGeometry::allocate(std::uint32_t start, std::uint64_t size) const {
    ClusterUse use;
    use.inUse = [this](std::uint64_t c) { return (c < fat.size() && fat[c] != 0) || live.test(c); };
    use.live = [this](std::uint64_t c) { return live.test(c); };
    return ClusterMap::allocate(fat, clusterLimit(), endMark(), start, size, clusterSize(), seen_,
                                use);
}

ClusterChain FATGeometry::directoryChain(std::uint32_t start) const {
    if (start < 2 || start >= clusterLimit() || start >= fat.size()) return {};
    if (fat[start] == 0) return ClusterChain::run(start, 1);
    auto chain = follow(start, kDirectoryClusters);
    return chain.empty() ? ClusterChain::run(start, 1) : chain;
}

} // namespace vellary
