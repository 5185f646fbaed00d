#include "core/io/BlockReader.hpp"

#include "core/records/RecoverError.hpp"

#include <algorithm>

namespace vellary {

BlockReader::Tolerant BlockReader::readTolerant(std::uint64_t offset, std::int64_t count,
                                                std::int64_t sector) const {
    try {
        return {read(offset, count), 0};
    } catch (const RecoverError& error) {
        if (error.kind() == RecoverError::Case::deviceGone) throw;
    }
    const std::uint64_t total =
        offset < size()
            ? std::min<std::uint64_t>(size() - offset,
                                      static_cast<std::uint64_t>(std::max<std::int64_t>(count, 0)))
            : 0;
    Tolerant result;
    if (total == 0) return result;
    const auto piece = static_cast<std::uint64_t>(std::max<std::int64_t>(sector, 1));
    result.data.reserve(total);
    for (std::uint64_t p = 0; p < total; p += piece) {
        const std::uint64_t want = std::min(total - p, piece);
        Bytes got;
        try {
            got = read(offset + p, static_cast<std::int64_t>(want));
        } catch (const RecoverError& error) {
            if (error.kind() == RecoverError::Case::deviceGone) throw;
            result.data.insert(result.data.end(), want, 0);
            result.unreadable += static_cast<std::int64_t>(want);
            continue;
        }
        const std::uint64_t have = std::min<std::uint64_t>(got.size(), want);
        result.data.insert(result.data.end(), got.begin(),
                           got.begin() + static_cast<std::ptrdiff_t>(have));
        if (have < want) {
            result.data.insert(result.data.end(), want - have, 0);
            result.unreadable += static_cast<std::int64_t>(want - have);
        }
    }
    return result;
}

} // namespace vellary
