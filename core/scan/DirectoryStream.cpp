#include "core/scan/DirectoryStream.hpp"

#include <algorithm>

namespace vellary {

DirectoryStream::DirectoryStream(const BlockReader& reader, std::vector<Extent> extents,
                                 std::uint64_t limit)
    : reader_(reader), extents_(std::move(extents)) {
    std::uint64_t sum = 0;
    for (const auto& e : extents_) {
        starts_.push_back(sum);
        sum = saturatingAdd(sum, e.length);
    }
    total_ = std::min(sum, limit);
}

std::vector<DirectoryStream::Extent> DirectoryStream::extents(const ClusterChain& chain,
                                                              std::uint64_t clusterSize,
                                                              std::uint64_t firstClusterOffset) {
    std::vector<Extent> out;
    for (const auto& run : chain.runs) {
        const auto offset = ClusterMap::offsetOf(run.first, clusterSize, firstClusterOffset);
        std::uint64_t length = 0;
        if (!offset || __builtin_mul_overflow(run.count, clusterSize, &length)) break;
        out.push_back({*offset, length});
    }
    return out;
}

std::uint64_t DirectoryStream::sourceOffset(std::uint64_t pos) const {
    if (pos >= total_ || starts_.empty()) return 0;
    const auto it = std::upper_bound(starts_.begin(), starts_.end(), pos);
    const auto index = static_cast<std::size_t>(it - starts_.begin()) - 1;
    return extents_[index].offset + (pos - starts_[index]);
}

void DirectoryStream::readPiece() {
    const auto it = std::upper_bound(starts_.begin(), starts_.end(), readEnd_);
    const auto index = static_cast<std::size_t>(it - starts_.begin()) - 1;
    const auto& extent = extents_[index];
    const std::uint64_t inside = readEnd_ - starts_[index];
    const std::uint64_t piece = std::min({kPiece, extent.length - inside, total_ - readEnd_});
    const Bytes data = reader_.read(extent.offset + inside, static_cast<std::int64_t>(piece));
    buffer_.insert(buffer_.end(), data.begin(), data.end());
    readEnd_ += data.size();
    // A short read means the source ends here.
    if (data.size() < piece) ended_ = true;
}

ByteSpan DirectoryStream::view(std::uint64_t pos, std::size_t count) {
    if (pos < bufferStart_) return {};
    while (readEnd_ < pos + count && !exhausted()) {
        const std::uint64_t drop = std::min<std::uint64_t>(pos - bufferStart_, buffer_.size());
        buffer_.erase(buffer_.begin(), buffer_.begin() + static_cast<std::ptrdiff_t>(drop));
        bufferStart_ += drop;
        if (bufferStart_ < pos) { // skipped past what was read: jump ahead
            readEnd_ = bufferStart_ = std::min(pos, total_);
            if (readEnd_ >= total_) break;
        }
        readPiece();
    }
    if (pos >= readEnd_) return {};
    const std::uint64_t avail = readEnd_ - pos;
    return ByteSpan(buffer_.data() + (pos - bufferStart_),
                    static_cast<std::size_t>(std::min<std::uint64_t>(avail, count)));
}

} // namespace vellary
