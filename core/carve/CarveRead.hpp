#pragma once

#include "core/io/BlockReader.hpp"

#include <optional>

namespace vellary {

// Reads for carvers, where a failed read means "not this file" rather than an error. Only a
// vanished device still throws, so that the deep scan ends instead of measuring zeros.
struct CarveRead {
    // Up to count bytes at offset (fewer where the source ends); nothing when the read fails.
    static std::optional<Bytes> upTo(const BlockReader& reader, std::uint64_t offset,
                                     std::int64_t count);
    // Exactly count bytes at offset, or nothing.
    static std::optional<Bytes> exact(const BlockReader& reader, std::uint64_t offset,
                                      std::int64_t count);
};

} // namespace vellary
