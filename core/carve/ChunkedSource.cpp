#include "core/carve/ChunkedSource.hpp"

#include "core/records/RecoverError.hpp"

#include <algorithm>

namespace vellary {
namespace {

// Piece size of the tolerant read: small enough to isolate bad areas, large enough to be quick.
constexpr std::int64_t kTolerantSector = 4096;
// Small enough to stay in the processor's cache until the walk has looked at it.
constexpr std::uint64_t kPiece = 1024 * 1024;

} // namespace

ChunkedSource::ChunkedSource(const BlockReader& source) : source_(source) {}

void ChunkedSource::start(std::uint64_t offset, std::uint64_t count) {
    chunkStart_ = offset;
    count_ = offset < size() ? std::min(count, size() - offset) : 0;
    if (buffer_.size() < count_) buffer_.resize(count_);
    length_ = count_;
    loaded_ = 0;
    unreadable_ = 0;
    piecewise_ = true;
}

bool ChunkedSource::readAt(std::uint8_t* into, std::uint64_t at, std::uint64_t count) const {
    // Failures and short reads are left to the tolerant read, which tells them apart.
    try {
        return source_.readInto(at, std::span<std::uint8_t>(into, count)) == count;
    } catch (const RecoverError&) {
        return false;
    }
}

void ChunkedSource::readWhole() const {
    piecewise_ = false;
    // Into the same buffer: windows over the chunk keep pointing into it.
    const auto tolerant = source_.readTolerantInto(
        chunkStart_, std::span<std::uint8_t>(buffer_.data(), count_), kTolerantSector);
    length_ = loaded_ = tolerant.bytes;
    unreadable_ = tolerant.unreadable;
}

void ChunkedSource::require(std::uint64_t upTo) const {
    upTo = std::min(upTo, length_);
    while (piecewise_ && loaded_ < upTo) {
        const std::uint64_t piece = std::min(kPiece, length_ - loaded_);
        if (!readAt(buffer_.data() + loaded_, chunkStart_ + loaded_, piece)) {
            readWhole();
            return;
        }
        loaded_ += piece;
    }
}

std::int64_t ChunkedSource::finish() {
    require(length_);
    return unreadable_;
}

std::optional<std::uint64_t> ChunkedSource::loadedThrough(std::uint64_t offset) const {
    if (offset < chunkStart_ || offset - chunkStart_ >= length_ || unreadable_ != 0)
        return std::nullopt;
    require(offset - chunkStart_ + 1);
    if (unreadable_ != 0 || offset - chunkStart_ >= loaded_) return std::nullopt;
    return chunkStart_ + loaded_;
}

std::optional<ByteSpan> ChunkedSource::ahead(std::uint64_t offset, std::uint64_t end) const {
    end = std::min(end, size());
    if (offset < chunkStart_ + length_ || offset >= end) return std::nullopt;
    const std::uint64_t count = std::min(kPiece, end - offset);
    if (ahead_.size() < kPiece) ahead_.resize(kPiece);
    if (!readAt(ahead_.data(), offset, count)) return std::nullopt;
    return ByteSpan(ahead_.data(), count);
}

Bytes ChunkedSource::read(std::uint64_t offset, std::int64_t count) const {
    if (count >= 1 && offset >= chunkStart_ && offset - chunkStart_ < length_ && unreadable_ == 0) {
        const std::uint64_t inside = offset - chunkStart_;
        require(inside +
                std::min<std::uint64_t>(static_cast<std::uint64_t>(count), length_ - inside));
        if (unreadable_ == 0 && inside < loaded_) {
            const auto held =
                std::min<std::uint64_t>(static_cast<std::uint64_t>(count), loaded_ - inside);
            const auto* first = buffer_.data() + inside;
            Bytes out(first, first + held);
            if (held < static_cast<std::uint64_t>(count)) {
                const auto rest =
                    source_.read(offset + held, count - static_cast<std::int64_t>(held));
                out.insert(out.end(), rest.begin(), rest.end());
            }
            return out;
        }
    }
    return source_.read(offset, count);
}

} // namespace vellary
