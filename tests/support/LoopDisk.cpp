#include "tests/support/LoopDisk.hpp"

#include "tests/support/Tools.hpp"

#include <sys/mount.h>

namespace vellary::testing {

LoopDisk::LoopDisk(const std::filesystem::path& folder, std::uint64_t size)
    : image_(folder / "loop-disk.img"), mountPoint_(folder / "loop-mount") {
    if (!haveTool("losetup") || !haveTool("mkfs.ext4")) return;
    makeBlankFile(image_, size);
    // Inode tables written up front: the kernel would otherwise fill them in after mounting,
    // changing the disk under a test that copies it.
    if (run("mkfs.ext4 -q -F -E lazy_itable_init=0,lazy_journal_init=0 '" + image_.string() +
            "'") != 0)
        return;
    std::string node = capture("losetup -f --show '" + image_.string() + "' 2>/dev/null");
    while (!node.empty() && (node.back() == '\n' || node.back() == ' '))
        node.pop_back();
    if (node.empty()) return;
    device_ = node;
    std::filesystem::create_directories(mountPoint_);
    mounted_ = ::mount(device_.c_str(), mountPoint_.c_str(), "ext4", 0, nullptr) == 0;
}

LoopDisk::~LoopDisk() {
    if (mounted_) ::umount(mountPoint_.c_str());
    if (!device_.empty()) run("losetup -d '" + device_.string() + "'");
}

} // namespace vellary::testing
