#include "core/carve/OLE2Carver.hpp"

#include "core/formats/Sniff.hpp"

#include "core/carve/CarveRead.hpp"
#include "core/records/TextDecode.hpp"

#include <algorithm>
#include <ctime>
#include <set>
#include <string>

namespace vellary {
namespace {

constexpr std::uint64_t kMaxSpan = 512ULL * 1024 * 1024;

// Compound file header, 512 bytes.
constexpr std::int64_t kMajorVersion = 26;    // u16
constexpr std::int64_t kSectorShift = 30;     // u16
constexpr std::int64_t kMiniSectorShift = 32; // u16
constexpr std::int64_t kFATSectors = 44;      // u32
constexpr std::int64_t kFirstDirectory = 48;  // u32
constexpr std::int64_t kMiniCutoff = 56;      // u32
constexpr std::int64_t kFirstDIFAT = 68;      // u32
constexpr std::int64_t kDIFATSectors = 72;    // u32
constexpr std::int64_t kHeaderDIFAT = 76;     // 109 x u32
constexpr std::uint32_t kHeaderDIFATCount = 109;

// Directory entry, 128 bytes.
constexpr std::size_t kEntrySize = 128;
constexpr std::size_t kEntryNameLength = 64; // u16, bytes including the terminating zero
constexpr std::size_t kEntryType = 66;       // u8
constexpr std::size_t kEntryModified = 108;  // u64 file time
constexpr std::uint8_t kRootStorage = 5;

constexpr std::uint32_t kFree = 0xFFFFFFFF;
constexpr std::uint32_t kEndOfChain = 0xFFFFFFFE;
constexpr std::uint32_t kFirstSpecial = 0xFFFFFFFB; // reserved; never valid here
constexpr std::uint32_t kMaxDirectorySectors = 4096;

bool isSector(std::uint32_t value) {
    return value < kFirstSpecial;
}

} // namespace

std::optional<std::vector<std::uint8_t>> OLE2Carver::leadBytes() const {
    return std::vector<std::uint8_t>{0xD0};
}

std::optional<FileKind> OLE2Carver::sniff(ByteSpan bytes) const {
    return Sniff::ole2(bytes);
}

std::optional<Carved> OLE2Carver::carve(const BlockReader& reader, std::uint64_t start,
                                        FileKind) const {
    if (start >= reader.size()) return std::nullopt;
    const std::uint64_t span = std::min(reader.size() - start, kMaxSpan);
    // Every read must deliver exactly what was asked; a failing medium is no result here.
    const auto readExactly = [&](std::uint64_t offset, std::uint64_t count) {
        return CarveRead::exact(reader, offset, static_cast<std::int64_t>(count));
    };

    const auto header = readExactly(start, 512);
    if (!header) return std::nullopt;
    const ByteSpan h = *header;
    const auto major = *Binary::u16le(h, kMajorVersion);
    const auto shift = *Binary::u16le(h, kSectorShift);
    if (!((major == 3 && shift == 9) || (major == 4 && shift == 12))) return std::nullopt;
    if (*Binary::u16le(h, kMiniSectorShift) != 6 || *Binary::u32le(h, kMiniCutoff) != 4096)
        return std::nullopt;
    const std::uint64_t sectorSize = 1ULL << shift;
    const std::uint64_t available = span / sectorSize;
    const std::uint64_t perSector = sectorSize / 4;
    const std::uint64_t fatSectors = *Binary::u32le(h, kFATSectors);
    const std::uint32_t difatSectors = *Binary::u32le(h, kDIFATSectors);
    if (fatSectors < 1 || fatSectors * perSector > perSector + available ||
        difatSectors > fatSectors)
        return std::nullopt;
    const auto sectorAt = [&](std::uint32_t n) {
        return start + (std::uint64_t{n} + 1) * sectorSize;
    };

    // The FAT's own sectors: from the header, then along the DIFAT chain.
    std::vector<std::uint32_t> fatList;
    for (std::uint32_t i = 0; i < std::min<std::uint64_t>(fatSectors, kHeaderDIFATCount); ++i)
        fatList.push_back(*Binary::u32le(h, kHeaderDIFAT + 4 * i));
    std::vector<std::uint32_t> difatList;
    std::uint32_t difat = *Binary::u32le(h, kFirstDIFAT);
    while (fatList.size() < fatSectors && difatList.size() < difatSectors && isSector(difat)) {
        if (difat >= available) return std::nullopt;
        const auto sector = readExactly(sectorAt(difat), sectorSize);
        if (!sector) return std::nullopt;
        difatList.push_back(difat);
        for (std::uint64_t i = 0; i + 1 < perSector && fatList.size() < fatSectors; ++i)
            fatList.push_back(Binary::rawU32le(sector->data() + 4 * i));
        difat = Binary::rawU32le(sector->data() + sectorSize - 4);
    }
    // A FAT whose sectors cannot all be found cannot size the file.
    if (fatList.size() < fatSectors) return std::nullopt;

    std::vector<std::uint32_t> fat;
    fat.reserve(fatSectors * perSector);
    for (const auto n : fatList) {
        if (n >= available) return std::nullopt;
        const auto sector = readExactly(sectorAt(n), sectorSize);
        if (!sector) return std::nullopt;
        for (std::uint64_t i = 0; i < perSector; ++i)
            fat.push_back(Binary::rawU32le(sector->data() + 4 * i));
    }

    std::uint64_t highest = 0;
    for (const auto n : fatList)
        highest = std::max<std::uint64_t>(highest, n);
    for (const auto n : difatList)
        highest = std::max<std::uint64_t>(highest, n);
    for (std::uint64_t i = 0; i < fat.size(); ++i) {
        const auto entry = fat[i];
        if (entry == kFree) continue;
        if (entry == kFirstSpecial || (isSector(entry) && entry >= fat.size())) return std::nullopt;
        highest = std::max(highest, i);
    }
    if (highest >= available) return std::nullopt;
    const std::uint64_t size = (highest + 2) * sectorSize;
    if (size > span) return std::nullopt;

    std::set<std::string> names;
    std::optional<Date> modified;
    std::uint32_t next = *Binary::u32le(h, kFirstDirectory);
    for (std::uint32_t walked = 0; isSector(next); ++walked) {
        if (walked == kMaxDirectorySectors || next >= available || next >= fat.size())
            return std::nullopt;
        const auto sector = readExactly(sectorAt(next), sectorSize);
        if (!sector) return std::nullopt;
        for (std::size_t at = 0; at + kEntrySize <= sector->size(); at += kEntrySize) {
            const auto* entry = sector->data() + at;
            const auto nameLength = Binary::rawU16le(entry + kEntryNameLength);
            if (walked == 0 && at == 0 && entry[kEntryType] == kRootStorage)
                modified = date(Binary::rawU64le(entry + kEntryModified));
            if (nameLength < 2 || nameLength > 64) continue;
            if (auto name =
                    TextDecode::utf16Strict(ByteSpan(entry, (nameLength / 2u - 1u) * 2u), false))
                names.insert(std::move(*name));
        }
        next = fat[next];
    }
    if (next != kEndOfChain) return std::nullopt;

    std::optional<FileKind> kind;
    if (names.count("WordDocument")) {
        kind = FileKind::doc;
    } else if (names.count("Workbook") || names.count("Book")) {
        kind = FileKind::xls;
    } else if (names.count("PowerPoint Document")) {
        kind = FileKind::ppt;
    }
    if (!kind) return std::nullopt;

    Carved carved;
    carved.kind = *kind;
    carved.size = size;
    carved.modified = modified;
    carved.complete = true;
    return carved;
}

std::optional<Date> OLE2Carver::date(std::uint64_t fileTime) {
    if (fileTime == 0) return std::nullopt;
    const double seconds = static_cast<double>(fileTime) / 10000000.0 - 11644473600.0;
    if (seconds < -1e15 || seconds > 1e15) return std::nullopt;
    const auto whole = static_cast<std::time_t>(seconds);
    std::tm local{};
    if (localtime_r(&whole, &local) == nullptr) return std::nullopt;
    const int year = local.tm_year + 1900;
    if (year < 1995 || year > 2100) return std::nullopt;
    return dateFromUnixSeconds(seconds);
}

} // namespace vellary
