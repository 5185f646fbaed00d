#pragma once

#include "core/io/BlockReader.hpp"
#include "core/records/ByteRange.hpp"
#include "tests/support/TIFFBuilder.hpp"

#include <cstdint>
#include <vector>

namespace vellary::testing {

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
    static Raw orf();
    static Raw pef();
    static Raw srw();
    // RW2 whose sensor data is width × height 12-bit pixels packed 14 to 16 bytes, at rawStart;
    // with a byte count when recorded is true. The data holds no zero sector.
    static Raw rw2(std::uint32_t width, std::uint32_t height, std::uint32_t rawStart,
                   bool recorded);
    // A Fujifilm RAF around a JPEG preview.
    static Raw raf(const Bytes& preview, std::uint32_t cfaLength);

    // A fake JPEG preview of the given size (SOI ... EOI).
    static Bytes preview(std::size_t size);
    // Sensor data without zero sectors.
    static Bytes sensor(std::size_t size, unsigned seed);
};

} // namespace vellary::testing
