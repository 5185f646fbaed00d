#pragma once

#include "core/io/Binary.hpp"

#include <optional>
#include <string>

namespace vellary {

// The file name a camera gave a picture ("DSCF0042.JPG"), found inside its metadata.
struct CameraNames {
    // Characters are single bytes, or two bytes little-endian with a zero high byte when utf16.
    static std::optional<std::string> find(ByteSpan data, bool utf16);
};

} // namespace vellary
