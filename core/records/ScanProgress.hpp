#pragma once

#include <algorithm>
#include <cstdint>
#include <optional>
#include <string_view>

namespace vellary {

struct ScanProgress {
    enum class Phase { fileRecords, contents, finished };

    Phase phase = Phase::fileRecords;
    std::uint64_t bytesDone = 0;
    std::uint64_t bytesTotal = 0;
    std::int64_t found = 0;

    // Absent while progress is indeterminate.
    std::optional<double> fraction() const {
        if (phase == Phase::finished) return 1.0;
        if (phase == Phase::contents && bytesTotal > 0)
            return std::min(static_cast<double>(bytesDone) / static_cast<double>(bytesTotal), 1.0);
        return std::nullopt;
    }

    static std::string_view rawValue(Phase phase) {
        switch (phase) {
        case Phase::fileRecords:
            return "fileRecords";
        case Phase::contents:
            return "contents";
        case Phase::finished:
            return "finished";
        }
        return "finished";
    }
};

} // namespace vellary
