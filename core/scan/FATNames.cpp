#include "core/scan/FATNames.hpp"

#include "core/records/TextDecode.hpp"

namespace vellary {
namespace {

constexpr std::uint8_t kLongNameAttributes = 0x0F;
constexpr std::size_t kAttributesOffset = 11;
constexpr std::size_t kChecksumOffset = 13;
constexpr std::array<std::size_t, 13> kUnitOffsets = {1,  3,  5,  7,  9,  14, 16,
                                                      18, 20, 22, 24, 28, 30};

std::uint8_t checksum(ByteSpan shortEntry, std::uint8_t first) {
    std::uint8_t s = 0;
    for (std::size_t i = 0; i < 11; ++i) {
        const std::uint8_t byte = i == 0 ? first : shortEntry[i];
        s = static_cast<std::uint8_t>(((s >> 1) | (s << 7)) + byte);
    }
    return s;
}

} // namespace

std::array<std::uint16_t, 13> FATNames::lfnUnits(const Entry& entry) {
    std::array<std::uint16_t, 13> units{};
    for (std::size_t i = 0; i < units.size(); ++i)
        units[i] =
            static_cast<std::uint16_t>(entry[kUnitOffsets[i]] | (entry[kUnitOffsets[i] + 1] << 8));
    return units;
}

std::optional<std::string> FATNames::longName(std::span<const Entry> entries, ByteSpan shortEntry) {
    if (entries.empty() || shortEntry.size() < 11) return std::nullopt;
    const std::uint8_t stored = entries.back()[kChecksumOffset];
    for (const auto& e : entries)
        if (e[kAttributesOffset] != kLongNameAttributes || e[kChecksumOffset] != stored)
            return std::nullopt;
    bool matches = false;
    for (int b = 0; b < 256 && !matches; ++b)
        matches = checksum(shortEntry, static_cast<std::uint8_t>(b)) == stored;
    if (!matches) return std::nullopt;

    std::vector<std::uint16_t> units;
    bool ended = false;
    for (auto it = entries.rbegin(); it != entries.rend() && !ended; ++it)
        for (const auto u : lfnUnits(*it)) {
            if (u == 0x0000) {
                ended = true;
                break;
            }
            if (u != 0xFFFF) units.push_back(u);
        }
    if (units.empty()) return std::nullopt;
    return TextDecode::utf16(units);
}

std::optional<std::string> FATNames::bestLongName(std::span<const Entry> entries,
                                                  ByteSpan shortEntry) {
    for (std::size_t skip = 0; skip < entries.size(); ++skip)
        if (auto name = longName(entries.subspan(skip), shortEntry)) return name;
    return std::nullopt;
}

std::string FATNames::ascii(ByteSpan bytes) {
    std::string out;
    for (const auto b : bytes) {
        if (b == 0x00 || b == 0x20) continue;
        if (b >= 0x80) return "FILE";
        out += static_cast<char>(b);
    }
    return out;
}

std::string FATNames::shortName(ByteSpan entry) {
    if (entry.size() < 11) return "FILE";
    std::array<std::uint8_t, 11> raw{};
    std::copy(entry.begin(), entry.begin() + 11, raw.begin());
    if (raw[0] == 0x05)
        raw[0] = 0xE5;
    else if (raw[0] == 0xE5)
        raw[0] = '_';
    const std::string base = ascii(ByteSpan(raw.data(), 8));
    const std::string ext = ascii(ByteSpan(raw.data() + 8, 3));
    if (!ext.empty()) return base + "." + ext;
    return base.empty() ? "FILE" : base;
}

std::string FATNames::join(const std::string& directory, const std::string& name) {
    if (name.empty() || name == "." || name == "..") return directory;
    if (directory.empty()) return name;
    return directory + "/" + name;
}

} // namespace vellary
