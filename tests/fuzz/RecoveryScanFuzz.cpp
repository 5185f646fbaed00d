#include "core/engine/RecoveryEngine.hpp"
#include "tests/fuzz/FuzzSupport.hpp"

using namespace vellary;

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const auto reader = fuzz::readerOf(data, size);
    ScanOptions options;
    options.deepScan = true;
    fuzz::tolerate([&] {
        const auto result = RecoveryEngine::scan(reader, options);
        for (const auto& file : result.files)
            for (const auto& range : file.ranges)
                if (range.end() < range.offset) __builtin_trap();
    });
    return 0;
}
