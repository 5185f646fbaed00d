#include "core/formats/Sniff.hpp"

#include <algorithm>
#include <initializer_list>

namespace vellary {
namespace {

std::string_view text(ByteSpan bytes, std::size_t at, std::size_t count) {
    return {reinterpret_cast<const char*>(bytes.data() + at), count};
}

bool startsWith(ByteSpan bytes, std::string_view prefix) {
    return bytes.size() >= prefix.size() && text(bytes, 0, prefix.size()) == prefix;
}

bool oneOf(std::uint32_t value, std::initializer_list<std::uint32_t> allowed) {
    return std::find(allowed.begin(), allowed.end(), value) != allowed.end();
}

struct BrandRow {
    std::string_view brand;
    FileKind kind;
};

constexpr std::array<BrandRow, 43> kBrands = {{
    {"qt  ", FileKind::mov},     {"mp41", FileKind::mp4},     {"mp42", FileKind::mp4},
    {"isom", FileKind::mp4},     {"iso2", FileKind::mp4},     {"iso4", FileKind::mp4},
    {"iso5", FileKind::mp4},     {"iso6", FileKind::mp4},     {"avc1", FileKind::mp4},
    {"dash", FileKind::mp4},     {"mmp4", FileKind::mp4},     {"XAVC", FileKind::mp4},
    {"MSNV", FileKind::mp4},     {"f4v ", FileKind::mp4},     {"mp71", FileKind::mp4},
    {"NDAS", FileKind::mp4},     {"CAEP", FileKind::mp4},     {"niko", FileKind::mp4},
    {"M4V ", FileKind::m4v},     {"M4VH", FileKind::m4v},     {"M4VP", FileKind::m4v},
    {"M4A ", FileKind::m4a},     {"M4B ", FileKind::m4a},     {"M4P ", FileKind::m4a},
    {"3gp4", FileKind::threegp}, {"3gp5", FileKind::threegp}, {"3gp6", FileKind::threegp},
    {"3gp7", FileKind::threegp}, {"3g2a", FileKind::threegp}, {"3g2b", FileKind::threegp},
    {"3g2c", FileKind::threegp}, {"heic", FileKind::heic},    {"heix", FileKind::heic},
    {"hevc", FileKind::heic},    {"heim", FileKind::heic},    {"heis", FileKind::heic},
    {"hevm", FileKind::heic},    {"hevs", FileKind::heic},    {"mif1", FileKind::heic},
    {"msf1", FileKind::heic},    {"avif", FileKind::avif},    {"avis", FileKind::avif},
    {"crx ", FileKind::cr3},
}};

// Larger ftyp boxes are not real ones.
constexpr std::uint32_t kMaxFtyp = 512;
// First IFD offsets past this are beyond any TIFF or raw file measured.
constexpr std::uint32_t kMaxTIFFSpan = 419'430'400;
constexpr std::uint64_t kMaxBMPSize = 512ULL * 1024 * 1024;

} // namespace

std::optional<FileKind> Sniff::jpeg(ByteSpan bytes) {
    if (bytes.size() < 4 || bytes[0] != 0xFF || bytes[1] != 0xD8 || bytes[2] != 0xFF)
        return std::nullopt;
    const auto fourth = bytes[3];
    const bool application = fourth >= 0xE0 && fourth <= 0xEF;
    if (application || fourth == 0xC0 || fourth == 0xC4 || fourth == 0xDB || fourth == 0xFE)
        return FileKind::jpeg;
    return std::nullopt;
}

std::optional<FileKind> Sniff::raf(ByteSpan bytes) {
    if (!startsWith(bytes, "FUJIFILMCCD-RAW ")) return std::nullopt;
    return FileKind::raf;
}

std::optional<FileKind> Sniff::isoMedia(ByteSpan bytes) {
    if (bytes.size() < 16) return std::nullopt;
    const auto size = Binary::rawU32be(bytes.data());
    if (size < 16 || size > kMaxFtyp || size % 4 != 0) return std::nullopt;
    if (text(bytes, 4, 4) != "ftyp") return std::nullopt;
    return isoBrand(text(bytes, 8, 4));
}

std::optional<FileKind> Sniff::isoBrand(std::string_view brand) {
    for (const auto& row : kBrands)
        if (row.brand == brand) return row.kind;
    return std::nullopt;
}

bool Sniff::cr2Header(ByteSpan header) {
    return header.size() >= 11 && header[8] == 'C' && header[9] == 'R' && header[10] == 2;
}

std::optional<FileKind> Sniff::tiffRaw(ByteSpan bytes) {
    if (bytes.size() < 16) return std::nullopt;
    const bool little = bytes[0] == 'I' && bytes[1] == 'I';
    if (!little && !(bytes[0] == 'M' && bytes[1] == 'M')) return std::nullopt;
    const auto first =
        little ? Binary::rawU32le(bytes.data() + 4) : Binary::rawU32be(bytes.data() + 4);
    if (first < 8 || first >= kMaxTIFFSpan) return std::nullopt;
    if (startsWith(bytes, std::string_view("II\x2A\0", 4)))
        return cr2Header(bytes) ? FileKind::cr2 : FileKind::tiff;
    if (startsWith(bytes, "IIRO") || startsWith(bytes, "IIRS")) return FileKind::orf;
    if (startsWith(bytes, std::string_view("IIU\0", 4))) return FileKind::rw2;
    if (startsWith(bytes, std::string_view("MM\0\x2A", 4))) return FileKind::tiff;
    if (startsWith(bytes, "MMOR")) return FileKind::orf;
    return std::nullopt;
}

std::optional<FileKind> Sniff::png(ByteSpan bytes) {
    if (bytes.size() < 16) return std::nullopt;
    if (!startsWith(bytes, "\x89PNG\r\n\x1A\n")) return std::nullopt;
    if (Binary::rawU32be(bytes.data() + 8) != 13) return std::nullopt;
    if (text(bytes, 12, 4) != "IHDR") return std::nullopt;
    return FileKind::png;
}

std::optional<FileKind> Sniff::gif(ByteSpan bytes) {
    if (bytes.size() < 13) return std::nullopt;
    const auto magic = text(bytes, 0, 6);
    if (magic != "GIF87a" && magic != "GIF89a") return std::nullopt;
    if (Binary::rawU16le(bytes.data() + 6) == 0 || Binary::rawU16le(bytes.data() + 8) == 0)
        return std::nullopt;
    return FileKind::gif;
}

bool Sniff::riffChunkID(ByteSpan id) {
    if (id.size() < 4 || id[0] < 0x21 || id[0] > 0x7E) return false;
    return std::all_of(id.begin() + 1, id.begin() + 4,
                       [](std::uint8_t b) { return b >= 0x20 && b <= 0x7E; });
}

std::optional<FileKind> Sniff::riff(ByteSpan bytes) {
    if (bytes.size() < 20 || text(bytes, 0, 4) != "RIFF" || Binary::rawU32le(bytes.data() + 4) < 12)
        return std::nullopt;
    if (!riffChunkID(bytes.subspan(12, 4))) return std::nullopt;
    const auto form = text(bytes, 8, 4);
    if (form == "AVI ") return FileKind::avi;
    if (form == "WAVE") return FileKind::wav;
    if (form == "WEBP") return FileKind::webp;
    return std::nullopt;
}

std::optional<FileKind> Sniff::pdf(ByteSpan bytes) {
    if (bytes.size() < 9 || !startsWith(bytes, "%PDF-")) return std::nullopt;
    if ((bytes[5] != '1' && bytes[5] != '2') || bytes[6] != '.' || bytes[7] < '0' || bytes[7] > '9')
        return std::nullopt;
    return FileKind::pdf;
}

bool Sniff::zipMethod(std::uint16_t method) {
    return oneOf(method, {0, 1, 6, 8, 9, 12, 14, 93, 95, 98, 99});
}

std::optional<FileKind> Sniff::zip(ByteSpan bytes) {
    constexpr std::size_t kMethod = 8;      // u16
    constexpr std::size_t kNameLength = 26; // u16
    if (bytes.size() < 30 || Binary::rawU32le(bytes.data()) != 0x04034B50 || bytes[4] >= 64)
        return std::nullopt;
    if (!zipMethod(Binary::rawU16le(bytes.data() + kMethod))) return std::nullopt;
    const auto nameLength = Binary::rawU16le(bytes.data() + kNameLength);
    if (nameLength < 1 || nameLength > 4096) return std::nullopt;
    return FileKind::zip;
}

std::optional<FileKind> Sniff::ole2(ByteSpan bytes) {
    constexpr std::size_t kMajorVersion = 26; // u16
    constexpr std::size_t kByteOrder = 28;    // u16, FFFE
    constexpr std::size_t kSectorShift = 30;  // u16
    if (bytes.size() < 32 || !startsWith(bytes, "\xD0\xCF\x11\xE0\xA1\xB1\x1A\xE1"))
        return std::nullopt;
    if (Binary::rawU16le(bytes.data() + kByteOrder) != 0xFFFE) return std::nullopt;
    const auto major = Binary::rawU16le(bytes.data() + kMajorVersion);
    const auto shift = Binary::rawU16le(bytes.data() + kSectorShift);
    if (!((major == 3 && shift == 9) || (major == 4 && shift == 12))) return std::nullopt;
    return FileKind::doc;
}

std::optional<FileKind> Sniff::mp3(ByteSpan bytes) {
    if (bytes.size() < 10 || !startsWith(bytes, "ID3")) return std::nullopt;
    if (bytes[3] < 2 || bytes[3] > 4 || bytes[4] == 0xFF || (bytes[5] & 0x0F) != 0)
        return std::nullopt;
    for (std::size_t i = 6; i < 10; ++i)
        if (bytes[i] >= 0x80) return std::nullopt;
    return FileKind::mp3;
}

std::optional<FileKind> Sniff::flac(ByteSpan bytes) {
    if (bytes.size() < 22 || !startsWith(bytes, "fLaC")) return std::nullopt;
    if ((bytes[4] & 0x7F) != 0 || bytes[5] != 0 || bytes[6] != 0 || bytes[7] != 0x22)
        return std::nullopt;
    const auto minBlock = Binary::rawU16be(bytes.data() + 8);
    const auto maxBlock = Binary::rawU16be(bytes.data() + 10);
    const std::uint32_t rate =
        (std::uint32_t{bytes[18]} << 12) | (std::uint32_t{bytes[19]} << 4) | (bytes[20] >> 4);
    if (minBlock < 16 || minBlock > maxBlock || rate < 1 || rate > 655350) return std::nullopt;
    return FileKind::flac;
}

std::optional<FileKind> Sniff::matroska(ByteSpan bytes) {
    if (bytes.size() < 16 || Binary::rawU32be(bytes.data()) != 0x1A45DFA3 || bytes[4] == 0)
        return std::nullopt;
    return FileKind::mkv;
}

std::optional<FileKind> Sniff::psd(ByteSpan bytes) {
    // File header, big-endian.
    constexpr std::size_t kHeaderSize = 26;
    constexpr std::size_t kVersion = 4;     // u16: 1 PSD, 2 PSB
    constexpr std::size_t kChannels = 12;   // u16
    constexpr std::size_t kHeight = 14;     // u32
    constexpr std::size_t kWidth = 18;      // u32
    constexpr std::size_t kDepth = 22;      // u16
    constexpr std::size_t kColourMode = 24; // u16
    if (bytes.size() < kHeaderSize) return std::nullopt;
    const auto* p = bytes.data();
    if (!startsWith(bytes, "8BPS")) return std::nullopt;
    const auto version = Binary::rawU16be(p + kVersion);
    if (version != 1 && version != 2) return std::nullopt;
    if (!std::all_of(p + 6, p + 12, [](std::uint8_t b) { return b == 0; })) return std::nullopt;
    const auto channels = Binary::rawU16be(p + kChannels);
    if (channels < 1 || channels > 56) return std::nullopt;
    const std::uint32_t most = version == 1 ? 30'000 : 300'000;
    const auto height = Binary::rawU32be(p + kHeight);
    const auto width = Binary::rawU32be(p + kWidth);
    if (height < 1 || height > most || width < 1 || width > most) return std::nullopt;
    if (!oneOf(Binary::rawU16be(p + kDepth), {1, 8, 16, 32})) return std::nullopt;
    if (!oneOf(Binary::rawU16be(p + kColourMode), {0, 1, 2, 3, 4, 7, 8, 9})) return std::nullopt;
    return FileKind::psd;
}

std::optional<FileKind> Sniff::bmp(ByteSpan bytes) {
    // Bitmap file header (14 bytes), then the DIB header; every field little-endian.
    constexpr std::size_t kFileSize = 2;    // u32
    constexpr std::size_t kReserved = 6;    // u32, zero
    constexpr std::size_t kDataOffset = 10; // u32
    constexpr std::size_t kDIBSize = 14;    // u32
    constexpr std::size_t kWidth = 18;      // u16 (core header) or i32
    constexpr std::size_t kCoreHeight = 20; // u16
    constexpr std::size_t kCorePlanes = 22; // u16
    constexpr std::size_t kCoreBits = 24;   // u16
    constexpr std::size_t kHeight = 22;     // i32
    constexpr std::size_t kPlanes = 26;     // u16
    constexpr std::size_t kBits = 28;       // u16
    constexpr std::uint32_t kCoreHeaderSize = 12;
    if (bytes.size() < 30 || bytes[0] != 'B' || bytes[1] != 'M') return std::nullopt;
    const auto* p = bytes.data();
    const auto fileSize = Binary::rawU32le(p + kFileSize);
    const auto dataOffset = Binary::rawU32le(p + kDataOffset);
    const auto dib = Binary::rawU32le(p + kDIBSize);
    const bool knownHeader =
        std::find(bmpHeaderSizes.begin(), bmpHeaderSizes.end(), dib) != bmpHeaderSizes.end();
    if (Binary::rawU32le(p + kReserved) != 0 || !knownHeader ||
        static_cast<std::uint64_t>(dataOffset) < std::uint64_t{dib} + 14 ||
        fileSize > kMaxBMPSize || dataOffset >= fileSize)
        return std::nullopt;
    if (dib == kCoreHeaderSize) {
        const auto bits = Binary::rawU16le(p + kCoreBits);
        if (Binary::rawU16le(p + kWidth) == 0 || Binary::rawU16le(p + kCoreHeight) == 0 ||
            Binary::rawU16le(p + kCorePlanes) != 1 ||
            (bits != 1 && bits != 4 && bits != 8 && bits != 24))
            return std::nullopt;
        return FileKind::bmp;
    }
    const auto bits = Binary::rawU16le(p + kBits);
    if (Binary::rawU32le(p + kWidth) == 0 || Binary::rawU32le(p + kHeight) == 0 ||
        Binary::rawU16le(p + kPlanes) != 1 ||
        (bits != 1 && bits != 4 && bits != 8 && bits != 16 && bits != 24 && bits != 32))
        return std::nullopt;
    return FileKind::bmp;
}

} // namespace vellary
