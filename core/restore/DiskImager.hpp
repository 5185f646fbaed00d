#pragma once

#include "core/io/BlockReader.hpp"
#include "core/restore/RescueMap.hpp"

#include <algorithm>
#include <cstdint>
#include <filesystem>
#include <functional>
#include <string>

namespace vellary {

// How far a rescue has come.
struct RescueProgress {
    std::uint64_t bytesTotal = 0;
    // Copied into the image.
    std::uint64_t rescued = 0;
    // Tried and failed so far (some of it may still be read by a later pass).
    std::uint64_t unreadable = 0;
    // Areas of unreadable bytes.
    std::size_t areas = 0;
    RescueMap::Phase phase = RescueMap::Phase::copying;
    int pass = 1;
    // A resumed run: what was rescued before it started.
    std::uint64_t rescuedBefore = 0;
    bool resumed = false;

    // Every byte has been tried.
    double fraction() const {
        if (bytesTotal == 0) return 0;
        return std::min(static_cast<double>(rescued + unreadable) / static_cast<double>(bytesTotal),
                        1.0);
    }
};

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

    // A rescue of a failing disk, in passes: large reads that skip ahead past a failing area,
    // then smaller reads of what was skipped, then block by block from the edges of each failed
    // area inwards (trimming) and through its middle (scraping), then a few retries of the
    // blocks that still failed. A map beside the image says what every byte is, so that a
    // stopped rescue goes on from there when run again.
    // The copying passes read this much at a time: a failing read costs little, and the bytes
    // stay in the processor's cache on their way to the image (1 MiB reads measured four
    // times slower end to end on a virtual machine).
    static constexpr std::int64_t kClusterSize = 64 * 1024;
    // The map is rewritten at least this often, and at the end of every pass.
    static constexpr double kMapInterval = 30.0;

    struct RescueOptions {
        // Where the map goes; when a map is there (and the image too), the rescue resumes.
        std::filesystem::path map;
        // Rereads of blocks that failed every pass before.
        int retries = 1;
        // Written into the map's comments.
        std::string commandLine;
        std::function<void(const RescueProgress&)> progress;
        std::function<bool()> isCancelled;
    };
    // Cancelled or a vanished disk: the image and its map stay, flushed, and the error is
    // thrown; running again resumes. Refuses an existing image without its map, and a map
    // without its image. Other failures throw as copy does, removing what this call created.
    static RescueProgress rescue(const BlockReader& source,
                                 const std::filesystem::path& destination,
                                 const RescueOptions& options);
};

} // namespace vellary
