#pragma once

#include "core/io/BlockReader.hpp"
#include "core/records/ByteRange.hpp"

#include <cstdint>
#include <map>
#include <optional>
#include <string>
#include <vector>

namespace vellary {

// Read access to one candidate TIFF-structured file; offsets are relative to its start.
struct TIFFSource {
    const BlockReader& reader;
    std::uint64_t start = 0;
    std::uint64_t limit = 0; // the most bytes the file may span
    Bytes header;            // the first bytes, read once
    bool little = true;

    // count bytes at offset, from the header when it covers them; nothing past limit.
    std::optional<Bytes> data(std::uint64_t offset, std::uint64_t count) const;
    std::optional<std::uint16_t> u16(const Bytes& data, std::size_t at) const;
    std::optional<std::uint32_t> u32(const Bytes& data, std::size_t at) const;
};

// One walk over a TIFF file's directories, collecting how far its data reaches.
struct TIFFWalk {
    struct Entry {
        std::uint16_t tag = 0;
        std::uint16_t type = 0;
        std::uint32_t count = 0;
        std::uint32_t value = 0;
        std::int64_t field = 0; // offset of the value field, relative to the start
    };

    explicit TIFFWalk(TIFFSource from) : source(std::move(from)) {}

    TIFFSource source;
    std::uint64_t maxEnd = 8;
    bool sawImageData = false;
    bool hasSensorData = false;
    bool isDNG = false;
    std::optional<std::string> make;
    std::vector<ByteRange> previews;
    std::map<std::uint16_t, std::uint64_t> panasonic;
    std::optional<std::uint64_t> rawDataStart;
    std::optional<std::uint64_t> rawDataLength;
    bool truncated = false;

    // Breadth-first over the directory tree; false when the first directory is unusable.
    bool run(std::uint64_t firstIFD);
    // Reads one directory; gives the offsets of the directories it points at.
    std::optional<std::vector<std::uint64_t>> directory(std::uint64_t offset, bool first);
    // The integer values of a SHORT, LONG or IFD entry.
    std::optional<std::vector<std::uint64_t>> values(const Entry& entry) const;
    std::optional<std::string> string(const Entry& entry) const;
    void panasonicFields(const std::vector<Entry>& entries);

private:
    bool isPanasonic() const;
    std::optional<std::uint64_t> firstValue(const std::vector<Entry>& entries,
                                            std::uint16_t tag) const;
};

} // namespace vellary
