#pragma once

#include "core/carve/FormatCarver.hpp"

namespace vellary {

// MPEG audio behind an ID3v2 tag, measured by chaining frames; named from the tag.
class MP3Carver : public FormatCarver {
public:
    std::optional<std::vector<std::uint8_t>> leadBytes() const override;
    std::optional<FileKind> sniff(ByteSpan bytes) const override;
    std::optional<Carved> carve(const BlockReader& reader, std::uint64_t start,
                                FileKind kind) const override;
};

} // namespace vellary
