#pragma once

#include "core/records/FileCategory.hpp"
#include "core/records/RecoverableFile.hpp"
#include "core/records/ScanProgress.hpp"

#include <functional>
#include <set>
#include <vector>

namespace vellary {

// Parameters and callbacks of one scan. Callbacks run on the scanning thread.
struct ScanOptions {
    bool deepScan = false;
    // Empty means every category.
    std::set<FileCategory> categories;
    std::function<void(const ScanProgress&)> progress;
    std::function<bool()> isCancelled;
    std::function<void(const std::vector<RecoverableFile>&)> onFound;

    bool wants(FileCategory category) const {
        return categories.empty() || categories.count(category) != 0;
    }
    bool cancelled() const { return isCancelled && isCancelled(); }
    void report(const ScanProgress& snapshot) const {
        if (progress) progress(snapshot);
    }
};

} // namespace vellary
