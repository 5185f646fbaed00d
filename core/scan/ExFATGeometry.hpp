#pragma once

#include "core/scan/ClusterMap.hpp"

#include <cstdint>
#include <optional>
#include <vector>

namespace vellary {

// The layout of one exFAT volume and its allocation table.
struct ExFATGeometry {
    static constexpr std::uint32_t kEndMark = 0xFFFFFFF7u;

    std::uint64_t partitionOffset = 0;
    std::int64_t bytesPerSector = 512;
    std::int64_t sectorsPerCluster = 1;
    std::uint64_t clusterHeapOffsetSectors = 0;
    std::uint32_t clusterCount = 0;
    std::uint32_t rootCluster = 0;
    // min(clusterCount + 2, table bytes / 4) entries.
    std::vector<std::uint32_t> fat;
    // The allocation bitmap by cluster number (empty when the volume has none readable).
    ClusterBits bitmap;

    std::uint64_t clusterSize() const;
    std::uint64_t heapStart() const;
    std::uint64_t clusterLimit() const { return static_cast<std::uint64_t>(clusterCount) + 2; }

    // The clusters of a folder. Without a FAT chain they run on from start for byteCount bytes,
    // at most maxClusters of them materialised.
    ClusterChain directoryClusters(std::uint32_t start, std::optional<std::uint64_t> byteCount,
                                   bool noFatChain, std::uint64_t maxClusters) const;
    // A deleted file's extent, judged against the allocation bitmap.
    std::optional<Allocation> allocate(std::uint32_t start, std::uint64_t size,
                                       bool noFatChain) const;
    // A live file's clusters as its entry and the table state them.
    ClusterChain liveClusters(std::uint32_t start, std::uint64_t size, bool noFatChain) const;
    std::optional<ClusterChain> contiguous(std::uint32_t start, std::uint64_t count) const;
    ClusterChain follow(std::uint32_t start, std::uint64_t limit) const;

private:
    // Scratch marks for follow; one thread at a time.
    mutable std::vector<std::uint64_t> seen_;
};

} // namespace vellary
