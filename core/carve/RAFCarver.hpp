#pragma once

#include "core/carve/FormatCarver.hpp"

namespace vellary {

// Fujifilm RAF raw files: a fixed header pointing at a JPEG preview and the sensor data.
class RAFCarver : public FormatCarver {
public:
    std::optional<std::vector<std::uint8_t>> leadBytes() const override;
    std::optional<FileKind> sniff(ByteSpan bytes) const override;
    std::optional<Carved> carve(const BlockReader& reader, std::uint64_t start,
                                FileKind kind) const override;
};

} // namespace vellary
