#pragma once

#include "core/carve/Carved.hpp"
#include "core/carve/Registry.hpp"
#include "core/io/BlockReader.hpp"
#include "core/records/RangeCover.hpp"
#include "core/records/ScanOptions.hpp"

#include <cstdint>
#include <map>
#include <vector>

namespace vellary {

// The deep scan: walks every unclaimed 512-byte boundary of the source for known file starts.
struct Carver {
    static constexpr std::uint64_t kChunkSize = 8 * 1024 * 1024;
    static constexpr std::uint64_t kSpacing = 512;
    // A candidate needs this many bytes left in its chunk to be tried.
    static constexpr std::uint64_t kMinCandidateBytes = 16;
    static constexpr std::size_t kSniffBytes = 32;
    static constexpr std::size_t kMaxFiles = 200000;

    struct Outcome {
        std::uint64_t unreadable = 0;
    };

    // Numbers for unnamed, undated files: 1, 2, ... per category, for one scan.
    class SequenceCounter {
    public:
        std::int64_t next(FileCategory category) { return ++last_[category]; }

    private:
        std::map<FileCategory, std::int64_t> last_;
    };

    // Appends every carved file of a wanted category to sink; stops early, normally, when
    // cancelled. Throws what the reads or the carvers throw.
    static Outcome carve(const BlockReader& reader, const RangeCover& covered,
                         const ScanOptions& options, std::int64_t foundSoFar,
                         std::vector<RecoverableFile>& sink);
    // The same walk over another set of carvers.
    static Outcome carve(const BlockReader& reader, const RangeCover& covered,
                         const ScanOptions& options, std::int64_t foundSoFar,
                         std::vector<RecoverableFile>& sink, const Registry::LeadTable& carvers);

    // The found file for a measurement at start, named by its hint, its date or a number.
    static RecoverableFile make(const Carved& carved, std::uint64_t start,
                                SequenceCounter& sequence);
};

} // namespace vellary
