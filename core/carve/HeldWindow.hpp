#pragma once

#include "core/io/ByteWindow.hpp"

#include <optional>

namespace vellary {

class ChunkedSource;

// A ByteWindow that answers from the deep scan's chunk, already in memory, where it can, and
// reads the source through an ordinary window elsewhere. Gives the same bytes either way.
class HeldWindow {
public:
    // from: the first offset the caller will ask for (bytes before it come from the source).
    HeldWindow(const BlockReader& reader, std::uint64_t from, std::uint64_t end,
               std::int64_t windowSize);

    std::uint64_t end() const { return window_.end(); }
    std::optional<std::uint8_t> byte(std::uint64_t at) {
        if ((at >= heldStart_ && at < heldEnd_) || grow(at)) return held_[at - heldStart_];
        return window_.byte(at);
    }
    std::optional<std::uint16_t> u16be(std::uint64_t at);
    std::optional<Bytes> bytes(std::uint64_t at, std::int64_t count);
    std::optional<std::uint64_t> nextFF(std::uint64_t from);

private:
    // Extends the bytes held in memory through at, when the chunk has them.
    bool grow(std::uint64_t at);

    ByteWindow window_;
    const ChunkedSource* chunked_ = nullptr;
    const std::uint8_t* held_ = nullptr;
    std::uint64_t heldStart_ = 0;
    std::uint64_t heldEnd_ = 0;
};

} // namespace vellary
