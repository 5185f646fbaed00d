#include "core/carve/Registry.hpp"
#include "tests/fuzz/FuzzSupport.hpp"

using namespace vellary;

// Every carver that recognises the input's first bytes measures it; a result must stay inside it.
extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const auto reader = fuzz::readerOf(data, size);
    const ByteSpan head(data, std::min<std::size_t>(size, 32));
    for (const auto* carver : Registry::all()) {
        const auto kind = carver->sniff(head);
        if (!kind) continue;
        fuzz::tolerate([&] {
            const auto carved = carver->carve(reader, 0, *kind);
            if (carved && (carved->size == 0 || carved->size > size)) __builtin_trap();
        });
    }
    return 0;
}
