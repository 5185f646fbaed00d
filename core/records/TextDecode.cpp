#include "core/records/TextDecode.hpp"

#include <algorithm>

namespace vellary {
namespace {

constexpr char32_t kReplacement = 0xFFFD;

char32_t u16le(const std::uint8_t* at) {
    return static_cast<char32_t>(at[0] | (at[1] << 8));
}
char32_t u16be(const std::uint8_t* at) {
    return static_cast<char32_t>((at[0] << 8) | at[1]);
}

bool isHigh(char32_t u) {
    return u >= 0xD800 && u <= 0xDBFF;
}

bool isLow(char32_t u) {
    return u >= 0xDC00 && u <= 0xDFFF;
}

// Appends count units read by unitAt; an unpaired surrogate fails the whole text when strict and
// becomes U+FFFD otherwise.
template <typename UnitAt>
bool appendUnits(std::string& out, std::size_t count, UnitAt unitAt, bool strict, bool stopAtZero) {
    out.reserve(count);
    for (std::size_t i = 0; i < count; ++i) {
        const char32_t unit = unitAt(i);
        if (unit == 0 && stopAtZero) break;
        if (isHigh(unit) && i + 1 < count) {
            const char32_t low = unitAt(i + 1);
            if (isLow(low)) {
                TextDecode::appendUTF8(out, 0x10000 + ((unit - 0xD800) << 10) + (low - 0xDC00));
                ++i;
                continue;
            }
        }
        if (isHigh(unit) || isLow(unit)) {
            if (strict) return false;
            TextDecode::appendUTF8(out, kReplacement);
        } else {
            TextDecode::appendUTF8(out, unit);
        }
    }
    return true;
}

// Length of the valid UTF-8 sequence at i, or 0 when the bytes there are invalid.
std::size_t sequence(ByteSpan s, std::size_t i) {
    const std::uint8_t b = s[i];
    if (b < 0x80) return 1;
    std::size_t len = 0;
    std::uint32_t scalar = 0;
    std::uint32_t min = 0;
    if ((b & 0xE0) == 0xC0) {
        len = 2, scalar = b & 0x1F, min = 0x80;
    } else if ((b & 0xF0) == 0xE0) {
        len = 3, scalar = b & 0x0F, min = 0x800;
    } else if ((b & 0xF8) == 0xF0) {
        len = 4, scalar = b & 0x07, min = 0x10000;
    } else {
        return 0;
    }
    if (s.size() - i < len) return 0;
    for (std::size_t k = 1; k < len; ++k) {
        if ((s[i + k] & 0xC0) != 0x80) return 0;
        scalar = (scalar << 6) | (s[i + k] & 0x3F);
    }
    if (scalar < min || scalar > 0x10FFFF || (scalar >= 0xD800 && scalar <= 0xDFFF)) return 0;
    return len;
}

bool isSpace(unsigned char c) {
    return c == ' ' || (c >= '\t' && c <= '\r');
}

} // namespace

void TextDecode::appendUTF8(std::string& out, char32_t c) {
    if (c < 0x80) {
        out += static_cast<char>(c);
    } else if (c < 0x800) {
        out += static_cast<char>(0xC0 | (c >> 6));
        out += static_cast<char>(0x80 | (c & 0x3F));
    } else if (c < 0x10000) {
        out += static_cast<char>(0xE0 | (c >> 12));
        out += static_cast<char>(0x80 | ((c >> 6) & 0x3F));
        out += static_cast<char>(0x80 | (c & 0x3F));
    } else {
        out += static_cast<char>(0xF0 | (c >> 18));
        out += static_cast<char>(0x80 | ((c >> 12) & 0x3F));
        out += static_cast<char>(0x80 | ((c >> 6) & 0x3F));
        out += static_cast<char>(0x80 | (c & 0x3F));
    }
}

std::string TextDecode::utf16(std::span<const std::uint16_t> units) {
    std::string out;
    appendUnits(
        out, units.size(), [&](std::size_t i) -> char32_t { return units[i]; }, false, false);
    return out;
}

std::string TextDecode::utf16LE(ByteSpan data, std::size_t maxUnits, bool stopAtZero) {
    const std::size_t count = std::min(maxUnits, data.size() / 2);
    std::string out;
    appendUnits(
        out, count, [&](std::size_t i) -> char32_t { return u16le(data.data() + 2 * i); }, false,
        stopAtZero);
    return out;
}

std::optional<std::string> TextDecode::utf16Strict(ByteSpan bytes, bool bigEndian) {
    if (bytes.size() % 2 != 0) return std::nullopt;
    const auto unitAt = [&](std::size_t i) -> char32_t {
        const auto* at = bytes.data() + 2 * i;
        return bigEndian ? u16be(at) : u16le(at);
    };
    std::string out;
    if (!appendUnits(out, bytes.size() / 2, unitAt, true, false)) return std::nullopt;
    return out;
}

std::string TextDecode::utf8Repaired(ByteSpan bytes) {
    std::string out;
    out.reserve(bytes.size());
    for (std::size_t i = 0; i < bytes.size();) {
        const auto len = sequence(bytes, i);
        if (len == 0) {
            appendUTF8(out, kReplacement);
            ++i;
        } else {
            out.append(reinterpret_cast<const char*>(bytes.data() + i), len);
            i += len;
        }
    }
    return out;
}

std::optional<std::string> TextDecode::utf8Strict(ByteSpan bytes) {
    for (std::size_t i = 0; i < bytes.size();) {
        const auto len = sequence(bytes, i);
        if (len == 0) return std::nullopt;
        i += len;
    }
    return std::string(reinterpret_cast<const char*>(bytes.data()), bytes.size());
}

std::string TextDecode::latin1(ByteSpan bytes) {
    std::string out;
    out.reserve(bytes.size());
    for (const auto b : bytes)
        appendUTF8(out, b);
    return out;
}

std::string TextDecode::trimmed(std::string_view text) {
    std::size_t begin = 0;
    std::size_t end = text.size();
    while (begin < end && isSpace(static_cast<unsigned char>(text[begin])))
        ++begin;
    while (end > begin && isSpace(static_cast<unsigned char>(text[end - 1])))
        --end;
    return std::string(text.substr(begin, end - begin));
}

} // namespace vellary
