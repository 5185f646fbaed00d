#pragma once

#include "core/io/Binary.hpp"
#include "core/io/BlockReader.hpp"

#include <cstdint>
#include <optional>

namespace vellary {

// The deep scan's view of its source: one chunk at a time held in a buffer that is reused, and
// carvers' reads inside a cleanly read chunk answered from memory instead of the source.
// Belongs to one walk on one thread.
class ChunkedSource : public BlockReader {
public:
    explicit ChunkedSource(const BlockReader& source);

    struct Chunk {
        ByteSpan data;               // valid until the next load
        std::int64_t unreadable = 0; // bytes zero-filled because they could not be read
    };
    // The tolerant read of count bytes at offset (unreadable sectors zero-filled and counted).
    // Throws what the tolerant read throws.
    Chunk load(std::uint64_t offset, std::uint64_t count);

    // The bytes of the current chunk from offset to its end, when the chunk was read cleanly and
    // holds offset.
    std::optional<ByteSpan> held(std::uint64_t offset) const;

    std::uint64_t size() const override { return source_.size(); }
    Bytes read(std::uint64_t offset, std::int64_t count) const override;
    std::int64_t blockSize() const override { return source_.blockSize(); }

private:
    bool readDirect(std::uint64_t offset, std::uint64_t count);

    const BlockReader& source_;
    int descriptor_ = -1; // set when the source is a plain file or device read without alignment
    Bytes buffer_;
    ByteSpan chunk_;
    std::uint64_t chunkStart_ = 0;
    bool clean_ = false;
};

} // namespace vellary
