#pragma once

#include "core/io/Binary.hpp"
#include "core/io/BlockReader.hpp"

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace vellary {

// A TIFF structure held in memory: offset 0 is the "II" or "MM" header. Every read is
// bounds-checked and yields nothing past the data.
class TIFFBytes {
public:
    // One 12-byte directory entry.
    struct Entry {
        std::uint16_t tag = 0;
        std::uint16_t type = 0;
        std::uint32_t count = 0;
        std::uint32_t valueOffset = 0;  // the last four bytes in the header's byte order
        std::int64_t fieldPosition = 0; // where those four bytes lie in data
    };

    // Nothing for fewer than 8 bytes or a header that is neither "II" nor "MM".
    static std::optional<TIFFBytes> make(ByteSpan data);
    static std::optional<TIFFBytes> make(Bytes&& data);

    const Bytes& data() const { return data_; }
    bool little() const { return little_; }

    std::optional<std::uint16_t> u16(std::int64_t at) const;
    std::optional<std::uint32_t> u32(std::int64_t at) const;
    // The offset of the first directory (the 32-bit value at 4).
    std::uint32_t firstDirectory() const { return *u32(4); }

    // The entries of the directory at ifd; empty when it is unreadable or holds 0 or over 999.
    std::vector<Entry> entries(std::int64_t ifd) const;
    // The first entry with the tag.
    static std::optional<Entry> find(const std::vector<Entry>& entries, std::uint16_t tag);
    // An ASCII (type 2) value up to its first zero byte, trimmed; nothing when empty.
    std::optional<std::string> string(const Entry& entry) const;

private:
    TIFFBytes(Bytes data, bool little) : data_(std::move(data)), little_(little) {}

    Bytes data_;
    bool little_ = true;
};

} // namespace vellary
