#include "core/scan/VolumeFinder.hpp"

#include "core/scan/FATGeometry.hpp"
#include "core/scan/NTFSGeometry.hpp"

#include <array>
#include <cstring>
#include <set>

namespace vellary {
namespace {

constexpr std::uint64_t kSlack = 1024 * 1024; // a boot sector may claim this much past the disk
constexpr std::size_t kMbrEntries[4] = {446, 462, 478, 494};
constexpr std::size_t kMaxExtendedRecords = 16;
constexpr std::uint32_t kMaxGptEntries = 128;
constexpr std::uint32_t kMaxGptEntrySize = 4096;

struct MBRPart {
    std::uint8_t type = 0;
    std::uint64_t lba = 0;
};

bool hasBootMarker(ByteSpan s) {
    return s.size() >= 512 && s[510] == 0x55 && s[511] == 0xAA;
}
bool isExtended(std::uint8_t type) {
    return type == 0x05 || type == 0x0F;
}

// One pass over the partition tables with a given sector unit (512, or a larger logical block).
class Finder {
public:
    Finder(const BlockReader& reader, std::uint64_t unit) : reader_(reader), unit_(unit) {}

    std::vector<FoundVolume> run(ByteSpan sector0) {
        std::vector<MBRPart> parts;
        for (const auto entry : kMbrEntries)
            parts.push_back({sector0[entry + 4], Binary::rawU32le(sector0.data() + entry + 8)});
        bool gpt = false;
        for (const auto& p : parts)
            gpt = gpt || p.type == 0xEE;
        if (gpt || headerAt(unit_)) return gptVolumes();
        for (const auto& p : parts) {
            if (p.type == 0 || p.lba == 0) continue;
            if (isExtended(p.type)) {
                for (const auto lba : extendedLBAs(p.lba))
                    consider(lba * unit_);
            } else {
                consider(p.lba * unit_);
            }
        }
        return volumes_;
    }

private:
    bool headerAt(std::uint64_t offset) {
        try {
            const Bytes header = reader_.read(offset, 512);
            return header.size() >= 8 && std::memcmp(header.data(), "EFI PART", 8) == 0;
        } catch (...) {
            return false;
        }
    }

    void consider(std::uint64_t offset) {
        if (offset >= reader_.size() || !tried_.insert(offset).second) return;
        const Bytes boot = reader_.read(offset, 512);
        if (const auto kind = VolumeFinder::detect(boot, offset, reader_.size()))
            volumes_.push_back({offset, *kind});
    }

    std::vector<std::uint64_t> extendedLBAs(std::uint64_t extendedStart) {
        std::vector<std::uint64_t> starts;
        std::uint64_t current = extendedStart;
        for (std::size_t n = 0; n < kMaxExtendedRecords; ++n) {
            if (reader_.size() < current * unit_ + 512) break;
            Bytes ebr;
            try {
                ebr = reader_.read(current * unit_, 512);
            } catch (...) {
                break; // an unreadable extended boot record only ends the chain
            }
            if (!hasBootMarker(ebr)) break;
            const std::uint8_t firstType = ebr[450];
            const std::uint32_t firstStart = Binary::rawU32le(ebr.data() + 454);
            if (firstType != 0 && firstStart != 0) starts.push_back(current + firstStart);
            const std::uint8_t nextType = ebr[466];
            const std::uint32_t nextStart = Binary::rawU32le(ebr.data() + 470);
            if (!isExtended(nextType) || nextStart == 0) break;
            current = extendedStart + nextStart; // links are relative to the extended partition
        }
        return starts;
    }

