#include "core/scan/FATGeometry.hpp"

namespace vellary {

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
    return ClusterMap::allocate(fat, clusterLimit(), endMark(), start, size, clusterSize(), seen_);
}

ClusterChain FATGeometry::directoryChain(std::uint32_t start) const {
    if (start < 2 || start >= clusterLimit() || start >= fat.size()) return {};
    if (fat[start] == 0) return ClusterChain::run(start, 1);
    auto chain = follow(start, kDirectoryClusters);
    return chain.empty() ? ClusterChain::run(start, 1) : chain;
}

} // namespace vellary
