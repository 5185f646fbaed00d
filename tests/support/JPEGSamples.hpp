#pragma once

#include "core/io/BlockReader.hpp"
#include "tests/support/Tools.hpp"

#include <optional>
#include <string>

namespace vellary::testing {

// Real JPEGs for the data checks, and libjpeg-turbo's opinion of them.
struct JPEGSamples {
    // cjpeg with the given options over a generated picture (smooth gradients with grain, so
    // the data holds every kind of symbol); nothing when cjpeg is missing or fails.
    static std::optional<Bytes> cjpeg(const TempDir& dir, int width, int height, unsigned seed,
                                      const std::string& options);
    // True when djpeg decodes the bytes without an error or a warning.
    static bool djpegClean(const TempDir& dir, const Bytes& jpeg);
};

} // namespace vellary::testing
