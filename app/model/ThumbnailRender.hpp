#pragma once

#include "core/io/BlockReader.hpp"
#include "core/records/RecoverableFile.hpp"
#include "core/restore/Previews.hpp"

#include <QImage>
#include <functional>

namespace vellary {

// Turns a found file's bytes into a picture no larger than maxPixels on either side, with the
// image's own orientation applied. Every call is independent and may run on any thread.
struct ThumbnailRender {
    using Cancelled = std::function<bool()>;

    // The file's picture: a video frame, PDF page 1, or the photo or raw preview. A null image
    // when there is none.
    static QImage render(const RecoverableFile& file, const SharedReader& reader, int maxPixels,
                         const Cancelled& cancelled = {},
                         std::int64_t maxBytes = Previews::kThumbnailBytes);
    // Photo and raw bytes as Previews gives them; HEIC and AVIF go to libheif, raw files that
    // Qt cannot read to LibRaw.
    static QImage decode(const Bytes& bytes, FileKind kind, int maxPixels);
    // Page 1 on white, round(side × scale) pixels with the longer side maxPixels.
    static QImage pdfPage(const Bytes& bytes, int maxPixels);
    // The frame nearest at seconds, through FFmpeg reading the file's own bytes; gives up after
    // timeoutSeconds or when cancelled says so.
    static QImage videoFrame(const RecoverableFile& file, const SharedReader& reader, int maxPixels,
                             double seconds = 1.0, double timeoutSeconds = 20.0,
                             const Cancelled& cancelled = {});
};

} // namespace vellary
