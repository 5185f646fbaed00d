#pragma once

#include "core/devices/Device.hpp"
#include "core/devices/ProcessRunner.hpp"

#include <filesystem>
#include <memory>
#include <nlohmann/json_fwd.hpp>
#include <optional>
#include <set>
#include <string>
#include <string_view>
#include <vector>

namespace vellary {

// Lists the disks that may be scanned (from one `lsblk --json` run) and drives udisksctl to
// unmount, mount and eject them. It keeps no state: every call asks the system again.
class DeviceCatalog {
public:
    // Where the system is read from; tests point these elsewhere.
    struct Paths {
        std::filesystem::path sysRoot = "/sys";
        std::filesystem::path mountInfo = "/proc/self/mountinfo";
        std::filesystem::path swaps = "/proc/swaps";
        // A disk that backs any of these runs the system and is never offered.
        std::vector<std::filesystem::path> systemFolders = {"/",    "/boot", "/boot/efi",
                                                            "/usr", "/var",  "/home"};
    };

    explicit DeviceCatalog(std::shared_ptr<ProcessRunner> runner = ProcessRunner::system());
    DeviceCatalog(std::shared_ptr<ProcessRunner> runner, Paths paths);

    // The disks offered to the user, sorted by name. Throws when lsblk fails.
    std::vector<Device> devices() const;
    // The listed disk behind a node such as /dev/sdb; throws RecoverError.unsafeDevice with the
    // reason when that disk is not offered.
    Device listed(std::string_view node) const;
    // True when volumes were unmounted, false when none was mounted. On failure, mounts again
    // what it unmounted and throws the "in use" message.
    bool unmount(const Device& device) const;
    // Mounts the partitions that were mounted when the device was listed (all partitions with a
    // file system when none was); the outcome is ignored.
    void mount(const Device& device) const;
    // Unmount, then power off (a loop device is detached). True when that worked, or when the
    // volumes were unmounted but the disk cannot be powered off.
    bool eject(const Device& device) const;
    // True when the folder (which need not exist yet) lies on the device.
    bool destination(const std::filesystem::path& folder, const Device& device) const;

    static std::optional<std::string> friendlyFilesystem(std::string_view text);
    // RECOVER_ALLOW_DISK_IMAGES, read now: whole-disk names of the images that may be offered.
    // "1" or "all" allows every attached image.
    static std::set<std::string> allowedDiskImages();

    // The lsblk invocation, for tests that record its output.
    static std::vector<std::string> listArguments();

private:
    std::string listing() const;
    std::set<std::string> startupDisks(const nlohmann::json& disks) const;
    std::set<std::string> wholeDisksOf(std::uint64_t deviceNumber) const;
    std::set<std::string> wholeDisksOfSysfs(const std::filesystem::path& dir, int depth) const;
    std::vector<std::string> mountedNodes(const std::vector<std::string>& nodes) const;
    bool udisks(const char* verb, const std::string& node) const;

    std::shared_ptr<ProcessRunner> runner_;
    Paths paths_;
};

} // namespace vellary
