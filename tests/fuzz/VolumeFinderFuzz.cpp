#include "core/scan/VolumeFinder.hpp"
#include "tests/fuzz/FuzzSupport.hpp"

using namespace vellary;

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const auto reader = fuzz::readerOf(data, size);
    fuzz::tolerate([&] { VolumeFinder::find(reader); });
    if (size >= 512) {
        // The claimed disk size is taken from the input too, to reach the size checks.
        const std::uint64_t disk = size >= 520 ? Binary::rawU64le(data + 512) : size;
        (void)VolumeFinder::detect(ByteSpan(data, 512), 0, disk);
    }
    return 0;
}
