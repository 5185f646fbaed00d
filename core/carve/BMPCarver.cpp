#include "core/carve/BMPCarver.hpp"

#include "core/formats/Sniff.hpp"

#include <algorithm>
#include <cstdlib>

#include "core/records/RecoverError.hpp"

namespace vellary {
namespace {

// Bitmap file header (14 bytes), then the DIB header; every field little-endian.
constexpr std::int64_t kFileSize = 2;        // u32
constexpr std::int64_t kDataOffset = 10;     // u32
constexpr std::int64_t kDIBSize = 14;        // u32
constexpr std::int64_t kWidth = 18;          // u16 (core header) or i32
constexpr std::int64_t kCoreHeight = 20;     // u16
constexpr std::int64_t kCoreBits = 24;       // u16
constexpr std::int64_t kHeight = 22;         // i32, negative for top-down rows
constexpr std::int64_t kBits = 28;           // u16
constexpr std::int64_t kCompression = 30;    // u32
constexpr std::int64_t kImageSize = 34;      // u32
constexpr std::int64_t kColoursUsed = 46;    // u32
constexpr std::int64_t kColourSpace = 70;    // u32, version 5 header
constexpr std::int64_t kProfileOffset = 126; // u32, from the DIB header
constexpr std::int64_t kProfileSize = 130;   // u32

constexpr std::uint32_t kCoreHeaderSize = 12;
constexpr std::uint32_t kV5HeaderSize = 124;
constexpr std::uint32_t kEmbeddedProfile = 0x4D424544; // "MBED"
constexpr std::uint64_t kMaxFileSize = 512ull * 1024 * 1024;
constexpr std::uint64_t kSlack = 1024;
constexpr std::int64_t kMaxDimension = 65536;
constexpr std::uint64_t kMinSource = 54;
constexpr std::int64_t kHeaderRead = 138;

// Bytes of uncompressed rows, each padded to four bytes; nothing when it does not fit 64 bits.
std::optional<std::uint64_t> pixelBytes(std::uint64_t width, std::uint64_t bits,
                                        std::uint64_t height) {
    std::uint64_t rowBits = 0, stride = 0, total = 0;
    if (__builtin_mul_overflow(width, bits, &rowBits) || rowBits > UINT64_MAX - 31)
        return std::nullopt;
    stride = (rowBits + 31) / 32 * 4;
    if (__builtin_mul_overflow(stride, height, &total)) return std::nullopt;
    return total;
}

} // namespace

std::optional<std::vector<std::uint8_t>> BMPCarver::leadBytes() const {
    return std::vector<std::uint8_t>{0x42};
}

std::optional<FileKind> BMPCarver::sniff(ByteSpan bytes) const {
    return Sniff::bmp(bytes);
}

std::optional<Carved> BMPCarver::carve(const BlockReader& reader, std::uint64_t start,
                                       FileKind) const {
    const std::uint64_t size = reader.size();
    if (start > size || size - start < kMinSource) return std::nullopt;
    Bytes head;
    try {
        head = reader.read(start, kHeaderRead);
    } catch (const RecoverError&) {
        return std::nullopt;
    }
    const auto fileSize = Binary::u32le(head, kFileSize);
    const auto dataOffset = Binary::u32le(head, kDataOffset);
    const auto dib = Binary::u32le(head, kDIBSize);
    if (!fileSize || !dataOffset || !dib || head.size() < std::uint64_t{*dib} + 14)
        return std::nullopt;

    std::optional<std::uint64_t> pixels;
    std::uint64_t profileEnd = 0;
    if (*dib == kCoreHeaderSize) {
        const auto width = Binary::u16le(head, kWidth);
        const auto height = Binary::u16le(head, kCoreHeight);
        const auto bits = Binary::u16le(head, kCoreBits);
        if (!width || !height || !bits) return std::nullopt;
        pixels = pixelBytes(*width, *bits, *height);
    } else {
        const auto width = Binary::u32le(head, kWidth);
        const auto rawHeight = Binary::u32le(head, kHeight);
        const auto bits = Binary::u16le(head, kBits);
        const auto compression = Binary::u32le(head, kCompression);
        const auto imageSize = Binary::u32le(head, kImageSize);
        const auto coloursUsed = Binary::u32le(head, kColoursUsed);
        if (!width || !rawHeight || !bits || !compression || !imageSize || !coloursUsed)
            return std::nullopt;
        const std::int64_t signedWidth = static_cast<std::int32_t>(*width);
        // In 64 bits: the absolute value of -2^31 does not fit in 32.
        const std::int64_t height =
            std::llabs(static_cast<std::int64_t>(static_cast<std::int32_t>(*rawHeight)));
        if (signedWidth < 1 || height == 0 || signedWidth > kMaxDimension || height > kMaxDimension)
            return std::nullopt;
        if (*dib == kV5HeaderSize && Binary::u32le(head, kColourSpace) == kEmbeddedProfile) {
            const auto offset = Binary::u32le(head, kProfileOffset);
            const auto length = Binary::u32le(head, kProfileSize);
            if (!offset || !length) return std::nullopt;
            profileEnd = 14 + std::uint64_t{*offset} + std::uint64_t{*length};
        }
        if (*bits <= 8 && *coloursUsed > (1u << *bits)) return std::nullopt;
        const auto rows = [&] {
            return pixelBytes(static_cast<std::uint64_t>(signedWidth), *bits,
                              static_cast<std::uint64_t>(height));
        };
        switch (*compression) {
        case 0:
            pixels = rows();
            break;
        case 1:
            if (*bits != 8 || *imageSize == 0) return std::nullopt;
            pixels = *imageSize;
            break;
        case 2:
            if (*bits != 4 || *imageSize == 0) return std::nullopt;
            pixels = *imageSize;
            break;
        case 3:
        case 6:
            if (*bits != 16 && *bits != 32) return std::nullopt;
            pixels = rows();
            break;
        default:
            return std::nullopt;
        }
    }
    if (!pixels || *pixels > UINT64_MAX - *dataOffset) return std::nullopt;
    const std::uint64_t expected = std::max(*dataOffset + *pixels, profileEnd);
    const std::uint64_t declared = *fileSize;
    if (declared < expected || declared - expected > kSlack || declared > kMaxFileSize ||
        declared > size - start)
        return std::nullopt;
    Carved carved;
    carved.kind = FileKind::bmp;
    carved.size = declared;
    carved.complete = true;
    return carved;
}

} // namespace vellary
