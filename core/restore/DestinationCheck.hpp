#pragma once

#include "core/records/RecoverError.hpp"

#include <cstdint>
#include <filesystem>
#include <optional>
#include <set>
#include <string>

namespace vellary {

// The checks made before writing anything: is the destination on the disk being read, and does
// it have room.
struct DestinationCheck {
    // Room kept free beyond the files themselves.
    static constexpr std::uint64_t kRecoveryMargin = 50ull * 1024 * 1024;
    static constexpr std::uint64_t kImageMargin = 100ull * 1024 * 1024;

    // What the system knows about disks and space; tests stand in their own answers.
    class Probe {
    public:
        virtual ~Probe() = default;
        virtual bool isBlockDevice(const std::filesystem::path& path) const = 0;
        // Kernel names of the whole disks behind a device node ("sdb" for /dev/sdb1).
        virtual std::set<std::string> disksOfDevice(const std::filesystem::path& device) const = 0;
        // Kernel names of the whole disks that hold an existing folder's file system.
        virtual std::set<std::string> disksHolding(const std::filesystem::path& folder) const = 0;
        // Bytes available to this user in an existing folder, when known.
        virtual std::optional<std::uint64_t>
        freeSpace(const std::filesystem::path& folder) const = 0;
    };
    // The running system: sysfs for disks (through partitions, device-mapper slaves and the
    // files behind loop devices), statvfs for space.
    static const Probe& system();

    // The folder itself when it exists, else its nearest existing parent ("/" at the latest).
    static std::filesystem::path nearestExisting(const std::filesystem::path& path);
    // True when source is a disk (not an image file) that also holds the destination.
    static bool onSource(const std::filesystem::path& destination,
                         const std::filesystem::path& source, const Probe& probe);

    // Before saving totalBytes of found files into folder: destinationOnSource, or
    // notEnoughSpace when free space (when known) is below totalBytes plus the margin.
    static std::optional<RecoverError> forRecovery(const std::filesystem::path& folder,
                                                   const std::filesystem::path& source,
                                                   std::uint64_t totalBytes, const Probe& probe);
    // The size of a regular file at path (not followed through a link), 0 when there is none.
    static std::uint64_t existingSize(const std::filesystem::path& path);
    // Before copying sourceSize bytes into the image file imagePath; a file already there
    // counts as free space, since the copy takes its place.
    static std::optional<RecoverError> forImage(const std::filesystem::path& imagePath,
                                                const std::filesystem::path& source,
                                                std::uint64_t sourceSize, const Probe& probe);
};

} // namespace vellary
