#pragma once

#include "core/io/BlockReader.hpp"

#include <memory>
#include <string>

namespace vellary::cli {

// Opens a disk image or a block device read-only; devices get block-aligned reads.
std::shared_ptr<BlockReader> openSource(const std::string& path);

} // namespace vellary::cli
