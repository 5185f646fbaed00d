#pragma once

#include <cstdint>
#include <optional>

namespace vellary {

// One contiguous extent on the source, counted from byte 0 of the whole disk or image.
struct ByteRange {
    std::uint64_t offset = 0;
    std::uint64_t length = 0;

    std::uint64_t end() const { return offset + length; }

    // Builds a range only when offset + length fits in 64 bits.
    static std::optional<ByteRange> make(std::uint64_t offset, std::uint64_t length) {
        std::uint64_t end = 0;
        if (__builtin_add_overflow(offset, length, &end)) return std::nullopt;
        return ByteRange{offset, length};
    }

    bool operator==(const ByteRange&) const = default;
};

} // namespace vellary
