#include "core/carve/HeldWindow.hpp"

#include "core/carve/ChunkedSource.hpp"
#include "core/records/RecoverError.hpp"

#include <algorithm>
#include <cstring>

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

namespace vellary {
namespace {

// The first FF in [p, end) not followed by 00; a last FF whose follower lies past end counts.
const std::uint8_t* firstUnstuffedFF(const std::uint8_t* p, const std::uint8_t* end) {
#if defined(__SSE2__)
    const __m128i ff = _mm_set1_epi8(-1);
    const __m128i zero = _mm_setzero_si128();
    while (end - p > 16) {
        const __m128i here = _mm_loadu_si128(reinterpret_cast<const __m128i*>(p));
        const __m128i next = _mm_loadu_si128(reinterpret_cast<const __m128i*>(p + 1));
        const int hits = _mm_movemask_epi8(
            _mm_andnot_si128(_mm_cmpeq_epi8(next, zero), _mm_cmpeq_epi8(here, ff)));
        if (hits != 0) return p + __builtin_ctz(static_cast<unsigned>(hits));
        p += 16;
    }
#endif
    for (; p < end; ++p)
        if (*p == 0xFF && (p + 1 == end || p[1] != 0)) return p;
    return end;
}

} // namespace

HeldWindow::HeldWindow(const BlockReader& reader, std::uint64_t end, std::int64_t windowSize)
    : window_(reader, end, windowSize), chunked_(dynamic_cast<const ChunkedSource*>(&reader)) {}

bool HeldWindow::hold(std::uint64_t at, std::uint64_t through) {
    if (chunked_ == nullptr || at > through || through >= window_.end()) return false;
    try {
        if (auto loadedEnd = chunked_->loadedThrough(at)) {
            if (through >= *loadedEnd) loadedEnd = chunked_->loadedThrough(through);
            if (!loadedEnd) return false;
            held_ = chunked_->memory(at);
            heldStart_ = at;
            heldEnd_ = std::min(*loadedEnd, window_.end());
            return true;
        }
        if (const auto piece = chunked_->ahead(at, window_.end())) {
            if (through - at >= piece->size()) return false;
            held_ = piece->data();
            heldStart_ = at;
            heldEnd_ = at + piece->size();
            return true;
        }
    } catch (const RecoverError&) {
        // Like any window, this one sees a failing source as no bytes.
    }
    return false;
}

std::optional<std::uint16_t> HeldWindow::u16be(std::uint64_t at) {
    const auto hi = byte(at);
    if (!hi || at == UINT64_MAX) return std::nullopt;
    const auto lo = byte(at + 1);
    if (!lo) return std::nullopt;
    return static_cast<std::uint16_t>((*hi << 8) | *lo);
}

std::optional<Bytes> HeldWindow::bytes(std::uint64_t at, std::int64_t count) {
    if (count >= 1 && static_cast<std::uint64_t>(count) <= UINT64_MAX - at) {
        const std::uint64_t last = at + static_cast<std::uint64_t>(count) - 1;
        if ((at >= heldStart_ && last < heldEnd_) || hold(at, last)) {
            const auto* first = held_ + (at - heldStart_);
            return Bytes(first, first + count);
        }
    }
    return window_.bytes(at, count);
}

std::optional<ByteSpan> HeldWindow::span(std::uint64_t at, std::uint64_t count) {
    if (at >= window_.end() || count == 0) return std::nullopt;
    count = std::min(count, window_.end() - at);
    if ((at >= heldStart_ && at < heldEnd_) || hold(at, at))
        return ByteSpan(held_ + (at - heldStart_),
                        static_cast<std::size_t>(std::min(count, heldEnd_ - at)));
    return window_.view(at, static_cast<std::int64_t>(count));
}

std::optional<std::uint64_t> HeldWindow::nextFF(std::uint64_t from) {
    while ((from >= heldStart_ && from < heldEnd_) || hold(from, from)) {
        const auto* begin = held_ + (from - heldStart_);
        if (const void* hit = std::memchr(begin, 0xFF, heldEnd_ - from))
            return from + static_cast<std::uint64_t>(static_cast<const std::uint8_t*>(hit) - begin);
        from = heldEnd_;
    }
    return window_.nextFF(from);
}

std::optional<std::uint64_t> HeldWindow::nextUnstuffedFF(std::uint64_t from) {
    while ((from >= heldStart_ && from < heldEnd_) || hold(from, from)) {
        const auto* begin = held_ + (from - heldStart_);
        const auto* end = held_ + (heldEnd_ - heldStart_);
        const auto* hit = firstUnstuffedFF(begin, end);
        if (hit != end) return from + static_cast<std::uint64_t>(hit - begin);
        from = heldEnd_;
    }
    return window_.nextFF(from);
}

} // namespace vellary
