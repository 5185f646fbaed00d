#pragma once

#include "core/io/BlockReader.hpp"
#include "core/scan/NTFSGeometry.hpp"
#include "core/scan/NTFSRunList.hpp"

#include <cstdint>
#include <vector>

namespace vellary {

// One extent of a non-resident attribute.
struct NTFSStream {
    std::uint64_t firstVCN = 0;
    std::vector<NTFSRun> runs;
    std::uint64_t dataSize = 0;        // meaningful on the extent whose firstVCN is 0
    std::uint64_t initializedSize = 0; // same
    bool compressed = false;
    bool encrypted = false;

    // Stream bytes [at, at + count): sparse runs and runs reaching past the volume read as zeros,
    // unreadable sectors as zeros; shorter than asked past the last run. Throws what the reader
    // throws (deviceGone).
    Bytes read(const BlockReader& reader, const NTFSGeometry& geometry, std::uint64_t at,
               std::int64_t count) const;
};

} // namespace vellary
