#pragma once

#include "core/io/BlockReader.hpp"
#include "core/records/ByteRange.hpp"

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
        std::uint16_t type = 0; // 1 byte, 2 ASCII, 3 short, 4 long, 7 undefined
        std::uint32_t count = 0;
        Bytes data; // the value in the file's byte order, filled in by the builder when empty
        std::vector<std::uint32_t> numbers;
    };
    static Field shorts(std::uint16_t tag, std::vector<std::uint32_t> values) {
        return {tag, 3, static_cast<std::uint32_t>(values.size()), {}, std::move(values)};
    }
    static Field longs(std::uint16_t tag, std::vector<std::uint32_t> values) {
        return {tag, 4, static_cast<std::uint32_t>(values.size()), {}, std::move(values)};
    }
    static Field ascii(std::uint16_t tag, const std::string& text) {
        Bytes data(text.begin(), text.end());
        data.push_back(0);
        return {tag, 2, static_cast<std::uint32_t>(data.size()), data, {}};
    }
    // An UNDEFINED value stored elsewhere, at valueOffset.
    static Field opaque(std::uint16_t tag, std::uint32_t count, std::uint32_t valueOffset) {
        return {tag, 7, count, {}, {valueOffset}};
    }
    static Field bytes(std::uint16_t tag, const Bytes& data) {
        return {tag, 1, static_cast<std::uint32_t>(data.size()), data, {}};
    }

    // headerSize leaves room after the 8-byte header (CR2 puts 8 more bytes there).
    explicit TIFFBuilder(bool little, std::uint16_t magic = 42, std::size_t headerSize = 8);

    std::uint32_t blob(const Bytes& data);
    std::uint32_t directory(const std::vector<Field>& fields, std::uint32_t next = 0);
    void setFirst(std::uint32_t offset) { put(4, offset, 4); }
    void setNext(std::uint32_t directory, std::uint32_t next);
    void put(std::size_t at, std::uint32_t value, int width);
    const Bytes& data() const { return data_; }

private:
    Bytes data_;
    bool little_;
};

// Camera raw files laid out the way each maker writes them (header, directories, sub-directories,
// previews, sensor data), with a make, a model and an EXIF capture date of 2021:05:03 14:22:10.
struct RawFixtures {
    struct Raw {
        Bytes data;
        std::vector<ByteRange> previews;
    };
    static Raw cr2();
    static Raw nef(bool withMake = true);
    static Raw arw();
    static Raw dng();
    static Raw dng(const Bytes& preview);
    // A NEF with each of previews in a sub-directory of its own, in this order.
    static Raw nef(const std::vector<Bytes>& previews);
    static Raw orf();
    static Raw pef();
    static Raw srw();
    // RW2 whose sensor data is width × height 12-bit pixels packed 14 to 16 bytes, at rawStart;
    // with a byte count when recorded is true. The data holds no zero sector.
    static Raw rw2(std::uint32_t width, std::uint32_t height, std::uint32_t rawStart,
                   bool recorded);
    // A Fujifilm RAF around a JPEG preview.
    static Raw raf(const Bytes& preview, std::uint32_t cfaLength);

    // Sensor data without zero sectors.
    static Bytes sensor(std::size_t size, unsigned seed);
};

} // namespace vellary::testing
