#include "core/scan/RecycleBin.hpp"

#include "core/records/TextDecode.hpp"

#include <algorithm>
#include <vector>

namespace vellary {
namespace {

constexpr std::int64_t kVersionOffset = 0; // u64: 1 or 2
constexpr std::int64_t kV1Path = 24;       // UTF-16LE, at most 260 units
constexpr std::size_t kV1MaxUnits = 260;
constexpr std::int64_t kV2Length = 24; // u32, units
constexpr std::int64_t kV2Path = 28;
constexpr std::uint32_t kV2MaxUnits = 32768;

std::size_t codePoints(std::string_view text) {
    return static_cast<std::size_t>(
        std::count_if(text.begin(), text.end(), [](char c) { return (c & 0xC0) != 0x80; }));
}

} // namespace

std::optional<std::string> RecycleBin::originalPath(ByteSpan data) {
    const auto version = Binary::u64le(data, kVersionOffset);
    if (!version || (*version != 1 && *version != 2)) return std::nullopt;
    std::int64_t start = kV1Path;
    std::size_t bound = kV1MaxUnits;
    if (*version == 2) {
        const auto length = Binary::u32le(data, kV2Length);
        if (!length) return std::nullopt;
        start = kV2Path;
        bound = std::min(*length, kV2MaxUnits);
    }
    if (static_cast<std::size_t>(start) > data.size()) return std::nullopt;
    const std::string text =
        TextDecode::utf16LE(data.subspan(static_cast<std::size_t>(start)), bound, true);
    if (text.empty()) return std::nullopt;

    std::vector<std::string_view> parts;
    std::string_view rest(text);
    while (!rest.empty()) {
        const auto cut = rest.find_first_of("\\/");
        const auto part = rest.substr(0, cut);
        if (!part.empty() && part != "." && part != ".." && part != "?") parts.push_back(part);
        if (cut == std::string_view::npos) break;
        rest.remove_prefix(cut + 1);
    }
    if (!parts.empty() && codePoints(parts.front()) == 2 && parts.front().back() == ':')
        parts.erase(parts.begin());
    if (parts.empty()) return std::nullopt;
    std::string path;
    for (const auto part : parts) {
        if (!path.empty()) path += '/';
        path += part;
    }
    return path;
}

} // namespace vellary
