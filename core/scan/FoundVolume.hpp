#pragma once

#include <cstdint>
#include <string_view>

namespace vellary {

enum class VolumeKind { fat12, fat16, fat32, exfat, ntfs };

struct FoundVolume {
    std::uint64_t offset = 0; // byte offset of the volume's boot sector on the source
    VolumeKind kind = VolumeKind::fat32;

    bool operator==(const FoundVolume&) const = default;
};

inline std::string_view volumeKindName(VolumeKind kind) {
    switch (kind) {
    case VolumeKind::fat12:
        return "fat12";
    case VolumeKind::fat16:
        return "fat16";
    case VolumeKind::fat32:
        return "fat32";
    case VolumeKind::exfat:
        return "exfat";
    case VolumeKind::ntfs:
        return "ntfs";
    }
    return "unknown";
}

} // namespace vellary
