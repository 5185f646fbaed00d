#pragma once

#include "core/records/FileKind.hpp"

#include <optional>
#include <set>
#include <string>
#include <string_view>

namespace vellary {

// Rules about names and extensions shared by the scanners, carvers and restore.
struct FileTyping {
    static std::string extensionOf(std::string_view name);
    static std::optional<FileCategory> categoryForExtension(std::string_view extension);
    static std::optional<FileKind> kindForExtension(std::string_view extension);
    static FileCategory category(std::string_view name, FileKind kind);
    static bool skipFile(std::string_view name);
    static bool skipDirectory(std::string_view name);
    // Kinds whose first bytes can be checked against a signature.
    static bool verifiable(FileKind kind);
    static std::string repairFujifilmShortName(std::string_view name);
    static std::string lower(std::string_view text);
};

} // namespace vellary
