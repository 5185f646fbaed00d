#include "tests/support/FaultyBlockReader.hpp"

#include "core/records/RecoverError.hpp"

#include <string>

namespace vellary::testing {

Bytes FaultyBlockReader::read(std::uint64_t offset, std::int64_t count) const {
    ++reads_;
    if (offset >= size() || count < 1) return {};
    const std::uint64_t end =
        offset + std::min<std::uint64_t>(static_cast<std::uint64_t>(count), size() - offset);
    if (end > goneAt_) throw RecoverError::deviceGone();
    const auto first = bad_.lower_bound(offset / sector_);
    if (first != bad_.end() && *first * sector_ < end)
        throw RecoverError::readFailed("Read failed at byte " + std::to_string(offset) +
                                       ". Input/output error");
    auto bytes = inner_.read(offset, count);
    delivered_ += bytes.size();
    return bytes;
}

} // namespace vellary::testing
