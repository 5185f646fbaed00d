#pragma once

#include "core/carve/FormatCarver.hpp"

namespace vellary {

// PNG images, measured by walking their chunks to IEND.
class PNGCarver : public FormatCarver {
public:
    std::optional<std::vector<std::uint8_t>> leadBytes() const override;
    std::optional<FileKind> sniff(ByteSpan bytes) const override;
    std::optional<Carved> carve(const BlockReader& reader, std::uint64_t start,
                                FileKind kind) const override;
};

} // namespace vellary
