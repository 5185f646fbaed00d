#pragma once

#include <filesystem>
#include <optional>

namespace vellary {

// Moves the file at path to a free hidden name beside it, never replacing anything. Returns
// where it went, or nothing when it could not be moved.
std::optional<std::filesystem::path> setAside(const std::filesystem::path& path);
// Moves a set-aside file back to its name, unless something new now stands there.
bool putBack(const std::filesystem::path& aside, const std::filesystem::path& path);

} // namespace vellary
