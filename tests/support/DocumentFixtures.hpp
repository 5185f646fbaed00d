#pragma once

#include "core/carve/FormatCarver.hpp"
#include "core/io/BlockReader.hpp"
#include "tests/support/Tools.hpp"

#include <optional>
#include <string>
#include <vector>

namespace vellary::testing {

// Documents, archives and audio/video files for the carver tests: real producer output made at
// test time, and small builders for structures no tool here writes.
struct DocumentFixtures {
    // Runs a shell command inside dir that should write name there; its bytes, or nothing when
    // the command fails or writes nothing.
    static std::optional<Bytes> produce(const TempDir& dir, const std::string& name,
                                        const std::string& command);
    // LibreOffice converts source (written into dir with the given content) to format; nothing
    // when LibreOffice is missing or fails.
    static std::optional<Bytes> office(const TempDir& dir, const std::string& source,
                                       const std::string& content, const std::string& format);
    // A flat ODF presentation with one slide, for LibreOffice's presentation filters.
    static std::string slideDocument();

    struct Entry {
        std::string name;
        std::string data;
    };
    // A ZIP of stored entries, its central directory and end record with the comment.
    static Bytes storedZip(const std::vector<Entry>& entries, const std::string& comment = "");

    // A version-3 compound file (512-byte sectors) with the given stream names in its directory,
    // whose highest used sector is highestSector, and whose root entry carries the file time
    // rootTime. The FAT fills sectors 0 to fatSectors - 1; beyond 109 of them DIFAT sectors
    // follow; then the directory, then one stream over the remaining sectors.
    static Bytes compoundFile(const std::vector<std::string>& streams, std::uint32_t highestSector,
                              std::uint64_t rootTime = 0, std::uint32_t fatSectors = 1);

    static Bytes concat(std::initializer_list<const Bytes*> parts);
    static Bytes fromString(const std::string& text) { return Bytes(text.begin(), text.end()); }

    // Carves the file at start of the bytes.
    static std::optional<Carved> carve(const FormatCarver& carver, const Bytes& source,
                                       std::uint64_t start, FileKind kind);
    // Damage that must never crash a carver nor give a size past the source: the file cut at
    // many points, followed by random bytes, and with single bytes of its first 4 KiB changed.
    // Returns how many of the variants were carved.
    static int expectSafeOnDamage(const FormatCarver& carver, const Bytes& file, FileKind kind);
};

} // namespace vellary::testing
