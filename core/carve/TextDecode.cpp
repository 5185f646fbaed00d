#include "core/carve/TextDecode.hpp"

namespace vellary {
namespace {

constexpr std::uint32_t kReplacement = 0xFFFD;

// Length of the valid UTF-8 sequence at i and its scalar, or 0 when the bytes there are invalid.
std::size_t sequence(ByteSpan s, std::size_t i, std::uint32_t& scalar) {
    const std::uint8_t b = s[i];
    if (b < 0x80) {
        scalar = b;
        return 1;
    }
    std::size_t len = 0;
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

} // namespace

void TextDecode::appendScalar(std::string& out, std::uint32_t c) {
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

std::string TextDecode::utf8Repaired(ByteSpan bytes) {
    std::string out;
    out.reserve(bytes.size());
    for (std::size_t i = 0; i < bytes.size();) {
        std::uint32_t scalar = 0;
        const auto len = sequence(bytes, i, scalar);
        if (len == 0) {
            appendScalar(out, kReplacement);
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
        std::uint32_t scalar = 0;
        const auto len = sequence(bytes, i, scalar);
        if (len == 0) return std::nullopt;
        i += len;
    }
    return std::string(reinterpret_cast<const char*>(bytes.data()), bytes.size());
}

std::string TextDecode::latin1(ByteSpan bytes) {
    std::string out;
    out.reserve(bytes.size());
    for (const auto b : bytes)
        appendScalar(out, b);
    return out;
}

std::optional<std::string> TextDecode::utf16(ByteSpan bytes, bool bigEndian) {
    if (bytes.size() % 2 != 0) return std::nullopt;
    std::string out;
    out.reserve(bytes.size());
    const auto unit = [&](std::size_t i) -> std::uint32_t {
        return bigEndian ? Binary::rawU16be(bytes.data() + i) : Binary::rawU16le(bytes.data() + i);
    };
    for (std::size_t i = 0; i < bytes.size(); i += 2) {
        const std::uint32_t u = unit(i);
        if (u >= 0xDC00 && u <= 0xDFFF) return std::nullopt;
        if (u >= 0xD800 && u <= 0xDBFF) {
            if (i + 2 >= bytes.size()) return std::nullopt;
            const std::uint32_t low = unit(i + 2);
            if (low < 0xDC00 || low > 0xDFFF) return std::nullopt;
            appendScalar(out, 0x10000 + ((u - 0xD800) << 10) + (low - 0xDC00));
            i += 2;
        } else {
            appendScalar(out, u);
        }
    }
    return out;
}

} // namespace vellary
