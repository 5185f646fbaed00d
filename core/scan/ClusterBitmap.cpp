#include "core/scan/ClusterBitmap.hpp"

#include <algorithm>

namespace vellary {

ClusterBitmap::ClusterBitmap(std::optional<MFTCatalog::BitmapSource> source,
                             const NTFSGeometry& geometry, const BlockReader& reader)
    : source_(std::move(source)), geometry_(geometry), reader_(reader) {}

std::uint8_t ClusterBitmap::byte(std::uint64_t index) {
    if (!source_) return 0;
    if (source_->kind == MFTCatalog::BitmapSource::Kind::resident)
        return index < source_->bytes.size() ? source_->bytes[index] : 0;
    if (index >= source_->stream.dataSize) return 0;
    const std::uint64_t number = index / kPageSize;
    if (lastPage_ == nullptr || lastPageNumber_ != number) {
        auto found = pages_.find(number);
        if (found == pages_.end()) {
            const std::uint64_t start = number * kPageSize;
            const std::uint64_t want = std::min(kPageSize, source_->stream.dataSize - start);
            found = pages_
                        .emplace(number, source_->stream.read(reader_, geometry_, start,
                                                              static_cast<std::int64_t>(want)))
                        .first;
        }
        lastPage_ = &found->second;
        lastPageNumber_ = number;
    }
    // A page can come back short when the bitmap's runs end early: what it lacks counts as free.
    const std::uint64_t inPage = index % kPageSize;
    return inPage < lastPage_->size() ? (*lastPage_)[inPage] : 0;
}

bool ClusterBitmap::isAllocated(std::uint64_t cluster) {
    return (byte(cluster / 8) >> (cluster % 8) & 1) != 0;
}

bool ClusterBitmap::anyAllocated(std::uint64_t first, std::uint64_t count) {
    std::uint64_t end = 0;
    if (__builtin_add_overflow(first, count, &end)) end = UINT64_MAX;
    std::uint64_t k = first;
    while (k < end) {
        if (k % 8 == 0 && end - k >= 8) {
            if (byte(k / 8) != 0) return true;
            k += 8;
        } else {
            if (isAllocated(k)) return true;
            ++k;
        }
    }
    return false;
}

} // namespace vellary
