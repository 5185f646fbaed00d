#include "core/carve/ChunkedSource.hpp"

#include "core/io/FileBlockReader.hpp"

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <unistd.h>

namespace vellary {
namespace {

// Piece size of the tolerant read: small enough to isolate bad areas, large enough to be quick.
constexpr std::int64_t kTolerantSector = 4096;

} // namespace

ChunkedSource::ChunkedSource(const BlockReader& source) : source_(source) {
    // A file read without alignment can fill the reused buffer directly; anything else goes
    // through the reader's own tolerant read.
    if (const auto* file = dynamic_cast<const FileBlockReader*>(&source); file && !file->aligned())
        descriptor_ = file->descriptor();
}

bool ChunkedSource::readDirect(std::uint64_t offset, std::uint64_t count) {
    if (descriptor_ < 0) return false;
    if (buffer_.size() < count) buffer_.resize(count);
    std::uint64_t done = 0;
    while (done < count) {
        const auto got = ::pread(descriptor_, buffer_.data() + done, count - done,
                                 static_cast<off_t>(offset + done));
        if (got < 0 && errno == EINTR) continue;
        // Errors and short reads are left to the reader, which knows how to tell them apart.
        if (got <= 0) return false;
        done += static_cast<std::uint64_t>(got);
    }
    return true;
}

ChunkedSource::Chunk ChunkedSource::load(std::uint64_t offset, std::uint64_t count) {
    chunk_ = {};
    clean_ = false;
    count = offset < size() ? std::min(count, size() - offset) : 0;
    Chunk chunk;
    if (readDirect(offset, count)) {
        chunk_ = ByteSpan(buffer_.data(), count);
    } else {
        auto tolerant =
            source_.readTolerant(offset, static_cast<std::int64_t>(count), kTolerantSector);
        buffer_ = std::move(tolerant.data);
        chunk_ = ByteSpan(buffer_.data(), buffer_.size());
        chunk.unreadable = tolerant.unreadable;
    }
    chunkStart_ = offset;
    // Zero-filled bytes must not stand in for a failing source in a carver's eyes.
    clean_ = chunk.unreadable == 0;
    chunk.data = chunk_;
    return chunk;
}

std::optional<ByteSpan> ChunkedSource::held(std::uint64_t offset) const {
    if (!clean_ || offset < chunkStart_ || offset - chunkStart_ >= chunk_.size())
        return std::nullopt;
    return chunk_.subspan(offset - chunkStart_);
}

Bytes ChunkedSource::read(std::uint64_t offset, std::int64_t count) const {
    const auto bytes = held(offset);
    if (!bytes || count < 1) return source_.read(offset, count);
    const std::uint64_t held =
        std::min<std::uint64_t>(static_cast<std::uint64_t>(count), bytes->size());
    Bytes out(bytes->begin(), bytes->begin() + static_cast<std::ptrdiff_t>(held));
    if (held < static_cast<std::uint64_t>(count)) {
        const auto rest = source_.read(offset + held, count - static_cast<std::int64_t>(held));
        out.insert(out.end(), rest.begin(), rest.end());
    }
    return out;
}

} // namespace vellary
