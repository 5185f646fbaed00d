#pragma once

#include "tests/support/Tools.hpp"

#include <sys/mount.h>

namespace vellary::testing {

// A tiny tmpfs mounted for one test, to run out of space for real. Needs root; check mounted().
class SmallTmpfs {
public:
    explicit SmallTmpfs(std::uint64_t bytes) {
        const std::string options = "size=" + std::to_string(bytes) + ",mode=0755";
        mounted_ = ::mount("tmpfs", dir_.path().c_str(), "tmpfs", MS_NOSUID | MS_NODEV,
                           options.c_str()) == 0;
    }
    ~SmallTmpfs() {
        if (mounted_) ::umount2(dir_.path().c_str(), MNT_DETACH);
    }
    bool mounted() const { return mounted_; }
    const std::filesystem::path& path() const { return dir_.path(); }

private:
    TempDir dir_;
    bool mounted_ = false;
};

} // namespace vellary::testing
