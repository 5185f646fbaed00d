#pragma once

#include "core/io/BlockReader.hpp"

#include <cstdint>
#include <string>
#include <vector>

namespace vellary::testing {

// Builds a TIFF structure piece by piece: blobs and directories are appended in the order they
// are written, so children are written before the directories that point at them.
class TIFFBuilder {
public:
    struct Field {
        std::uint16_t tag = 0;
        std::uint16_t type = 0;
        std::uint32_t count = 0;
        Bytes data; // the value in the file's byte order, filled in by the builder
        std::vector<std::uint32_t> numbers;
        std::string text;
    };
    static Field shorts(std::uint16_t tag, std::vector<std::uint32_t> values);
    static Field longs(std::uint16_t tag, std::vector<std::uint32_t> values);
    static Field ascii(std::uint16_t tag, const std::string& text);
    // An UNDEFINED value stored elsewhere, at valueOffset.
    static Field opaque(std::uint16_t tag, std::uint32_t count, std::uint32_t valueOffset);
    static Field bytes(std::uint16_t tag, const Bytes& data);

    // headerSize leaves room after the 8-byte header (CR2 puts 8 more bytes there).
    explicit TIFFBuilder(bool little, std::uint16_t magic = 42, std::size_t headerSize = 8);

    std::uint32_t blob(const Bytes& data);
    std::uint32_t directory(const std::vector<Field>& fields, std::uint32_t next = 0);
    void setFirst(std::uint32_t offset);
    void setNext(std::uint32_t directory, std::uint32_t next);
    void put32(std::size_t at, std::uint32_t value);
    std::uint32_t size() const { return static_cast<std::uint32_t>(data_.size()); }
    const Bytes& data() const { return data_; }

private:
    void put16(std::size_t at, std::uint16_t value);
    Bytes encode(const Field& field) const;

    Bytes data_;
    bool little_;
};

} // namespace vellary::testing
