#include "core/carve/GIFCarver.hpp"

#include "core/formats/Sniff.hpp"

#include "core/io/ByteWindow.hpp"

#include <algorithm>
#include <string_view>

namespace vellary {

namespace {

constexpr std::uint64_t kMaxSpan = 104'857'600; // 100 MiB
constexpr std::int64_t kWindow = 1'048'576;
constexpr std::uint64_t kScreenPacked = 10; // u8 of the logical screen descriptor
constexpr std::uint64_t kScreenEnd = 13;
constexpr std::uint64_t kImageDescriptor = 9; // bytes after the 2C introducer; packed is last

constexpr std::uint8_t kExtension = 0x21;
constexpr std::uint8_t kImage = 0x2C;
constexpr std::uint8_t kTrailer = 0x3B;

std::uint64_t colourTableSize(std::uint8_t packed) {
    return (packed & 0x80) ? 3ULL << ((packed & 7) + 1) : 0;
}

// Data sub-blocks: length bytes each followed by that many bytes, up to a zero length.
std::optional<std::uint64_t> skipSubBlocks(ByteWindow& window, std::uint64_t pos) {
    for (;;) {
        const auto length = window.byte(pos);
        if (!length) return std::nullopt;
        pos += 1;
        if (*length == 0) return pos;
        pos += *length;
    }
}

} // namespace

std::optional<std::vector<std::uint8_t>> GIFCarver::leadBytes() const {
    return std::vector<std::uint8_t>{0x47};
}

std::optional<FileKind> GIFCarver::sniff(ByteSpan bytes) const {
    return Sniff::gif(bytes);
}

std::optional<Carved> GIFCarver::carve(const BlockReader& reader, std::uint64_t start,
                                       FileKind) const {
    const auto sourceSize = reader.size();
    if (start >= sourceSize) return std::nullopt;
    const auto end = start + std::min(sourceSize - start, kMaxSpan);
    ByteWindow window(reader, end, kWindow);

    const auto packed = window.byte(start + kScreenPacked);
    if (!packed) return std::nullopt;
    std::uint64_t pos = start + kScreenEnd + colourTableSize(*packed);
    int frames = 0;
    while (pos < end) {
        const auto block = window.byte(pos);
        if (!block) return std::nullopt;
        if (*block == kExtension) {
            const auto next = skipSubBlocks(window, pos + 2);
            if (!next) return std::nullopt;
            pos = *next;
        } else if (*block == kImage) {
            const auto descriptor = window.view(pos + 1, kImageDescriptor);
            if (!descriptor) return std::nullopt;
            const auto localTable = colourTableSize((*descriptor)[kImageDescriptor - 1]);
            const auto next = skipSubBlocks(window, pos + 1 + kImageDescriptor + localTable + 1);
            if (!next) return std::nullopt;
            pos = *next;
            ++frames;
        } else if (*block == kTrailer) {
            if (frames < 1) return std::nullopt;
            Carved carved;
            carved.kind = FileKind::gif;
            carved.size = pos + 1 - start;
            carved.complete = true;
            return carved;
        } else {
            return std::nullopt;
        }
    }
    return std::nullopt;
}

} // namespace vellary
