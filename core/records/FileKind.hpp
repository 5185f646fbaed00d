#pragma once

#include "core/records/FileCategory.hpp"

#include <cstddef>
#include <optional>
#include <string_view>

namespace vellary {

// Declaration order matters: category and preview tests use ranges of it.
// clang-format off
enum class FileKind {
    jpeg, heic, avif, png, gif, tiff, webp, bmp, psd,
    raf, cr2, cr3, nef, arw, dng, orf, rw2, pef, srw,
    mov, mp4, m4v, threegp, avi, mkv, webm,
    mp3, wav, m4a, flac, aiff,
    pdf, docx, xlsx, pptx, pages, numbers, keynote, doc, xls, ppt, epub,
    zip,
    other
};
// clang-format on

namespace fileKind {

inline constexpr std::size_t count = 44;

std::string_view rawValue(FileKind kind);
std::optional<FileKind> fromRaw(std::string_view raw);
std::string_view fileExtension(FileKind kind);
FileCategory category(FileKind kind);
bool hasImagePreview(FileKind kind);

} // namespace fileKind
} // namespace vellary
