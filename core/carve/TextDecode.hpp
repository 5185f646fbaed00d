#pragma once

#include "core/io/Binary.hpp"

#include <optional>
#include <string>

namespace vellary {

// Text found inside carved files, turned into UTF-8.
struct TextDecode {
    // Invalid sequences become U+FFFD.
    static std::string utf8Repaired(ByteSpan bytes);
    // Nothing when any sequence is invalid.
    static std::optional<std::string> utf8Strict(ByteSpan bytes);
    static std::string latin1(ByteSpan bytes);
    // Nothing for an odd length or unpaired surrogates.
    static std::optional<std::string> utf16(ByteSpan bytes, bool bigEndian);
    static void appendScalar(std::string& out, std::uint32_t scalar);
};

} // namespace vellary
