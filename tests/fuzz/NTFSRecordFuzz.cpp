#include "core/scan/MFTRecord.hpp"
#include "core/scan/NTFSRunList.hpp"
#include "core/scan/RecycleBin.hpp"
#include "tests/fuzz/FuzzSupport.hpp"

using namespace vellary;

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const ByteSpan bytes(data, size);
    (void)MFTRecord::parse(bytes);
    NTFSRunList::decode(bytes, 0, static_cast<std::int64_t>(size));
    if (size > 8) NTFSRunList::decode(bytes, data[0], static_cast<std::int64_t>(size) - data[1]);
    (void)RecycleBin::originalPath(bytes);
    return 0;
}
