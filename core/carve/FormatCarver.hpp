#pragma once

#include "core/carve/Carved.hpp"
#include "core/io/Binary.hpp"
#include "core/io/BlockReader.hpp"

#include <optional>
#include <vector>

namespace vellary {

// One format family's recogniser and measurer. Carvers hold no state.
class FormatCarver {
public:
    virtual ~FormatCarver() = default;

    // The first bytes this carver can recognise; absent means it is tried at every offset.
    virtual std::optional<std::vector<std::uint8_t>> leadBytes() const = 0;
    // Looks only at the bytes handed in (at most 32, starting at the candidate).
    virtual std::optional<FileKind> sniff(ByteSpan bytes) const = 0;
    // Measures the file that starts at start; nothing when the bytes are not a usable file.
    // Throws what the reader throws.
    virtual std::optional<Carved> carve(const BlockReader& reader, std::uint64_t start,
                                        FileKind kind) const = 0;
};

} // namespace vellary
