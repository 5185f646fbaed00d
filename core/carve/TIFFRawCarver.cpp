#include "core/carve/TIFFRawCarver.hpp"

#include "core/formats/Sniff.hpp"

#include "core/carve/Boundaries.hpp"
#include "core/carve/CarveRead.hpp"
#include "core/carve/TIFFWalk.hpp"

#include <algorithm>
#include <array>
#include <string_view>

namespace vellary {

namespace {

constexpr std::uint64_t kMaxSpan = 419'430'400; // 400 MiB
constexpr std::uint64_t kHeaderRead = 262'144;
constexpr std::uint64_t kMinHeader = 16;
constexpr std::uint64_t kMiB = 1'048'576;
constexpr std::uint64_t kMaxSensorSide = 100'000;

// Panasonic tags kept by the walk.
constexpr std::uint16_t kSensorWidth = 2;
constexpr std::uint16_t kSensorHeight = 3;
constexpr std::uint16_t kBitsPerSample = 10;
constexpr std::uint16_t kRawFormat = 45;

struct MakeRow {
    std::string_view prefix;
    FileKind kind;
};

constexpr std::array<MakeRow, 8> kMakes = {{
    {"NIKON", FileKind::nef},
    {"SONY", FileKind::arw},
    {"PENTAX", FileKind::pef},
    {"RICOH", FileKind::pef},
    {"SAMSUNG", FileKind::srw},
    {"OLYMPUS", FileKind::orf},
    {"OM DIGITAL", FileKind::orf},
    {"PANASONIC", FileKind::rw2},
}};

FileKind kindOf(FileKind sniffed, ByteSpan header, const TIFFWalk& walk) {
    if (sniffed == FileKind::orf || sniffed == FileKind::rw2) return sniffed;
    if (Sniff::cr2Header(header)) return FileKind::cr2;
    if (walk.isDNG) return FileKind::dng;
    if (!walk.hasSensorData || !walk.make) return FileKind::tiff;
    std::string upper = *walk.make;
    std::transform(upper.begin(), upper.end(), upper.begin(), [](unsigned char c) {
        return static_cast<char>(c >= 'a' && c <= 'z' ? c - 'a' + 'A' : c);
    });
    for (const auto& row : kMakes)
        if (upper.starts_with(row.prefix)) return row.kind;
    return FileKind::tiff;
}

struct RawEnd {
    std::uint64_t offset = 0;
    bool certain = false;
};

// Panasonic sensor data often has no recorded length: estimate it from the sensor size and
// packing, then look for the blank sector or next file that follows.
std::optional<RawEnd> panasonicRawEnd(const TIFFWalk& walk) {
    const auto field = [&](std::uint16_t tag) -> std::optional<std::uint64_t> {
        const auto found = walk.panasonic.find(tag);
        if (found == walk.panasonic.end()) return std::nullopt;
        return found->second;
    };
    const auto width = field(kSensorWidth);
    const auto height = field(kSensorHeight);
    if (!width || !height || *width < 1 || *width > kMaxSensorSide || *height < 1 ||
        *height > kMaxSensorSide)
        return std::nullopt;
    const auto pixels = *width * *height;
    const auto bits = field(kBitsPerSample).value_or(12);
    const auto format = field(kRawFormat);
    const auto rawStart = *walk.rawDataStart;
    const auto& source = walk.source;

    std::uint64_t perBlock = 0;
    if (!format || *format < 5)
        perBlock = 14;
    else if (*format == 5 || *format == 7)
        perBlock = bits == 14 ? 9 : 10;
    else if (*format == 6)
        perBlock = bits == 12 ? 14 : 11;
    const bool packed = perBlock != 0;
    const auto estimated =
        rawStart + (packed ? (pixels + perBlock - 1) / perBlock * 16 : pixels / 2);
    if (estimated > source.limit) return std::nullopt;

    const auto reach = std::min(rawStart + 2 * pixels + kMiB, source.limit);
    if (const auto found = Boundaries::nextFileOrBlank(source.reader, source.start + estimated,
                                                       source.start + reach))
        return RawEnd{*found - source.start, true};
    if (reach == source.limit) return RawEnd{source.limit, true};
    if (!packed) return std::nullopt;
    return RawEnd{estimated, false};
}

} // namespace

std::optional<std::vector<std::uint8_t>> TIFFRawCarver::leadBytes() const {
    return std::vector<std::uint8_t>{0x49, 0x4D};
}

std::optional<FileKind> TIFFRawCarver::sniff(ByteSpan bytes) const {
    return Sniff::tiffRaw(bytes);
}

std::optional<TIFFRawCarver::Layout> TIFFRawCarver::layout(const BlockReader& reader,
                                                           std::uint64_t start,
                                                           std::optional<FileKind> sniffed,
                                                           bool measure) {
    const auto size = reader.size();
    if (start >= size) return std::nullopt;
    const auto available = size - start;
    if (available < kMinHeader) return std::nullopt;
    const auto limit = std::min(available, kMaxSpan);

    auto header =
        CarveRead::upTo(reader, start, static_cast<std::int64_t>(std::min(limit, kHeaderRead)));
    if (!header || header->size() < kMinHeader) return std::nullopt;
    if (!sniffed) sniffed = TIFFRawCarver().sniff(*header);
    if (!sniffed) return std::nullopt;

    const bool little = (*header)[0] == 'I';
    TIFFWalk walk(TIFFSource{reader, start, limit, std::move(*header), little});
    const auto& head = walk.source.header;
    const auto firstIFD = *walk.source.u32(head, 4);
    if (!walk.run(firstIFD) || walk.truncated) return std::nullopt;
    if (!walk.sawImageData && !walk.rawDataStart) return std::nullopt;

    Layout result;
    result.size = walk.maxEnd;
    result.complete = true;
    if (measure && walk.rawDataStart && !walk.rawDataLength) {
        const auto end = panasonicRawEnd(walk);
        if (!end) return std::nullopt;
        result.size = std::max(result.size, end->offset);
        result.complete = end->certain;
    }
    if (result.size < 9 || result.size > limit) return std::nullopt;
    result.kind = kindOf(*sniffed, head, walk);
    result.exif = EXIF::summaryInTIFF(head);
    result.previews = std::move(walk.previews);
    return result;
}

std::optional<Carved> TIFFRawCarver::carve(const BlockReader& reader, std::uint64_t start,
                                           FileKind kind) const {
    const auto found = layout(reader, start, kind, true);
    if (!found) return std::nullopt;
    Carved carved;
    carved.kind = found->kind;
    carved.size = found->size;
    carved.complete = found->complete;
    if (found->exif) {
        carved.modified = found->exif->date;
        carved.device = found->exif->device();
    }
    return carved;
}

} // namespace vellary
