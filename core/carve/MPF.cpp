#include "core/carve/MPF.hpp"

#include "core/carve/TIFFBytes.hpp"

#include <cstring>

namespace vellary {
namespace {

constexpr std::size_t kHeader = 4; // "MPF" and a zero byte
constexpr std::uint16_t kMPEntry = 0xB002;
constexpr std::uint32_t kEntrySize = 16;
constexpr std::uint32_t kMinArray = 32;
constexpr std::uint32_t kArrayLimit = 1024;
constexpr std::int64_t kImageSize = 4;   // u32 within an entry
constexpr std::int64_t kImageOffset = 8; // u32 within an entry

} // namespace

std::optional<std::vector<std::uint64_t>>
MPF::imageEnds(ByteSpan payload, std::uint64_t payloadStart, HeldWindow& bytes) {
    if (payload.size() <= 16 || std::memcmp(payload.data(), "MPF\0", kHeader) != 0)
        return std::nullopt;
    const auto tiff = TIFFBytes::make(payload.subspan(kHeader));
    if (!tiff) return std::nullopt;
    const auto entry = TIFFBytes::find(tiff->entries(tiff->firstDirectory()), kMPEntry);
    if (!entry || entry->count < kMinArray || entry->count >= kArrayLimit) return std::nullopt;
    // Offsets in the index count from the TIFF header, four bytes into the payload.
    const std::uint64_t base = payloadStart + kHeader;
    std::vector<std::uint64_t> ends;
    for (std::uint32_t k = 1; k < entry->count / kEntrySize; ++k) {
        const std::int64_t at = std::int64_t{entry->valueOffset} + std::int64_t{k} * kEntrySize;
        const auto size = tiff->u32(at + kImageSize);
        const auto offset = tiff->u32(at + kImageOffset);
        if (!size || !offset || *size == 0 || *offset == 0) continue;
        const std::uint64_t start = base + *offset;
        if (bytes.byte(start) == 0xFF && bytes.byte(start + 1) == 0xD8)
            ends.push_back(start + *size);
    }
    if (ends.empty()) return std::nullopt;
    return ends;
}

} // namespace vellary
