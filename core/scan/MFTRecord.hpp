#pragma once

#include "core/io/Binary.hpp"
#include "core/io/BlockReader.hpp"
#include "core/records/Date.hpp"
#include "core/scan/NTFSRunList.hpp"
#include "core/scan/NTFSStream.hpp"

#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <vector>

namespace vellary {

// A half-open byte range [lower, upper) inside one record's bytes.
struct RecordRange {
    std::int64_t lower = 0;
    std::int64_t upper = 0;

    std::int64_t count() const { return upper - lower; }
    bool operator==(const RecordRange&) const = default;
};

// One $FILE_NAME attribute's value.
struct NTFSFileName {
    std::uint64_t parent = 0; // record number in the low 48 bits, sequence in the high 16
    std::string name;
    std::uint8_t nameSpace = 0; // 0 POSIX, 1 Win32, 2 DOS, 3 Win32-and-DOS
    std::optional<Date> modified;
};

// What deleted-file recovery needs from one MFT file record.
struct MFTRecord {
    std::uint16_t sequence = 0;
    bool inUse = false;
    bool isDirectory = false;
    std::uint64_t baseReference = 0; // nonzero for an extension record
    std::optional<NTFSFileName> fileName;
    std::optional<Date> modified;
    std::optional<RecordRange> residentData; // value of the unnamed resident $DATA
    std::vector<NTFSStream> dataStreams;     // extents of the unnamed non-resident $DATA
    bool hasAttributeList = false;
    std::vector<NTFSRun> allocated; // runs of every non-resident attribute, records in use only
    std::int64_t updateSequenceOffset = 0;
    std::int64_t updateSequenceCount = 0;

    struct Parsed;
    // Parses a copy of the record bytes; the copy, fixed up, travels with the record.
    [[nodiscard]] static std::optional<Parsed> parse(ByteSpan bytes);
    // Applies the fixups to bytes in place and parses them; the bytes are left changed even when
    // the parse yields nothing.
    [[nodiscard]] static std::optional<MFTRecord> parseInPlace(std::span<std::uint8_t> bytes);
    // Same, reusing the result's arrays; false when the record does not parse.
    static bool parseInPlace(std::span<std::uint8_t> bytes, MFTRecord& into);

    // Where the fixed-up bytes of range lie in the record as stored: the last two bytes of each
    // protected 512-byte stride live in the update sequence array.
    std::vector<RecordRange> storedPieces(RecordRange range) const;

    // The namespace rule: whether next replaces current as the record's name.
    static bool prefersName(const NTFSFileName& next, const std::optional<NTFSFileName>& current);
};

struct MFTRecord::Parsed {
    MFTRecord record;
    Bytes bytes;
};

} // namespace vellary
