#pragma once

#include "core/io/BlockReader.hpp"
#include "core/records/ScanOptions.hpp"
#include "core/scan/FoundVolume.hpp"

#include <vector>

namespace vellary {

// Deleted and live files of a FAT16 or FAT32 volume.
struct FATScanner {
    // Collects into its own lists and hands them over only when the whole volume succeeded.
    static void scan(const BlockReader& reader, const FoundVolume& volume,
                     const ScanOptions& options, std::vector<RecoverableFile>& sink,
                     std::vector<ByteRange>& used);
};

} // namespace vellary
