#include "core/io/ByteWindow.hpp"
#include "tests/fuzz/FuzzSupport.hpp"

#include <vector>

using namespace vellary;

// Input: 1 byte window size, 1 byte pattern count, then (length byte, pattern) pairs, then data.
extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    if (size < 2) return 0;
    const std::int64_t windowSize = data[0] + 1;
    const int count = data[1] % 5;
    std::size_t at = 2;
    std::vector<ByteSpan> patterns;
    for (int i = 0; i < count && at < size; ++i) {
        const std::size_t length = std::min<std::size_t>(data[at] % 9, size - at - 1);
        patterns.emplace_back(data + at + 1, length);
        at += 1 + length;
    }
    const auto reader = fuzz::readerOf(data + at, size - at);
    ByteWindow window(reader, reader.size(), windowSize);
    const auto match = window.findFirst(patterns, 0, reader.size() / 2 + 1);
    if (match) {
        const auto& p = patterns[match->index];
        const auto bytes = reader.read(match->offset, static_cast<std::int64_t>(p.size()));
        if (!std::equal(bytes.begin(), bytes.end(), p.begin(), p.end())) __builtin_trap();
    }
    window.nextFF(windowSize);
    window.u64le(reader.size() / 3);
    window.bytes(reader.size() / 4, windowSize * 2);
    return 0;
}
