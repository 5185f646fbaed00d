#pragma once

#include "core/io/Binary.hpp"
#include "core/io/BlockReader.hpp"
#include "core/records/ScanOptions.hpp"
#include "core/scan/ExFATGeometry.hpp"
#include "core/scan/FoundVolume.hpp"
#include "core/scan/VolumeNotes.hpp"

#include <optional>
#include <string>
#include <unordered_set>
#include <vector>

namespace vellary {

// Deleted files of an exFAT volume.
struct ExFATScanner {
    // Loads the geometry, walks the root directory and claims the boot area. Appends to sink and
    // used directly, so a failure part-way keeps what was found until then.
    // Unreadable folders are passed over and, like the file limit, noted in notes.
    static void scanVolume(const BlockReader& reader, const FoundVolume& volume,
                           const ScanOptions& options, std::vector<RecoverableFile>& sink,
                           std::vector<ByteRange>& used, VolumeNotes* notes = nullptr);
    // Boot sector and allocation table; fails with RecoverError::message.
    static ExFATGeometry load(const BlockReader& reader, const FoundVolume& volume);
    // The allocation bitmap named in the root folder; empty when it is missing or unreadable.
    static ClusterBits loadBitmap(const BlockReader& reader, const ExFATGeometry& geometry);
    // One folder and, recursively, the folders in it. The file limit counts the sink's files
    // from volumeStart on.
    static void walk(std::uint32_t start, std::optional<std::uint64_t> byteCount, bool noFatChain,
                     const ExFATGeometry& geometry, const BlockReader& reader,
                     const std::string& folder, int depth, const ScanOptions& options,
                     std::unordered_set<std::uint32_t>& visited, std::vector<RecoverableFile>& sink,
                     std::vector<ByteRange>& used, VolumeNotes* notes = nullptr,
                     std::size_t volumeStart = 0, bool orphan = false);
    // Folders that no walked folder reaches any more (a quick format rewrites the root), found in
    // one pass over the clusters the bitmap marks free and walked under "Recovered folder N", their
    // files listed as deleted ones. Needs the bitmap.
    static void walkOrphans(const ExFATGeometry& geometry, const BlockReader& reader,
                            const ScanOptions& options, std::unordered_set<std::uint32_t>& visited,
                            std::vector<RecoverableFile>& sink, std::vector<ByteRange>& used,
                            VolumeNotes* notes, std::size_t volumeStart);
    // The entry-set checksum, with the in-use bit set on every type byte as it was when written.
    static std::uint16_t setChecksum(ByteSpan set);
    // The name held by the File Name entries of an entry set (File entry first).
    static std::string fileName(ByteSpan set, int secondaryCount);
    // The timestamp at stampOffset of a File entry; when the UTC-offset byte at offsetOffset says
    // it is valid, the time is taken at that offset, otherwise as local time.
    static std::optional<Date> timestamp(ByteSpan fileEntry, std::size_t stampOffset,
                                         std::size_t offsetOffset);

    static constexpr int kMaxDepth = 32;
    static constexpr std::size_t kMaxFiles = 100000;
    static constexpr std::uint64_t kMaxTableBytes = 0x4000000;
    static constexpr std::uint64_t kMaxDirectoryBytes = 0x2000000;
    static constexpr std::uint64_t kMaxFileSize = 0x2000000000;
    // Sector and cluster shifts together: clusters of at most 32 MiB.
    static constexpr int kMaxClusterShift = 25;
};

} // namespace vellary
