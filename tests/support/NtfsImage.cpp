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

bool NtfsImage::embed(const std::filesystem::path& partition, const std::filesystem::path& disk,
                      const std::string& label, std::uint64_t startSector) {
    if (!haveTool("sfdisk")) return false;
    const std::uint64_t partSize = std::filesystem::file_size(partition);
    const std::uint64_t sectors = partSize / 512;
    // Room after the partition for a GPT backup header.
    makeBlankFile(disk, startSector * 512 + partSize + 1024 * 1024);
    const std::string type = label == "gpt" ? "EBD0A0A2-B9E5-4433-87C0-68B6B72699C7" : "7";
    const std::string script = "label: " + label + "\\n" + std::to_string(startSector) + " " +
                               std::to_string(sectors) + " " + type + "\\n";
    if (run("printf '" + script + "' | sfdisk --no-reread --no-tell-kernel -q '" + disk.string() +
            "' >/dev/null") != 0)
        return false;
    return run("dd if='" + partition.string() + "' of='" + disk.string() + "' bs=512 seek=" +
               std::to_string(startSector) + " conv=notrunc,sparse status=none") == 0;
}

NtfsMount::NtfsMount(const std::filesystem::path& image, const std::filesystem::path& mountPoint)
    : mountPoint_(mountPoint) {
    std::filesystem::create_directories(mountPoint);
    if (!haveTool("ntfs-3g")) return;
    mounted_ = run("ntfs-3g '" + image.string() + "' '" + mountPoint.string() + "'") == 0;
}

NtfsMount::~NtfsMount() {
    unmount();
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
        x ^= x << 13;
        x ^= x >> 17;
        x ^= x << 5;
        out.push_back(static_cast<std::uint8_t>(x));
    }
    out.resize(size);
    return out;
}

} // namespace vellary::testing
