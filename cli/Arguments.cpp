#include "cli/Arguments.hpp"

#include "core/records/FileTyping.hpp"
#include "core/records/RecoverError.hpp"

namespace vellary::cli {

std::set<FileCategory> parseCategories(const std::string& list) {
    std::set<FileCategory> result;
    std::size_t start = 0;
    for (;;) {
        const auto comma = list.find(',', start);
        const auto name =
            list.substr(start, comma == std::string::npos ? std::string::npos : comma - start);
        if (!name.empty()) {
            const auto category = fileCategory::fromRaw(FileTyping::lower(name));
            if (!category) throw RecoverError::message("Unknown category: " + name + ".");
            result.insert(*category);
        }
        if (comma == std::string::npos) break;
        start = comma + 1;
    }
    return result;
}

std::set<FileCategory> parseCategories(const std::vector<std::string>& lists) {
    std::set<FileCategory> result;
    for (const auto& list : lists) {
        const auto some = parseCategories(list);
        result.insert(some.begin(), some.end());
    }
    return result;
}

std::vector<std::string> warningsFor(const std::vector<std::string>& warnings,
                                     bool searchedContents) {
    if (searchedContents) return warnings;
    std::vector<std::string> result;
    for (const auto& warning : warnings)
        result.push_back(warning.starts_with("Part of the file list couldn't be read")
                             ? "Part of the file list couldn't be read. Run again with --deep to "
                               "search the disk's contents for those files."
                             : warning);
    return result;
}

std::optional<RescueMap> loadMapFor(const std::string& source, const std::string& named) {
    if (!named.empty()) {
        auto map = RescueMap::load(named);
        if (!map) throw RecoverError::message("Couldn't read the map " + named + ".");
        return map;
    }
    return RescueMap::load(source + ".map");
}

std::vector<std::uint64_t> markUnreadable(std::vector<RecoverableFile>& files,
                                          const RescueMap* map) {
    std::vector<std::uint64_t> result(files.size(), 0);
    if (map == nullptr) return result;
    for (std::size_t i = 0; i < files.size(); ++i) {
        result[i] = map->unreadableIn(files[i]);
        if (result[i] > 0) files[i].complete = false;
    }
    return result;
}

} // namespace vellary::cli
