#include "core/restore/DestinationCheck.hpp"

#include <fstream>
#include <sys/stat.h>
#include <sys/statvfs.h>
#include <sys/sysmacros.h>

namespace vellary {
namespace {

namespace fs = std::filesystem;

// Device-mapper stacks and loop files rarely go deeper than a few levels; the cap stops a cycle.
constexpr int kMaxDepth = 16;

std::string firstLine(const fs::path& file) {
    std::ifstream in(file);
    std::string line;
    std::getline(in, line);
    return line;
}

// Whether a loop device stands for the disk that holds its backing file. True on the writing
// side: files saved into a loop-mounted image land on that disk. False on the reading side: an
// attached image is only a file, which writes elsewhere on its disk never overwrite.
enum class Backing { follow, ignore };

void collectDisks(dev_t device, Backing backing, int depth, std::set<std::string>& disks);

void collectDisksOfFile(const fs::path& path, int depth, std::set<std::string>& disks) {
    struct stat st {};
    if (::stat(path.c_str(), &st) == 0) collectDisks(st.st_dev, Backing::follow, depth + 1, disks);
}

// Follows /sys/dev/block/MAJ:MIN up to whole disks: a partition to its disk, a device-mapper
// or RAID device to its slaves, and a loop device (when asked) to the disk of its backing file.
void collectDisks(dev_t device, Backing backing, int depth, std::set<std::string>& disks) {
    if (depth > kMaxDepth) return;
    std::error_code error;
    const fs::path link =
        "/sys/dev/block/" + std::to_string(major(device)) + ":" + std::to_string(minor(device));
    fs::path node = fs::canonical(link, error);
    if (error) return;
    if (fs::exists(node / "partition", error)) node = node.parent_path();
    bool stacked = false;
    for (const auto& slave : fs::directory_iterator(node / "slaves", error)) {
        const std::string numbers = firstLine(slave.path() / "dev");
        unsigned major = 0;
        unsigned minor = 0;
        if (std::sscanf(numbers.c_str(), "%u:%u", &major, &minor) == 2) {
            collectDisks(makedev(major, minor), backing, depth + 1, disks);
            stacked = true;
        }
    }
    if (backing == Backing::follow) {
        const std::string file = firstLine(node / "loop" / "backing_file");
        if (!file.empty()) collectDisksOfFile(file, depth, disks);
    }
    if (!stacked) disks.insert(node.filename().string());
}

class SystemProbe final : public DestinationCheck::Probe {
public:
    bool isBlockDevice(const fs::path& path) const override {
        struct stat st {};
        return ::stat(path.c_str(), &st) == 0 && S_ISBLK(st.st_mode);
    }
    std::set<std::string> disksOfDevice(const fs::path& device) const override {
        std::set<std::string> disks;
        struct stat st {};
        if (::stat(device.c_str(), &st) == 0 && S_ISBLK(st.st_mode))
            collectDisks(st.st_rdev, Backing::ignore, 0, disks);
        return disks;
    }
    std::set<std::string> disksHolding(const fs::path& folder) const override {
        std::set<std::string> disks;
        collectDisksOfFile(folder, -1, disks);
        return disks;
    }
    std::optional<std::uint64_t> freeSpace(const fs::path& folder) const override {
        struct statvfs info {};
        if (::statvfs(folder.c_str(), &info) != 0) return std::nullopt;
        std::uint64_t bytes = 0;
        if (__builtin_mul_overflow(static_cast<std::uint64_t>(info.f_bavail),
                                   static_cast<std::uint64_t>(info.f_frsize), &bytes))
            return UINT64_MAX;
        return bytes;
    }
};

std::uint64_t plus(std::uint64_t a, std::uint64_t b) {
    std::uint64_t sum = 0;
    return __builtin_add_overflow(a, b, &sum) ? UINT64_MAX : sum;
}

} // namespace

const DestinationCheck::Probe& DestinationCheck::system() {
    static const SystemProbe probe;
    return probe;
}

std::uint64_t DestinationCheck::existingSize(const fs::path& path) {
    struct stat st {};
    if (::lstat(path.c_str(), &st) != 0 || !S_ISREG(st.st_mode)) return 0;
    return static_cast<std::uint64_t>(st.st_size);
}

fs::path DestinationCheck::nearestExisting(const fs::path& path) {
    std::error_code error;
    fs::path folder = fs::absolute(path, error).lexically_normal();
    if (error) folder = path.lexically_normal();
    while (!fs::is_directory(folder, error)) {
        const fs::path parent = folder.parent_path();
        if (parent.empty() || parent == folder) return "/";
        folder = parent;
    }
    return folder;
}

bool DestinationCheck::onSource(const fs::path& destination, const fs::path& source,
                                const Probe& probe) {
    // An image file is never overwritten by new files next to it; only a disk can be.
    if (!probe.isBlockDevice(source)) return false;
    const auto sourceDisks = probe.disksOfDevice(source);
    for (const auto& disk : probe.disksHolding(nearestExisting(destination)))
        if (sourceDisks.count(disk) != 0) return true;
    return false;
}

std::optional<RecoverError> DestinationCheck::forRecovery(const fs::path& folder,
                                                          const fs::path& source,
                                                          std::uint64_t totalBytes,
                                                          const Probe& probe) {
    if (onSource(folder, source, probe)) return RecoverError::destinationOnSource();
    const std::uint64_t needed = plus(totalBytes, kRecoveryMargin);
    const auto free = probe.freeSpace(nearestExisting(folder));
    if (free && *free < needed) return RecoverError::notEnoughSpace(needed, *free);
    return std::nullopt;
}

std::optional<RecoverError> DestinationCheck::forImage(const fs::path& imagePath,
                                                       const fs::path& source,
                                                       std::uint64_t sourceSize,
                                                       const Probe& probe) {
    const fs::path folder =
        nearestExisting(imagePath.parent_path().empty() ? fs::path(".") : imagePath.parent_path());
    if (onSource(folder, source, probe)) return RecoverError::destinationOnSource();
    const auto free = probe.freeSpace(folder);
    if (!free) return std::nullopt;
    // A file already at the path is replaced by the copy, so its room counts as free.
    const std::uint64_t available = plus(*free, existingSize(imagePath));
    if (available < plus(sourceSize, kImageMargin))
        return RecoverError::notEnoughSpace(sourceSize, available);
    return std::nullopt;
}

} // namespace vellary
