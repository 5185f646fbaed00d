#pragma once

#include "core/io/BlockReader.hpp"

#include <cstdint>
#include <filesystem>
#include <string>

namespace vellary::testing {

struct NtfsImage {
    // mkfs.ntfs -Q -F on a fresh image file of the given size; extra goes on the command line.
    static bool format(const std::filesystem::path& image, std::uint64_t size,
                       const std::string& extra = "");
};

// An ntfs-3g FUSE mount of an image file, unmounted when the object dies.
class NtfsMount {
public:
    NtfsMount(const std::filesystem::path& image, const std::filesystem::path& mountPoint);
    ~NtfsMount() { unmount(); }
    NtfsMount(const NtfsMount&) = delete;
    NtfsMount& operator=(const NtfsMount&) = delete;

    bool mounted() const { return mounted_; }
    const std::filesystem::path& root() const { return mountPoint_; }
    bool unmount();

private:
    std::filesystem::path mountPoint_;
    bool mounted_ = false;
};

// Deterministic pseudo-random bytes, optionally starting with a header.
Bytes patternBytes(std::size_t size, std::uint32_t seed, const Bytes& header = {});

} // namespace vellary::testing
