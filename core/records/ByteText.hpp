#pragma once

#include <cstdint>
#include <string>

namespace vellary {

// Byte counts for people, in decimal units (1 KB = 1000 bytes).
struct ByteText {
    static std::string string(std::uint64_t bytes);
};

} // namespace vellary
