#include "core/formats/JPEGFrames.hpp"

#include "core/io/Binary.hpp"

namespace vellary {

bool JPEGFrames::isDisplayable(ByteSpan bytes) {
    if (bytes.size() < 4 || bytes[0] != 0xFF || bytes[1] != 0xD8) return false;
    std::size_t at = 2;
    while (bytes.size() - at >= 4) {
        if (bytes[at] != 0xFF) return false;
        switch (bytes[at + 1]) {
        case 0xC0:
        case 0xC1:
        case 0xC2:
            return true;
        case 0xC3:
        case 0xC5:
        case 0xC6:
        case 0xC7:
        case 0xC9:
        case 0xCA:
        case 0xCB:
        case 0xCD:
        case 0xCE:
        case 0xCF:
        case 0xD9: // end of image
        case 0xDA: // scan data before any frame
            return false;
        case 0xFF: // fill byte
            ++at;
            break;
        default: {
            const std::size_t length = Binary::rawU16be(bytes.data() + at + 2);
            if (length < 2) return false;
            at += length + 2;
            if (at > bytes.size()) return false;
        }
        }
    }
    return false;
}

} // namespace vellary
