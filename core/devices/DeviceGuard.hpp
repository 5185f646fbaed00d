#pragma once

#include <optional>
#include <string>
#include <string_view>

namespace vellary {

// The facts about one disk that decide whether it may be offered.
struct DeviceFacts {
    std::string identifier;
    bool wholeDisk = false;
    bool virtualDisk = false; // an attached image (a loop device)
    bool removableOrExternal = false;
    std::string bus; // "usb", "sata", "secure digital", "pci", "disk image", ...
    bool internalDisk = false;
    bool startup = false;

    bool operator==(const DeviceFacts&) const = default;
};

struct DeviceGuard {
    static bool isRecoverable(const DeviceFacts& facts, bool allowDiskImages) {
        return !refusal(facts, allowDiskImages);
    }
    // Why the disk is refused, as a sentence for the user; nothing when it may be scanned.
    static std::optional<std::string> refusal(const DeviceFacts& facts, bool allowDiskImages);
    // The whole disk named by a kernel name or a node: /dev/sdb, sdb, sdb1, mmcblk0p1 and
    // nvme1n1p2 name one; a partition's node (/dev/sdb1) names none.
    static std::optional<std::string> diskIdentifier(std::string_view text);
    // A kernel name of a whole disk that may ever be offered (never sr, zram, dm-, md, nbd, or
    // the boot and rpmb areas of an eMMC).
    static bool isWholeDiskName(std::string_view name);
};

} // namespace vellary
