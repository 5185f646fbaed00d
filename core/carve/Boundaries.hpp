#pragma once

#include "core/io/BlockReader.hpp"

#include <optional>

namespace vellary {

struct Boundaries {
    // The first 512-aligned offset at or after from whose sector is all zeros or starts a file the
    // signature table recognises, before the limit.
    static std::optional<std::uint64_t> nextFileOrBlank(const BlockReader& reader,
                                                        std::uint64_t from, std::uint64_t before);
    // The same for the start of a recognised file only, blank sectors passed over.
    static std::optional<std::uint64_t> nextFile(const BlockReader& reader, std::uint64_t from,
                                                 std::uint64_t before);
};

} // namespace vellary
