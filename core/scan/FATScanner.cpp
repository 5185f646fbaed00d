#include "core/scan/FATScanner.hpp"

namespace vellary {

// Not built yet: a FAT volume contributes nothing.
void FATScanner::scan(const BlockReader&, const FoundVolume&, const ScanOptions&,
                      std::vector<RecoverableFile>&, std::vector<ByteRange>&) {}

} // namespace vellary
