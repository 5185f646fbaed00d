#pragma once

#include "core/carve/FormatCarver.hpp"

#include <array>
#include <vector>

namespace vellary {

// Every format carver, built once, in the order carvers sharing a lead byte are tried.
struct Registry {
    static const std::vector<const FormatCarver*>& all();
    // For each byte value, the carvers that may start with it, in the order of all().
    static const std::array<std::vector<const FormatCarver*>, 256>& byLeadByte();
};

} // namespace vellary
