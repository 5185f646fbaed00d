#include "tests/support/DiskImages.hpp"

#include "tests/support/Tools.hpp"

#include <cstring>

namespace vellary::testing {

bool partitionImage(const std::filesystem::path& image, const std::string& sfdiskScript) {
    writeFile(image.string() + ".sfdisk", sfdiskScript);
    return run("sfdisk --no-reread --no-tell-kernel -q '" + image.string() + "' < '" +
               image.string() + ".sfdisk' >/dev/null && rm '" + image.string() + ".sfdisk'") == 0;
}

bool formatInto(const std::filesystem::path& image, std::uint64_t offset, std::uint64_t size,
                const std::string& mkfsCommand) {
    const auto scratch = image.string() + ".part";
    makeBlankFile(scratch, size);
    std::string command = mkfsCommand;
    const auto slot = command.find("{}");
    if (slot != std::string::npos) command.replace(slot, 2, "'" + scratch + "'");
    bool ok = run(command + " >/dev/null") == 0;
    ok = ok && run("dd if='" + scratch + "' of='" + image.string() +
                   "' bs=64K conv=notrunc,sparse oflag=seek_bytes seek=" + std::to_string(offset) +
                   " status=none") == 0;
    std::filesystem::remove(scratch);
    return ok;
}

void put(Bytes& image, std::uint64_t offset, const Bytes& bytes) {
    if (bytes.empty()) return;
    if (image.size() < offset + bytes.size()) image.resize(offset + bytes.size(), 0);
    std::memcpy(image.data() + offset, bytes.data(), bytes.size());
}

Bytes fatBootSector(std::uint32_t totalSectors, std::uint32_t fatSectors) {
    Bytes b(512, 0);
    put(b, 0, {0xEB, 0x3C, 0x90, 'M', 'S', 'D', 'O', 'S', '5', '.', '0'});
    putLE(b, 11, 512, 2);
    b[13] = 1;  // sectors per cluster
    b[14] = 32; // reserved sectors
    b[16] = 2;  // FATs
    b[21] = 0xF8;
    putLE(b, 32, totalSectors, 4);
    putLE(b, 36, fatSectors, 4);
    putLE(b, 44, 2, 4); // root cluster
    putLE(b, 510, 0xAA55, 2);
    return b;
}

} // namespace vellary::testing
