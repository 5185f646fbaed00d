#include "core/carve/HeldWindow.hpp"

#include "core/carve/ChunkedSource.hpp"
#include "core/records/RecoverError.hpp"

#include <algorithm>
#include <cstring>

namespace vellary {

HeldWindow::HeldWindow(const BlockReader& reader, std::uint64_t from, std::uint64_t end,
                       std::int64_t windowSize)
    : window_(reader, end, windowSize), chunked_(dynamic_cast<const ChunkedSource*>(&reader)),
      heldStart_(from), heldEnd_(from) {}

bool HeldWindow::grow(std::uint64_t at) {
    if (chunked_ == nullptr || at < heldEnd_ || at >= window_.end()) return false;
    std::optional<std::uint64_t> loadedEnd;
    try {
        // The held bytes start at heldStart_, so the chunk must hold that too.
        if (held_ != nullptr || chunked_->loadedThrough(heldStart_))
            loadedEnd = chunked_->loadedThrough(at);
    } catch (const RecoverError&) {
        // Like any window, this one sees a failing source as no bytes.
    }
    if (!loadedEnd) {
        chunked_ = nullptr;
        return false;
    }
    if (held_ == nullptr) held_ = chunked_->memory(heldStart_);
    heldEnd_ = std::min(*loadedEnd, window_.end());
    return at < heldEnd_;
}

std::optional<std::uint16_t> HeldWindow::u16be(std::uint64_t at) {
    const auto hi = byte(at);
    if (!hi || at == UINT64_MAX) return std::nullopt;
    const auto lo = byte(at + 1);
    if (!lo) return std::nullopt;
    return static_cast<std::uint16_t>((*hi << 8) | *lo);
}

std::optional<Bytes> HeldWindow::bytes(std::uint64_t at, std::int64_t count) {
    if (count >= 1 && at >= heldStart_ && static_cast<std::uint64_t>(count) <= UINT64_MAX - at) {
        const std::uint64_t last = at + static_cast<std::uint64_t>(count) - 1;
        if (last < heldEnd_ || grow(last)) {
            const auto* first = held_ + (at - heldStart_);
            return Bytes(first, first + count);
        }
    }
    return window_.bytes(at, count);
}

std::optional<std::uint64_t> HeldWindow::nextFF(std::uint64_t from) {
    while ((from >= heldStart_ && from < heldEnd_) || grow(from)) {
        const auto* begin = held_ + (from - heldStart_);
        if (const void* hit = std::memchr(begin, 0xFF, heldEnd_ - from))
            return from + static_cast<std::uint64_t>(static_cast<const std::uint8_t*>(hit) - begin);
        from = heldEnd_;
    }
    return window_.nextFF(from);
}

} // namespace vellary
