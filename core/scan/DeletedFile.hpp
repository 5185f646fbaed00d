#pragma once

#include "core/io/BlockReader.hpp"
#include "core/records/RecoverableFile.hpp"
#include "core/records/ScanOptions.hpp"

#include <optional>
#include <span>
#include <string>
#include <vector>

namespace vellary {

// The steps that FAT, exFAT and NTFS share when a deleted entry becomes a found file:
// extent checks against the source, the 32-byte header, the kind and the category filter.
struct DeletedFile {
    struct Draft {
        std::string id;
        std::string name; // already trimmed and repaired
        std::string folder;
        std::vector<ByteRange> ranges;
        std::optional<Date> modified;
        RecoveryConfidence confidence = RecoveryConfidence::estimated;
        bool complete = false;
        // An assumed extent is only trusted whole when the header it starts with checks out.
        bool wholeOnlyWithHeader = false;
        // The first cluster holds a live file now: listed, but damaged.
        bool overwritten = false;
        bool nameInferred = false;
    };

    static constexpr std::int64_t kHeaderBytes = 32;
    static constexpr std::int64_t kHeaderSector = 4096;
    // Folders cut off the tree are searched for (a read of all free space) only when the tree
    // shows fewer deleted files than this: after a quick format it shows none, while a card
    // whose files were deleted in the camera lists them already.
    static constexpr std::size_t kOrphanSearchBelow = 16;

    // Nothing when a range leaves the source or is empty, or the category is not wanted. A failed
    // header read throws (deviceGone ends the scan).
    static std::optional<RecoverableFile> finish(const BlockReader& reader,
                                                 const ScanOptions& options, Draft draft);
    // Found files whose bytes the volume shows to be someone else's are not complete: any that
    // cross a live file's clusters, and any assumed run that reaches over another found file's
    // first byte (that file's entry says its data starts there), unless that file's own header is
    // gone from there.
    static void distrustOverlaps(std::span<RecoverableFile> found, std::vector<ByteRange> live,
                                 const std::vector<bool>& overwritten = {});
    // folder + "/" + name, or name alone at the root.
    static std::string join(const std::string& folder, const std::string& name);
};

} // namespace vellary
