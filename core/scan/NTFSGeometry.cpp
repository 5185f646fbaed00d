#include "core/scan/NTFSGeometry.hpp"

#include "core/records/ByteRanges.hpp"

#include <algorithm>
#include <cstring>

namespace vellary {
namespace {

constexpr std::size_t kOemOffset = 3;                // 8 bytes, "NTFS    "
constexpr std::size_t kBytesPerSectorOffset = 11;    // u16
constexpr std::size_t kSectorsPerClusterOffset = 13; // u8
constexpr std::size_t kTotalSectorsOffset = 40;      // u64
constexpr std::size_t kMftClusterOffset = 48;        // u64
constexpr std::size_t kMirrorClusterOffset = 56;     // u64
constexpr std::size_t kClustersPerRecordOffset = 64; // i8
constexpr std::uint64_t kMaxClusterSize = 2 * 1024 * 1024;

} // namespace

std::optional<NTFSGeometry> NTFSGeometry::parse(ByteSpan boot, std::uint64_t at) {
    if (boot.size() < 512 || boot[510] != 0x55 || boot[511] != 0xAA) return std::nullopt;
    if (std::memcmp(boot.data() + kOemOffset, "NTFS    ", 8) != 0) return std::nullopt;
    const std::uint16_t bytesPerSector = Binary::rawU16le(boot.data() + kBytesPerSectorOffset);
    if (bytesPerSector != 512 && bytesPerSector != 1024 && bytesPerSector != 2048 &&
        bytesPerSector != 4096)
        return std::nullopt;
    const std::uint8_t spcRaw = boot[kSectorsPerClusterOffset];
    std::uint64_t sectorsPerCluster = 0;
    if (spcRaw >= 1 && spcRaw <= 128 && (spcRaw & (spcRaw - 1)) == 0)
        sectorsPerCluster = spcRaw;
    else if (spcRaw >= 244)
        sectorsPerCluster = std::uint64_t{1} << (256 - spcRaw);
    else
        return std::nullopt;
    const std::uint64_t clusterSize = bytesPerSector * sectorsPerCluster;
    if (clusterSize > kMaxClusterSize) return std::nullopt;

    const std::uint64_t totalSectors = Binary::rawU64le(boot.data() + kTotalSectorsOffset);
    if (totalSectors == 0 || totalSectors >= (std::uint64_t{1} << 48)) return std::nullopt;
    const std::uint64_t totalClusters = totalSectors / sectorsPerCluster;
    const std::uint64_t mftCluster = Binary::rawU64le(boot.data() + kMftClusterOffset);
    if (mftCluster == 0 || mftCluster >= totalClusters) return std::nullopt;
    std::uint64_t mirrorCluster = Binary::rawU64le(boot.data() + kMirrorClusterOffset);
    if (mirrorCluster >= totalClusters) mirrorCluster = 0;

    const auto perRecord = static_cast<std::int8_t>(boot[kClustersPerRecordOffset]);
    std::uint64_t recordSize = 0;
    if (perRecord >= 1)
        recordSize = static_cast<std::uint64_t>(perRecord) * clusterSize;
    else if (perRecord >= -16 && perRecord <= -1)
        recordSize = std::uint64_t{1} << (-perRecord);
    else
        return std::nullopt;
    if (recordSize < 512 || recordSize > 65536 || (recordSize & (recordSize - 1)) != 0)
        return std::nullopt;

    NTFSGeometry g;
    g.partitionOffset = at;
    g.bytesPerSector = bytesPerSector;
    g.clusterSize = clusterSize;
    g.totalSectors = totalSectors;
    g.totalClusters = totalClusters;
    g.mftCluster = mftCluster;
    g.mirrorCluster = mirrorCluster;
    g.recordSize = static_cast<std::int64_t>(recordSize);
    return g;
}

std::vector<ByteRange> NTFSGeometry::ranges(std::span<const NTFSRun> runs) const {
    std::vector<ByteRange> result;
    for (const auto& run : runs) {
        if (!run.lcn || *run.lcn >= totalClusters) continue;
        const std::uint64_t clusters = std::min(run.length, totalClusters - *run.lcn);
        // Both products stay below totalSectors x bytesPerSector < 2^60 for a parsed geometry.
        const std::uint64_t start = *run.lcn * clusterSize;
        std::uint64_t offset = 0;
        if (__builtin_add_overflow(partitionOffset, start, &offset)) continue;
        if (const auto range = ByteRange::make(offset, clusters * clusterSize))
            appendJoined(result, *range);
    }
    return result;
}

std::uint64_t NTFSGeometry::volumeSize() const {
    return totalSectors * static_cast<std::uint64_t>(bytesPerSector);
}

} // namespace vellary
