#pragma once

#include "core/io/ByteWindow.hpp"

#include <optional>

namespace vellary {

// A ByteWindow that answers from the deep scan's chunk, already in memory, where it can, and
// reads the source through an ordinary window elsewhere. Gives the same bytes either way.
class HeldWindow {
public:
    // from: the first offset the caller will ask for (bytes before it are read from the source).
    HeldWindow(const BlockReader& reader, std::uint64_t from, std::uint64_t end,
               std::int64_t windowSize);

    std::uint64_t end() const { return window_.end(); }
    std::optional<std::uint8_t> byte(std::uint64_t at) {
        if (at >= heldStart_ && at < heldEnd_) return held_[at - heldStart_];
        return window_.byte(at);
    }
    std::optional<std::uint16_t> u16be(std::uint64_t at);
    std::optional<Bytes> bytes(std::uint64_t at, std::int64_t count);
    std::optional<std::uint64_t> nextFF(std::uint64_t from);

private:
    ByteWindow window_;
    const std::uint8_t* held_ = nullptr;
    std::uint64_t heldStart_ = 0;
    std::uint64_t heldEnd_ = 0;
};

} // namespace vellary
