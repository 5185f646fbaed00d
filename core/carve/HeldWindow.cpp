#include "core/carve/HeldWindow.hpp"

#include "core/carve/ChunkedSource.hpp"

#include <algorithm>
#include <cstring>

namespace vellary {

HeldWindow::HeldWindow(const BlockReader& reader, std::uint64_t from, std::uint64_t end,
                       std::int64_t windowSize)
    : window_(reader, end, windowSize) {
    const auto* chunked = dynamic_cast<const ChunkedSource*>(&reader);
    if (chunked == nullptr || from >= window_.end()) return;
    if (const auto held = chunked->held(from)) {
        held_ = held->data();
        heldStart_ = from;
        heldEnd_ = from + std::min<std::uint64_t>(held->size(), window_.end() - from);
    }
}

std::optional<std::uint16_t> HeldWindow::u16be(std::uint64_t at) {
    const auto hi = byte(at);
    if (!hi || at == UINT64_MAX) return std::nullopt;
    const auto lo = byte(at + 1);
    if (!lo) return std::nullopt;
    return static_cast<std::uint16_t>((*hi << 8) | *lo);
}

std::optional<Bytes> HeldWindow::bytes(std::uint64_t at, std::int64_t count) {
    if (count >= 1 && at >= heldStart_ && at < heldEnd_ &&
        static_cast<std::uint64_t>(count) <= heldEnd_ - at) {
        const auto* first = held_ + (at - heldStart_);
        return Bytes(first, first + count);
    }
    return window_.bytes(at, count);
}

std::optional<std::uint64_t> HeldWindow::nextFF(std::uint64_t from) {
    if (from >= heldStart_ && from < heldEnd_) {
        const auto* begin = held_ + (from - heldStart_);
        if (const void* hit = std::memchr(begin, 0xFF, heldEnd_ - from))
            return from + static_cast<std::uint64_t>(static_cast<const std::uint8_t*>(hit) - begin);
        from = heldEnd_;
    }
    return window_.nextFF(from);
}

} // namespace vellary
