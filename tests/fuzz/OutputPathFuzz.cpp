#include "core/restore/OutputPath.hpp"

#include <string_view>

using namespace vellary;

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::string_view text(reinterpret_cast<const char*>(data), size);
    const auto part = OutputPath::sanitize(text);
    if (part.empty() || part.find('/') != std::string::npos || part == "." || part == "..")
        __builtin_trap();
    const auto path = OutputPath::relative(text);
    if (!path.empty() && path.front() == '/') __builtin_trap();
    return 0;
}
