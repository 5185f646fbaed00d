#include "core/formats/JPEGFrames.hpp"

#include "core/io/Binary.hpp"

namespace vellary {

bool JPEGFrames::isStartOfFrame(std::uint8_t marker) {
    return marker >= 0xC0 && marker <= 0xCF && marker != 0xC4 && marker != 0xC8 && marker != 0xCC;
}

bool JPEGFrames::isDisplayable(ByteSpan bytes) {
    if (bytes.size() < 4 || bytes[0] != 0xFF || bytes[1] != 0xD8) return false;
    std::size_t at = 2;
    while (bytes.size() - at >= 4) {
        if (bytes[at] != 0xFF) return false;
        const std::uint8_t marker = bytes[at + 1];
        // Baseline, extended sequential and progressive frames decode anywhere.
        if (marker >= 0xC0 && marker <= 0xC2) return true;
        // Other frame types, or the image ending or its scan starting before any frame.
        if (isStartOfFrame(marker) || marker == 0xD9 || marker == 0xDA) return false;
        if (marker == 0xFF) { // fill byte
            ++at;
            continue;
        }
        const std::size_t length = Binary::rawU16be(bytes.data() + at + 2);
        if (length < 2) return false;
        at += length + 2;
        if (at > bytes.size()) return false;
    }
    return false;
}

} // namespace vellary
