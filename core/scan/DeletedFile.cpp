#include "core/scan/DeletedFile.hpp"

#include "core/formats/Signatures.hpp"
#include "core/records/FileTyping.hpp"

#include <algorithm>

namespace vellary {

std::string DeletedFile::join(const std::string& folder, const std::string& name) {
    return folder.empty() ? name : folder + "/" + name;
}

std::optional<RecoverableFile> DeletedFile::finish(const BlockReader& reader,
                                                   const ScanOptions& options, Draft draft) {
    const std::uint64_t sourceSize = reader.size();
    std::uint64_t total = 0;
    for (const auto& r : draft.ranges) {
        if (r.length == 0 || r.offset >= sourceSize || r.length > sourceSize - r.offset)
            return std::nullopt;
        total += r.length;
    }
    if (total == 0) return std::nullopt;

    Bytes header;
    for (const auto& r : draft.ranges) {
        const auto want = static_cast<std::int64_t>(std::min<std::uint64_t>(
            r.length, kHeaderBytes - static_cast<std::int64_t>(header.size())));
        const auto got = reader.readTolerant(r.offset, want, kHeaderSector);
        header.insert(header.end(), got.data.begin(), got.data.end());
        if (static_cast<std::int64_t>(header.size()) >= kHeaderBytes) break;
    }

    const auto detected = Signatures::kind(header);
    FileKind kind = FileKind::other;
    if (const auto byName = FileTyping::kindForExtension(FileTyping::extensionOf(draft.name)))
        kind = *byName;
    else if (detected)
        kind = *detected;
    const FileCategory category = FileTyping::category(draft.name, kind);
    if (!options.wants(category)) return std::nullopt;

    std::optional<bool> headerLooksValid;
    if (!header.empty()) {
        if (detected)
            headerLooksValid = Signatures::compatible(*detected, kind);
        else if (FileTyping::verifiable(kind))
            headerLooksValid = false;
    }

    RecoverableFile file;
    file.id = std::move(draft.id);
    file.originalPath = join(draft.folder, draft.name);
    file.name = std::move(draft.name);
    file.size = total;
    file.modified = draft.modified;
    file.kind = kind;
    file.category = category;
    file.confidence = draft.confidence;
    file.headerLooksValid = headerLooksValid;
    file.complete = draft.complete;
    if (draft.overwritten) {
        file.headerLooksValid = false;
        file.complete = false;
    } else if (draft.wholeOnlyWithHeader && headerLooksValid != true) {
        file.complete = false;
    }
    file.nameInferred = draft.nameInferred;
    file.ranges = std::move(draft.ranges);
    return file;
}

void DeletedFile::distrustOverlaps(std::span<RecoverableFile> found, std::vector<ByteRange> live,
                                   const std::vector<bool>& overwritten) {
    // Live ranges merged into a sorted, disjoint list, so one search answers each range.
    std::sort(live.begin(), live.end(),
              [](const ByteRange& a, const ByteRange& b) { return a.offset < b.offset; });
    std::vector<ByteRange> merged;
    for (const auto& range : live) {
        if (range.length == 0) continue;
        if (!merged.empty() && range.offset <= merged.back().end()) {
            merged.back().length =
                std::max(merged.back().end(), range.end()) - merged.back().offset;
        } else {
            merged.push_back(range);
        }
    }
    const auto crossesLive = [&](const ByteRange& range) {
        const auto after = std::upper_bound(
            merged.begin(), merged.end(), range.offset,
            [](std::uint64_t offset, const ByteRange& m) { return offset < m.end(); });
        return after != merged.end() && after->offset < range.end();
    };
    std::vector<std::uint64_t> starts;
    for (std::size_t i = 0; i < found.size(); ++i)
        // A start whose bytes are not its file's own any more (overwritten, or a header that
        // does not match) says nothing about whose data lies there now.
        if (!found[i].ranges.empty() && !(i < overwritten.size() && overwritten[i]) &&
            found[i].headerLooksValid != false)
            starts.push_back(found[i].ranges.front().offset);
    std::sort(starts.begin(), starts.end());
    // Many entries may share one start (copies of an entry); those are stepped over at once.
    const auto holdsAStart = [&](const ByteRange& range, std::uint64_t own) {
        auto it = std::lower_bound(starts.begin(), starts.end(), range.offset);
        if (it != starts.end() && *it == own) it = std::upper_bound(it, starts.end(), own);
        return it != starts.end() && *it < range.end();
    };

    for (auto& file : found) {
        if (!file.complete || file.ranges.empty()) continue;
        const bool assumed = file.confidence == RecoveryConfidence::estimated;
        const std::uint64_t own = file.ranges.front().offset;
        for (const auto& range : file.ranges)
            if (crossesLive(range) || (assumed && holdsAStart(range, own))) {
                file.complete = false;
                break;
            }
    }
}

} // namespace vellary
