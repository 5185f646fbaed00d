#include "core/carve/TIFFBytes.hpp"

#include "core/records/TextDecode.hpp"

#include <string_view>

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

// White space and line breaks in the Unicode sense, as UTF-8.
constexpr std::string_view kSpaces[] = {
    "\t",     "\n",     "\v",     "\f",     "\r",     " ",      "\u0085", "\u00A0", "\u1680",
    "\u2000", "\u2001", "\u2002", "\u2003", "\u2004", "\u2005", "\u2006", "\u2007", "\u2008",
    "\u2009", "\u200A", "\u2028", "\u2029", "\u202F", "\u205F", "\u3000"};

std::string_view trimmed(std::string_view text) {
    for (bool cut = true; cut && !text.empty();) {
        cut = false;
        for (const auto space : kSpaces) {
            if (text.starts_with(space)) {
                text.remove_prefix(space.size());
                cut = true;
            }
            if (text.ends_with(space)) {
                text.remove_suffix(space.size());
                cut = true;
            }
        }
    }
    return text;
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
    const auto text8 = TextDecode::utf8Repaired(text);
    const auto kept = trimmed(text8);
    if (kept.empty()) return std::nullopt;
    return std::string(kept);
}

} // namespace vellary
