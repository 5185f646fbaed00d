#pragma once

#include "core/records/Bytes.hpp"

#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>

namespace vellary {

// Text stored on disk or inside carved files, turned into UTF-8.
struct TextDecode {
    // Unpaired surrogates become U+FFFD.
    static std::string utf16(std::span<const std::uint16_t> units);
    // Up to maxUnits little-endian units (stopping at a zero unit when stopAtZero is set, or where
    // the data ends); unpaired surrogates become U+FFFD.
    static std::string utf16LE(ByteSpan data, std::size_t maxUnits, bool stopAtZero);
    // Nothing for an odd length or unpaired surrogates.
    static std::optional<std::string> utf16Strict(ByteSpan bytes, bool bigEndian);
    // Invalid sequences become U+FFFD.
    static std::string utf8Repaired(ByteSpan bytes);
    // Nothing when any sequence is invalid.
    static std::optional<std::string> utf8Strict(ByteSpan bytes);
    static std::string latin1(ByteSpan bytes);
    // The text without white space and line breaks at either end.
    static std::string trimmed(std::string_view text);
    static void appendUTF8(std::string& out, char32_t scalar);
};

} // namespace vellary
