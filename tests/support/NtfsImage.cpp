#include "tests/support/NtfsImage.hpp"

#include "tests/support/Tools.hpp"

#include <algorithm>

namespace vellary::testing {
bool NtfsImage::format(const std::filesystem::path& image, std::uint64_t size,
                       const std::string& extra) {
    if (!haveTool("mkfs.ntfs")) return false;
    makeBlankFile(image, size);
    return run("mkfs.ntfs -Q -F " + extra + " '" + image.string() + "' >/dev/null") == 0;
}

NtfsMount::NtfsMount(const std::filesystem::path& image, const std::filesystem::path& mountPoint)
    : mountPoint_(mountPoint) {
    std::filesystem::create_directories(mountPoint);
    if (!haveTool("ntfs-3g")) return;
    mounted_ = run("ntfs-3g '" + image.string() + "' '" + mountPoint.string() + "'") == 0;
}

bool NtfsMount::unmount() {
    if (!mounted_) return true;
    // fusermount may be missing as root; umount works then.
    mounted_ = run("umount '" + mountPoint_.string() + "' || fusermount -u '" +
                   mountPoint_.string() + "'") != 0;
    return !mounted_;
}

Bytes patternBytes(std::size_t size, std::uint32_t seed, const Bytes& header) {
    Bytes out(header.begin(), header.end());
    std::uint32_t x = seed * 2654435761u + 1;
    while (out.size() < size) {
        x ^= x << 13, x ^= x >> 17, x ^= x << 5;
        out.push_back(static_cast<std::uint8_t>(x));
    }
    out.resize(size);
    return out;
}

} // namespace vellary::testing
