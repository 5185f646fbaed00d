#include "core/restore/FileRead.hpp"

#include "core/restore/PhotoRestore.hpp"

#include <algorithm>

namespace vellary {
namespace {

// Walks the file's ranges from position at for up to wanted bytes; take(offset, count) reads
// count source bytes at offset and gives how many it got. Stops where the source ends inside a
// range: later ranges would land at the wrong place.
template <typename Take>
void walkRanges(const RecoverableFile& file, std::uint64_t at, std::uint64_t wanted, Take take) {
    std::uint64_t done = 0;
    std::uint64_t rangeStart = 0;
    for (const auto& range : file.ranges) {
        if (done >= wanted) break;
        std::uint64_t rangeEnd = 0;
        if (__builtin_add_overflow(rangeStart, range.length, &rangeEnd)) break;
        if (rangeEnd > at) {
            const std::uint64_t skip = at > rangeStart ? at - rangeStart : 0;
            std::uint64_t offset = 0;
            if (__builtin_add_overflow(range.offset, skip, &offset)) break;
            const std::uint64_t ask = std::min(range.length - skip, wanted - done);
            const std::uint64_t got = take(offset, ask);
            done += got;
            if (got < ask) break;
        }
        rangeStart = rangeEnd;
    }
}

} // namespace

Bytes FileRead::read(const BlockReader& reader, const RecoverableFile& file, std::uint64_t at,
                     std::int64_t count) {
    Bytes gathered;
    if (count < 1) return gathered;
    walkRanges(file, at, static_cast<std::uint64_t>(count),
               [&](std::uint64_t offset, std::uint64_t ask) -> std::uint64_t {
                   auto piece = reader.readTolerant(offset, static_cast<std::int64_t>(ask),
                                                    PhotoRestore::kSectorSize);
                   gathered.insert(gathered.end(), piece.data.begin(), piece.data.end());
                   return piece.data.size();
               });
    return gathered;
}

std::uint64_t FileRead::readInto(const BlockReader& reader, const RecoverableFile& file,
                                 std::uint64_t at, std::span<std::uint8_t> into) {
    std::uint64_t done = 0;
    walkRanges(file, at, into.size(), [&](std::uint64_t offset, std::uint64_t ask) {
        const auto piece =
            reader.readTolerantInto(offset, into.subspan(done, ask), PhotoRestore::kSectorSize);
        done += piece.bytes;
        return piece.bytes;
    });
    return done;
}

} // namespace vellary
