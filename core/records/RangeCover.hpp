#pragma once

#include "core/records/ByteRange.hpp"
#include "core/records/RecoverableFile.hpp"

#include <vector>

namespace vellary {

// The source bytes already claimed by found files and file-system structures: sorted by offset,
// disjoint and never touching.
class RangeCover {
public:
    RangeCover() = default;
    RangeCover(const std::vector<RecoverableFile>& files, const std::vector<ByteRange>& extra);
    explicit RangeCover(std::vector<ByteRange> ranges);

    const std::vector<ByteRange>& ranges() const { return ranges_; }
    bool empty() const { return ranges_.empty(); }

private:
    std::vector<ByteRange> ranges_;
};

} // namespace vellary
