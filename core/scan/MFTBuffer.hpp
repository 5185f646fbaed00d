#pragma once

#include "core/io/BlockReader.hpp"
#include "core/records/ByteRange.hpp"
#include "core/scan/MFTRecord.hpp"

#include <cstdint>
#include <optional>
#include <vector>

namespace vellary {

// A sliding buffer of MFT bytes read in chunks, remembering where each byte lies on the source.
struct MFTBuffer {
    struct Piece {
        std::int64_t start = 0;            // position in data
        std::optional<std::uint64_t> disk; // source offset of the first byte; none for zeros
        std::int64_t length = 0;
    };

    Bytes data;
    std::vector<Piece> pieces;
    std::int64_t cursor = 0; // position of the next unconsumed record

    // Appends bytes read at disk (none: not read); bytes short of expected stand as zeros with no
    // disk position.
    void append(ByteSpan bytes, std::optional<std::uint64_t> disk, std::int64_t expected);
    // The source extents holding range of the record that starts at recordStart; nothing when any
    // byte of it has no disk position.
    std::optional<std::vector<ByteRange>> diskRanges(std::int64_t recordStart,
                                                     RecordRange range) const;
    // Drops everything before cursor.
    void compact();

    std::int64_t unconsumed() const { return static_cast<std::int64_t>(data.size()) - cursor; }
};

} // namespace vellary
