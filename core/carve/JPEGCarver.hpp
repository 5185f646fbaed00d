#pragma once

#include "core/carve/EXIF.hpp"
#include "core/carve/FormatCarver.hpp"

#include <optional>
#include <string>

namespace vellary {

// JPEG files, measured by walking their marker segments and entropy-coded data to the
// end-of-image marker, with the secondary images an MPF index announces.
class JPEGCarver : public FormatCarver {
public:
    static constexpr std::uint64_t kDefaultLimit = 200ull * 1024 * 1024;

    struct Parsed {
        std::uint64_t size = 0;
        std::optional<EXIF::Summary> exif;
        std::optional<std::string> nameHint;
        // False when the entropy-coded data stops decoding before a proper end-of-image marker;
        // size then ends where it stopped.
        bool complete = true;
        // Bytes up to the first scan's data: the part that holds no other file.
        std::uint64_t headers = 0;
    };

    std::optional<std::vector<std::uint8_t>> leadBytes() const override;
    std::optional<FileKind> sniff(ByteSpan bytes) const override;
    std::optional<Carved> carve(const BlockReader& reader, std::uint64_t start,
                                FileKind kind) const override;

    // The JPEG starting at start, at most limit bytes long (200 MiB when absent); nothing unless
    // its headers lead to a scan. Data that stops decoding, or whose end-of-image marker is not
    // found, gives an incomplete file. Never throws.
    static std::optional<Parsed> measure(const BlockReader& reader, std::uint64_t start,
                                         std::optional<std::uint64_t> limit = std::nullopt);
    // What carve gives for a measurement.
    static std::optional<Carved> carved(const std::optional<Parsed>& parsed);
};

} // namespace vellary
