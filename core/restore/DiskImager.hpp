#pragma once

#include "core/io/BlockReader.hpp"

#include <algorithm>
#include <cstdint>
#include <filesystem>
#include <functional>

namespace vellary {

// Copies a whole source into one new image file, unreadable sectors as zeros.
struct DiskImager {
    static constexpr std::int64_t kChunkSize = 8 * 1024 * 1024;
    static constexpr std::int64_t kSectorSize = 4096;
    // At most four progress reports a second, and one at the end.
    static constexpr double kReportInterval = 0.25;

    struct Progress {
        std::uint64_t bytesDone = 0;
        std::uint64_t bytesTotal = 0;
        std::uint64_t unreadable = 0;

        double fraction() const {
            if (bytesTotal == 0) return 0;
            return std::min(static_cast<double>(bytesDone) / static_cast<double>(bytesTotal), 1.0);
        }
        // The source delivered fewer bytes than its size said.
        bool complete() const { return bytesDone >= bytesTotal; }
        bool operator==(const Progress&) const = default;
    };

    // Never replaces an existing file. On any failure after creating the image (cancelled, a
    // read, write or flush error) the partial image is deleted and the error thrown.
    static Progress copy(const BlockReader& source, const std::filesystem::path& destination,
                         const std::function<void(const Progress&)>& progress = {},
                         const std::function<bool()>& isCancelled = {});
};

} // namespace vellary
