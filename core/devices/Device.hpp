#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace vellary {

// A whole disk that may be scanned, as the catalog describes it.
struct Device {
    enum class Kind { memoryCard, usbDrive, externalDrive, diskImage };

    std::string id; // kernel name of the whole disk: sdb, mmcblk0, nvme1n1, loop3
    std::string name;
    Kind kind = Kind::externalDrive;
    std::uint64_t size = 0;
    std::int64_t blockSize = 512;
    std::vector<std::string> filesystems;
    std::vector<std::string> mountPoints;
    std::vector<std::string> partitionIDs;
    std::optional<std::string> camera;
    std::string media;
    bool solidState = false;
    // The partitions (or the bare disk) that were mounted when listed: only these are mounted
    // again after a scan.
    std::vector<std::string> mountedPartitions;
    // Who the disk is, not which reader holds it: a stale unmount record must never match
    // another card of the same model.
    std::string identity;

    std::string rawNode() const { return "/dev/" + id; }
    bool isMounted() const { return !mountPoints.empty(); }
    std::string detail() const;

    bool operator==(const Device&) const = default;
};

namespace deviceKind {
std::string_view rawValue(Device::Kind kind);
std::optional<Device::Kind> fromRaw(std::string_view raw);
} // namespace deviceKind

} // namespace vellary
