#pragma once

#include <cstdint>
#include <filesystem>

namespace vellary::testing {

// A real block device for one test: an ext4 image file attached to a loop device and mounted.
// Needs root, losetup and mkfs.ext4; check ready() and skip otherwise.
class LoopDisk {
public:
    LoopDisk(const std::filesystem::path& folder, std::uint64_t size);
    ~LoopDisk();
    LoopDisk(const LoopDisk&) = delete;
    LoopDisk& operator=(const LoopDisk&) = delete;

    bool ready() const { return mounted_; }
    // The /dev/loopN node, and where its file system is mounted.
    const std::filesystem::path& device() const { return device_; }
    const std::filesystem::path& mountPoint() const { return mountPoint_; }

private:
    std::filesystem::path image_;
    std::filesystem::path device_;
    std::filesystem::path mountPoint_;
    bool mounted_ = false;
};

} // namespace vellary::testing
