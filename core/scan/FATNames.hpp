#pragma once

#include "core/io/Binary.hpp"

#include <array>
#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <vector>

namespace vellary {

// Names of FAT directory entries: 8.3 short names and the long-name entries before them.
struct FATNames {
    using Entry = std::array<std::uint8_t, 32>;
    // A long name is at most 255 units, so 20 entries; older pending entries are stale.
    static constexpr std::size_t kMaxLongEntries = 20;

    // The 13 UTF-16 units of one long-name entry.
    static std::array<std::uint16_t, 13> lfnUnits(const Entry& entry);
    // The name spelled by long-name entries in disk order, if their checksum matches the short
    // entry for some first byte (deletion destroys the real one).
    static std::optional<std::string> longName(std::span<const Entry> entries, ByteSpan shortEntry);
    // longName of the list, then of ever shorter tails of it.
    static std::optional<std::string> bestLongName(std::span<const Entry> entries,
                                                   ByteSpan shortEntry);
    static std::string shortName(ByteSpan entry);
    // Bytes without NULs and spaces as ASCII, or "FILE" when any is not ASCII.
    static std::string ascii(ByteSpan bytes);
    static std::string join(const std::string& directory, const std::string& name);
};

} // namespace vellary
