#include "core/restore/FileRead.hpp"

#include "core/restore/PhotoRestore.hpp"

#include <algorithm>

namespace vellary {

Bytes FileRead::read(const BlockReader& reader, const RecoverableFile& file, std::uint64_t at,
                     std::int64_t count) {
    Bytes gathered;
    if (count < 1) return gathered;
    const auto wanted = static_cast<std::uint64_t>(count);
    std::uint64_t rangeStart = 0;
    for (const auto& range : file.ranges) {
        if (gathered.size() >= wanted) break;
        std::uint64_t rangeEnd = 0;
        if (__builtin_add_overflow(rangeStart, range.length, &rangeEnd)) break;
        if (rangeEnd > at) {
            const std::uint64_t skip = at > rangeStart ? at - rangeStart : 0;
            std::uint64_t offset = 0;
            if (__builtin_add_overflow(range.offset, skip, &offset)) break;
            const std::uint64_t ask = std::min(range.length - skip, wanted - gathered.size());
            auto piece = reader.readTolerant(offset, static_cast<std::int64_t>(ask),
                                             PhotoRestore::kSectorSize);
            gathered.insert(gathered.end(), piece.data.begin(), piece.data.end());
            // The source ended inside this range: later ranges would land at the wrong place.
            if (piece.data.size() < ask) break;
        }
        rangeStart = rangeEnd;
    }
    return gathered;
}

} // namespace vellary
