#pragma once

#include "core/io/Binary.hpp"
#include "core/io/BlockReader.hpp"

#include <cstdint>
#include <optional>

namespace vellary {

// The deep scan's view of its source. It holds one chunk in a buffer that is reused for every
// chunk, reads the chunk a piece at a time as the walk and the carvers get to it (so the bytes
// are still in the processor's cache when they are looked at), and answers carvers' reads inside
// a cleanly read chunk from memory. Belongs to one walk on one thread.
class ChunkedSource : public BlockReader {
public:
    explicit ChunkedSource(const BlockReader& source);

    // Starts the chunk of count bytes at offset.
    void start(std::uint64_t offset, std::uint64_t count);
    // Makes the chunk's first upTo bytes readable through data(). Throws what the source's
    // tolerant read throws; unreadable sectors come back zero-filled and are counted.
    void require(std::uint64_t upTo) const;
    // The chunk's bytes; only the first require()d ones are valid.
    const std::uint8_t* data() const { return buffer_.data(); }
    // count, or fewer where the source turned out to end early.
    std::uint64_t length() const { return length_; }
    // Reads whatever the walk skipped; the chunk's unreadable bytes.
    std::int64_t finish();

    // For windows over the chunk: loads it through offset and gives the source offset where its
    // loaded bytes end; nothing when offset lies outside the chunk or the chunk had unreadable
    // sectors (zeros must not stand in for a failing source).
    std::optional<std::uint64_t> loadedThrough(std::uint64_t offset) const;
    // Where a loaded source offset lies in memory. The buffer stays put during a chunk.
    const std::uint8_t* memory(std::uint64_t offset) const {
        return buffer_.data() + (offset - chunkStart_);
    }

    // Up to 1 MiB of the source's bytes from offset, which lies past the chunk, read into a
    // second reused buffer (valid until the next call): for a carver that follows a file out of
    // the chunk. Nothing past end, or when the read fails or comes up short.
    std::optional<ByteSpan> ahead(std::uint64_t offset, std::uint64_t end) const;

    std::uint64_t size() const override { return source_.size(); }
    Bytes read(std::uint64_t offset, std::int64_t count) const override;
    std::int64_t blockSize() const override { return source_.blockSize(); }

private:
    bool readAt(std::uint8_t* into, std::uint64_t at, std::uint64_t count) const;
    void readWhole() const;

    const BlockReader& source_;
    mutable Bytes buffer_;
    mutable Bytes ahead_;
    std::uint64_t chunkStart_ = 0;
    std::uint64_t count_ = 0;
    mutable std::uint64_t length_ = 0;
    mutable std::uint64_t loaded_ = 0;
    mutable std::int64_t unreadable_ = 0;
    mutable bool piecewise_ = false;
};

} // namespace vellary
