#pragma once

#include "core/records/Bytes.hpp"

namespace vellary {

// Whether the platform's decoders can show a JPEG: its first frame header must be a baseline,
// extended sequential or progressive one (cameras also embed lossless previews that they reject).
struct JPEGFrames {
    static bool isDisplayable(ByteSpan bytes);
    // Any of the thirteen frame header markers (C0–CF but for C4, C8 and CC).
    static bool isStartOfFrame(std::uint8_t marker);
};

} // namespace vellary
