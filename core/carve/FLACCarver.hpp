#pragma once

#include "core/carve/FormatCarver.hpp"

namespace vellary {

// Native FLAC streams, measured by chaining frame headers and decoding the last frame.
class FLACCarver : public FormatCarver {
public:
    std::optional<std::vector<std::uint8_t>> leadBytes() const override;
    std::optional<FileKind> sniff(ByteSpan bytes) const override;
    std::optional<Carved> carve(const BlockReader& reader, std::uint64_t start,
                                FileKind kind) const override;
};

} // namespace vellary
