#include "core/scan/MFTBuffer.hpp"

#include "core/records/ByteRanges.hpp"

#include <algorithm>

namespace vellary {

void MFTBuffer::append(ByteSpan bytes, std::optional<std::uint64_t> disk, std::int64_t expected) {
    if (!bytes.empty()) {
        pieces.push_back({static_cast<std::int64_t>(data.size()), disk,
                          static_cast<std::int64_t>(bytes.size())});
        data.insert(data.end(), bytes.begin(), bytes.end());
    }
    const auto got = static_cast<std::int64_t>(bytes.size());
    if (got < expected) {
        pieces.push_back({static_cast<std::int64_t>(data.size()), std::nullopt, expected - got});
        data.resize(data.size() + static_cast<std::size_t>(expected - got), 0);
    }
}

std::optional<std::vector<ByteRange>> MFTBuffer::diskRanges(std::int64_t recordStart,
                                                            RecordRange range) const {
    std::vector<ByteRange> result;
    if (range.lower < 0 || range.upper < range.lower) return std::nullopt;
    std::int64_t pos = recordStart + range.lower;
    const std::int64_t end = recordStart + range.upper;
    // Pieces are in buffer order; find the first that can hold pos.
    auto piece = std::upper_bound(pieces.begin(), pieces.end(), pos,
                                  [](std::int64_t p, const Piece& q) { return p < q.start; });
    if (piece != pieces.begin()) --piece;
    while (pos < end) {
        if (piece == pieces.end() || pos < piece->start || pos >= piece->start + piece->length ||
            !piece->disk)
            return std::nullopt;
        const std::int64_t upper = std::min(end, piece->start + piece->length);
        const auto offset =
            ByteRange::make(*piece->disk + static_cast<std::uint64_t>(pos - piece->start),
                            static_cast<std::uint64_t>(upper - pos));
        if (!offset) return std::nullopt;
        appendJoined(result, *offset);
        pos = upper;
        ++piece;
    }
    return result;
}

void MFTBuffer::compact() {
    if (cursor <= 0) return;
    const std::int64_t cut = std::min<std::int64_t>(cursor, static_cast<std::int64_t>(data.size()));
    data.erase(data.begin(), data.begin() + cut);
    std::size_t kept = 0;
    for (auto& piece : pieces) {
        if (piece.start + piece.length <= cut) continue;
        if (piece.start < cut) {
            const std::int64_t trim = cut - piece.start;
            if (piece.disk) *piece.disk += static_cast<std::uint64_t>(trim);
            piece.length -= trim;
            piece.start = cut;
        }
        piece.start -= cut;
        pieces[kept++] = piece;
    }
    pieces.resize(kept);
    cursor = 0;
}

} // namespace vellary
