#pragma once

#include "core/records/FileCategory.hpp"
#include "core/records/RecoverableFile.hpp"
#include "core/restore/RescueMap.hpp"

#include <optional>

#include <set>
#include <string>
#include <vector>

namespace vellary::cli {

// Parses "photo,raw,..." into categories; throws RecoverError naming an unknown one.
std::set<FileCategory> parseCategories(const std::string& list);
std::set<FileCategory> parseCategories(const std::vector<std::string>& lists);

// The engine's sentence for an unreadable file list promises a deep scan; when none ran (no
// --deep, and other volumes listed files) the user is told how to ask for it instead.
std::vector<std::string> warningsFor(const std::vector<std::string>& warnings,
                                     bool searchedContents);

// The map of unreadable areas for an image: the one named (which must be a map), or the one an
// image run left beside it, when there is one.
std::optional<RescueMap> loadMapFor(const std::string& source, const std::string& named);
// The bytes of each file that lie in unreadable areas; files with any are marked incomplete,
// which shows them as partial.
std::vector<std::uint64_t> markUnreadable(std::vector<RecoverableFile>& files,
                                          const RescueMap* map);

} // namespace vellary::cli
