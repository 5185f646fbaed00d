#pragma once

#include "core/scan/MFTCatalog.hpp"

#include <cstdint>
#include <optional>
#include <string>
#include <unordered_map>
#include <unordered_set>

namespace vellary {

// Folder paths from the catalog's directory records, remembered per folder for one recovery.
struct NTFSPathResolver {
    struct Link {
        std::uint64_t reference = 0;
        std::string name;
    };

    const std::unordered_map<std::uint64_t, MFTCatalog::Folder>& folders;
    const std::unordered_map<std::string, std::string>& recycled;
    std::unordered_map<std::uint64_t, std::string> known;
    std::unordered_set<std::uint64_t> hidden;

    NTFSPathResolver(const std::unordered_map<std::uint64_t, MFTCatalog::Folder>& folderMap,
                     const std::unordered_map<std::string, std::string>& recycleMap)
        : folders(folderMap), recycled(recycleMap) {}

    // The folder's path ("" for the root), or nothing when its contents are not reported.
    std::optional<std::string> path(std::uint64_t reference);
};

} // namespace vellary
