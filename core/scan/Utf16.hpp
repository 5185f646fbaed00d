#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

namespace vellary {

struct Utf16 {
    // UTF-8 text of UTF-16 code units; an unpaired surrogate becomes U+FFFD.
    static std::string decode(const std::vector<std::uint16_t>& units);
    // The text without white space and line breaks at either end.
    static std::string trimmed(std::string_view text);
};

} // namespace vellary
