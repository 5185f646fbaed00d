#pragma once

#include "core/carve/FormatCarver.hpp"

#include <array>

namespace vellary {

// Windows bitmaps, measured from their headers.
class BMPCarver : public FormatCarver {
public:
    // The DIB header sizes accepted.
    static constexpr std::array<std::uint32_t, 6> headerSizes = {12, 40, 52, 56, 108, 124};

    std::optional<std::vector<std::uint8_t>> leadBytes() const override;
    std::optional<FileKind> sniff(ByteSpan bytes) const override;
    std::optional<Carved> carve(const BlockReader& reader, std::uint64_t start,
                                FileKind kind) const override;
};

} // namespace vellary
