#include "core/scan/ExFATScanner.hpp"
#include "tests/fuzz/FuzzSupport.hpp"

using namespace vellary;

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const auto reader = fuzz::readerOf(data, size);
    std::vector<RecoverableFile> sink;
    std::vector<ByteRange> used;
    fuzz::tolerate([&] {
        ExFATScanner::scanVolume(reader, {0, VolumeKind::exfat}, {}, sink, used);
    });
    return 0;
}
