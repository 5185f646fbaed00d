#pragma once

#include <cstdint>
#include <span>
#include <vector>

namespace vellary {

using Bytes = std::vector<std::uint8_t>;
using ByteSpan = std::span<const std::uint8_t>;

} // namespace vellary
