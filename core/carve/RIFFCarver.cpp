#include "core/carve/RIFFCarver.hpp"

#include "core/formats/Sniff.hpp"

#include "core/carve/EXIF.hpp"
#include "core/io/ByteWindow.hpp"

#include <algorithm>

namespace vellary {
namespace {

constexpr std::int64_t kWindow = 64 * 1024;
constexpr std::uint64_t kWebPRange = 256ULL * 1024 * 1024;
constexpr std::uint64_t kWAVRange = 4ULL * 1024 * 1024 * 1024 + 8;
constexpr std::uint64_t kAVIRange = 64ULL * 1024 * 1024 * 1024;
constexpr int kMaxChunks = 100000;

// "bext" broadcast extension: origination date (10 characters) and time (8) at body offset 320.
constexpr std::uint32_t kBextMinimum = 338;
constexpr std::uint64_t kBextDate = 320;
constexpr std::uint32_t kMaxEXIF = 256 * 1024;

std::string fourCC(ByteSpan b) {
    return std::string(reinterpret_cast<const char*>(b.data()), 4);
}

bool has(const std::vector<std::string>& list, const std::string& value) {
    return std::find(list.begin(), list.end(), value) != list.end();
}

} // namespace

std::optional<std::vector<std::uint8_t>> RIFFCarver::leadBytes() const {
    return std::vector<std::uint8_t>{0x52};
}

std::optional<FileKind> RIFFCarver::sniff(ByteSpan bytes) const {
    return Sniff::riff(bytes);
}

std::optional<Carved> RIFFCarver::carve(const BlockReader& reader, std::uint64_t start,
                                        FileKind kind) const {
    const std::uint64_t range = kind == FileKind::webp  ? kWebPRange
                                : kind == FileKind::wav ? kWAVRange
                                                        : kAVIRange;
    ByteWindow window(reader, std::min(reader.size(), start + range), kWindow);
    auto walked = walk(window, start);
    if (!walked) return std::nullopt;
    const auto& chunks = walked->chunks;
    switch (kind) {
    case FileKind::webp:
        if (chunks.empty() || (chunks[0] != "VP8 " && chunks[0] != "VP8L" && chunks[0] != "VP8X"))
            return std::nullopt;
        break;
    case FileKind::wav:
        if (!has(chunks, "fmt ") || !has(chunks, "data")) return std::nullopt;
        break;
    case FileKind::avi:
        if (chunks.empty() || chunks[0] != "LIST" || !has(walked->lists, "hdrl") ||
            !has(walked->lists, "movi"))
            return std::nullopt;
        // OpenDML extension parts follow as further RIFF 'AVIX' files.
        for (;;) {
            const auto next = window.bytes(walked->end, 12);
            if (!next || fourCC(*next) != "RIFF" || fourCC(ByteSpan(*next).subspan(8)) != "AVIX")
                break;
            const auto part = walk(window, walked->end);
            if (!part) break;
            walked->end = part->end;
        }
        break;
    default:
        return std::nullopt;
    }
    Carved carved;
    carved.kind = kind;
    carved.size = walked->end - start;
    carved.modified = walked->date;
    carved.device = walked->device;
    carved.complete = true;
    return carved;
}

std::optional<RIFFCarver::Walked> RIFFCarver::walk(ByteWindow& window, std::uint64_t at) {
    const auto size = window.u32le(at + 4);
    if (!size || *size < 12) return std::nullopt;
    const std::uint64_t riffEnd = at + 8 + *size;
    if (riffEnd > window.end()) return std::nullopt;
    Walked walked;
    walked.end = (*size % 2 == 1 && riffEnd + 1 <= window.end()) ? riffEnd + 1 : riffEnd;

    std::uint64_t pos = at + 12;
    for (int count = 0; pos != riffEnd; ++count) {
        if (riffEnd - pos < 8 || count == kMaxChunks) return std::nullopt;
        const auto header = window.bytes(pos, 8);
        if (!header || !Sniff::riffChunkID(*header)) return std::nullopt;
        const auto id = fourCC(*header);
        const std::uint32_t chunkSize = Binary::rawU32le(header->data() + 4);
        walked.chunks.push_back(id);
        if (id == "LIST" && chunkSize >= 4) {
            if (const auto type = window.bytes(pos + 8, 4)) walked.lists.push_back(fourCC(*type));
        }
        const std::uint64_t bodyEnd = pos + 8 + chunkSize;
        const std::uint64_t padded = bodyEnd + (chunkSize % 2);
        // A last odd chunk may end at the RIFF end without room for its pad byte.
        if (padded > riffEnd && bodyEnd != riffEnd) return std::nullopt;
        readMetadata(window, id, pos + 8, chunkSize, walked);
        pos = std::min(padded, riffEnd);
    }
    return walked;
}

void RIFFCarver::readMetadata(ByteWindow& window, const std::string& id, std::uint64_t body,
                              std::uint32_t size, Walked& into) {
    if (id == "bext" && size >= kBextMinimum && !into.date) {
        if (const auto text = window.bytes(body + kBextDate, 18)) {
            const std::string stamp(reinterpret_cast<const char*>(text->data()), 18);
            into.date = EXIF::parseDate(stamp.substr(0, 10) + " " + stamp.substr(10, 8));
        }
    } else if (id == "EXIF" && size <= kMaxEXIF) {
        auto data = window.bytes(body, size);
        if (!data) return;
        ByteSpan tiff = *data;
        static constexpr std::uint8_t prefix[] = {'E', 'x', 'i', 'f', 0, 0};
        if (tiff.size() >= 6 && std::equal(std::begin(prefix), std::end(prefix), tiff.begin()))
            tiff = tiff.subspan(6);
        if (const auto summary = EXIF::summaryInTIFF(tiff)) {
            if (!into.date) into.date = summary->date;
            if (!into.device) into.device = summary->device();
        }
    }
}

} // namespace vellary
