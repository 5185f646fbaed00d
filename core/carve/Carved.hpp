#pragma once

#include "core/records/Date.hpp"
#include "core/records/FileKind.hpp"

#include <cstdint>
#include <optional>
#include <string>

namespace vellary {

// A format carver's measurement of one file.
struct Carved {
    FileKind kind = FileKind::other;
    std::uint64_t size = 0; // bytes from the start to the file's end, at least 1
    std::optional<Date> modified;
    std::optional<std::string> nameHint;
    std::optional<std::string> device;
    bool complete = false;
    // For a file that is not complete: the bytes from the start that the carver did check. The
    // deep scan looks for other files in the rest. Absent: all of size was checked.
    std::optional<std::uint64_t> verified;
};

} // namespace vellary
