#pragma once

#include "core/io/BlockReader.hpp"

#include <cstddef>
#include <cstdint>

namespace vellary::testing {

// Writes the low `width` bytes of value at offset, least significant first, growing the buffer.
inline void putLE(Bytes& b, std::size_t offset, std::uint64_t value, int width) {
    const auto n = static_cast<std::size_t>(width);
    if (b.size() < offset + n) b.resize(offset + n, 0);
    for (std::size_t i = 0; i < n; ++i)
        b[offset + i] = static_cast<std::uint8_t>(value >> (8 * i));
}

// Writes the low `width` bytes of value at offset, most significant first, growing the buffer.
inline void putBE(Bytes& b, std::size_t offset, std::uint64_t value, int width) {
    const auto n = static_cast<std::size_t>(width);
    if (b.size() < offset + n) b.resize(offset + n, 0);
    for (std::size_t i = 0; i < n; ++i)
        b[offset + i] = static_cast<std::uint8_t>(value >> (8 * (n - 1 - i)));
}

inline void putEndian(Bytes& b, std::size_t offset, std::uint64_t value, int width, bool little) {
    little ? putLE(b, offset, value, width) : putBE(b, offset, value, width);
}

inline void appendLE(Bytes& b, std::uint64_t value, int width) {
    putLE(b, b.size(), value, width);
}

inline void appendBE(Bytes& b, std::uint64_t value, int width) {
    putBE(b, b.size(), value, width);
}

inline void appendEndian(Bytes& b, std::uint64_t value, int width, bool little) {
    putEndian(b, b.size(), value, width, little);
}

} // namespace vellary::testing
