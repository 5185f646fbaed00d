#pragma once

#include "core/carve/HeldWindow.hpp"

#include <optional>
#include <vector>

namespace vellary {

// The Multi-Picture Format index that cameras put in an APP2 segment to announce further images
// (previews, the other eye of a stereo pair) stored after the primary JPEG.
struct MPF {
    // Source offsets just past each announced image that really starts with FF D8; nothing when
    // the payload is not an MPF index or announces none. payloadStart: the payload's source
    // offset, from which the index's offsets count (after the four-byte "MPF" header).
    static std::optional<std::vector<std::uint64_t>>
    imageEnds(ByteSpan payload, std::uint64_t payloadStart, HeldWindow& bytes);
};

} // namespace vellary
