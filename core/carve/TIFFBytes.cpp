#include "core/carve/TIFFBytes.hpp"

namespace vellary {
namespace {

constexpr std::int64_t kEntrySize = 12;
constexpr std::uint16_t kMaxEntries = 999;
constexpr std::uint16_t kASCII = 2;

bool headerOrder(ByteSpan data, bool& little) {
    if (data.size() < 8) return false;
    if (data[0] == 'I' && data[1] == 'I')
        little = true;
    else if (data[0] == 'M' && data[1] == 'M')
        little = false;
    else
        return false;
    return true;
}

bool whiteSpace(char32_t c) {
    return (c >= 0x09 && c <= 0x0D) || c == 0x20 || c == 0x85 || c == 0xA0 || c == 0x1680 ||
           (c >= 0x2000 && c <= 0x200A) || c == 0x2028 || c == 0x2029 || c == 0x202F ||
           c == 0x205F || c == 0x3000;
}

void appendUTF8(std::string& out, char32_t c) {
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

// Decodes UTF-8, replacing each maximal invalid subpart with U+FFFD.
std::u32string decodeUTF8(ByteSpan bytes) {
    std::u32string out;
    std::size_t i = 0;
    while (i < bytes.size()) {
        const std::uint8_t b = bytes[i];
        if (b < 0x80) {
            out += b;
            ++i;
            continue;
        }
        int need = 0;
        char32_t c = 0;
        std::uint8_t lo = 0x80, hi = 0xBF;
        if (b >= 0xC2 && b <= 0xDF) {
            need = 1;
            c = b & 0x1F;
        } else if (b >= 0xE0 && b <= 0xEF) {
            need = 2;
            c = b & 0x0F;
            if (b == 0xE0) lo = 0xA0;
            if (b == 0xED) hi = 0x9F;
        } else if (b >= 0xF0 && b <= 0xF4) {
            need = 3;
            c = b & 0x07;
            if (b == 0xF0) lo = 0x90;
            if (b == 0xF4) hi = 0x8F;
        } else {
            out += U'\uFFFD';
            ++i;
            continue;
        }
        std::size_t j = i + 1;
        bool ok = true;
        for (int k = 0; k < need; ++k, ++j) {
            if (j >= bytes.size() || bytes[j] < lo || bytes[j] > hi) {
                ok = false;
                break;
            }
            c = (c << 6) | (bytes[j] & 0x3F);
            lo = 0x80;
            hi = 0xBF;
        }
        out += ok ? c : U'\uFFFD';
        i = j;
    }
    return out;
}

} // namespace

std::optional<TIFFBytes> TIFFBytes::make(ByteSpan data) {
    bool little = true;
    if (!headerOrder(data, little)) return std::nullopt;
    return TIFFBytes(Bytes(data.begin(), data.end()), little);
}

std::optional<TIFFBytes> TIFFBytes::make(Bytes&& data) {
    bool little = true;
    if (!headerOrder(data, little)) return std::nullopt;
    return TIFFBytes(std::move(data), little);
}

std::optional<std::uint16_t> TIFFBytes::u16(std::int64_t at) const {
    return little_ ? Binary::u16le(data_, at) : Binary::u16be(data_, at);
}

std::optional<std::uint32_t> TIFFBytes::u32(std::int64_t at) const {
    return little_ ? Binary::u32le(data_, at) : Binary::u32be(data_, at);
}

std::vector<TIFFBytes::Entry> TIFFBytes::entries(std::int64_t ifd) const {
    std::vector<Entry> list;
    if (ifd < 0) return list;
    const auto count = u16(ifd);
    if (!count || *count < 1 || *count > kMaxEntries) return list;
    list.reserve(*count);
    for (std::int64_t i = 0; i < *count; ++i) {
        const std::int64_t at = ifd + 2 + i * kEntrySize;
        if (!Binary::fits(data_, at, kEntrySize)) break;
        list.push_back({*u16(at), *u16(at + 2), *u32(at + 4), *u32(at + 8), at + 8});
    }
    return list;
}

std::optional<TIFFBytes::Entry> TIFFBytes::find(const std::vector<Entry>& entries,
                                                std::uint16_t tag) {
    for (const auto& entry : entries)
        if (entry.tag == tag) return entry;
    return std::nullopt;
}

std::optional<std::string> TIFFBytes::string(const Entry& entry) const {
    if (entry.type != kASCII || entry.count < 1) return std::nullopt;
    const std::int64_t at = entry.count <= 4 ? entry.fieldPosition : entry.valueOffset;
    if (!Binary::fits(data_, at, entry.count)) return std::nullopt;
    ByteSpan text(data_.data() + at, entry.count);
    for (std::size_t i = 0; i < text.size(); ++i) {
        if (text[i] == 0) {
            text = text.first(i);
            break;
        }
    }
    const auto chars = decodeUTF8(text);
    std::size_t first = 0, last = chars.size();
    while (first < last && whiteSpace(chars[first]))
        ++first;
    while (last > first && whiteSpace(chars[last - 1]))
        --last;
    if (first == last) return std::nullopt;
    std::string out;
    for (std::size_t i = first; i < last; ++i)
        appendUTF8(out, chars[i]);
    return out;
}

} // namespace vellary
