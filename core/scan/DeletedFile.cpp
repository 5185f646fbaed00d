#include "core/scan/DeletedFile.hpp"

#include "core/formats/Signatures.hpp"
#include "core/records/FileTyping.hpp"

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
    file.ranges = std::move(draft.ranges);
    return file;
}

} // namespace vellary
