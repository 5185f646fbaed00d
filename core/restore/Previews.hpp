#pragma once

#include "core/io/BlockReader.hpp"
#include "core/records/RecoverableFile.hpp"

#include <optional>

namespace vellary {

// The bytes of a picture the platform can decode for a found file, read straight from the
// source: the file itself, or a JPEG preview embedded in a camera raw file.
struct Previews {
    // Thumbnails read at most this much of a file; the preview screen at most kPreviewBytes.
    static constexpr std::int64_t kThumbnailBytes = 41'943'040;
    static constexpr std::int64_t kPreviewBytes = 125'829'120;

    static std::optional<Bytes> imageData(const RecoverableFile& file, const BlockReader& reader,
                                          std::int64_t maxBytes);
};

} // namespace vellary
