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
    // Bytes the file's ranges promised past the end of the source: the file is cut short.
    std::uint64_t missingBytes = 0;
    // The found file's id, so that callers can match the entry to what they asked for.
    std::string id{};

    bool incomplete() const { return missingBytes > 0; }
    bool operator==(const RestoredFile&) const = default;
};

// What one save did, in the order the files were handed in.
struct RestoreReport {
    std::vector<RestoredFile> saved;
    // "<name>: <why>", one per file that could not be saved.
    std::vector<std::string> failed;

    std::size_t incompleteCount() const {
        std::size_t count = 0;
        for (const auto& file : saved)
            count += file.incomplete() ? 1 : 0;
        return count;
    }
    std::uint64_t bytes() const {
        std::uint64_t sum = 0;
        for (const auto& file : saved)
            if (__builtin_add_overflow(sum, file.bytes, &sum)) return UINT64_MAX;
        return sum;
    }
};

} // namespace vellary
