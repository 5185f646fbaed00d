#pragma once

#include "core/io/Binary.hpp"

#include <cstdint>
#include <optional>

namespace vellary {

// The geometry an NTFS boot sector records.
struct NTFSGeometry {
    std::uint64_t partitionOffset = 0;
    std::int64_t bytesPerSector = 512;
    std::uint64_t clusterSize = 4096;
    std::uint64_t totalSectors = 0;
    std::uint64_t totalClusters = 0;
    std::uint64_t mftCluster = 0;
    std::uint64_t mirrorCluster = 0; // 0: no usable mirror
    std::int64_t recordSize = 1024;

    static std::optional<NTFSGeometry> parse(ByteSpan boot, std::uint64_t at);
};

} // namespace vellary
