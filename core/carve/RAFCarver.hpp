#pragma once

#include "core/carve/FormatCarver.hpp"

namespace vellary {

// Fujifilm RAF raw files: a fixed header pointing at a JPEG preview and the sensor data.
class RAFCarver : public FormatCarver {
public:
    struct Layout {
        std::uint64_t jpegOffset = 0; // relative to the start
        std::uint64_t jpegLength = 0;
        std::uint64_t size = 0;
    };

    std::optional<std::vector<std::uint8_t>> leadBytes() const override;
    std::optional<FileKind> sniff(ByteSpan bytes) const override;
    std::optional<Carved> carve(const BlockReader& reader, std::uint64_t start,
                                FileKind kind) const override;

    // Where the header puts the JPEG preview, and the file's size; nothing when the header does
    // not check out or the source ends before the file does.
    static std::optional<Layout> layout(const BlockReader& reader, std::uint64_t start);
};

} // namespace vellary
