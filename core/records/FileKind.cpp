#include "core/records/FileKind.hpp"

#include <array>

namespace vellary {
namespace {

constexpr std::array<std::string_view, fileKind::count> kRawValues = {
    "jpeg",    "heic",    "avif", "png",  "gif",     "tiff", "webp", "bmp",  "psd",
    "raf",     "cr2",     "cr3",  "nef",  "arw",     "dng",  "orf",  "rw2",  "pef",
    "srw",     "mov",     "mp4",  "m4v",  "threegp", "avi",  "mkv",  "webm", "mp3",
    "wav",     "m4a",     "flac", "aiff", "pdf",     "docx", "xlsx", "pptx", "pages",
    "numbers", "keynote", "doc",  "xls",  "ppt",     "epub", "zip",  "other"};

constexpr std::array<std::string_view, 7> kCategoryRaw = {"photo",    "raw",     "video", "audio",
                                                          "document", "archive", "other"};

} // namespace

namespace fileCategory {

std::string_view rawValue(FileCategory category) {
    return kCategoryRaw[static_cast<std::size_t>(category)];
}

std::optional<FileCategory> fromRaw(std::string_view raw) {
    for (std::size_t i = 0; i < kCategoryRaw.size(); ++i)
        if (kCategoryRaw[i] == raw) return static_cast<FileCategory>(i);
    return std::nullopt;
}

} // namespace fileCategory

namespace fileKind {

std::string_view rawValue(FileKind kind) {
    return kRawValues[static_cast<std::size_t>(kind)];
}

std::optional<FileKind> fromRaw(std::string_view raw) {
    for (std::size_t i = 0; i < kRawValues.size(); ++i)
        if (kRawValues[i] == raw) return static_cast<FileKind>(i);
    return std::nullopt;
}

std::string_view fileExtension(FileKind kind) {
    switch (kind) {
    case FileKind::jpeg:
        return "jpg";
    case FileKind::tiff:
        return "tif";
    case FileKind::threegp:
        return "3gp";
    case FileKind::keynote:
        return "key";
    case FileKind::other:
        return "bin";
    default:
        return rawValue(kind);
    }
}

FileCategory category(FileKind kind) {
    const auto k = static_cast<int>(kind);
    if (k <= static_cast<int>(FileKind::psd)) return FileCategory::photo;
    if (k <= static_cast<int>(FileKind::srw)) return FileCategory::raw;
    if (k <= static_cast<int>(FileKind::webm)) return FileCategory::video;
    if (k <= static_cast<int>(FileKind::aiff)) return FileCategory::audio;
    if (k <= static_cast<int>(FileKind::epub)) return FileCategory::document;
    if (kind == FileKind::zip) return FileCategory::archive;
    return FileCategory::other;
}

bool hasImagePreview(FileKind kind) {
    return static_cast<int>(kind) <= static_cast<int>(FileKind::srw);
}

} // namespace fileKind
} // namespace vellary
