#pragma once

#include <array>
#include <optional>
#include <string_view>

namespace vellary {

enum class FileCategory { photo, raw, video, audio, document, archive, other };

namespace fileCategory {

inline constexpr std::array<FileCategory, 7> all = {
    FileCategory::photo,    FileCategory::raw,     FileCategory::video, FileCategory::audio,
    FileCategory::document, FileCategory::archive, FileCategory::other};

std::string_view rawValue(FileCategory category);
std::optional<FileCategory> fromRaw(std::string_view raw);

} // namespace fileCategory
} // namespace vellary
