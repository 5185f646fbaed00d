#include "core/carve/RAFCarver.hpp"

#include "core/formats/Sniff.hpp"

#include "core/carve/CameraNames.hpp"
#include "core/carve/CarveRead.hpp"
#include "core/carve/EXIF.hpp"
#include "core/carve/JPEGCarver.hpp"
#include "core/io/DataBlockReader.hpp"

#include <algorithm>
#include <string_view>

namespace vellary {

namespace {

constexpr std::uint64_t kMaxSize = 536'870'912; // 512 MiB
constexpr std::int64_t kHeaderRead = 128;
constexpr std::size_t kMinHeader = 108;
constexpr std::uint64_t kMinJPEGOffset = 112;
constexpr std::uint64_t kPreviewRead = 262'144;

// Header fields, u32 big-endian: (offset, length) pairs of the JPEG preview, the CFA header and
// the CFA data.
constexpr std::int64_t kJPEGOffset = 84;
constexpr std::int64_t kJPEGLength = 88;
constexpr std::int64_t kCFAHeaderOffset = 92;
constexpr std::int64_t kCFAHeaderLength = 96;
constexpr std::int64_t kCFAOffset = 100;
constexpr std::int64_t kCFALength = 104;

// The preview's EXIF: through the JPEG walk when the preview was read whole, otherwise straight
// from its first APP1 segment.
std::optional<EXIF::Summary> previewSummary(const Bytes& preview) {
    const DataBlockReader held(preview);
    if (const auto parsed = JPEGCarver::measure(held, 0); parsed && parsed->exif)
        return parsed->exif;
    if (preview.size() <= 12 || preview[2] != 0xFF || preview[3] != 0xE1) return std::nullopt;
    const std::uint64_t length = Binary::rawU16be(preview.data() + 4);
    if (length < 2 || length + 4 > preview.size()) return std::nullopt;
    return EXIF::summaryInAPP1(ByteSpan(preview).subspan(6, length - 2));
}

} // namespace

std::optional<std::vector<std::uint8_t>> RAFCarver::leadBytes() const {
    return std::vector<std::uint8_t>{0x46};
}

std::optional<FileKind> RAFCarver::sniff(ByteSpan bytes) const {
    return Sniff::raf(bytes);
}

std::optional<RAFCarver::Layout> RAFCarver::layout(const BlockReader& reader, std::uint64_t start) {
    const auto header = CarveRead::upTo(reader, start, kHeaderRead);
    if (!header || header->size() < kMinHeader || !Sniff::raf(*header)) return std::nullopt;
    const auto field = [&](std::int64_t at) -> std::uint64_t {
        return Binary::rawU32be(header->data() + at);
    };
    Layout layout;
    layout.jpegOffset = field(kJPEGOffset);
    layout.jpegLength = field(kJPEGLength);
    layout.size = std::max({layout.jpegOffset + layout.jpegLength,
                            field(kCFAHeaderOffset) + field(kCFAHeaderLength),
                            field(kCFAOffset) + field(kCFALength)});
    const auto size = layout.size;
    if (size <= static_cast<std::uint64_t>(kHeaderRead) || size > kMaxSize) return std::nullopt;
    if (layout.jpegOffset < kMinJPEGOffset || layout.jpegOffset + 3 >= size) return std::nullopt;
    if (start >= reader.size() || size > reader.size() - start) return std::nullopt;
    const auto soi = CarveRead::exact(reader, start + layout.jpegOffset, 3);
    if (!soi || (*soi)[0] != 0xFF || (*soi)[1] != 0xD8) return std::nullopt;
    return layout;
}

std::optional<Carved> RAFCarver::carve(const BlockReader& reader, std::uint64_t start,
                                       FileKind) const {
    const auto found = layout(reader, start);
    if (!found) return std::nullopt;
    const auto [jpegOffset, jpegLength, size] = *found;

    Carved carved;
    carved.kind = FileKind::raf;
    carved.size = size;
    carved.complete = true;
    const auto preview = CarveRead::exact(
        reader, start + jpegOffset, static_cast<std::int64_t>(std::min(jpegLength, kPreviewRead)));
    if (!preview) return carved;
    if (const auto summary = previewSummary(*preview)) {
        carved.modified = summary->date;
        carved.device = summary->device();
    }
    auto name = CameraNames::find(*preview, false);
    if (!name) name = CameraNames::find(*preview, true);
    if (name) carved.nameHint = name->substr(0, name->rfind('.')) + ".RAF";
    return carved;
}

} // namespace vellary
