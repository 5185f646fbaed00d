#include "core/scan/NTFSScanner.hpp"

namespace vellary {

// Not built yet: an NTFS volume contributes nothing.
void NTFSScanner::scanVolume(const BlockReader&, const FoundVolume&, const ScanOptions&,
                             std::vector<RecoverableFile>&, std::vector<ByteRange>&) {}

} // namespace vellary
