#pragma once

#include "core/io/Binary.hpp"
#include "core/io/BlockReader.hpp"

#include <functional>
#include <optional>
#include <span>
#include <vector>

namespace vellary {

// A sliding read window over a source, for walking a format byte by byte without a read per
// byte. Never fails: a read error counts as no bytes. Belongs to one thread.
class ByteWindow {
public:
    ByteWindow(const BlockReader& reader, std::uint64_t end, std::int64_t windowSize);

    std::uint64_t end() const { return end_; }

    std::optional<std::uint8_t> byte(std::uint64_t at);
    std::optional<Bytes> bytes(std::uint64_t at, std::int64_t count);
    std::optional<std::uint16_t> u16be(std::uint64_t at);
    std::optional<std::uint16_t> u16le(std::uint64_t at);
    std::optional<std::uint32_t> u32be(std::uint64_t at);
    std::optional<std::uint32_t> u32le(std::uint64_t at);
    std::optional<std::uint64_t> u64be(std::uint64_t at);
    std::optional<std::uint64_t> u64le(std::uint64_t at);

    // A view of count window bytes at the offset, valid until the next call on this window.
    std::optional<ByteSpan> view(std::uint64_t at, std::int64_t count);
    template <typename F>
    auto withBytes(std::uint64_t at, std::int64_t count, F&& f)
        -> std::optional<decltype(f(ByteSpan{}))> {
        auto span = view(at, count);
        if (!span) return std::nullopt;
        return f(*span);
    }

    std::optional<std::uint64_t> nextFF(std::uint64_t from);

    struct Match {
        std::size_t index = 0;
        std::uint64_t offset = 0;
    };
    // The earliest occurrence of any pattern wholly before the limit; ties go to the earlier one.
    std::optional<Match> findFirst(const std::vector<ByteSpan>& patterns, std::uint64_t from,
                                   std::optional<std::uint64_t> before = std::nullopt);

private:
    bool load(std::uint64_t offset);
    bool ensure(std::uint64_t offset, std::uint64_t count);
    bool refill(std::uint64_t offset, std::uint64_t count);
    std::uint64_t windowEnd() const { return windowStart_ + window_.size(); }

    const BlockReader& reader_;
    std::uint64_t end_;
    Bytes window_;
    std::uint64_t windowStart_ = 0;
    std::int64_t windowSize_;
};

} // namespace vellary
