#pragma once

#include "core/restore/RestoreReport.hpp"

#include <filesystem>
#include <optional>
#include <string>

namespace vellary {

// The plain-text note left beside recovered files when some could not be saved or read.
struct RecoveryNotes {
    static constexpr const char* kFileName = "About these files.txt";

    // The note's text, or nothing when every file was saved whole.
    static std::optional<std::string> text(const RestoreReport& report);
    // Writes the note into folder, beside the files; a note already there is kept and a
    // numbered name used. Best effort: returns where it went, or nothing.
    static std::optional<std::filesystem::path> writeNotes(const RestoreReport& report,
                                                           const std::filesystem::path& folder);
};

} // namespace vellary
