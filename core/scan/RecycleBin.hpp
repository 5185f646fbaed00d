#pragma once

#include "core/io/Binary.hpp"

#include <optional>
#include <string>

namespace vellary {

// The Windows recycle bin's index ($I) files.
struct RecycleBin {
    // The path a recycled file had, "/"-separated without the drive letter, or nothing.
    [[nodiscard]] static std::optional<std::string> originalPath(ByteSpan indexFile);
};

} // namespace vellary
