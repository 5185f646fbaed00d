#pragma once

#include "core/io/BlockReader.hpp"

#include <cstdint>
#include <filesystem>
#include <string>

namespace vellary::testing {

// An exFAT card image made by mkfs.exfat, with a builder for directory entry sets written
// straight into its folders (for the malformed cases no real tool writes).
class ExFatImage {
public:
    static bool formatAvailable();

    ExFatImage(std::filesystem::path path, std::uint64_t size, std::uint64_t clusterSize);

    struct Layout {
        std::uint64_t bytesPerSector = 0, clusterSize = 0, fatOffset = 0, heapOffset = 0;
        std::uint32_t clusterCount = 0, rootCluster = 0;
        std::uint64_t clusterOffset(std::uint32_t c) const {
            return heapOffset + (c - 2) * clusterSize;
        }
    };
    Layout layout() const;
    const std::filesystem::path& path() const { return path_; }
    Bytes bytes() const;
    void writeBytes(std::uint64_t offset, const Bytes& data) const;

    struct EntrySet {
        std::u16string name;
        bool deleted = true, directory = false;
        std::uint32_t firstCluster = 0;
        std::uint64_t validLength = 0, dataLength = 0;
        bool noFatChain = true;
        std::uint32_t modified = 0, created = 0;
        int secondaryCount = -1; // default: the stream entry plus the name entries
    };
    static Bytes encode(const EntrySet& set);
    // Writes entries at the first free slot of the folder whose data starts at folderCluster
    // (within that cluster); returns their absolute offset.
    std::uint64_t append(std::uint32_t folderCluster, const Bytes& entries) const;
    void setFat(std::uint32_t cluster, std::uint32_t value) const;
    // Clusters in the upper half of the heap, which a fresh format leaves free.
    std::uint32_t spareCluster(std::uint32_t index) const;
    // An exFAT timestamp (the FAT date and time fields in one 32-bit word).
    static std::uint32_t stamp(int year, int month, int day, int hour, int minute, int second);

private:
    std::filesystem::path path_;
};

// The image mounted read-write through exfat-fuse on a loop device, for as long as it lives.
class ExFatMount {
public:
    ExFatMount(const std::filesystem::path& image, const std::filesystem::path& mountPoint);
    ~ExFatMount() { unmount(); }
    ExFatMount(const ExFatMount&) = delete;
    ExFatMount& operator=(const ExFatMount&) = delete;

    bool mounted() const { return mounted_; }
    const std::string& failure() const { return failure_; }
    // Unmounts now (flushes everything to the image); safe to call twice.
    void unmount();

private:
    std::filesystem::path mountPoint_;
    std::string loop_;
    bool mounted_ = false;
    std::string failure_;
};

} // namespace vellary::testing
