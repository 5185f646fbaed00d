#include "core/carve/ZIPCarver.hpp"

#include "core/formats/Sniff.hpp"

#include "core/io/ByteWindow.hpp"
#include "core/records/TextDecode.hpp"

#include <algorithm>
#include <array>

namespace vellary {
namespace {

constexpr std::uint32_t kLocalHeader = 0x04034B50;
constexpr std::uint32_t kCentralHeader = 0x02014B50;
constexpr std::uint32_t kDescriptor = 0x08074B50;
constexpr std::uint32_t kArchiveExtra = 0x08064B50;
constexpr std::uint32_t kEndRecord = 0x06054B50;
constexpr std::uint32_t kZip64End = 0x06064B50;
constexpr std::uint32_t kZip64Locator = 0x07064B50;

constexpr std::uint64_t kRange = 2147483648ULL; // 2 GiB searched from the start
constexpr std::int64_t kWindow = 256 * 1024;
constexpr std::int64_t kMaxEntries = 1000000;
constexpr std::uint32_t kUnknown32 = 0xFFFFFFFF;

// Local file header, 30 bytes.
constexpr std::size_t kLocalFlags = 6;        // u16
constexpr std::size_t kLocalMethod = 8;       // u16
constexpr std::size_t kLocalCompressed = 18;  // u32
constexpr std::size_t kLocalPlain = 22;       // u32
constexpr std::size_t kLocalNameLength = 26;  // u16
constexpr std::size_t kLocalExtraLength = 28; // u16
constexpr std::size_t kLocalHeaderSize = 30;

// Central directory header, 46 bytes.
constexpr std::size_t kCentralNameLength = 28;    // u16
constexpr std::size_t kCentralExtraLength = 30;   // u16
constexpr std::size_t kCentralCommentLength = 32; // u16
constexpr std::size_t kCentralHeaderSize = 46;

constexpr std::uint16_t kDataDescriptorFlag = 1 << 3;
constexpr std::uint16_t kZip64ExtraID = 0x0001;

bool isHeaderAt(ByteWindow& window, std::uint64_t at) {
    const auto sig = window.u32le(at);
    return sig && (*sig == kLocalHeader || *sig == kCentralHeader);
}

bool startsWith(std::string_view text, std::string_view prefix) {
    return text.substr(0, prefix.size()) == prefix;
}

// Sizes of a local entry from its ZIP64 extended information field: (plain, compressed).
std::optional<std::pair<std::uint64_t, std::uint64_t>> zip64Sizes(ByteSpan extra) {
    std::int64_t pos = 0;
    while (const auto id = Binary::u16le(extra, pos)) {
        const auto length = Binary::u16le(extra, pos + 2);
        if (!length) return std::nullopt;
        if (*id == kZip64ExtraID) {
            const auto plain = Binary::u64le(extra, pos + 4);
            const auto compressed = Binary::u64le(extra, pos + 12);
            if (*length < 16 || !plain || !compressed) return std::nullopt;
            return std::pair{*plain, *compressed};
        }
        pos += 4 + *length;
    }
    return std::nullopt;
}

} // namespace

void ZIPCarver::NameClues::add(std::string_view name) {
    if (startsWith(name, "word/")) word = true;
    if (startsWith(name, "xl/")) excel = true;
    if (startsWith(name, "ppt/")) powerPoint = true;
    if (name == "Index/Document.iwa") iWork = true;
    if (startsWith(name, "Index/Slide")) keynote = true;
    if (name == "Index/CalculationEngine.iwa" || startsWith(name, "Index/Tables/")) numbers = true;
}

FileKind ZIPCarver::NameClues::kind() const {
    if (firstName == "mimetype" && mimetype && startsWith(*mimetype, "application/epub+zip"))
        return FileKind::epub;
    if (iWork) return keynote ? FileKind::keynote : numbers ? FileKind::numbers : FileKind::pages;
    if (word) return FileKind::docx;
    if (excel) return FileKind::xlsx;
    if (powerPoint) return FileKind::pptx;
    return FileKind::zip;
}

std::optional<std::vector<std::uint8_t>> ZIPCarver::leadBytes() const {
    return std::vector<std::uint8_t>{0x50};
}

std::optional<FileKind> ZIPCarver::sniff(ByteSpan bytes) const {
    return Sniff::zip(bytes);
}

std::optional<Carved> ZIPCarver::carve(const BlockReader& reader, std::uint64_t start,
                                       FileKind) const {
    const std::uint64_t end = std::min(reader.size(), start + kRange);
    ByteWindow window(reader, end, kWindow);
    NameClues clues;
    const auto walk = walkLocalEntries(window, start, clues);
    if (!walk) return std::nullopt;
    const auto archiveEnd = walk->centralDirectory
                                ? finish(window, start, *walk->centralDirectory, clues)
                                : searchForEnd(window, start, walk->stoppedAt, clues);
    if (!archiveEnd || *archiveEnd <= start) return std::nullopt;
    Carved carved;
    carved.kind = clues.kind();
    carved.size = *archiveEnd - start;
    carved.complete = true;
    return carved;
}

std::optional<ZIPCarver::Walk> ZIPCarver::walkLocalEntries(ByteWindow& window, std::uint64_t start,
                                                           NameClues& clues) {
    const std::uint64_t end = window.end();
    Walk walk;
    std::uint64_t pos = start;
    for (;;) {
        const auto sig = window.u32le(pos);
        if (!sig) break;
        if (*sig == kArchiveExtra) {
            const auto length = window.u32le(pos + 4);
            if (!length) break;
            pos += 8 + std::uint64_t{*length};
            continue;
        }
        if (*sig == kCentralHeader) {
            walk.centralDirectory = pos;
            break;
        }
        if (*sig != kLocalHeader) break;

        const auto header = window.bytes(pos, kLocalHeaderSize);
        if (!header) break;
        const auto* h = header->data();
        const auto flags = Binary::rawU16le(h + kLocalFlags);
        const auto method = Binary::rawU16le(h + kLocalMethod);
        std::uint64_t compressed = Binary::rawU32le(h + kLocalCompressed);
        const std::uint32_t plain = Binary::rawU32le(h + kLocalPlain);
        const auto nameLength = Binary::rawU16le(h + kLocalNameLength);
        const auto extraLength = Binary::rawU16le(h + kLocalExtraLength);
        if (!Sniff::zipMethod(method) || nameLength == 0) break;
        const std::uint64_t dataStart = pos + kLocalHeaderSize + nameLength + extraLength;

        if (walk.entries == 0) {
            if (const auto name = window.bytes(pos + kLocalHeaderSize, nameLength)) {
                clues.firstName = TextDecode::utf8Repaired(*name);
                if (clues.firstName == "mimetype" && method == 0) {
                    const auto count =
                        static_cast<std::int64_t>(std::min<std::uint64_t>(compressed, 64));
                    if (const auto data = window.bytes(dataStart, count))
                        clues.mimetype = TextDecode::utf8Repaired(*data);
                }
            }
        }

        bool sizesFromZip64 = false;
        if (compressed == kUnknown32 || plain == kUnknown32) {
            const auto extra = window.bytes(pos + kLocalHeaderSize + nameLength, extraLength);
            const auto sizes = extra ? zip64Sizes(*extra) : std::nullopt;
            if (!sizes || sizes->second > kRange) return std::nullopt;
            compressed = sizes->second;
            sizesFromZip64 = true;
        }

        std::optional<std::uint64_t> next;
        if (!(flags & kDataDescriptorFlag)) {
            next = dataStart + compressed;
        } else {
            if (compressed != 0) {
                const std::uint64_t after = dataStart + compressed;
                const std::array<std::uint64_t, 2> lengths =
                    sizesFromZip64 ? std::array<std::uint64_t, 2>{20, 12}
                                   : std::array<std::uint64_t, 2>{12, 20};
                const bool signature = window.u32le(after) == kDescriptor;
                for (const auto length : lengths) {
                    const std::uint64_t candidate = after + length + (signature ? 4 : 0);
                    if (isHeaderAt(window, candidate)) {
                        next = candidate;
                        break;
                    }
                }
            }
            if (!next) next = searchDescriptor(window, dataStart);
            if (!next) break;
        }
        if (*next >= end) break;
        if (++walk.entries >= kMaxEntries) return std::nullopt;
        pos = *next;
    }
    if (walk.entries == 0) return std::nullopt;
    walk.stoppedAt = pos;
    return walk;
}

std::optional<std::uint64_t> ZIPCarver::searchDescriptor(ByteWindow& window,
                                                         std::uint64_t dataStart) {
    static constexpr std::uint8_t descriptor[] = {'P', 'K', 7, 8};
    static constexpr std::uint8_t local[] = {'P', 'K', 3, 4};
    static constexpr std::uint8_t central[] = {'P', 'K', 1, 2};
    const std::vector<ByteSpan> patterns = {descriptor, local, central};
    std::uint64_t from = dataStart;
    while (const auto match = window.findFirst(patterns, from)) {
        const std::uint64_t p = match->offset;
        const std::uint64_t length = p - dataStart;
        if (match->index == 0) {
            if (window.u32le(p + 8) == length && isHeaderAt(window, p + 16)) return p + 16;
            if (window.u64le(p + 8) == length && isHeaderAt(window, p + 24)) return p + 24;
        } else {
            // A descriptor without its signature ends right before this header.
            if (length >= 12 && window.u32le(p - 8) == length - 12) return p;
            if (length >= 20 && window.u64le(p - 16) == length - 20) return p;
            // Another file starts on a sector boundary: this entry's data was cut off.
            if (match->index == 1 && p % 512 == 0) return std::nullopt;
        }
        from = p + 1;
    }
    return std::nullopt;
}

std::optional<std::uint64_t> ZIPCarver::searchForEnd(ByteWindow& window, std::uint64_t start,
                                                     std::uint64_t from, NameClues& clues) {
    static constexpr std::uint8_t endRecord[] = {'P', 'K', 5, 6};
    const std::vector<ByteSpan> patterns = {endRecord};
    while (const auto match = window.findFirst(patterns, from)) {
        const std::uint64_t e = match->offset;
        from = e + 4;
        if (e >= start + 20 && window.u32le(e - 20) == kZip64Locator) {
            const auto recordOffset = window.u64le(e - 12);
            if (!recordOffset || *recordOffset >= (1ULL << 31)) continue;
            const std::uint64_t record = start + *recordOffset;
            if (record >= e || window.u32le(record) != kZip64End) continue;
            const auto cdOffset = window.u64le(record + 48);
            if (!cdOffset || *cdOffset >= *recordOffset) continue;
            if (const auto found = finish(window, start, start + *cdOffset, clues)) return found;
            continue;
        }
        const auto cdSize = window.u32le(e + 12);
        const auto cdOffset = window.u32le(e + 16);
        if (!cdSize || !cdOffset || *cdSize == kUnknown32 || *cdOffset == kUnknown32) continue;
        // The archive this record closes started at e - size - offset, which may lie before
        // the source's first byte.
        const std::uint64_t back = std::uint64_t{*cdSize} + *cdOffset;
        if (back > e) continue;
        const std::uint64_t archiveStart = e - back;
        if (archiveStart == start) return finish(window, start, start + *cdOffset, clues);
        if (archiveStart > start) return std::nullopt;
    }
    return std::nullopt;
}

std::optional<std::uint64_t> ZIPCarver::finish(ByteWindow& window, std::uint64_t start,
                                               std::uint64_t cdStart, NameClues& clues) {
    if (window.u32le(cdStart) != kCentralHeader) return std::nullopt;
    NameClues found = clues;
    std::uint64_t pos = cdStart;
    std::uint64_t records = 0;
    while (window.u32le(pos) == kCentralHeader) {
        const auto header = window.bytes(pos, kCentralHeaderSize);
        if (!header) return std::nullopt;
        const auto nameLength = Binary::rawU16le(header->data() + kCentralNameLength);
        const auto extraLength = Binary::rawU16le(header->data() + kCentralExtraLength);
        const auto commentLength = Binary::rawU16le(header->data() + kCentralCommentLength);
        if (nameLength == 0) return std::nullopt;
        const auto name = window.bytes(pos + kCentralHeaderSize, nameLength);
        if (!name) return std::nullopt;
        found.add(TextDecode::utf8Repaired(*name));
        pos += kCentralHeaderSize + nameLength + extraLength + commentLength;
        if (++records > static_cast<std::uint64_t>(kMaxEntries)) return std::nullopt;
    }
    const std::uint64_t cdSize = pos - cdStart;
    const std::uint64_t cdOffset = cdStart - start;

    std::uint64_t endRecord = pos;
    bool zip64 = false;
    if (window.u32le(pos) == kZip64End) {
        const auto recordSize = window.u64le(pos + 4);
        if (!recordSize || *recordSize < 44 || *recordSize > 1048575) return std::nullopt;
        if (window.u64le(pos + 32) != records || window.u64le(pos + 40) != cdSize ||
            window.u64le(pos + 48) != cdOffset)
            return std::nullopt;
        const std::uint64_t locator = pos + *recordSize + 12;
        if (window.u32le(locator) != kZip64Locator) return std::nullopt;
        endRecord = locator + 20;
        zip64 = true;
    }

    const auto tail = window.bytes(endRecord, 22);
    if (!tail || Binary::rawU32le(tail->data()) != kEndRecord) return std::nullopt;
    const auto* t = tail->data();
    const std::uint16_t count = Binary::rawU16le(t + 10);
    const std::uint32_t size = Binary::rawU32le(t + 12);
    const std::uint32_t offset = Binary::rawU32le(t + 16);
    const std::uint16_t commentLength = Binary::rawU16le(t + 20);
    const bool countOK = count == records % 65536 || (zip64 && count == 0xFFFF);
    const bool sizeOK = size == cdSize || (zip64 && size == kUnknown32);
    const bool offsetOK = offset == cdOffset || (zip64 && offset == kUnknown32);
    const bool disksOK = zip64 || (Binary::rawU16le(t + 4) == 0 && Binary::rawU16le(t + 6) == 0);
    if (!countOK || !sizeOK || !offsetOK || !disksOK) return std::nullopt;

    const std::uint64_t archiveEnd = endRecord + 22 + commentLength;
    if (archiveEnd > window.end()) return std::nullopt;
    clues = found;
    return archiveEnd;
}

} // namespace vellary
