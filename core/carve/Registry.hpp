#pragma once

#include "core/carve/FormatCarver.hpp"

#include <array>
#include <vector>

namespace vellary {

struct SniffedCarver {
    FileKind kind = FileKind::other;
    const FormatCarver* carver = nullptr;
};

// Every format carver, built once, in the order carvers sharing a lead byte are tried.
struct Registry {
    using LeadTable = std::array<std::vector<const FormatCarver*>, 256>;

    static const std::vector<const FormatCarver*>& all();
    // For each byte value, the carvers that may start with it, in the order of all().
    static const LeadTable& byLeadByte();
    // The same indexing over any list of carvers (the deep scan can be run over another list).
    static LeadTable leadTable(const std::vector<const FormatCarver*>& carvers);
    // The first carver that recognises these bytes; nothing for fewer than 12.
    [[nodiscard]] static std::optional<SniffedCarver> sniff(ByteSpan bytes);
};

} // namespace vellary
