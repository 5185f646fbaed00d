#pragma once

#include "core/records/Bytes.hpp"
#include "core/records/Date.hpp"

#include <cstdint>
#include <cstring>
#include <optional>
#include <span>

namespace vellary {

// Integer and timestamp decoding from byte buffers. Every checked read yields nothing rather than
// reading past the buffer.
struct Binary {
    static std::optional<std::uint8_t> u8(ByteSpan data, std::int64_t pos) {
        if (!fits(data, pos, 1)) return std::nullopt;
        return data[static_cast<std::size_t>(pos)];
    }
    static std::optional<std::uint16_t> u16le(ByteSpan data, std::int64_t pos) {
        if (!fits(data, pos, 2)) return std::nullopt;
        return static_cast<std::uint16_t>(le(data.data() + pos, 2));
    }
    static std::optional<std::uint32_t> u32le(ByteSpan data, std::int64_t pos) {
        if (!fits(data, pos, 4)) return std::nullopt;
        return static_cast<std::uint32_t>(le(data.data() + pos, 4));
    }
    static std::optional<std::uint64_t> u64le(ByteSpan data, std::int64_t pos) {
        if (!fits(data, pos, 8)) return std::nullopt;
        return le(data.data() + pos, 8);
    }
    static std::optional<std::uint16_t> u16be(ByteSpan data, std::int64_t pos) {
        if (!fits(data, pos, 2)) return std::nullopt;
        return static_cast<std::uint16_t>(be(data.data() + pos, 2));
    }
    static std::optional<std::uint32_t> u32be(ByteSpan data, std::int64_t pos) {
        if (!fits(data, pos, 4)) return std::nullopt;
        return static_cast<std::uint32_t>(be(data.data() + pos, 4));
    }
    static std::optional<std::uint64_t> u64be(ByteSpan data, std::int64_t pos) {
        if (!fits(data, pos, 8)) return std::nullopt;
        return be(data.data() + pos, 8);
    }

    // Unchecked companions for callers that have already checked the bounds.
    static std::uint32_t rawU32le(const std::uint8_t* p) {
        return static_cast<std::uint32_t>(le(p, 4));
    }
    static std::uint32_t rawU32be(const std::uint8_t* p) {
        return static_cast<std::uint32_t>(be(p, 4));
    }
    static std::uint16_t rawU16le(const std::uint8_t* p) {
        return static_cast<std::uint16_t>(le(p, 2));
    }
    static std::uint16_t rawU16be(const std::uint8_t* p) {
        return static_cast<std::uint16_t>(be(p, 2));
    }
    static std::uint64_t rawU64le(const std::uint8_t* p) { return le(p, 8); }
    static std::uint64_t rawU64be(const std::uint8_t* p) { return be(p, 8); }

    static bool fits(ByteSpan data, std::int64_t pos, std::int64_t width) {
        return pos >= 0 && width >= 0 && static_cast<std::uint64_t>(pos) <= data.size() &&
               static_cast<std::uint64_t>(width) <= data.size() - static_cast<std::uint64_t>(pos);
    }

    // FAT date and time fields, local time.
    static std::optional<Date> fatDate(std::uint16_t time, std::uint16_t date);
    // One 32-bit exFAT timestamp, local time.
    static std::optional<Date> exfatDate(std::uint32_t stamp);
    // Windows file time: 100-ns intervals since 1601-01-01 UTC, accepted from 1980 up to 2100.
    static std::optional<Date> fileTimeDate(std::uint64_t value);
    // A calendar date and wall-clock time in the local time zone; nothing for impossible dates.
    static std::optional<Date> localDate(int year, int month, int day, int hour, int minute,
                                         int second);

private:
    static std::uint64_t le(const std::uint8_t* p, int n) {
        std::uint64_t v = 0;
        for (int i = n - 1; i >= 0; --i)
            v = (v << 8) | p[i];
        return v;
    }
    static std::uint64_t be(const std::uint8_t* p, int n) {
        std::uint64_t v = 0;
        for (int i = 0; i < n; ++i)
            v = (v << 8) | p[i];
        return v;
    }
};

} // namespace vellary
