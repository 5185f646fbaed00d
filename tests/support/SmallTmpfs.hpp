#pragma once

#include <cstdint>
#include <filesystem>
#include <string>

namespace vellary::testing {

// A tiny tmpfs mounted for one test, to run out of space for real. Needs root; check mounted().
class SmallTmpfs {
public:
    explicit SmallTmpfs(std::uint64_t bytes);
    ~SmallTmpfs();
    SmallTmpfs(const SmallTmpfs&) = delete;
    SmallTmpfs& operator=(const SmallTmpfs&) = delete;

    bool mounted() const { return mounted_; }
    const std::filesystem::path& path() const { return path_; }

private:
    std::filesystem::path path_;
    bool mounted_ = false;
};

} // namespace vellary::testing
