#include "core/scan/NTFSPathResolver.hpp"

#include "core/records/FileTyping.hpp"

#include <vector>

namespace vellary {
namespace {

constexpr std::uint64_t kRecordMask = 0xFFFF'FFFF'FFFFULL;
constexpr std::uint64_t kRootRecord = 5;
constexpr std::size_t kMaxDepth = 64;

std::string lostFolder(std::uint64_t record) {
    return "Lost folders/Folder " + std::to_string(record);
}

} // namespace

std::optional<std::string> NTFSPathResolver::path(std::uint64_t reference) {
    if ((reference & kRecordMask) == kRootRecord) return std::string();
    std::vector<Link> links;
    std::unordered_set<std::uint64_t> visited;
    const auto hideAll = [&] {
        for (const auto& link : links)
            hidden.insert(link.reference);
    };
    std::string base;
    std::uint64_t current = reference;
    while (true) {
        if (const auto found = known.find(current); found != known.end()) {
            base = found->second;
            break;
        }
        if (hidden.count(current) != 0) {
            hideAll();
            return std::nullopt;
        }
        const std::uint64_t record = current & kRecordMask;
        const auto folder = folders.find(record);
        if (links.size() >= kMaxDepth || !visited.insert(record).second ||
            folder == folders.end()) {
            base = lostFolder(record);
            break;
        }
        const auto wanted = static_cast<std::uint16_t>(current >> 48);
        if (folder->second.sequence != wanted) {
            // A freed folder's record carries the next sequence number (65,535 wraps to 1).
            const std::uint16_t next = wanted == 65535 ? 1 : static_cast<std::uint16_t>(wanted + 1);
            if (folder->second.inUse || folder->second.sequence != next) {
                base = lostFolder(record);
                break;
            }
        }
        if (FileTyping::skipDirectory(folder->second.name)) {
            hidden.insert(current);
            hideAll();
            return std::nullopt;
        }
        if (folder->second.name.rfind("$R", 0) == 0) {
            const auto recycledPath =
                recycled.find(MFTCatalog::recycleKey(folder->second.parent, folder->second.name));
            if (recycledPath != recycled.end()) {
                base = recycledPath->second;
                known[current] = base;
                break;
            }
        }
        links.push_back({current, folder->second.name});
        current = folder->second.parent;
        if ((current & kRecordMask) == kRootRecord) break;
    }
    std::string result = base;
    for (auto link = links.rbegin(); link != links.rend(); ++link) {
        if (!result.empty()) result += '/';
        result += link->name;
        known[link->reference] = result;
    }
    return result;
}

} // namespace vellary
