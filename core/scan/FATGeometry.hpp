#pragma once

#include "core/io/Binary.hpp"
#include "core/scan/ClusterMap.hpp"

#include <cstdint>
#include <optional>
#include <vector>

namespace vellary {

// The fields of a FAT boot sector, read by volume finding and by the scanner alike.
struct FATBoot {
    std::uint64_t bytesPerSector = 512;
    std::uint64_t sectorsPerCluster = 1;
    std::uint64_t reservedSectors = 0;
    std::uint64_t fatCount = 0;
    std::uint64_t rootEntryCount = 0;
    std::uint64_t totalSectors = 0;
    std::uint64_t fatSectors = 0; // zero is left to the callers: it says nothing of the layout
    std::uint64_t clusters = 0;

    // Nothing unless the jump, sector and cluster sizes, reserved area, table count, media byte
    // and the sizes leave room for at least one cluster.
    [[nodiscard]] static std::optional<FATBoot> parse(ByteSpan boot);
};

// The layout of one FAT16 or FAT32 volume and its first allocation table.
struct FATGeometry {
    enum class Kind { fat16, fat32 };

    Kind kind = Kind::fat32;
    std::uint64_t partitionOffset = 0;
    std::int64_t bytesPerSector = 512;
    std::int64_t sectorsPerCluster = 1;
    std::uint64_t reservedSectors = 0;
    std::int64_t fatCount = 0;
    std::uint64_t fatSectors = 0;
    std::int64_t rootEntryCount = 0;
    std::uint32_t rootCluster = 0;
    std::uint32_t clusterCount = 0;
    // min(clusterCount + 2, FAT bytes / entry width) entries.
    std::vector<std::uint32_t> fat;
    // Clusters that live files and folders own, filled in by the walk before deleted files are
    // placed.
    ClusterBits live;
    // Some sector of the table could be read from neither copy (those entries read as free).
    bool tableLost = false;

    std::uint64_t clusterSize() const;
    std::uint64_t fatByteOffset() const;
    std::uint64_t rootDirectoryOffset() const;
    std::uint64_t rootDirectoryBytes() const;
    std::uint64_t dataByteOffset() const;
    // clusterCount + 2, in 64 bits.
    std::uint64_t clusterLimit() const { return static_cast<std::uint64_t>(clusterCount) + 2; }
    std::uint32_t endMark() const { return kind == Kind::fat32 ? 0x0FFFFFF7u : 0xFFF7u; }

    // The chain from start, at most limit clusters; ends at a free entry, an end or bad-cluster
    // mark, a cluster out of range or a loop.
    ClusterChain follow(std::uint32_t start, std::uint64_t limit) const;
    std::optional<ClusterChain> contiguous(std::uint32_t start, std::uint64_t count) const;
    // Where a deleted file of this size starting at start lies: a freed chain is assumed to run
    // on over the clusters the table marks free.
    std::optional<Allocation> allocate(std::uint32_t start, std::uint64_t size) const;
    // The clusters of a folder: its chain, or its first cluster alone when the chain was freed.
    ClusterChain directoryChain(std::uint32_t start) const;
    // First cluster of a 32-byte directory entry (high half on FAT32 only).
    std::uint32_t clusterNumber(ByteSpan entry) const;

    // Directory chains and gathered directory data are capped.
    static constexpr std::uint64_t kDirectoryClusters = 4096;
    static constexpr std::uint64_t kDirectoryBytes = 0x2000000;

private:
    // Marks the clusters collected by follow; cleared after each call. So a geometry serves one
    // thread at a time, as one volume's walk does.
    mutable std::vector<std::uint64_t> seen_;
};

} // namespace vellary
