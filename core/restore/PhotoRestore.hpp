#pragma once

#include "core/io/BlockReader.hpp"
#include "core/records/RecoverableFile.hpp"
#include "core/restore/RestoreReport.hpp"
#include "core/restore/UniqueFd.hpp"

#include <filesystem>
#include <functional>
#include <string>
#include <unordered_set>
#include <vector>

namespace vellary {

class OutputFile;

// Copies found files from the source into a folder the user chose, never replacing anything
// and never writing outside that folder.
struct PhotoRestore {
    static constexpr std::int64_t kChunkSize = 8 * 1024 * 1024;
    static constexpr std::int64_t kSectorSize = 4096;
    static constexpr int kMaxAlternative = 10000;

    using Progress = std::function<void(double fraction, const std::string& text)>;
    using Cancelled = std::function<bool()>;

    // Throws the error that prevents creating the folder, deviceGone when the disk vanished,
    // and cancelled when isCancelled says so between files. Files written before stay.
    static RestoreReport save(const std::vector<RecoverableFile>& files, const BlockReader& source,
                              const std::filesystem::path& folder, const Progress& progress = {},
                              const Cancelled& isCancelled = {});

    // Where one file goes, with its folder already created and open.
    struct Destination {
        std::filesystem::path url;
        UniqueFd folder;
        std::string name;
        // Folders in which a new folder was made on the way: their entries need flushing too.
        std::vector<UniqueFd> grown;
    };
    // Chooses a free name for file under root (an open folder whose resolved path is rootPath),
    // creates the folders leading to it one by one without following symbolic links, and checks
    // that it lies inside the root. used holds the case-folded paths given out so far.
    static Destination destination(const RecoverableFile& file, int root,
                                   const std::filesystem::path& rootPath,
                                   std::unordered_set<std::string>& used);
    // Throws "Refusing to save outside the folder you chose." unless folder, resolved through
    // the file system, is root or lies below it.
    static void assertInside(const std::filesystem::path& root,
                             const std::filesystem::path& folder);

    struct Written {
        std::uint64_t bytes = 0;
        std::uint64_t unreadable = 0;
        // What the ranges asked for beyond the end of the source.
        std::uint64_t missing = 0;
    };
    // Creates the destination exclusively and copies the file's ranges into it. A file that
    // cannot be written whole is removed again through the folder's descriptor before the error
    // is passed on: nothing half-written stays under a real name.
    static Written write(const RecoverableFile& file, const BlockReader& source,
                         Destination& destination);

private:
    static Written copyRanges(const RecoverableFile& file, const BlockReader& source,
                              OutputFile& out);
};

} // namespace vellary
