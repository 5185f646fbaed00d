#include "core/records/RangeCover.hpp"

#include <algorithm>

namespace vellary {

RangeCover::RangeCover(const std::vector<RecoverableFile>& files,
                       const std::vector<ByteRange>& extra) {
    std::vector<ByteRange> all;
    for (const auto& file : files)
        all.insert(all.end(), file.ranges.begin(), file.ranges.end());
    all.insert(all.end(), extra.begin(), extra.end());
    *this = RangeCover(std::move(all));
}

RangeCover::RangeCover(std::vector<ByteRange> all) {
    std::erase_if(all, [](const ByteRange& r) { return r.length == 0; });
    // A claim whose end would pass 2^64 claims everything after its start, without wrapping.
    for (auto& r : all)
        if (r.end() < r.offset) r.length = UINT64_MAX - r.offset;
    std::stable_sort(all.begin(), all.end(),
                     [](const ByteRange& a, const ByteRange& b) { return a.offset < b.offset; });
    for (const auto& range : all) {
        if (!ranges_.empty() && ranges_.back().end() >= range.offset) {
            auto& last = ranges_.back();
            last.length = std::max(last.end(), range.end()) - last.offset;
        } else {
            ranges_.push_back(range);
        }
    }
}

} // namespace vellary
