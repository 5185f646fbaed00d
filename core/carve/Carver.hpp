#pragma once

#include "core/io/BlockReader.hpp"
#include "core/records/ScanOptions.hpp"
#include "core/scan/RangeCover.hpp"

#include <cstdint>
#include <vector>

namespace vellary {

// The deep scan: walks every unclaimed 512-byte boundary of the source for known file starts.
struct Carver {
    struct Outcome {
        std::uint64_t unreadable = 0;
    };

    static Outcome carve(const BlockReader& reader, const RangeCover& covered,
                         const ScanOptions& options, std::int64_t foundSoFar,
                         std::vector<RecoverableFile>& sink);
};

} // namespace vellary
