#include "core/carve/Boundaries.hpp"

namespace vellary {

std::optional<std::uint64_t> Boundaries::nextFileOrBlank(const BlockReader&, std::uint64_t,
                                                         std::uint64_t) {
    return std::nullopt;
}

} // namespace vellary
