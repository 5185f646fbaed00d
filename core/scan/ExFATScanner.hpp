#pragma once

#include "core/io/BlockReader.hpp"
#include "core/records/ScanOptions.hpp"
#include "core/scan/FoundVolume.hpp"

#include <vector>

namespace vellary {

// Deleted files of an exFAT volume.
struct ExFATScanner {
    // Loads the geometry, walks the root directory and claims the boot area. Appends to sink and
    // used directly, so a failure part-way keeps what was found until then.
    static void scanVolume(const BlockReader& reader, const FoundVolume& volume,
                           const ScanOptions& options, std::vector<RecoverableFile>& sink,
                           std::vector<ByteRange>& used);
};

} // namespace vellary
