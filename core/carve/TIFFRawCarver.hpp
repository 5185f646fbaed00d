#pragma once

#include "core/carve/EXIF.hpp"
#include "core/carve/FormatCarver.hpp"
#include "core/records/ByteRange.hpp"

namespace vellary {

// Camera raw files built as TIFF structures (CR2, NEF, ARW, DNG, ORF, RW2, PEF, SRW) and plain
// TIFF images, measured by the furthest byte any directory reaches.
class TIFFRawCarver : public FormatCarver {
public:
    struct Layout {
        FileKind kind = FileKind::tiff;
        std::uint64_t size = 0;
        bool complete = false;
        std::optional<EXIF::Summary> exif;
        std::vector<ByteRange> previews; // embedded JPEGs, offsets relative to the start
    };

    std::optional<std::vector<std::uint8_t>> leadBytes() const override;
    std::optional<FileKind> sniff(ByteSpan bytes) const override;
    std::optional<Carved> carve(const BlockReader& reader, std::uint64_t start,
                                FileKind kind) const override;

    // The file's layout; with no sniffed kind the header is sniffed here. measure asks for the
    // end of RW2 sensor data whose length is not recorded.
    static std::optional<Layout> layout(const BlockReader& reader, std::uint64_t start,
                                        std::optional<FileKind> sniffed, bool measure);
};

} // namespace vellary
