#pragma once

#include <filesystem>
#include <map>
#include <optional>
#include <string>

namespace vellary::testing {

// A FAT32 card image made with mkfs.fat and mtools that held photos, a video and a document,
// all deleted again: what a user brings to the restore.
struct DeletedFilesCard {
    std::filesystem::path image;
    // Path on the card -> SHA-256 of the file that was copied there.
    std::map<std::string, std::string> originals;

    // Nothing when mkfs.fat, mtools or ImageMagick are missing.
    static std::optional<DeletedFilesCard> build(const std::filesystem::path& folder);
};

} // namespace vellary::testing
