#include "core/io/ByteWindow.hpp"

#include <algorithm>
#include <cstring>

namespace vellary {

ByteWindow::ByteWindow(const BlockReader& reader, std::uint64_t end, std::int64_t windowSize)
    : reader_(reader), end_(std::min(end, reader.size())),
      windowSize_(std::max<std::int64_t>(windowSize, 1)) {}

bool ByteWindow::refill(std::uint64_t offset, std::uint64_t count) {
    Bytes data;
    try {
        data = reader_.read(offset, static_cast<std::int64_t>(count));
    } catch (...) {
        return false;
    }
    if (data.empty()) return false;
    window_ = std::move(data);
    windowStart_ = offset;
    return true;
}

bool ByteWindow::load(std::uint64_t offset) {
    if (offset >= windowStart_ && offset < windowEnd()) return true;
    if (offset >= end_) return false;
    return refill(offset,
                  std::min<std::uint64_t>(end_ - offset, static_cast<std::uint64_t>(windowSize_)));
}

bool ByteWindow::ensure(std::uint64_t offset, std::uint64_t count) {
    if (offset >= windowStart_ && windowEnd() >= offset && windowEnd() - offset >= count &&
        !window_.empty())
        return true;
    if (count == 0 || offset >= end_ || count > end_ - offset) return false;
    const std::uint64_t want = std::min<std::uint64_t>(
        end_ - offset, std::max<std::uint64_t>(count, static_cast<std::uint64_t>(windowSize_)));
    Bytes data;
    try {
        data = reader_.read(offset, static_cast<std::int64_t>(want));
    } catch (...) {
        return false;
    }
    if (data.size() < count) return false;
    window_ = std::move(data);
    windowStart_ = offset;
    return true;
}

std::optional<std::uint8_t> ByteWindow::byte(std::uint64_t at) {
    if (at >= end_ || !load(at)) return std::nullopt;
    return window_[at - windowStart_];
}

std::optional<Bytes> ByteWindow::bytes(std::uint64_t at, std::int64_t count) {
    if (count < 1) return Bytes{};
    const auto n = static_cast<std::uint64_t>(count);
    if (at > end_ || n > end_ - at) return std::nullopt;
    if (load(at) && windowEnd() - at >= n) {
        const auto first = window_.begin() + static_cast<std::ptrdiff_t>(at - windowStart_);
        return Bytes(first, first + count);
    }
    try {
        return reader_.read(at, count);
    } catch (...) {
        return std::nullopt;
    }
}

std::optional<std::uint16_t> ByteWindow::u16be(std::uint64_t at) {
    const auto hi = byte(at);
    if (!hi || at + 1 < at) return std::nullopt;
    const auto lo = byte(at + 1);
    if (!lo) return std::nullopt;
    return static_cast<std::uint16_t>((*hi << 8) | *lo);
}

std::optional<ByteSpan> ByteWindow::view(std::uint64_t at, std::int64_t count) {
    if (count < 1 || !ensure(at, static_cast<std::uint64_t>(count))) return std::nullopt;
    return ByteSpan(window_.data() + (at - windowStart_), static_cast<std::size_t>(count));
}

std::optional<std::uint16_t> ByteWindow::u16le(std::uint64_t at) {
    auto s = view(at, 2);
    if (!s) return std::nullopt;
    return Binary::rawU16le(s->data());
}
std::optional<std::uint32_t> ByteWindow::u32be(std::uint64_t at) {
    auto s = view(at, 4);
    if (!s) return std::nullopt;
    return Binary::rawU32be(s->data());
}
std::optional<std::uint32_t> ByteWindow::u32le(std::uint64_t at) {
    auto s = view(at, 4);
    if (!s) return std::nullopt;
    return Binary::rawU32le(s->data());
}
std::optional<std::uint64_t> ByteWindow::u64be(std::uint64_t at) {
    auto s = view(at, 8);
    if (!s) return std::nullopt;
    return Binary::rawU64be(s->data());
}
std::optional<std::uint64_t> ByteWindow::u64le(std::uint64_t at) {
    auto s = view(at, 8);
    if (!s) return std::nullopt;
    return Binary::rawU64le(s->data());
}

std::optional<std::uint64_t> ByteWindow::nextFF(std::uint64_t from) {
    std::uint64_t pos = from;
    while (pos < end_) {
        if (!(pos >= windowStart_ && pos < windowEnd())) {
            if (!refill(pos, std::min<std::uint64_t>(end_ - pos,
                                                     static_cast<std::uint64_t>(windowSize_))))
                return std::nullopt;
        }
        const auto* begin = window_.data() + (pos - windowStart_);
        const auto limit = std::min<std::uint64_t>(windowEnd(), end_) - pos;
        const void* hit = std::memchr(begin, 0xFF, limit);
        if (hit)
            return pos + static_cast<std::uint64_t>(static_cast<const std::uint8_t*>(hit) - begin);
        pos = windowStart_ + window_.size();
    }
    return std::nullopt;
}

std::optional<ByteWindow::Match> ByteWindow::findFirst(const std::vector<ByteSpan>& patterns,
                                                       std::uint64_t from,
                                                       std::optional<std::uint64_t> before) {
    const std::uint64_t limit = before ? std::min(end_, *before) : end_;
    if (patterns.empty()) return std::nullopt;
    std::uint64_t maxLen = 0;
    std::uint64_t minLen = UINT64_MAX;
    for (const auto& p : patterns) {
        maxLen = std::max<std::uint64_t>(maxLen, p.size());
        minLen = std::min<std::uint64_t>(minLen, p.size());
    }
    if (minLen == 0 || from > limit || minLen > limit - from) return std::nullopt;
    std::uint64_t pos = from;
    for (;;) {
        if (!ensure(pos, std::min(limit - pos, maxLen))) return std::nullopt;
        const std::uint64_t avail = std::min(limit - pos, windowEnd() - pos);
        const auto* base = window_.data() + (pos - windowStart_);
        std::optional<Match> best;
        std::uint64_t bestDistance = 0;
        for (std::size_t i = 0; i < patterns.size(); ++i) {
            const auto& pattern = patterns[i];
            if (pattern.size() > avail) continue;
            const std::uint64_t span =
                best ? std::min(bestDistance + pattern.size(), avail) : avail;
            const void* hit = ::memmem(base, span, pattern.data(), pattern.size());
            if (hit == nullptr) continue;
            const auto distance =
                static_cast<std::uint64_t>(static_cast<const std::uint8_t*>(hit) - base);
            if (!best || distance < bestDistance) {
                best = Match{i, pos + distance};
                bestDistance = distance;
            }
        }
        if (best) return best;
        if (avail >= limit - pos) return std::nullopt;
        pos += std::max<std::uint64_t>(avail > maxLen - 1 ? avail - (maxLen - 1) : 0, 1);
        if (pos > limit || minLen > limit - pos) return std::nullopt;
    }
}

} // namespace vellary
