#include "core/scan/FATNames.hpp"

#include "core/records/TextDecode.hpp"

#include <algorithm>
#include <cstring>
#include <string_view>

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

// The first byte of the short name made from a long name starting with unit: upper-cased, "_" for
// characters a short name may not hold; nothing for characters outside ASCII (a code page decides).
std::optional<std::uint8_t> shortInitial(std::uint16_t unit) {
    if (unit >= 0x80) return std::nullopt;
    if (unit >= 'a' && unit <= 'z') return static_cast<std::uint8_t>(unit - 'a' + 'A');
    if (unit < 0x20 ||
        std::string_view("+,;=[]").find(static_cast<char>(unit)) != std::string_view::npos)
        return '_';
    return static_cast<std::uint8_t>(unit);
}

// Camera file-name prefixes as a deletion leaves them (first letter gone), with the letter.
struct Prefix {
    const char* rest;
    char letter;
};
constexpr std::array<Prefix, 9> kCameraPrefixes = {{{"MG_", 'I'},
                                                    {"VI_", 'M'},
                                                    {"SC_", 'D'},
                                                    {"SC0", 'D'},
                                                    {"OPR", 'G'},
                                                    {"H0", 'G'},
                                                    {"X0", 'G'},
                                                    {"JI_", 'D'},
                                                    {"XL_", 'P'}}};

bool isDigit(std::uint8_t b) {
    return b >= '0' && b <= '9';
}

// A short name after its first byte, with the base's digits made alike: names of one camera
// series share it.
std::string shape(ByteSpan name11) {
    std::string key(name11.begin() + 1, name11.begin() + 11);
    for (std::size_t i = 0; i < 7; ++i)
        if (isDigit(static_cast<std::uint8_t>(key[i]))) key[i] = '#';
    return key;
}

} // namespace

void FATNames::LetterVotes::add(ByteSpan name) {
    if (name.size() < 11 || name[0] == 0xE5 || name[0] == 0x05 || name[0] == 0x00) return;
    const auto [it, fresh] = votes_.emplace(shape(name), name[0]);
    if (!fresh && it->second != name[0]) it->second = kSplit;
}

std::optional<char> FATNames::LetterVotes::letterFor(ByteSpan deleted) const {
    if (deleted.size() < 11 || deleted[0] != 0xE5) return std::nullopt;
    if (const auto it = votes_.find(shape(deleted)); it != votes_.end()) {
        if (it->second < 0x21 || it->second >= 0x80) return std::nullopt; // split, or not a letter
        return static_cast<char>(it->second);
    }
    // A camera name: the prefix, then digits to the end of the 8-character base.
    for (const auto& prefix : kCameraPrefixes) {
        const std::string_view rest(prefix.rest);
        if (std::memcmp(deleted.data() + 1, rest.data(), rest.size()) != 0) continue;
        if (deleted[8] == ' ' ||
            !std::all_of(deleted.begin() + 1 + static_cast<std::ptrdiff_t>(rest.size()),
                         deleted.begin() + 8, isDigit))
            continue;
        return prefix.letter;
    }
    return std::nullopt;
}

std::optional<char> FATNames::lostLetter(ByteSpan deleted, std::span<const ByteSpan> siblings) {
    LetterVotes votes;
    for (const auto& name : siblings)
        votes.add(name);
    return votes.letterFor(deleted);
}

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
    // Every checksum is reached by exactly one first byte, so the byte must also be the one the
    // name's own first character gives; otherwise these entries belong to another short name.
    const auto initial = std::find_if(units.begin(), units.end(),
                                      [](std::uint16_t u) { return u != '.' && u != ' '; });
    const std::uint8_t first = shortEntry[0];
    const bool deleted = first == 0xE5;
    const auto expected = initial == units.end() ? std::nullopt : shortInitial(*initial);
    if (deleted && expected) {
        if (checksum(shortEntry, *expected) != stored) return std::nullopt;
    } else if (!deleted && checksum(shortEntry, first == 0x05 ? 0xE5 : first) != stored) {
        return std::nullopt;
    }
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
