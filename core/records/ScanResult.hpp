#pragma once

#include "core/records/RecoverableFile.hpp"

#include <cstdint>
#include <string>
#include <vector>

namespace vellary {

struct ScanResult {
    std::vector<RecoverableFile> files;
    std::string filesystem;
    std::int64_t volumeCount = 0;
    std::vector<std::string> warnings;
    bool searchedContents = false;
    std::uint64_t unreadableBytes = 0;
};

} // namespace vellary
