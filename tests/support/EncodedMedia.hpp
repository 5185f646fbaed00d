#pragma once

#include "core/io/BlockReader.hpp"
#include "tests/support/Tools.hpp"

#include <optional>
#include <string>

namespace vellary::testing {

// Files made by real encoders at test time. Each gives nothing when its tool is missing or fails,
// so the caller can skip with a message.
struct EncodedMedia {
    // ffmpeg with the given arguments, writing name in dir.
    static std::optional<Bytes> ffmpeg(const TempDir& dir, const std::string& name,
                                       const std::string& arguments);
    // ImageMagick's own convert (not a stand-in), writing name in dir, in the given format when
    // one is named (such as "psb").
    static std::optional<Bytes> magick(const TempDir& dir, const std::string& name,
                                       const std::string& arguments,
                                       const std::string& format = {});
    // heif-enc over a plasma picture made by ImageMagick; AVIF when the name ends in .avif.
    static std::optional<Bytes> heif(const TempDir& dir, const std::string& name);

    static bool haveMagick();
};

} // namespace vellary::testing
