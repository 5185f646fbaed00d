#include "core/scan/ExFATGeometry.hpp"

#include <algorithm>

namespace vellary {

std::uint64_t ExFATGeometry::clusterSize() const {
    return static_cast<std::uint64_t>(bytesPerSector) *
           static_cast<std::uint64_t>(sectorsPerCluster);
}

std::uint64_t ExFATGeometry::heapStart() const {
    return partitionOffset + clusterHeapOffsetSectors * static_cast<std::uint64_t>(bytesPerSector);
}

std::optional<ClusterChain> ExFATGeometry::contiguous(std::uint32_t start,
                                                      std::uint64_t count) const {
    return ClusterMap::contiguous(start, count, clusterLimit());
}

ClusterChain ExFATGeometry::follow(std::uint32_t start, std::uint64_t limit) const {
    return ClusterMap::follow(fat, clusterLimit(), kEndMark, start, limit, seen_);
}

ClusterChain ExFATGeometry::directoryClusters(std::uint32_t start,
                                              std::optional<std::uint64_t> byteCount,
                                              bool noFatChain, std::uint64_t maxClusters) const {
    const std::uint64_t cs = clusterSize();
    if (noFatChain) {
        std::uint64_t count = 1;
        if (byteCount && *byteCount > 0 && cs > 0)
            count = std::max<std::uint64_t>(1, *byteCount / cs + (*byteCount % cs != 0 ? 1 : 0));
        if (auto run = contiguous(start, count)) {
            run->truncate(maxClusters);
            return *run;
        }
        return ClusterChain::run(start, 1);
    }
    if (start >= fat.size()) return {};
    if (fat[start] != 0) {
        auto chain = follow(start, 4096);
        if (!chain.empty()) return chain;
    }
    return ClusterChain::run(start, 1);
}

std::optional<Allocation> ExFATGeometry::allocate(std::uint32_t start, std::uint64_t size,
                                                  bool noFatChain) const {
    const std::uint64_t cs = clusterSize();
    if (size == 0 || cs == 0 || start < 2 || start >= clusterLimit()) return std::nullopt;
    ClusterUse use;
    use.inUse = [this](std::uint64_t c) { return bitmap.test(c); };
    use.live = use.inUse;
    use.chainMustBeFree = true;
    if (!noFatChain)
        return ClusterMap::allocate(fat, clusterLimit(), kEndMark, start, size, cs, seen_, use);
    auto run = contiguous(start, size / cs + (size % cs != 0 ? 1 : 0));
    if (!run) return std::nullopt;
    // The run is certain; clusters of it that are allocated again hold other files' bytes.
    bool reused = false;
    for (std::uint64_t i = 0; i < run->count && !reused; ++i)
        reused = bitmap.test(start + i);
    return Allocation{std::move(*run), RecoveryConfidence::named, !reused, bitmap.test(start)};
}

ClusterChain ExFATGeometry::liveClusters(std::uint32_t start, std::uint64_t size,
                                         bool noFatChain) const {
    const std::uint64_t cs = clusterSize();
    if (size == 0 || cs == 0 || start < 2 || start >= clusterLimit()) return {};
    const std::uint64_t needed = size / cs + (size % cs != 0 ? 1 : 0);
    auto chain = noFatChain ? ClusterChain{} : follow(start, needed);
    if (chain.count < needed && (chain.empty() || chain.isRunFrom(start)))
        return contiguous(start, needed).value_or(chain);
    return chain;
}

} // namespace vellary
