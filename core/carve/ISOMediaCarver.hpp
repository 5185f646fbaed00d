#pragma once

#include "core/carve/FormatCarver.hpp"

namespace vellary {

// ISO base media files (QuickTime, MP4, M4V, M4A, 3GP, HEIF, AVIF, CR3), measured by walking
// their top-level boxes from ftyp on.
class ISOMediaCarver : public FormatCarver {
public:
    std::optional<std::vector<std::uint8_t>> leadBytes() const override;
    std::optional<FileKind> sniff(ByteSpan bytes) const override;
    std::optional<Carved> carve(const BlockReader& reader, std::uint64_t start,
                                FileKind kind) const override;
};

} // namespace vellary
