#pragma once

#include "core/io/BlockReader.hpp"
#include "tests/support/ByteWriters.hpp"

#include <cstdint>
#include <filesystem>
#include <string>

namespace vellary::testing {

// Writes a partition table onto an image file with sfdisk (script in sfdisk's input format).
bool partitionImage(const std::filesystem::path& image, const std::string& sfdiskScript);
// Formats a scratch file of the given size with a real mkfs command ("{}" stands for the file)
// and copies it into the image at offset.
bool formatInto(const std::filesystem::path& image, std::uint64_t offset, std::uint64_t size,
                const std::string& mkfsCommand);

// A FAT32 boot sector (512-byte sectors and clusters, 32 reserved sectors, two FATs) for
// hand-built fixtures.
Bytes fatBootSector(std::uint32_t totalSectors, std::uint32_t fatSectors);
// Places bytes into a buffer at offset, growing it if needed.
void put(Bytes& image, std::uint64_t offset, const Bytes& bytes);

} // namespace vellary::testing
