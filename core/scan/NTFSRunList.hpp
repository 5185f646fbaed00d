#pragma once

#include "core/io/Binary.hpp"

#include <cstdint>
#include <optional>
#include <vector>

namespace vellary {

// One run of clusters of a non-resident attribute; a sparse run has no LCN (nothing stored).
struct NTFSRun {
    std::optional<std::uint64_t> lcn;
    std::uint64_t length = 0;

    bool operator==(const NTFSRun& other) const {
        return length == other.length && lcn == other.lcn;
    }
};

// Decodes NTFS mapping pairs.
struct NTFSRunList {
    // Decodes [from, to) of data; nothing when any entry is malformed.
    static std::optional<std::vector<NTFSRun>> decode(ByteSpan data, std::int64_t from,
                                                      std::int64_t to);
    // Same, appending to out; out is left as it was when the list is malformed.
    static bool decode(ByteSpan data, std::int64_t from, std::int64_t to,
                       std::vector<NTFSRun>& out);
};

} // namespace vellary
