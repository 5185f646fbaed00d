#include "core/scan/FATScanner.hpp"
#include "tests/fuzz/FuzzSupport.hpp"

using namespace vellary;

// The input is a volume; its last byte picks FAT16 or FAT32.
extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    if (size < 513) return 0;
    const auto reader = fuzz::readerOf(data, size - 1);
    const auto kind = (data[size - 1] & 1) != 0 ? VolumeKind::fat32 : VolumeKind::fat16;
    std::vector<RecoverableFile> sink;
    std::vector<ByteRange> used;
    fuzz::tolerate([&] { FATScanner::scan(reader, {0, kind}, {}, sink, used); });
    return 0;
}
