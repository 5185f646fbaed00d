#pragma once

#include "core/io/Binary.hpp"
#include "core/records/FileKind.hpp"

#include <array>
#include <optional>
#include <string_view>

namespace vellary {

// The magic-byte checks of every format the engine recognises. Each looks only at the bytes
// handed in (at most 32, starting at the candidate) and names the kind they announce. The deep
// scan's carvers start from these; the file-system scanners judge a file's name by them.
struct Sniff {
    [[nodiscard]] static std::optional<FileKind> jpeg(ByteSpan bytes);
    [[nodiscard]] static std::optional<FileKind> raf(ByteSpan bytes);
    [[nodiscard]] static std::optional<FileKind> isoMedia(ByteSpan bytes);
    [[nodiscard]] static std::optional<FileKind> tiffRaw(ByteSpan bytes);
    [[nodiscard]] static std::optional<FileKind> png(ByteSpan bytes);
    [[nodiscard]] static std::optional<FileKind> gif(ByteSpan bytes);
    [[nodiscard]] static std::optional<FileKind> riff(ByteSpan bytes);
    [[nodiscard]] static std::optional<FileKind> pdf(ByteSpan bytes);
    [[nodiscard]] static std::optional<FileKind> zip(ByteSpan bytes);
    [[nodiscard]] static std::optional<FileKind> ole2(ByteSpan bytes);
    [[nodiscard]] static std::optional<FileKind> mp3(ByteSpan bytes);
    [[nodiscard]] static std::optional<FileKind> flac(ByteSpan bytes);
    [[nodiscard]] static std::optional<FileKind> matroska(ByteSpan bytes);
    [[nodiscard]] static std::optional<FileKind> psd(ByteSpan bytes);
    [[nodiscard]] static std::optional<FileKind> bmp(ByteSpan bytes);

    // ISO media: the kind a major brand names.
    [[nodiscard]] static std::optional<FileKind> isoBrand(std::string_view brand);
    // A TIFF header that Canon marks as CR2.
    [[nodiscard]] static bool cr2Header(ByteSpan header);
    // A RIFF chunk ID: printable, not starting with a space.
    [[nodiscard]] static bool riffChunkID(ByteSpan id);
    // ZIP compression methods worth measuring.
    [[nodiscard]] static bool zipMethod(std::uint16_t method);
    // The DIB header sizes accepted in bitmaps.
    static constexpr std::array<std::uint32_t, 6> bmpHeaderSizes = {12, 40, 52, 56, 108, 124};
};

} // namespace vellary
