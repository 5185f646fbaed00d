#pragma once

#include "core/io/BlockReader.hpp"
#include "core/records/ScanOptions.hpp"
#include "core/scan/FATGeometry.hpp"
#include "core/scan/FoundVolume.hpp"
#include "core/scan/VolumeNotes.hpp"

#include <vector>

namespace vellary {

// Deleted and live files of a FAT16 or FAT32 volume.
struct FATScanner {
    // Collects into its own lists and hands them over only when the whole volume succeeded.
    // Unreadable folders are passed over and noted in notes.
    static void scan(const BlockReader& reader, const FoundVolume& volume,
                     const ScanOptions& options, std::vector<RecoverableFile>& sink,
                     std::vector<ByteRange>& used, VolumeNotes* notes = nullptr);
    // Boot sector and first FAT (a sector that cannot be read is taken from the second copy);
    // fails with RecoverError::message for a damaged volume.
    static FATGeometry load(const BlockReader& reader, const FoundVolume& volume);

    // Folders more than this many levels below the root are not entered.
    static constexpr int kMaxDepth = 32;
    static constexpr std::size_t kMaxFiles = 100000;
    static constexpr std::uint64_t kMaxFATBytes = 0x4000000;
    static constexpr std::uint64_t kMaxLiveChain = 0x1000000;
};

} // namespace vellary
