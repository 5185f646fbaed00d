#include "core/scan/ExFATScanner.hpp"

namespace vellary {

// Not built yet: an exFAT volume contributes nothing.
void ExFATScanner::scanVolume(const BlockReader&, const FoundVolume&, const ScanOptions&,
                              std::vector<RecoverableFile>&, std::vector<ByteRange>&) {}

} // namespace vellary
