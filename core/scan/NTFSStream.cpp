#include "core/scan/NTFSStream.hpp"

#include <algorithm>
#include <limits>

namespace vellary {
namespace {

constexpr std::int64_t kSector = 4096;

} // namespace

Bytes NTFSStream::read(const BlockReader& reader, const NTFSGeometry& geometry, std::uint64_t at,
                       std::int64_t count) const {
    const std::uint64_t end =
        saturatingAdd(at, static_cast<std::uint64_t>(std::max<std::int64_t>(count, 0)));
    Bytes result;
    std::uint64_t p = 0;
    for (const auto& run : runs) {
        if (p >= end) break;
        std::uint64_t runBytes = 0;
        if (__builtin_mul_overflow(run.length, geometry.clusterSize, &runBytes))
            runBytes = std::numeric_limits<std::uint64_t>::max();
        const std::uint64_t runEnd = saturatingAdd(p, runBytes);
        if (runEnd > at) {
            const std::uint64_t partStart = std::max(at, p);
            const std::uint64_t partLength = std::min(end, runEnd) - partStart;
            std::uint64_t lastCluster = 0;
            const bool stored = run.lcn &&
                                !__builtin_add_overflow(*run.lcn, run.length, &lastCluster) &&
                                lastCluster <= geometry.totalClusters;
            const std::size_t before = result.size();
            if (stored) {
                // lcn + length <= totalClusters keeps this below the volume's end.
                const std::uint64_t offset =
                    geometry.partitionOffset + *run.lcn * geometry.clusterSize + (partStart - p);
                auto got =
                    reader.readTolerant(offset, static_cast<std::int64_t>(partLength), kSector);
                const std::size_t take = std::min<std::size_t>(got.data.size(), partLength);
                result.insert(result.end(), got.data.begin(),
                              got.data.begin() + static_cast<std::ptrdiff_t>(take));
            }
            result.resize(before + partLength, 0);
        }
        if (runEnd == std::numeric_limits<std::uint64_t>::max()) break;
        p = runEnd;
    }
    return result;
}

} // namespace vellary
