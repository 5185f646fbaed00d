#pragma once

#include "core/records/ByteRange.hpp"

#include <vector>

namespace vellary {

// Appends a range, joining it to the last one when that ends exactly where the new one starts, so
// adjacent extents never stand side by side unjoined. Empty ranges are not appended.
inline void appendJoined(std::vector<ByteRange>& list, ByteRange range) {
    if (range.length == 0) return;
    if (!list.empty() && list.back().end() == range.offset) {
        list.back().length += range.length;
        return;
    }
    list.push_back(range);
}

} // namespace vellary
