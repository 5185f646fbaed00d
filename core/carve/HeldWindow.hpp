#pragma once

#include "core/io/ByteWindow.hpp"

#include <optional>

namespace vellary {

class ChunkedSource;

// A ByteWindow that answers from memory the deep scan already holds where it can: the current
// chunk, or a piece read ahead of it into a reused buffer. Elsewhere, and over any other reader,
// it reads through an ordinary window. Gives the same bytes either way. One at a time per walk.
class HeldWindow {
public:
    HeldWindow(const BlockReader& reader, std::uint64_t end, std::int64_t windowSize);

    std::uint64_t end() const { return window_.end(); }
    std::optional<std::uint8_t> byte(std::uint64_t at) {
        if ((at >= heldStart_ && at < heldEnd_) || hold(at, at)) return held_[at - heldStart_];
        return window_.byte(at);
    }
    std::optional<std::uint16_t> u16be(std::uint64_t at);
    std::optional<Bytes> bytes(std::uint64_t at, std::int64_t count);
    std::optional<std::uint64_t> nextFF(std::uint64_t from);
    // Like nextFF, but may pass over FF bytes followed by 00 (stuffing in JPEG entropy data).
    std::optional<std::uint64_t> nextUnstuffedFF(std::uint64_t from);
    // Up to count bytes from at (fewer near the end), valid until the next call; nothing when at
    // is unreadable. For walkers that go through memory a piece at a time.
    std::optional<ByteSpan> span(std::uint64_t at, std::uint64_t count);

private:
    // Holds memory from at through `through`, when the walk's source has it.
    bool hold(std::uint64_t at, std::uint64_t through);

    ByteWindow window_;
    const ChunkedSource* chunked_ = nullptr;
    const std::uint8_t* held_ = nullptr;
    std::uint64_t heldStart_ = 0;
    std::uint64_t heldEnd_ = 0;
};

} // namespace vellary
