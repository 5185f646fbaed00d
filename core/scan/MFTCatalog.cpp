#include "core/scan/MFTCatalog.hpp"

#include "core/records/ByteRanges.hpp"
#include "core/records/FileTyping.hpp"
#include "core/scan/NTFSScanner.hpp"
#include "core/scan/RecycleBin.hpp"

#include <algorithm>

namespace vellary {
namespace {

constexpr std::uint64_t kRecordMask = 0xFFFF'FFFF'FFFFULL;
constexpr std::uint64_t kBitmapRecord = 6;
constexpr std::uint64_t kFirstUserRecord = 24;

bool startsWith(std::string_view text, std::string_view prefix) {
    return text.substr(0, prefix.size()) == prefix;
}

} // namespace

std::string MFTCatalog::recycleKey(std::uint64_t parent, std::string_view name) {
    std::string key = std::to_string(parent & kRecordMask);
    key += '/';
    for (const char c : name.substr(std::min<std::size_t>(2, name.size())))
        key += (c >= 'a' && c <= 'z') ? static_cast<char>(c - 'a' + 'A') : c;
    return key;
}

void MFTCatalog::add(std::uint64_t number, const MFTRecord& record, ByteSpan bytes,
                     const Locate& locate) {
    if (record.baseReference != 0) {
        const auto baseSequence = static_cast<std::uint16_t>(record.baseReference >> 48);
        if (record.fileName)
            extensionNames[record.baseReference & kRecordMask].push_back(
                {baseSequence, *record.fileName});
        if (record.inUse || record.dataStreams.empty()) return;
        extensions[record.baseReference & kRecordMask].push_back(
            {baseSequence, record.dataStreams});
        return;
    }
    if (number == kBitmapRecord && record.inUse) {
        if (record.residentData) {
            const auto& v = *record.residentData;
            BitmapSource source;
            source.kind = BitmapSource::Kind::resident;
            if (v.lower >= 0 && v.upper <= static_cast<std::int64_t>(bytes.size()))
                source.bytes.assign(bytes.begin() + v.lower, bytes.begin() + v.upper);
            bitmap = std::move(source);
        } else {
            const auto first = std::find_if(record.dataStreams.begin(), record.dataStreams.end(),
                                            [](const NTFSStream& s) { return s.firstVCN == 0; });
            if (first != record.dataStreams.end())
                bitmap = BitmapSource{BitmapSource::Kind::clusters, {}, *first};
        }
    }
    // A record with an attribute list may keep its name in an extension record: hold it nameless
    // until nameFromExtensions.
    const bool nameElsewhere = !record.fileName && record.hasAttributeList;
    if (!record.fileName && !nameElsewhere) return;
    std::string name = record.fileName ? record.fileName->name : std::string();
    std::replace(name.begin(), name.end(), '/', '_');
    const std::uint64_t parent = record.fileName ? record.fileName->parent : 0;

    if (record.isDirectory) {
        folders[number] = Folder{std::move(name), parent, record.sequence, record.inUse};
        return;
    }
    if (startsWith(name, "$I") && record.residentData) {
        const auto& v = *record.residentData;
        if (v.lower >= 0 && v.upper <= static_cast<std::int64_t>(bytes.size()))
            if (auto path = RecycleBin::originalPath(bytes.subspan(
                    static_cast<std::size_t>(v.lower), static_cast<std::size_t>(v.count()))))
                recycled[recycleKey(parent, name)] = std::move(*path);
    }
    if (record.inUse || number < kFirstUserRecord || candidates.size() >= kMaxCandidates) return;
    if (!nameElsewhere && !acceptsName(name)) return;

    Candidate candidate;
    if (record.residentData) {
        if (record.residentData->count() <= 0) return;
        candidate.content.kind = Candidate::Content::Kind::resident;
        for (const auto& piece : record.storedPieces(*record.residentData)) {
            const auto located = locate(piece);
            if (!located) return;
            for (const auto& range : *located)
                appendJoined(candidate.content.ranges, range);
        }
    } else {
        if (record.dataStreams.empty() && !record.hasAttributeList) return;
        candidate.content.kind = Candidate::Content::Kind::clusters;
        candidate.content.streams = record.dataStreams;
    }
    candidate.number = number;
    candidate.sequence = record.sequence;
    candidate.name = std::move(name);
    candidate.parent = parent;
    candidate.modified = record.modified;
    candidate.hasAttributeList = record.hasAttributeList;
    candidates.push_back(std::move(candidate));
}

bool MFTCatalog::acceptsName(std::string_view name) const {
    if (startsWith(name, "$")) return startsWith(name, "$R");
    return !FileTyping::skipFile(name) && !NTFSScanner::ruledOut(name, options);
}

std::optional<NTFSFileName> MFTCatalog::extensionName(std::uint64_t number,
                                                      std::uint16_t sequence) const {
    const auto found = extensionNames.find(number);
    if (found == extensionNames.end()) return std::nullopt;
    std::optional<NTFSFileName> best;
    for (const auto& entry : found->second)
        if (sequenceMatches(entry.baseSequence, sequence) &&
            MFTRecord::prefersName(entry.fileName, best))
            best = entry.fileName;
    if (best) std::replace(best->name.begin(), best->name.end(), '/', '_');
    return best;
}

void MFTCatalog::nameFromExtensions() {
    for (auto entry = folders.begin(); entry != folders.end();) {
        Folder& folder = entry->second;
        if (folder.name.empty()) {
            const auto name = extensionName(entry->first, folder.sequence);
            if (!name) {
                entry = folders.erase(entry);
                continue;
            }
            folder.name = name->name;
            folder.parent = name->parent;
        }
        ++entry;
    }
    std::erase_if(candidates, [&](Candidate& candidate) {
        if (!candidate.name.empty()) return false;
        const auto name = extensionName(candidate.number, candidate.sequence);
        if (!name || !acceptsName(name->name)) return true;
        candidate.name = name->name;
        candidate.parent = name->parent;
        if (!candidate.modified) candidate.modified = name->modified;
        return false;
    });
    extensionNames.clear();
}

bool MFTCatalog::sequenceMatches(std::uint16_t baseSequence, std::uint16_t sequence) {
    // Freeing a record raises its sequence number; 65,535 wraps to 1.
    const std::uint16_t previous = sequence == 1 ? 65535 : static_cast<std::uint16_t>(sequence - 1);
    return baseSequence == sequence || baseSequence == previous;
}

std::optional<NTFSStream> MFTCatalog::joinedStream(const Candidate& candidate,
                                                   const std::vector<NTFSStream>& own) const {
    std::vector<const NTFSStream*> streams;
    for (const auto& s : own)
        streams.push_back(&s);
    if (candidate.hasAttributeList) {
        const auto found = extensions.find(candidate.number);
        if (found != extensions.end()) {
            // Freeing a record raises its sequence number; 65,535 wraps to 1.
            const std::uint16_t previous = candidate.sequence == 1
                                               ? 65535
                                               : static_cast<std::uint16_t>(candidate.sequence - 1);
            for (const auto& extension : found->second)
                if (extension.baseSequence == candidate.sequence ||
                    extension.baseSequence == previous)
                    for (const auto& s : extension.streams)
                        streams.push_back(&s);
        }
    }
    std::stable_sort(streams.begin(), streams.end(), [](const NTFSStream* a, const NTFSStream* b) {
        return a->firstVCN < b->firstVCN;
    });
    if (streams.empty() || streams.front()->firstVCN != 0) return std::nullopt;

    NTFSStream result = *streams.front();
    std::uint64_t covered = 0;
    for (const auto& run : result.runs)
        if (__builtin_add_overflow(covered, run.length, &covered)) return result;
    for (std::size_t i = 1; i < streams.size(); ++i) {
        const NTFSStream& s = *streams[i];
        if (s.firstVCN < covered) continue;
        if (s.firstVCN > covered) break;
        std::uint64_t added = covered;
        bool overflow = false;
        for (const auto& run : s.runs)
            overflow |= __builtin_add_overflow(added, run.length, &added);
        if (overflow) break;
        result.runs.insert(result.runs.end(), s.runs.begin(), s.runs.end());
        covered = added;
        result.compressed = result.compressed || s.compressed;
        result.encrypted = result.encrypted || s.encrypted;
    }
    result.firstVCN = 0;
    return result;
}

} // namespace vellary
