#pragma once

#include "core/io/BlockReader.hpp"

#include <cstdint>
#include <filesystem>
#include <optional>
#include <string>

namespace vellary::testing {

// A FAT16 or FAT32 card image made by mkfs.fat and written with mtools on the image file
// itself (no mount). Byte-level helpers patch it for malformed cases.
class FatImage {
public:
    static bool toolsAvailable();

    FatImage(std::filesystem::path path, std::uint64_t size, int fatBits, int sectorsPerCluster);
    void makeDirectory(const std::string& imagePath) const;
    // Copies a local file in, keeping its modification time.
    void copyIn(const std::filesystem::path& local, const std::string& imagePath) const;
    void remove(const std::string& imagePath) const;
    void removeTree(const std::string& imagePath) const;
    // FAT32: forgets the next-free hint, so mtools fills the first gap (as a camera does)
    // instead of appending after the last file. No-op on FAT16.
    void forgetNextFreeHint() const;
    const std::filesystem::path& path() const { return path_; }
    std::uint64_t partitionOffset() const { return 0; } // the file system starts at byte 0
    Bytes bytes() const;
    void writeBytes(std::uint64_t offset, const Bytes& data) const;

    // Layout as the boot sector states it (read independently of the scanner).
    struct Layout {
        std::uint64_t bytesPerSector = 0, clusterSize = 0;
        // Absolute offsets of the first FAT, FAT16's fixed root and cluster 2.
        std::uint64_t fatOffset = 0, rootOffset = 0, dataOffset = 0;
        std::uint32_t rootCluster = 0; // FAT32
        std::uint64_t clusterOffset(std::uint32_t c) const {
            return dataOffset + (c - 2) * clusterSize;
        }
    };
    Layout layout() const;
    // Absolute offset of the 32-byte entry whose first 11 bytes (after byte 0) match the short
    // name's bytes 1..10, searched in the whole image's directory areas by brute force.
    std::optional<std::uint64_t> findEntry(const std::string& shortName11) const;

private:
    std::string target() const { return "'" + path_.string() + "'"; }

    std::filesystem::path path_;
    int fatBits_ = 32;
};

// Writes bytes into an existing fixture file at offset (for damaging images on purpose).
void patchFile(const std::filesystem::path& path, std::uint64_t offset, const Bytes& data);
std::string patternBytes(std::size_t size, std::uint32_t seed);
// Sets a file's modification time (local time "YYYY-MM-DD HH:MM:SS").
void setModified(const std::filesystem::path& path, const std::string& localTime);
// A real JPEG made by ImageMagick (noise, so it does not compress away); false when unavailable.
bool makeJpeg(const std::filesystem::path& path, int width, int height, int seed);
// A real MP4 made by ffmpeg; false when unavailable.
bool makeMp4(const std::filesystem::path& path, int seconds);

} // namespace vellary::testing
