#pragma once

#include "core/carve/FormatCarver.hpp"
#include "core/io/BlockReader.hpp"
#include "tests/support/Tools.hpp"

#include <cstdint>
#include <map>
#include <optional>
#include <string>
#include <vector>

namespace vellary::testing {

// Files for the carver tests: small builders for structures no tool here writes, and files made
// by real producers at test time.
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
    // Noise holding each file on a 512-byte boundary, its last sector's slack zeroed as on a
    // card, with a few sectors of noise between them; starts receives where each file begins.
    static Bytes scattered(const std::vector<const Bytes*>& files, unsigned seed,
                           std::vector<std::uint64_t>& starts);
    static Bytes join(std::initializer_list<Bytes> parts);
    static Bytes text(std::string_view text) { return Bytes(text.begin(), text.end()); }
    // The bytes with value written at offset, width bytes wide.
    static Bytes patched(Bytes bytes, std::size_t offset, std::uint64_t value, int width = 1,
                         bool little = true);
    static std::uint32_t crc32(ByteSpan bytes);

    // Carves the file at start; without a kind, the kind is sniffed there first and nothing is
    // carved when the sniff fails.
    static std::optional<Carved> carve(const FormatCarver& carver, const Bytes& source,
                                       std::uint64_t start = 0,
                                       std::optional<FileKind> kind = std::nullopt);

    // primary with an APP2 MPF index announcing secondary, which is appended right after it.
    static Bytes withMPF(const Bytes& primary, const Bytes& secondary);

    // Runs a shell command inside dir that should write name there; its bytes, or nothing when
    // the command fails or writes nothing.
    static std::optional<Bytes> produce(const TempDir& dir, const std::string& name,
                                        const std::string& command);
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

    // One table-driven carve: the bytes, and the size expected (none: not carved).
    struct Case {
        const char* name;
        Bytes data;
        std::optional<std::uint64_t> size;
        bool complete = true;
        std::uint64_t start = 0;
        std::optional<FileKind> kind = std::nullopt; // sniffed when absent
    };
    // kind: carve every row as that kind rather than sniffing (where the row names none).
    static void expectCases(const FormatCarver& carver, const std::vector<Case>& cases,
                            std::optional<FileKind> kind = std::nullopt);
};

// A large source held as a few byte runs over zeros.
class SparseReader : public BlockReader {
public:
    explicit SparseReader(std::uint64_t size) : size_(size) {}
    void place(std::uint64_t at, const Bytes& bytes) { runs_[at] = bytes; }
    std::uint64_t size() const override { return size_; }
    Bytes read(std::uint64_t offset, std::int64_t count) const override {
        if (offset >= size_ || count < 1) return {};
        const auto n = std::min<std::uint64_t>(static_cast<std::uint64_t>(count), size_ - offset);
        Bytes out(n, 0);
        for (const auto& [at, bytes] : runs_)
            for (std::uint64_t i = 0; i < bytes.size(); ++i)
                if (at + i >= offset && at + i < offset + n) out[at + i - offset] = bytes[i];
        return out;
    }

private:
    std::uint64_t size_;
    std::map<std::uint64_t, Bytes> runs_;
};

} // namespace vellary::testing
