#include "core/scan/MFTRecord.hpp"

#include "core/records/TextDecode.hpp"

#include <algorithm>
#include <cstring>

namespace vellary {
namespace {

// File record header.
constexpr std::int64_t kUpdateSequenceOffset = 4;  // u16
constexpr std::int64_t kUpdateSequenceCount = 6;   // u16
constexpr std::int64_t kSequenceOffset = 16;       // u16
constexpr std::int64_t kFirstAttributeOffset = 20; // u16
constexpr std::int64_t kFlagsOffset = 22;          // u16: bit 0 in use, bit 1 directory
constexpr std::int64_t kBytesInUseOffset = 24;     // u32
constexpr std::int64_t kBaseReferenceOffset = 32;  // u64
constexpr std::int64_t kStride = 512;

// Attribute header.
constexpr std::int64_t kAttrLength = 4;       // u32
constexpr std::int64_t kAttrNonResident = 8;  // u8
constexpr std::int64_t kAttrNameLength = 9;   // u8, UTF-16 units
constexpr std::int64_t kAttrFlags = 12;       // u16
constexpr std::int64_t kValueLength = 16;     // u32, resident
constexpr std::int64_t kValueOffset = 20;     // u16, resident
constexpr std::int64_t kFirstVCN = 16;        // u64, non-resident
constexpr std::int64_t kRunListOffset = 32;   // u16, non-resident
constexpr std::int64_t kDataSize = 48;        // u64, non-resident
constexpr std::int64_t kInitializedSize = 56; // u64, non-resident
constexpr std::int64_t kNonResidentHeader = 64;

constexpr std::uint32_t kStandardInformation = 0x10;
constexpr std::uint32_t kAttributeList = 0x20;
constexpr std::uint32_t kFileNameType = 0x30;
constexpr std::uint32_t kData = 0x80;
constexpr std::uint32_t kEnd = 0xFFFFFFFF;
constexpr int kMaxAttributes = 512;

// $FILE_NAME value.
constexpr std::int64_t kNameParent = 0;    // u64
constexpr std::int64_t kNameModified = 16; // u64 file time
constexpr std::int64_t kNameLength = 64;   // u8, UTF-16 units
constexpr std::int64_t kNameSpace = 65;    // u8
constexpr std::int64_t kNameChars = 66;

// Checks and applies the update sequence; yields (offset, count).
std::optional<std::pair<std::int64_t, std::int64_t>> applyFixups(std::span<std::uint8_t> bytes) {
    if (bytes.size() < 8) return std::nullopt;
    const std::int64_t o = Binary::rawU16le(bytes.data() + kUpdateSequenceOffset);
    const std::int64_t n = Binary::rawU16le(bytes.data() + kUpdateSequenceCount);
    if (o % 2 != 0 || o < 40 || n < 2 || o + 2 * n > kStride ||
        static_cast<std::int64_t>(bytes.size()) < (n - 1) * kStride)
        return std::nullopt;
    const std::uint8_t* check = bytes.data() + o;
    for (std::int64_t i = 1; i < n; ++i)
        if (std::memcmp(bytes.data() + i * kStride - 2, check, 2) != 0) return std::nullopt;
    for (std::int64_t i = 1; i < n; ++i)
        std::memcpy(bytes.data() + i * kStride - 2, bytes.data() + o + 2 * i, 2);
    return std::make_pair(o, n);
}

bool isWin32(std::uint8_t nameSpace) {
    return nameSpace == 1 || nameSpace == 3;
}

std::optional<NTFSFileName> parseFileName(ByteSpan value) {
    if (value.size() < static_cast<std::size_t>(kNameChars)) return std::nullopt;
    const std::size_t units = value[kNameLength];
    if (units < 1 || kNameChars + 2 * units > value.size()) return std::nullopt;
    NTFSFileName result;
    result.name = TextDecode::utf16LE(value.subspan(kNameChars, 2 * units), units, false);
    if (result.name.empty()) return std::nullopt;
    result.parent = Binary::rawU64le(value.data() + kNameParent);
    result.nameSpace = value[kNameSpace];
    result.modified = Binary::fileTimeDate(Binary::rawU64le(value.data() + kNameModified));
    return result;
}

// Parses a non-resident header at [start, start + length) of bytes; length was checked to lie
// inside the buffer.
bool parseStream(ByteSpan bytes, std::int64_t start, std::int64_t length, NTFSStream& stream) {
    if (length < kNonResidentHeader) return false;
    const std::uint8_t* a = bytes.data() + start;
    const std::int64_t runList = Binary::rawU16le(a + kRunListOffset);
    if (runList < kNonResidentHeader || runList >= length) return false;
    const std::uint16_t flags = Binary::rawU16le(a + kAttrFlags);
    stream.compressed = (flags & 0xFF) != 0;
    stream.encrypted = (flags & 0x4000) != 0;
    stream.firstVCN = Binary::rawU64le(a + kFirstVCN);
    stream.dataSize = Binary::rawU64le(a + kDataSize);
    stream.initializedSize = Binary::rawU64le(a + kInitializedSize);
    stream.runs.clear();
    return NTFSRunList::decode(bytes, start + runList, start + length, stream.runs);
}

} // namespace

bool MFTRecord::parseInPlace(std::span<std::uint8_t> bytes, MFTRecord& r) {
    if (bytes.size() < static_cast<std::size_t>(kStride) ||
        std::memcmp(bytes.data(), "FILE", 4) != 0)
        return false;
    const auto fixups = applyFixups(bytes);
    if (!fixups) return false;
    const std::uint8_t* b = bytes.data();
    const std::uint16_t flags = Binary::rawU16le(b + kFlagsOffset);
    const std::int64_t firstAttribute = Binary::rawU16le(b + kFirstAttributeOffset);
    const std::int64_t inUseBytes = Binary::rawU32le(b + kBytesInUseOffset);
    const auto size = static_cast<std::int64_t>(bytes.size());
    const std::int64_t usable = inUseBytes >= 48 && inUseBytes <= size ? inUseBytes : size;
    if (fixups->first + 2 * fixups->second > firstAttribute || usable < firstAttribute + 8)
        return false;

    r.sequence = Binary::rawU16le(b + kSequenceOffset);
    r.inUse = (flags & 1) != 0;
    r.isDirectory = (flags & 2) != 0;
    r.baseReference = Binary::rawU64le(b + kBaseReferenceOffset);
    r.fileName.reset();
    r.modified.reset();
    r.residentData.reset();
    r.dataStreams.clear();
    r.hasAttributeList = false;
    r.allocated.clear();
    r.updateSequenceOffset = fixups->first;
    r.updateSequenceCount = fixups->second;

    const ByteSpan view(bytes.data(), bytes.size());
    std::int64_t offset = firstAttribute;
    for (int visited = 0; offset + 16 <= usable && visited < kMaxAttributes; ++visited) {
        const std::uint8_t* a = b + offset;
        const std::uint32_t type = Binary::rawU32le(a);
        if (type == kEnd) break;
        const std::int64_t length = Binary::rawU32le(a + kAttrLength);
        if (length < 16 || length > usable - offset) break;
        const bool nonResident = a[kAttrNonResident] != 0;
        const std::uint8_t nameLength = a[kAttrNameLength];

        // A resident value, when its header is sound.
        std::optional<RecordRange> value;
        if (!nonResident && length >= 24) {
            const std::int64_t valueLength = Binary::rawU32le(a + kValueLength);
            const std::int64_t valueOffset = Binary::rawU16le(a + kValueOffset);
            if (valueOffset >= 24 && valueLength <= length - valueOffset)
                value = RecordRange{offset + valueOffset, offset + valueOffset + valueLength};
        }

        if (nonResident) {
            const bool isData = type == kData && nameLength == 0;
            if (isData) {
                NTFSStream stream;
                if (parseStream(view, offset, length, stream)) {
                    if (r.inUse)
                        r.allocated.insert(r.allocated.end(), stream.runs.begin(),
                                           stream.runs.end());
                    r.dataStreams.push_back(std::move(stream));
                }
            } else if (r.inUse && length >= kNonResidentHeader) {
                const std::int64_t runList = Binary::rawU16le(a + kRunListOffset);
                if (runList >= kNonResidentHeader && runList < length)
                    NTFSRunList::decode(view, offset + runList, offset + length, r.allocated);
            }
            if (type == kAttributeList) r.hasAttributeList = true;
        } else {
            switch (type) {
            case kStandardInformation:
                if (value && value->count() >= 16) {
                    r.modified = Binary::fileTimeDate(Binary::rawU64le(b + value->lower + 8));
                }
                break;
            case kAttributeList:
                r.hasAttributeList = true;
                break;
            case kFileNameType:
                if (value) {
                    auto name =
                        parseFileName(view.subspan(static_cast<std::size_t>(value->lower),
                                                   static_cast<std::size_t>(value->count())));
                    if (name && prefersName(*name, r.fileName)) r.fileName = std::move(name);
                }
                break;
            case kData:
                if (nameLength == 0 && value) r.residentData = value;
                break;
            default:
                break;
            }
        }
        offset += length;
    }
    if (!r.modified && r.fileName) r.modified = r.fileName->modified;
    return true;
}

// The long Win32 name wins, then a POSIX name, then the DOS short name; the first of equal rank
// stays.
bool MFTRecord::prefersName(const NTFSFileName& next, const std::optional<NTFSFileName>& current) {
    if (!current) return true;
    switch (current->nameSpace) {
    case 0:
        return isWin32(next.nameSpace);
    case 2:
        return next.nameSpace == 0 || isWin32(next.nameSpace);
    default:
        return false;
    }
}

std::optional<MFTRecord> MFTRecord::parseInPlace(std::span<std::uint8_t> bytes) {
    MFTRecord record;
    if (!parseInPlace(bytes, record)) return std::nullopt;
    return record;
}

std::optional<MFTRecord::Parsed> MFTRecord::parse(ByteSpan bytes) {
    if (bytes.size() < static_cast<std::size_t>(kStride) ||
        std::memcmp(bytes.data(), "FILE", 4) != 0)
        return std::nullopt;
    Parsed parsed;
    parsed.bytes.assign(bytes.begin(), bytes.end());
    if (!parseInPlace(parsed.bytes, parsed.record)) return std::nullopt;
    return parsed;
}

std::vector<RecordRange> MFTRecord::storedPieces(RecordRange range) const {
    std::vector<RecordRange> pieces;
    const auto add = [&](std::int64_t lower, std::int64_t upper) {
        if (upper <= lower) return;
        if (!pieces.empty() && pieces.back().upper == lower)
            pieces.back().upper = upper;
        else
            pieces.push_back({lower, upper});
    };
    const std::int64_t protectedStrides = updateSequenceCount - 1;
    std::int64_t pos = std::max<std::int64_t>(range.lower, 0);
    while (pos < range.upper) {
        const std::int64_t stride = pos / kStride;
        const std::int64_t inStride = pos % kStride;
        if (stride >= protectedStrides) {
            add(pos, range.upper);
            break;
        }
        if (inStride < kStride - 2) {
            const std::int64_t upper = std::min(range.upper, stride * kStride + kStride - 2);
            add(pos, upper);
            pos = upper;
            continue;
        }
        const std::int64_t stored =
            updateSequenceOffset + 2 * stride + 2 + (inStride - (kStride - 2));
        add(stored, stored + 1);
        ++pos;
    }
    return pieces;
}

} // namespace vellary
