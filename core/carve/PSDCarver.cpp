#include "core/carve/PSDCarver.hpp"

#include "core/formats/Sniff.hpp"

#include "core/carve/EXIF.hpp"
#include "core/io/ByteWindow.hpp"

#include <algorithm>
#include <string_view>

namespace vellary {

namespace {

constexpr std::uint64_t kMaxSpan = 2'147'483'648; // 2 GiB
constexpr std::int64_t kWindow = 262'144;
constexpr std::uint32_t kMaxColourMode = 16'777'216;
constexpr std::uint64_t kMaxLayerSection = 2'147'483'648;
constexpr std::uint64_t kRowBatch = 16'384;
constexpr std::uint32_t kMaxExif = 262'144;
constexpr std::uint16_t kExifResource = 0x0422;

// File header, big-endian.
constexpr std::int64_t kHeaderSize = 26;
constexpr std::int64_t kVersion = 4;   // u16: 1 PSD, 2 PSB
constexpr std::int64_t kChannels = 12; // u16
constexpr std::int64_t kHeight = 14;   // u32
constexpr std::int64_t kWidth = 18;    // u32
constexpr std::int64_t kDepth = 22;    // u16

// Sums the RLE row-length table, batch by batch straight from the window; nothing when a row
// claims more than PackBits can produce.
std::optional<std::uint64_t> sumRowLengths(ByteWindow& window, std::uint64_t table,
                                           std::uint64_t rows, std::uint64_t entrySize,
                                           std::uint64_t bound) {
    std::uint64_t sum = 0;
    for (std::uint64_t done = 0; done < rows;) {
        const auto batch = std::min(kRowBatch, rows - done);
        const auto bytes =
            window.view(table + done * entrySize, static_cast<std::int64_t>(batch * entrySize));
        if (!bytes) return std::nullopt;
        for (std::uint64_t i = 0; i < batch; ++i) {
            const auto* p = bytes->data() + i * entrySize;
            const std::uint64_t length = entrySize == 2 ? Binary::rawU16be(p) : Binary::rawU32be(p);
            if (length > bound) return std::nullopt;
            sum += length;
        }
        done += batch;
    }
    return sum;
}

// Image resource blocks: "8BIM", u16 id, a Pascal name padded to even, u32 size, data padded to
// even. The first EXIF block of a sane size is read.
std::optional<EXIF::Summary> exif(ByteWindow& window, std::uint64_t from, std::uint64_t to) {
    constexpr std::uint64_t kSmallestBlock = 12;
    std::uint64_t pos = from;
    while (pos < to && to - pos >= kSmallestBlock) {
        const auto head = window.view(pos, 7);
        if (!head) return std::nullopt;
        if (std::string_view(reinterpret_cast<const char*>(head->data()), 4) != "8BIM")
            return std::nullopt;
        const auto id = Binary::rawU16be(head->data() + 4);
        const std::uint64_t name = ((1ULL + (*head)[6]) + 1) & ~1ULL;
        const auto sizeAt = pos + 6 + name;
        const auto size = window.u32be(sizeAt);
        if (!size) return std::nullopt;
        const auto dataAt = sizeAt + 4;
        if (id == kExifResource && *size <= kMaxExif) {
            const auto data = window.view(dataAt, *size);
            if (!data) return std::nullopt;
            return EXIF::summaryInTIFF(*data);
        }
        pos = dataAt + ((std::uint64_t{*size} + 1) & ~1ULL);
    }
    return std::nullopt;
}

} // namespace

std::optional<std::vector<std::uint8_t>> PSDCarver::leadBytes() const {
    return std::vector<std::uint8_t>{0x38};
}

std::optional<FileKind> PSDCarver::sniff(ByteSpan bytes) const {
    return Sniff::psd(bytes);
}

std::optional<Carved> PSDCarver::carve(const BlockReader& reader, std::uint64_t start,
                                       FileKind) const {
    const auto sourceSize = reader.size();
    if (start >= sourceSize) return std::nullopt;
    const auto end = start + std::min(sourceSize - start, kMaxSpan);
    ByteWindow window(reader, end, kWindow);

    const auto header = window.bytes(start, kHeaderSize);
    if (!header || header->size() != static_cast<std::size_t>(kHeaderSize)) return std::nullopt;
    const auto* h = header->data();
    const bool large = Binary::rawU16be(h + kVersion) == 2;
    const std::uint64_t channels = Binary::rawU16be(h + kChannels);
    const std::uint64_t height = Binary::rawU32be(h + kHeight);
    const std::uint64_t width = Binary::rawU32be(h + kWidth);
    const std::uint64_t depth = Binary::rawU16be(h + kDepth);

    const auto colourMode = window.u32be(start + kHeaderSize);
    if (!colourMode || *colourMode > kMaxColourMode) return std::nullopt;
    const auto resourcesAt = start + kHeaderSize + 4 + *colourMode;
    const auto resources = window.u32be(resourcesAt);
    if (!resources) return std::nullopt;

    std::optional<EXIF::Summary> summary;
    if (*resources != 0) summary = exif(window, resourcesAt + 4, resourcesAt + 4 + *resources);

    const auto layersAt = resourcesAt + 4 + *resources;
    std::uint64_t layers = 0;
    if (large) {
        const auto length = window.u64be(layersAt);
        if (!length || *length > kMaxLayerSection) return std::nullopt;
        layers = 8 + *length;
    } else {
        const auto length = window.u32be(layersAt);
        if (!length) return std::nullopt;
        layers = 4 + *length;
    }

    const auto imageAt = layersAt + layers;
    const auto compression = window.u16be(imageAt);
    if (!compression) return std::nullopt;
    const auto rows = height * channels;
    std::uint64_t rowBytes = 0;
    if (depth == 1) {
        rowBytes = (width + 7) / 8;
    } else if (__builtin_mul_overflow(width, depth, &rowBytes)) {
        return std::nullopt;
    } else {
        rowBytes /= 8;
    }

    std::uint64_t data = 0;
    if (*compression == 0) {
        if (__builtin_mul_overflow(rows, rowBytes, &data)) return std::nullopt;
    } else if (*compression == 1) {
        const std::uint64_t entrySize = large ? 4 : 2;
        // PackBits needs one header byte per 128 literals; ImageMagick also ends every row with
        // a no-op 0x80 byte, one more than a bare PackBits bound allows.
        const auto bound = rowBytes + rowBytes / 128 + 3;
        const auto table = imageAt + 2;
        if (rows > (end - std::min(end, table)) / entrySize) return std::nullopt;
        const auto sum = sumRowLengths(window, table, rows, entrySize, bound);
        if (!sum) return std::nullopt;
        data = rows * entrySize + *sum;
    } else {
        return std::nullopt;
    }

    if (imageAt + 2 > end || data > end - (imageAt + 2)) return std::nullopt;
    Carved carved;
    carved.kind = FileKind::psd;
    carved.size = imageAt + 2 + data - start;
    if (summary) {
        carved.modified = summary->date;
        carved.device = summary->device();
    }
    carved.complete = true;
    return carved;
}

} // namespace vellary
