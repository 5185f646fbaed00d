#pragma once

#include "core/io/BlockReader.hpp"
#include "core/records/ScanOptions.hpp"
#include "core/scan/FoundVolume.hpp"

#include <vector>

namespace vellary {

// Deleted files of an NTFS volume, from its master file table.
struct NTFSScanner {
    // Parses the boot sector (a failure is RecoverError::message "The NTFS boot sector is
    // unreadable."), claims the boot area, backup boot sector and MFT, walks the MFT and recovers
    // files. Appends to sink and used directly.
    static void scanVolume(const BlockReader& reader, const FoundVolume& volume,
                           const ScanOptions& options, std::vector<RecoverableFile>& sink,
                           std::vector<ByteRange>& used);
};

} // namespace vellary
