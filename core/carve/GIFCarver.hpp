#pragma once

#include "core/carve/FormatCarver.hpp"

namespace vellary {

// GIF87a and GIF89a images, measured by walking their blocks to the trailer.
class GIFCarver : public FormatCarver {
public:
    std::optional<std::vector<std::uint8_t>> leadBytes() const override;
    std::optional<FileKind> sniff(ByteSpan bytes) const override;
    std::optional<Carved> carve(const BlockReader& reader, std::uint64_t start,
                                FileKind kind) const override;
};

} // namespace vellary
