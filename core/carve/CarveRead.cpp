#include "core/carve/CarveRead.hpp"

#include "core/records/RecoverError.hpp"

namespace vellary {

std::optional<Bytes> CarveRead::upTo(const BlockReader& reader, std::uint64_t offset,
                                     std::int64_t count) {
    try {
        return reader.read(offset, count);
    } catch (const RecoverError& error) {
        if (error.kind() == RecoverError::Case::deviceGone) throw;
        return std::nullopt;
    }
}

std::optional<Bytes> CarveRead::exact(const BlockReader& reader, std::uint64_t offset,
                                      std::int64_t count) {
    if (count < 0) return std::nullopt;
    auto data = upTo(reader, offset, count);
    if (!data || data->size() != static_cast<std::uint64_t>(count)) return std::nullopt;
    return data;
}

} // namespace vellary
