#pragma once

#include "core/io/BlockReader.hpp"
#include "core/records/RecoverableFile.hpp"

#include <filesystem>
#include <optional>

namespace vellary {

// Copies one found file into the private preview folder so the desktop's viewer can open it.
// The copy is named with its kind's own extension: a name chosen by whatever wrote the card
// must not pick the program that opens it.
struct QuickLookExport {
    // $XDG_CACHE_HOME/vellary/Preview (mode 0700).
    static std::filesystem::path folder();
    // The copy's path; absent when nothing could be saved.
    static std::optional<std::filesystem::path> exportFile(const RecoverableFile& file,
                                                           const BlockReader& reader);
    static void cleanUp();
    // Photos, videos, audio and documents open in the default application; anything else only
    // shows its folder.
    static bool opensDirectly(const RecoverableFile& file);
    // The file's name with its kind's extension in place of its own.
    static std::string exportName(const RecoverableFile& file);
};

} // namespace vellary
