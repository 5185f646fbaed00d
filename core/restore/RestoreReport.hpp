#pragma once

#include <cstdint>
#include <filesystem>
#include <string>
#include <vector>

namespace vellary {

// One file that the restore wrote.
struct RestoredFile {
    std::filesystem::path url;
    std::uint64_t bytes = 0;
    // The name as saved, after sanitising and numbering.
    std::string name;
    // Bytes the source could not deliver, written as zeros.
    std::uint64_t unreadableBytes = 0;
    // The id of the found file this was saved from (braced, so that lists written before it
    // existed stay warning-free).
    std::string sourceID{};

    bool operator==(const RestoredFile&) const = default;
};

// What one save did, in the order the files were handed in.
struct RestoreReport {
    std::vector<RestoredFile> saved;
    // "<name>: <why>", one per file that could not be saved.
    std::vector<std::string> failed;

    std::uint64_t bytes() const {
        std::uint64_t sum = 0;
        for (const auto& file : saved)
            if (__builtin_add_overflow(sum, file.bytes, &sum)) return UINT64_MAX;
        return sum;
    }
};

} // namespace vellary
