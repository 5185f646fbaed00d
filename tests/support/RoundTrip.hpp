#pragma once

#include "core/io/BlockReader.hpp"
#include "core/records/ScanOptions.hpp"
#include "core/records/ScanResult.hpp"

#include <filesystem>
#include <map>
#include <string>
#include <vector>

namespace vellary::testing {

// Path the scan gives back -> SHA-256 (hex) of the file that was written there.
using Originals = std::map<std::string, std::string>;

struct RoundTrip {
    ScanResult scan;
    // One line for each original that was not found, not restored, or restored with other
    // bytes; empty when every one came back byte-exact.
    std::vector<std::string> mismatches;
};

// What a user gets back from an image: scans source through RecoveryEngine, restores the found
// files that originals lists into folder (created) with PhotoRestore, and compares each with
// its original by SHA-256.
RoundTrip roundTrip(const BlockReader& source, const Originals& originals,
                    const std::filesystem::path& folder, const ScanOptions& options = {});

} // namespace vellary::testing
