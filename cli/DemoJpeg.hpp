#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace vellary::cli {

// A small but real baseline JPEG: a colour picture made of flat 8x8 blocks, padded with comment
// segments to about paddedSize bytes so that it spans several clusters.
std::vector<std::uint8_t> demoJpeg(int width, int height, int seed, std::size_t paddedSize,
                                   const std::string& dateTimeOriginal);

} // namespace vellary::cli
