#pragma once

#include "core/io/BlockReader.hpp"

namespace vellary::testing {

// Writes the low `width` bytes of value at offset, either byte order, growing the buffer.
inline void putEndian(Bytes& b, std::size_t offset, std::uint64_t value, int width, bool little) {
    const auto n = static_cast<std::size_t>(width);
    if (b.size() < offset + n) b.resize(offset + n, 0);
    for (std::size_t i = 0; i < n; ++i)
        b[offset + i] = static_cast<std::uint8_t>(value >> (8 * (little ? i : n - 1 - i)));
}
inline void putLE(Bytes& b, std::size_t offset, std::uint64_t value, int width) {
    putEndian(b, offset, value, width, true);
}
inline void putBE(Bytes& b, std::size_t offset, std::uint64_t value, int width) {
    putEndian(b, offset, value, width, false);
}
inline void appendEndian(Bytes& b, std::uint64_t value, int width, bool little) {
    putEndian(b, b.size(), value, width, little);
}
inline void appendLE(Bytes& b, std::uint64_t value, int width) {
    putEndian(b, b.size(), value, width, true);
}
inline void appendBE(Bytes& b, std::uint64_t value, int width) {
    putEndian(b, b.size(), value, width, false);
}

} // namespace vellary::testing
