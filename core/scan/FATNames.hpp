#pragma once

#include "core/io/Binary.hpp"

#include <array>
#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <unordered_map>
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
    // entry with the first byte that the name itself gives (deletion destroyed the stored one).
    static std::optional<std::string> longName(std::span<const Entry> entries, ByteSpan shortEntry);
    // longName of the list, then of ever shorter tails of it.
    static std::optional<std::string> bestLongName(std::span<const Entry> entries,
                                                   ByteSpan shortEntry);
    static std::string shortName(ByteSpan entry);
    // The first letter a deleted short name lost: the one its folder's other short names of the
    // same shape (same length and characters but for the digits) agree on, else the one a camera
    // prefix gives. Nothing when they disagree or say nothing. Each span holds an entry's first
    // 11 bytes; the deleted one starts with the deletion mark.
    static std::optional<char> lostLetter(ByteSpan deleted, std::span<const ByteSpan> siblings);

    // The first letters a folder's names show, by shape, so that each deleted name is judged
    // in constant time however large the folder.
    class LetterVotes {
    public:
        void add(ByteSpan name11);
        std::optional<char> letterFor(ByteSpan deleted) const;

    private:
        // Per shape: the one first byte seen, or kSplit when they differ.
        static constexpr int kSplit = -1;
        std::unordered_map<std::string, int> votes_;
    };
    // Bytes without NULs and spaces as ASCII, or "FILE" when any is not ASCII.
    static std::string ascii(ByteSpan bytes);
    static std::string join(const std::string& directory, const std::string& name);
};

} // namespace vellary