    std::vector<FoundVolume> gptVolumes() {
        const Bytes header = reader_.read(unit_, 512);
        if (header.size() < 92 || std::memcmp(header.data(), "EFI PART", 8) != 0) return {};
        const std::uint64_t arrayStart = Binary::rawU64le(header.data() + 72);
        const std::uint32_t count = std::min(Binary::rawU32le(header.data() + 80), kMaxGptEntries);
        const std::uint32_t entrySize = Binary::rawU32le(header.data() + 84);
        // A corrupt header must not ask for gigabytes or overflow the byte offset.
        if (entrySize < 128 || entrySize > kMaxGptEntrySize || entrySize % 8 != 0 || count == 0)
            return {};
        if (arrayStart >= reader_.size() / unit_) return {};
        const Bytes entries =
            reader_.read(arrayStart * unit_, static_cast<std::int64_t>(entrySize) * count);
        for (std::uint64_t i = 0; i < count; ++i) {
            const std::uint64_t at = i * entrySize;
            if (entries.size() < at + 48) continue;
            const auto* entry = entries.data() + at;
            static constexpr std::uint8_t kZero[16] = {};
            if (std::memcmp(entry, kZero, 16) == 0) continue;
            const std::uint64_t first = Binary::rawU64le(entry + 32);
            if (first == 0 || first >= reader_.size() / unit_) continue;
            consider(first * unit_);
        }
        return volumes_;
    }

    const BlockReader& reader_;
    std::uint64_t unit_;
    std::set<std::uint64_t> tried_;
    std::vector<FoundVolume> volumes_;
};

std::optional<VolumeKind> detectFAT(ByteSpan b, std::uint64_t at, std::uint64_t diskSize) {
    const auto boot = FATBoot::parse(b);
    if (!boot || boot->fatSectors == 0) return std::nullopt;
    const std::uint64_t bytes = boot->totalSectors * boot->bytesPerSector;
    if (bytes > diskSize || at + bytes > diskSize + kSlack) return std::nullopt;
    if (boot->clusters < 4085) return VolumeKind::fat12;
    if (boot->clusters < 65525) return VolumeKind::fat16;
    return VolumeKind::fat32;
}

std::optional<VolumeKind> detectExFAT(ByteSpan b, std::uint64_t diskSize) {
    const std::uint64_t volumeLength = Binary::rawU64le(b.data() + 72);
    const std::uint8_t sectorShift = b[108];
    if (volumeLength == 0 || sectorShift < 9 || sectorShift > 12) return std::nullopt;
    if ((diskSize >> sectorShift) + 4096 < volumeLength) return std::nullopt;
    if (b[109] > 16 || Binary::rawU32le(b.data() + 96) < 2 || Binary::rawU32le(b.data() + 92) == 0)
        return std::nullopt;
    return VolumeKind::exfat;
}

std::optional<VolumeKind> detectNTFS(ByteSpan b, std::uint64_t at, std::uint64_t diskSize) {
    const auto g = NTFSGeometry::parse(b, at);
    if (!g) return std::nullopt;
    const std::uint64_t volumeSize =
        g->totalSectors * static_cast<std::uint64_t>(g->bytesPerSector);
    if (volumeSize > diskSize || at + volumeSize > diskSize + kSlack) return std::nullopt;
    if (at + g->mftCluster * g->clusterSize >= diskSize) return std::nullopt;
    return VolumeKind::ntfs;
}

} // namespace

std::optional<VolumeKind> VolumeFinder::detect(ByteSpan boot, std::uint64_t at,
                                               std::uint64_t diskSize) {
    if (!hasBootMarker(boot) || at >= diskSize) return std::nullopt;
    if (std::memcmp(boot.data() + 3, "NTFS    ", 8) == 0) return detectNTFS(boot, at, diskSize);
    if (std::memcmp(boot.data() + 3, "EXFAT   ", 8) == 0) return detectExFAT(boot, diskSize);
    return detectFAT(boot, at, diskSize);
}

std::vector<FoundVolume> VolumeFinder::find(const BlockReader& reader) {
    if (reader.size() < 512) return {};
    const Bytes sector0 = reader.read(0, 512);
    if (sector0.size() < 512) return {};
    if (const auto kind = detect(sector0, 0, reader.size())) return {{0, *kind}};
    if (!hasBootMarker(sector0)) return {};
    auto volumes = Finder(reader, 512).run(sector0);
    // Disks with 4096-byte logical sectors count their partition tables in those units.
    std::set<std::uint64_t> units;
    if (reader.blockSize() > 512) units.insert(static_cast<std::uint64_t>(reader.blockSize()));
    units.insert(4096);
    for (auto unit = units.begin(); volumes.empty() && unit != units.end(); ++unit)
        volumes = Finder(reader, *unit).run(sector0);
    return volumes;
}

} // namespace vellary
