#pragma once

#include "core/carve/FormatCarver.hpp"

namespace vellary {

// Compound files of Word, Excel and PowerPoint, sized from their allocation table.
class OLE2Carver : public FormatCarver {
public:
    std::optional<std::vector<std::uint8_t>> leadBytes() const override;
    std::optional<FileKind> sniff(ByteSpan bytes) const override;
    std::optional<Carved> carve(const BlockReader& reader, std::uint64_t start,
                                FileKind kind) const override;

private:
    static std::optional<Date> date(std::uint64_t fileTime);
};

} // namespace vellary
