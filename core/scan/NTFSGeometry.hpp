#pragma once

#include "core/io/Binary.hpp"
#include "core/records/ByteRange.hpp"
#include "core/scan/NTFSRunList.hpp"

#include <cstdint>
#include <optional>
#include <span>
#include <vector>

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

    [[nodiscard]] static std::optional<NTFSGeometry> parse(ByteSpan boot, std::uint64_t at);

    // The source extents the runs cover: sparse runs and runs starting past the volume are left
    // out, runs reaching past it are clipped, touching extents are joined.
    std::vector<ByteRange> ranges(std::span<const NTFSRun> runs) const;
    // Bytes in the volume (total sectors x bytes per sector).
    std::uint64_t volumeSize() const;
};

} // namespace vellary
