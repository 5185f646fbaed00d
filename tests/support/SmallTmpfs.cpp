#include "tests/support/SmallTmpfs.hpp"

#include <cstdlib>
#include <stdexcept>
#include <sys/mount.h>
#include <unistd.h>

namespace vellary::testing {

SmallTmpfs::SmallTmpfs(std::uint64_t bytes) {
    std::string pattern =
        (std::filesystem::temp_directory_path() / "vellary-tmpfs-XXXXXX").string();
    if (::mkdtemp(pattern.data()) == nullptr) throw std::runtime_error("mkdtemp failed");
    path_ = pattern;
    const std::string options = "size=" + std::to_string(bytes) + ",mode=0755";
    mounted_ = ::mount("tmpfs", path_.c_str(), "tmpfs", MS_NOSUID | MS_NODEV, options.c_str()) == 0;
}

SmallTmpfs::~SmallTmpfs() {
    if (mounted_) ::umount2(path_.c_str(), MNT_DETACH);
    ::rmdir(path_.c_str());
}

} // namespace vellary::testing
