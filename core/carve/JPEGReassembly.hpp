#pragma once

#include "core/io/BlockReader.hpp"
#include "core/records/ByteRange.hpp"

#include <cstdint>
#include <functional>
#include <optional>
#include <vector>

namespace vellary {

// Puts a fragmented JPEG back together: when its data stops decoding, looks for the sector, ahead
// of it or behind its start, from which the data decodes on from exactly where the sound part
// stopped and runs to a proper end-of-image marker. Sequential Huffman JPEGs with one scan (what
// cameras write) only.
struct JPEGReassembly {
    static constexpr std::uint64_t kReach = 256ull * 1024 * 1024;
    // Continuations tried per broken file; each test stops at the first decoding error.
    static constexpr int kMaxTests = 4096;
    // And the data those tests decode, at most: continuations of another JPEG's data decode for
    // megabytes before they fail, and a file whose pieces are not there would otherwise cost
    // seconds.
    static constexpr std::uint64_t kMaxDecoded = 64ull * 1024 * 1024;

    struct Result {
        std::vector<ByteRange> ranges; // in file order
        std::uint64_t size = 0;
    };

    // The end of the claimed space holding offset, if one does. Claimed sectors are never taken
    // as a continuation.
    using Claimed = std::function<std::optional<std::uint64_t>(std::uint64_t offset)>;

    // The pieces of the JPEG at start that decode whole; nothing when none is found within the
    // limits. Reads through reader; never throws.
    static std::optional<Result> attempt(const BlockReader& reader, std::uint64_t start,
                                         const Claimed& claimed);
};

} // namespace vellary
