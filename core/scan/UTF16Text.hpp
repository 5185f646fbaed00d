#pragma once

#include "core/io/Binary.hpp"

#include <cstddef>
#include <string>

namespace vellary {

// UTF-16LE names as NTFS and the recycle bin store them.
struct UTF16Text {
    // Decodes up to maxUnits code units (stopping at a zero unit when stopAtZero is set, or where
    // the data ends) into UTF-8; unpaired surrogates become U+FFFD.
    static std::string decodeLE(ByteSpan data, std::size_t maxUnits, bool stopAtZero);
    // Appends a code point as UTF-8.
    static void appendUTF8(std::string& out, char32_t codePoint);
};

} // namespace vellary
