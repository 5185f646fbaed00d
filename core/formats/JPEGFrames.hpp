#pragma once

#include "core/records/Bytes.hpp"

namespace vellary {

// Whether the platform's decoders can show a JPEG: its first frame header must be a baseline,
// extended sequential or progressive one (cameras also embed lossless previews that they reject).
struct JPEGFrames {
    static bool isDisplayable(ByteSpan bytes);
};

} // namespace vellary
