#include "core/carve/PNGCarver.hpp"

#include "core/formats/Sniff.hpp"

#include "core/carve/EXIF.hpp"
#include "core/io/ByteWindow.hpp"

#include <algorithm>
#include <array>
#include <chrono>
#include <string_view>
#include <zlib.h>

namespace vellary {

namespace {

constexpr std::uint64_t kMaxSpan = 209'715'200; // 200 MiB
constexpr std::int64_t kWindow = 1'048'576;
constexpr std::uint32_t kMaxChunkLength = 0x8000'0000U;
constexpr int kMaxChunks = 1'000'000;
constexpr std::uint32_t kMaxExif = 262'144;

// IHDR chunk, counted from the chunk's length field.
constexpr std::int64_t kIHDRSize = 25;
constexpr std::int64_t kWidth = 8;       // u32 be
constexpr std::int64_t kHeight = 12;     // u32 be
constexpr std::int64_t kBitDepth = 16;   // u8
constexpr std::int64_t kColourType = 17; // u8
constexpr std::int64_t kCompression = 18;
constexpr std::int64_t kFilter = 19;
constexpr std::int64_t kInterlace = 20;
constexpr std::int64_t kCRC = 21; // u32 be over bytes 4-20

bool depthAllowed(std::uint8_t colourType, std::uint8_t depth) {
    switch (colourType) {
    case 0:
        return depth == 1 || depth == 2 || depth == 4 || depth == 8 || depth == 16;
    case 3:
        return depth == 1 || depth == 2 || depth == 4 || depth == 8;
    case 2:
    case 4:
    case 6:
        return depth == 8 || depth == 16;
    default:
        return false;
    }
}

bool validHeader(ByteSpan chunk) {
    if (chunk.size() < kIHDRSize) return false;
    const auto* p = chunk.data();
    if (Binary::rawU32be(p) != 13) return false;
    if (std::string_view(reinterpret_cast<const char*>(p + 4), 4) != "IHDR") return false;
    const auto width = Binary::rawU32be(p + kWidth);
    const auto height = Binary::rawU32be(p + kHeight);
    if (width < 1 || width >= kMaxChunkLength || height < 1 || height >= kMaxChunkLength)
        return false;
    if (!depthAllowed(p[kColourType], p[kBitDepth])) return false;
    if (p[kCompression] != 0 || p[kFilter] != 0 || p[kInterlace] > 1) return false;
    return ::crc32(0, p + 4, 17) == Binary::rawU32be(p + kCRC);
}

bool isChunkType(ByteSpan type) {
    return std::all_of(type.begin(), type.end(), [](std::uint8_t b) {
        const auto upper = static_cast<std::uint8_t>(b & ~0x20U);
        return upper >= 'A' && upper <= 'Z';
    });
}

// tIME: year u16 be, month, day, hour, minute, second; UTC.
std::optional<Date> date(ByteSpan t) {
    const int year = Binary::rawU16be(t.data());
    const int month = t[2], day = t[3], hour = t[4], minute = t[5], second = t[6];
    if (year < 1995 || year > 2100 || month < 1 || month > 12 || day < 1 || day > 31 || hour > 23 ||
        minute > 59 || second > 60)
        return std::nullopt;
    using namespace std::chrono;
    const auto ymd = std::chrono::year{year} / std::chrono::month{static_cast<unsigned>(month)} /
                     std::chrono::day{static_cast<unsigned>(day)};
    // An impossible day (31 June) rolls over into the next month, as a lenient calendar does.
    const sys_days midnight = ymd.ok() ? sys_days(ymd)
                                       : sys_days(ymd.year() / ymd.month() / 1) +
                                             std::chrono::days{static_cast<unsigned>(day) - 1};
    const auto seconds = duration_cast<Seconds>(midnight.time_since_epoch()) +
                         Seconds(hour * 3600 + minute * 60 + second);
    return Date(seconds);
}

bool tag(ByteSpan type, std::string_view name) {
    return std::string_view(reinterpret_cast<const char*>(type.data()), 4) == name;
}

} // namespace

std::optional<std::vector<std::uint8_t>> PNGCarver::leadBytes() const {
    return std::vector<std::uint8_t>{0x89};
}

std::optional<FileKind> PNGCarver::sniff(ByteSpan bytes) const {
    return Sniff::png(bytes);
}

std::optional<Carved> PNGCarver::carve(const BlockReader& reader, std::uint64_t start,
                                       FileKind) const {
    const auto sourceSize = reader.size();
    if (start >= sourceSize) return std::nullopt;
    const auto end = start + std::min(sourceSize - start, kMaxSpan);
    ByteWindow window(reader, end, kWindow);

    const auto header = window.view(start + 8, kIHDRSize);
    if (!header || !validHeader(*header)) return std::nullopt;

    std::optional<Date> timeChunk;
    std::optional<EXIF::Summary> exif;
    bool sawData = false;
    std::uint64_t pos = start + 8;
    for (int chunks = 0; chunks < kMaxChunks; ++chunks) {
        const auto head = window.view(pos, 8);
        if (!head) return std::nullopt;
        const auto length = Binary::rawU32be(head->data());
        const auto type = head->subspan(4, 4);
        if (length >= kMaxChunkLength || !isChunkType(type)) return std::nullopt;
        const std::uint64_t chunkSize = 12ULL + length;
        if (chunkSize > end - pos) return std::nullopt;

        if (tag(type, "IEND")) {
            if (length != 0 || !sawData) return std::nullopt;
            Carved carved;
            carved.kind = FileKind::png;
            carved.size = pos + chunkSize - start;
            if (exif) carved.modified = exif->date;
            if (!carved.modified) carved.modified = timeChunk;
            if (exif) carved.device = exif->device();
            carved.complete = true;
            return carved;
        }
        if (tag(type, "IDAT")) {
            sawData = true;
        } else if (tag(type, "eXIf") && length <= kMaxExif && !exif) {
            if (const auto data = window.view(pos + 8, length)) exif = EXIF::summaryInTIFF(*data);
        } else if (tag(type, "tIME") && length == 7) {
            if (const auto t = window.view(pos + 8, 7); t && !timeChunk) timeChunk = date(*t);
        }
        pos += chunkSize;
    }
    return std::nullopt;
}

} // namespace vellary
