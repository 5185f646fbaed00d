#pragma once

#include "tests/support/Tools.hpp"

#include <sys/mount.h>

namespace vellary::testing {

// A real block device for one test: an ext4 image file attached to a loop device and mounted.
// Needs root, losetup and mkfs.ext4; check ready() and skip otherwise.
class LoopDisk {
public:
    LoopDisk(const std::filesystem::path& folder, std::uint64_t size)
        : image_(folder / "loop-disk.img"), mountPoint_(folder / "loop-mount") {
        if (!missingTool({"losetup", "mkfs.ext4"}).empty()) return;
        makeBlankFile(image_, size);
        // Inode tables written up front, or the kernel changes the disk under a test copying it.
        if (run("mkfs.ext4 -q -F -E lazy_itable_init=0,lazy_journal_init=0 '" + image_.string() +
                "'") != 0)
            return;
        const std::string node = capture("losetup -f --show '" + image_.string() + "' 2>/dev/null");
        if (node.empty()) return;
        device_ = node.substr(0, node.find_last_not_of("\n ") + 1);
        std::filesystem::create_directories(mountPoint_);
        mounted_ = ::mount(device_.c_str(), mountPoint_.c_str(), "ext4", 0, nullptr) == 0;
    }
    ~LoopDisk() {
        if (mounted_) ::umount(mountPoint_.c_str());
        if (!device_.empty()) run("losetup -d '" + device_.string() + "'");
    }
    bool ready() const { return mounted_; }
    const std::filesystem::path& device() const { return device_; }
    const std::filesystem::path& mountPoint() const { return mountPoint_; }

private:
    std::filesystem::path image_, device_, mountPoint_;
    bool mounted_ = false;
};

} // namespace vellary::testing
