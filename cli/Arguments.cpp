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

} // namespace vellary::cli
