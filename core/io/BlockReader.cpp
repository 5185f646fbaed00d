#include "core/io/BlockReader.hpp"

#include "core/records/RecoverError.hpp"

#include <algorithm>
#include <cstring>

namespace vellary {

std::uint64_t BlockReader::readInto(std::uint64_t offset, std::span<std::uint8_t> into) const {
    const auto count = std::min<std::uint64_t>(into.size(), INT64_MAX);
    const Bytes got = read(offset, static_cast<std::int64_t>(count));
    const auto n = std::min<std::uint64_t>(got.size(), count);
    if (n > 0) std::memcpy(into.data(), got.data(), n);
    return n;
}

BlockReader::Tolerant BlockReader::readTolerant(std::uint64_t offset, std::int64_t count,
                                                std::int64_t sector) const {
    const std::uint64_t total =
        offset < size()
            ? std::min<std::uint64_t>(size() - offset,
                                      static_cast<std::uint64_t>(std::max<std::int64_t>(count, 0)))
            : 0;
    Tolerant result;
    result.data.resize(total);
    const auto got = readTolerantInto(offset, result.data, sector);
    result.data.resize(got.bytes);
    result.unreadable = got.unreadable;
    return result;
}

BlockReader::TolerantInto BlockReader::readTolerantInto(std::uint64_t offset,
                                                        std::span<std::uint8_t> into,
                                                        std::int64_t sector) const {
    const std::uint64_t total =
        offset < size() ? std::min<std::uint64_t>(size() - offset, into.size()) : 0;
    if (total == 0) return {};
    const auto target = into.first(total);
    try {
        return {readInto(offset, target), 0};
    } catch (const RecoverError& error) {
        if (error.kind() == RecoverError::Case::deviceGone) throw;
    }
    TolerantInto result;
    const auto piece = static_cast<std::uint64_t>(std::max<std::int64_t>(sector, 1));
    for (std::uint64_t p = 0; p < total; p += piece) {
        const std::uint64_t want = std::min(total - p, piece);
        const auto slot = target.subspan(p, want);
        std::uint64_t have = 0;
        try {
            have = std::min(readInto(offset + p, slot), want);
        } catch (const RecoverError& error) {
            if (error.kind() == RecoverError::Case::deviceGone) throw;
        }
        if (have < want) {
            std::fill(slot.begin() + static_cast<std::ptrdiff_t>(have), slot.end(), 0);
            result.unreadable += static_cast<std::int64_t>(want - have);
        }
    }
    result.bytes = total;
    return result;
}

} // namespace vellary
