#include "core/carve/TIFFWalk.hpp"

#include "core/carve/CarveRead.hpp"
#include "core/carve/TIFFBytes.hpp"

#include <algorithm>
#include <array>
#include <deque>
#include <set>

namespace vellary {

namespace {

constexpr int kMaxDirectories = 64;
constexpr std::uint32_t kMaxValues = 1'048'576;
constexpr std::uint64_t kEntrySize = 12;

// Tags (hexadecimal) and values read while walking.
constexpr std::uint16_t kSubIFDs = 0x014A;
constexpr std::array<std::uint16_t, 4> kSubDirectoryTags = {kSubIFDs, 0x8769, 0x8825, 0xA005};
constexpr std::uint16_t kCompression = 0x0103;
constexpr std::uint16_t kPhotometric = 0x0106;
constexpr std::uint16_t kMake = 0x010F;
constexpr std::uint16_t kStripOffsets = 0x0111;
constexpr std::uint16_t kStripByteCounts = 0x0117;
constexpr std::uint16_t kPanasonicRawOffset = 0x0118;
constexpr std::uint16_t kTileOffsets = 0x0144;
constexpr std::uint16_t kTileByteCounts = 0x0145;
constexpr std::uint16_t kJPEGTables = 0x015B;
constexpr std::uint16_t kJPEGOffset = 0x0201;
constexpr std::uint16_t kJPEGLength = 0x0202;
constexpr std::uint16_t kDNGVersion = 0xC612;
constexpr std::uint16_t kCR2Slice = 0xC640;

constexpr std::array<std::uint64_t, 2> kSensorPhotometrics = {34892, 32803};
constexpr std::array<std::uint64_t, 7> kSensorCompressions = {34713, 32767, 32769, 32770,
                                                              32772, 65535, 34316};
constexpr std::array<std::uint16_t, 4> kPanasonicKept = {2, 3, 10, 45};
constexpr std::uint16_t kPanasonicJPEG = 46;
constexpr std::uint16_t kPanasonicLastTag = 47;

std::uint64_t typeSize(std::uint16_t type) {
    switch (type) {
    case 1:
    case 2:
    case 6:
    case 7:
    case 129:
        return 1;
    case 3:
    case 8:
        return 2;
    case 4:
    case 9:
    case 11:
    case 13:
        return 4;
    case 5:
    case 10:
    case 12:
        return 8;
    default:
        return 0;
    }
}

template <typename T, std::size_t N> bool contains(const std::array<T, N>& table, T value) {
    return std::find(table.begin(), table.end(), value) != table.end();
}

const TIFFWalk::Entry* findEntry(const std::vector<TIFFWalk::Entry>& entries, std::uint16_t tag) {
    for (const auto& entry : entries)
        if (entry.tag == tag) return &entry;
    return nullptr;
}

// A block of image data that must lie wholly inside the file.
bool fits(std::uint64_t offset, std::uint64_t count, std::uint64_t limit) {
    return offset >= 8 && offset <= limit && count <= limit - offset;
}

} // namespace

std::optional<Bytes> TIFFSource::data(std::uint64_t offset, std::uint64_t count) const {
    if (offset > limit || count > limit - offset) return std::nullopt;
    if (offset <= header.size() && count <= header.size() - offset) {
        const auto first = header.begin() + static_cast<std::ptrdiff_t>(offset);
        return Bytes(first, first + static_cast<std::ptrdiff_t>(count));
    }
    return CarveRead::exact(reader, start + offset, static_cast<std::int64_t>(count));
}

std::optional<std::uint16_t> TIFFSource::u16(const Bytes& data, std::size_t at) const {
    return little ? Binary::u16le(data, static_cast<std::int64_t>(at))
                  : Binary::u16be(data, static_cast<std::int64_t>(at));
}

std::optional<std::uint32_t> TIFFSource::u32(const Bytes& data, std::size_t at) const {
    return little ? Binary::u32le(data, static_cast<std::int64_t>(at))
                  : Binary::u32be(data, static_cast<std::int64_t>(at));
}

bool TIFFWalk::run(std::uint64_t firstIFD) {
    std::deque<std::uint64_t> queue{firstIFD};
    std::set<std::uint64_t> visited;
    bool first = true;
    while (!queue.empty() && visited.size() < kMaxDirectories) {
        const auto offset = queue.front();
        queue.pop_front();
        if (!visited.insert(offset).second) continue;
        const auto further = directory(offset, first);
        if (first && !further) return false;
        first = false;
        if (further) queue.insert(queue.end(), further->begin(), further->end());
    }
    return true;
}

bool TIFFWalk::isPanasonic() const {
    static constexpr std::array<std::uint8_t, 4> kMagic = {0x49, 0x49, 0x55, 0x00};
    return source.header.size() >= 4 &&
           std::equal(kMagic.begin(), kMagic.end(), source.header.begin());
}

std::optional<std::uint64_t> TIFFWalk::firstValue(const std::vector<Entry>& entries,
                                                  std::uint16_t tag) const {
    const auto* entry = findEntry(entries, tag);
    if (!entry) return std::nullopt;
    const auto list = values(*entry);
    if (!list || list->empty()) return std::nullopt;
    return list->front();
}

std::optional<std::vector<std::uint64_t>> TIFFWalk::directory(std::uint64_t offset, bool first) {
    const auto countBytes = source.data(offset, 2);
    if (!countBytes) return std::nullopt;
    const auto count = *source.u16(*countBytes, 0);
    if (count < (first ? 3 : 1) || count > 1000) return std::nullopt;

    const auto tableSize = count * kEntrySize + 4;
    const auto table = source.data(offset + 2, tableSize);
    if (!table) return std::nullopt;
    std::vector<Entry> entries;
    entries.reserve(count);
    for (std::size_t i = 0; i < count; ++i) {
        const auto at = i * kEntrySize;
        Entry entry{*source.u16(*table, at), *source.u16(*table, at + 2),
                    *source.u32(*table, at + 4), *source.u32(*table, at + 8),
                    static_cast<std::int64_t>(offset + 2 + at + 8)};
        if (typeSize(entry.type) == 0) return std::nullopt;
        entries.push_back(entry);
    }

    std::uint64_t furthest = offset + 2 + tableSize;
    for (const auto& entry : entries) {
        const auto bytes = typeSize(entry.type) * entry.count;
        if (bytes <= 4) continue;
        const std::uint64_t end = std::uint64_t{entry.value} + bytes;
        if (end > source.limit) {
            if (first) return std::nullopt;
            continue;
        }
        furthest = std::max(furthest, end);
    }

    std::vector<std::uint64_t> further;
    if (const auto next = source.u32(*table, tableSize - 4); next && *next != 0)
        further.push_back(*next);
    for (const auto tag : kSubDirectoryTags) {
        const auto* entry = findEntry(entries, tag);
        if (!entry) continue;
        if (const auto list = values(*entry))
            for (const auto value : *list)
                if (value > 7) further.push_back(value);
    }

    const auto compression = firstValue(entries, kCompression);
    const auto photometric = firstValue(entries, kPhotometric);
    const bool sensorPhotometric = photometric && contains(kSensorPhotometrics, *photometric);
    if (sensorPhotometric || (compression && contains(kSensorCompressions, *compression)))
        hasSensorData = true;
    if (findEntry(entries, kDNGVersion)) isDNG = true;
    if (first && !make) {
        if (const auto* entry = findEntry(entries, kMake)) make = string(*entry);
    }

    const bool jpegCompressed = compression && (*compression == 6 || *compression == 7);
    const bool mayBePreview = jpegCompressed && !sensorPhotometric &&
                              !findEntry(entries, kCR2Slice) && !findEntry(entries, kJPEGTables);
    for (const auto& [offsetsTag, countsTag] :
         {std::pair{kStripOffsets, kStripByteCounts}, std::pair{kTileOffsets, kTileByteCounts}}) {
        if (offsetsTag == kStripOffsets && isPanasonic()) continue;
        const auto* offsetsEntry = findEntry(entries, offsetsTag);
        if (!offsetsEntry) continue;
        const auto offsets = values(*offsetsEntry);
        if (!offsets) continue;
        std::vector<std::uint64_t> counts;
        if (const auto* countsEntry = findEntry(entries, countsTag))
            counts = values(*countsEntry).value_or(std::vector<std::uint64_t>{});
        if (offsets->size() != counts.size()) {
            if (first) return std::nullopt;
            continue;
        }
        for (std::size_t i = 0; i < offsets->size(); ++i) {
            if (counts[i] == 0) continue;
            if (!fits((*offsets)[i], counts[i], source.limit)) {
                truncated = true;
                return std::nullopt;
            }
            furthest = std::max(furthest, (*offsets)[i] + counts[i]);
            sawImageData = true;
        }
        if (offsets->size() == 1 && counts[0] != 0 && mayBePreview)
            previews.push_back({offsets->front(), counts.front()});
    }

    const auto jpegOffset = firstValue(entries, kJPEGOffset);
    const auto jpegLength = firstValue(entries, kJPEGLength);
    if (jpegOffset && jpegLength && *jpegLength > 0 &&
        fits(*jpegOffset, *jpegLength, source.limit)) {
        furthest = std::max(furthest, *jpegOffset + *jpegLength);
        previews.push_back({*jpegOffset, *jpegLength});
        sawImageData = true;
    }

    if (isPanasonic()) panasonicFields(entries);
    maxEnd = std::max(maxEnd, furthest);
    return further;
}

std::optional<std::vector<std::uint64_t>> TIFFWalk::values(const Entry& entry) const {
    if (entry.type != 3 && entry.type != 4 && entry.type != 13) return std::nullopt;
    if (entry.count < 1 || entry.count > kMaxValues) return std::nullopt;
    const auto size = typeSize(entry.type);
    const auto bytes = size * entry.count;
    const auto data = bytes <= 4 ? source.data(static_cast<std::uint64_t>(entry.field), bytes)
                                 : source.data(entry.value, bytes);
    if (!data) return std::nullopt;
    std::vector<std::uint64_t> list(entry.count);
    for (std::size_t i = 0; i < list.size(); ++i)
        list[i] = size == 2 ? *source.u16(*data, i * 2) : *source.u32(*data, i * 4);
    return list;
}

std::optional<std::string> TIFFWalk::string(const Entry& entry) const {
    if (entry.type != 2 || entry.count < 1) return std::nullopt;
    const auto text = entry.count <= 4
                          ? source.data(static_cast<std::uint64_t>(entry.field), entry.count)
                          : source.data(entry.value, entry.count);
    if (!text) return std::nullopt;
    // The text behind a minimal header, so that the in-memory reader's rules apply unchanged.
    Bytes held(8 + text->size(), 0);
    held[0] = held[1] = 'I';
    held[2] = 42;
    std::copy(text->begin(), text->end(), held.begin() + 8);
    const auto tiff = TIFFBytes::make(std::move(held));
    if (!tiff) return std::nullopt;
    return tiff->string({entry.tag, entry.type, entry.count, 8, 8});
}

void TIFFWalk::panasonicFields(const std::vector<Entry>& entries) {
    for (const auto& entry : entries) {
        if (entry.tag >= kPanasonicLastTag) continue;
        if (contains(kPanasonicKept, entry.tag)) {
            if (const auto list = values(entry); list && !list->empty())
                panasonic[entry.tag] = list->front();
        } else if (entry.tag == kPanasonicJPEG && entry.count != 0 &&
                   fits(entry.value, entry.count, source.limit)) {
            previews.push_back({entry.value, entry.count});
        }
    }
    auto rawStart = firstValue(entries, kPanasonicRawOffset);
    if (!findEntry(entries, kPanasonicRawOffset)) rawStart = firstValue(entries, kStripOffsets);
    if (!rawStart || *rawStart <= 7 || *rawStart >= source.limit) return;
    const auto length = firstValue(entries, kStripByteCounts);
    if (length && *length != 0) {
        if (*length > source.limit - *rawStart) return;
        rawDataStart = *rawStart;
        rawDataLength = *length;
        maxEnd = std::max(maxEnd, *rawStart + *length);
        sawImageData = true;
    } else {
        rawDataStart = *rawStart;
        maxEnd = std::max(maxEnd, *rawStart);
    }
}

} // namespace vellary
