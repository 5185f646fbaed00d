#pragma once

#include "core/io/BlockReader.hpp"
#include "tests/support/Tools.hpp"

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace vellary::testing {

// Byte structures for the carver tests: TIFF/EXIF blocks, JPEG segments, bitmaps, and JPEGs made
// by real encoders (cjpeg, exiftool) at test time.
struct CarveFixtures {
    struct Tag {
        std::uint16_t tag = 0;
        std::string ascii; // written as type 2 with its terminating zero
    };
    // A TIFF structure: one directory of ASCII tags, and an EXIF sub-directory when exifTags is
    // non-empty.
    static Bytes tiff(bool little, const std::vector<Tag>& tags,
                      const std::vector<Tag>& exifTags = {});
    // An APP1 EXIF segment (marker, length and payload).
    static Bytes exifSegment(const Bytes& tiffData);
    // One marker segment: FF, marker, big-endian length, payload.
    static Bytes segment(std::uint8_t marker, const Bytes& payload);

    struct JPEGParts {
        std::vector<Bytes> before; // segments between SOI and the frame header
        bool frame = true;         // an SOF0 segment
        Bytes entropy = {0x12, 0x34, 0xFF, 0x00, 0x56, 0xFF, 0xD3, 0x78};
        bool endMarker = true; // FF D9
        std::size_t padTo = 0; // grow the entropy data to this total size
    };
    // A syntactically complete JPEG (not decodable): SOI, segments, SOF0, DQT, SOS, data, EOI.
    static Bytes jpeg(const JPEGParts& parts);
    static Bytes jpeg() { return jpeg(JPEGParts{}); }
    // The same grown to a total size.
    static Bytes jpeg(std::size_t size) {
        JPEGParts parts;
        parts.padTo = size;
        return jpeg(parts);
    }

    // A bottom-up 24-bit bitmap with a 40-byte header, its declared size grown by slack.
    static Bytes bmp(std::int32_t width, std::int32_t height, std::uint32_t slack = 0);

    // Noise without FF bytes at 512-byte boundaries, so nothing starts there by accident.
    static Bytes noise(std::size_t count, unsigned seed);
    // Copies file into image at offset (the image grows as needed).
    static void place(Bytes& image, std::uint64_t offset, const Bytes& file);
    // Noise holding each file on a 512-byte boundary, with a few sectors of noise between them;
    // starts receives where each file begins.
    static Bytes scattered(const std::vector<const Bytes*>& files, unsigned seed,
                           std::vector<std::uint64_t>& starts);

    // A JPEG from cjpeg over a generated picture; nothing when cjpeg is missing or fails.
    static std::optional<Bytes> encoded(const TempDir& dir, int width, int height, bool progressive,
                                        unsigned seed);
    // The same after exiftool wrote the given tag assignments ("-Make=FUJIFILM").
    static std::optional<Bytes> tagged(const TempDir& dir, const Bytes& jpeg,
                                       const std::string& assignments);
    // primary with an APP2 MPF index announcing secondary, which is appended right after it.
    static Bytes withMPF(const Bytes& primary, const Bytes& secondary);
};

} // namespace vellary::testing
