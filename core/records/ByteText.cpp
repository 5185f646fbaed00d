#include "core/records/ByteText.hpp"

#include <array>
#include <cinttypes>
#include <cstdio>
#include <cstdlib>
#include <limits>

namespace vellary {

std::string ByteText::string(std::uint64_t bytes) {
    constexpr auto kMax = static_cast<std::uint64_t>(std::numeric_limits<std::int64_t>::max());
    if (bytes > kMax) bytes = kMax;
    if (bytes == 1) return "1 byte";
    char text[48];
    if (bytes < 1000) {
        std::snprintf(text, sizeof text, "%" PRIu64 " bytes", bytes);
        return text;
    }
    // KB without decimals, MB with one, larger units with two, as file sizes usually read.
    constexpr std::array<const char*, 6> kUnits = {"KB", "MB", "GB", "TB", "PB", "EB"};
    constexpr std::array<int, 6> kDecimals = {0, 1, 2, 2, 2, 2};
    double value = static_cast<double>(bytes) / 1000.0;
    std::size_t unit = 0;
    while (unit + 1 < kUnits.size()) {
        // Move up when rounding at this unit's precision would show 1000 or more.
        char probe[48];
        std::snprintf(probe, sizeof probe, "%.*f", kDecimals[unit], value);
        if (std::strtod(probe, nullptr) < 1000.0) break;
        value /= 1000.0;
        ++unit;
    }
    std::snprintf(text, sizeof text, "%.*f %s", kDecimals[unit], value, kUnits[unit]);
    return text;
}

} // namespace vellary
