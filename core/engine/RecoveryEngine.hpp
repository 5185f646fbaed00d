#pragma once

#include "core/io/BlockReader.hpp"
#include "core/records/ScanOptions.hpp"
#include "core/records/ScanResult.hpp"

namespace vellary {

// The one entry point of a scan: volumes and their file-system metadata, then the content search.
struct RecoveryEngine {
    // Fails with RecoverError: cancelled, deviceGone, a failure finding volumes, or one passed on
    // by the content search.
    static ScanResult scan(const BlockReader& reader, const ScanOptions& options);
    // A found file's bytes from position at inside it, across its ranges.
    static Bytes read(const BlockReader& reader, const RecoverableFile& file, std::uint64_t at,
                      std::int64_t count);
};

} // namespace vellary
