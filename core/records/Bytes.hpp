#pragma once

#include <cstdint>
#include <span>
#include <vector>

namespace vellary {

using Bytes = std::vector<std::uint8_t>;
using ByteSpan = std::span<const std::uint8_t>;

// Sizes and offsets that would wrap stop at the largest value instead.
inline std::uint64_t saturatingAdd(std::uint64_t a, std::uint64_t b) {
    std::uint64_t sum = 0;
    return __builtin_add_overflow(a, b, &sum) ? UINT64_MAX : sum;
}

} // namespace vellary
