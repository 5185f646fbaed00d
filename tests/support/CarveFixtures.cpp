#include "tests/support/CarveFixtures.hpp"

#include "tests/support/ByteWriters.hpp"
#include "tests/support/RawFixtures.hpp"

#include "core/io/DataBlockReader.hpp"

#include <gtest/gtest.h>
#include <zlib.h>

#include <filesystem>
#include <random>

namespace vellary::testing {
namespace {

void append(Bytes& b, const std::string& text) {
    b.insert(b.end(), text.begin(), text.end());
}

// Little-endian values, each as many bytes wide as its digit in widths.
void appendFields(Bytes& out, std::initializer_list<std::uint64_t> values,
                  std::string_view widths) {
    auto width = widths.begin();
    for (const auto value : values)
        appendLE(out, value, *width++ - '0');
}

} // namespace

Bytes CarveFixtures::tiff(bool little, const std::vector<Tag>& tags,
                          const std::vector<Tag>& exifTags) {
    TIFFBuilder b(little);
    const auto fields = [](const std::vector<Tag>& list) {
        std::vector<TIFFBuilder::Field> out;
        for (const auto& t : list)
            out.push_back(TIFFBuilder::ascii(t.tag, t.ascii));
        return out;
    };
    auto first = fields(tags);
    if (!exifTags.empty())
        first.push_back(TIFFBuilder::longs(0x8769, {b.directory(fields(exifTags))}));
    b.setFirst(b.directory(first));
    return b.data();
}

Bytes CarveFixtures::segment(std::uint8_t marker, const Bytes& payload) {
    Bytes out = {0xFF, marker};
    appendEndian(out, static_cast<std::uint16_t>(payload.size() + 2), 2, false);
    out.insert(out.end(), payload.begin(), payload.end());
    return out;
}

Bytes CarveFixtures::exifSegment(const Bytes& tiffData) {
    Bytes payload = {'E', 'x', 'i', 'f', 0, 0};
    payload.insert(payload.end(), tiffData.begin(), tiffData.end());
    return segment(0xE1, payload);
}

Bytes CarveFixtures::jpeg(const JPEGParts& parts) {
    Bytes out = {0xFF, 0xD8};
    for (const auto& s : parts.before)
        out.insert(out.end(), s.begin(), s.end());
    const auto add = [&](const Bytes& s) { out.insert(out.end(), s.begin(), s.end()); };
    add(segment(0xDB, Bytes(65, 1)));
    if (parts.frame) add(segment(0xC0, {8, 0, 16, 0, 16, 1, 1, 0x11, 0}));
    add(segment(0xDA, {1, 1, 0, 0, 63, 0}));
    add(parts.entropy);
    const std::size_t tail = parts.endMarker ? 2 : 0;
    while (out.size() + tail < parts.padTo)
        out.push_back(static_cast<std::uint8_t>(0x20 + out.size() % 64));
    if (parts.endMarker) add({0xFF, 0xD9});
    return out;
}

Bytes CarveFixtures::bmp(std::int32_t width, std::int32_t height, std::uint32_t slack) {
    const std::uint64_t stride = (static_cast<std::uint64_t>(width) * 24 + 31) / 32 * 4;
    const std::uint64_t rows =
        static_cast<std::uint64_t>(height < 0 ? -std::int64_t{height} : height);
    const auto pixels = static_cast<std::uint32_t>(stride * rows);
    const std::uint32_t offset = 54;
    Bytes out = {'B', 'M'};
    appendFields(out,
                 {offset + pixels + slack, 0, offset, 40, static_cast<std::uint32_t>(width),
                  static_cast<std::uint32_t>(height), 1, 24, 0, 0, 0, 0, 0, 0},
                 "44444422444444");
    out.resize(offset + pixels + slack, 0x7F);
    return out;
}

Bytes CarveFixtures::noise(std::size_t count, unsigned seed) {
    std::mt19937 random(seed);
    Bytes out(count);
    for (auto& b : out)
        b = static_cast<std::uint8_t>(random());
    // Keep every boundary free of lead bytes a carver could claim.
    for (std::size_t at = 0; at < count; at += 512)
        out[at] = 0x11;
    return out;
}

void CarveFixtures::place(Bytes& image, std::uint64_t offset, const Bytes& file) {
    if (image.size() < offset + file.size()) image.resize(offset + file.size(), 0);
    std::copy(file.begin(), file.end(), image.begin() + static_cast<std::ptrdiff_t>(offset));
}

Bytes CarveFixtures::withMPF(const Bytes& primary, const Bytes& secondary) {
    // APP2: "MPF\0", then a big-endian TIFF with one directory: version, image count, and the
    // two 16-byte entries, which the builder places right after the directory.
    TIFFBuilder b(false);
    b.setFirst(b.directory({{0xB000, 7, 4, text("0100"), {}},
                            TIFFBuilder::longs(0xB001, {2}),
                            {0xB002, 7, 32, Bytes(32, 0), {}}}));
    const auto& tiffPart = b.data();
    const std::size_t arrayField = tiffPart.size() - 32;
    Bytes payload = {'M', 'P', 'F', 0};
    payload.insert(payload.end(), tiffPart.begin(), tiffPart.end());
    const Bytes app2 = segment(0xE2, payload);
    // The index goes right after SOI; offsets count from the TIFF header inside the payload.
    const std::uint32_t tiffStart = 2 + 4 + 4;
    const auto primarySize = static_cast<std::uint32_t>(primary.size() + app2.size());
    Bytes out = {0xFF, 0xD8};
    out.insert(out.end(), app2.begin(), app2.end());
    out.insert(out.end(), primary.begin() + 2, primary.end());
    const std::size_t array = tiffStart + arrayField;
    putEndian(out, array + 0, 0x20030000, 4, false);
    putEndian(out, array + 4, primarySize, 4, false);
    putEndian(out, array + 16, 0x00010002, 4, false);
    putEndian(out, array + 20, static_cast<std::uint32_t>(secondary.size()), 4, false);
    putEndian(out, array + 24, primarySize - tiffStart, 4, false);
    out.insert(out.end(), secondary.begin(), secondary.end());
    return out;
}

Bytes CarveFixtures::join(std::initializer_list<Bytes> parts) {
    Bytes out;
    for (const auto& part : parts)
        out.insert(out.end(), part.begin(), part.end());
    return out;
}

Bytes CarveFixtures::patched(Bytes bytes, std::size_t offset, std::uint64_t value, int width,
                             bool little) {
    putEndian(bytes, offset, value, width, little);
    return bytes;
}

std::uint32_t CarveFixtures::crc32(ByteSpan bytes) {
    return static_cast<std::uint32_t>(::crc32(0, bytes.data(), static_cast<uInt>(bytes.size())));
}

std::optional<Carved> CarveFixtures::carve(const FormatCarver& carver, const Bytes& source,
                                           std::uint64_t start, std::optional<FileKind> kind) {
    if (!kind && start < source.size())
        kind = carver.sniff(ByteSpan(source).subspan(start).first(
            std::min<std::size_t>(32, source.size() - start)));
    if (!kind) return std::nullopt;
    return carver.carve(DataBlockReader(source), start, *kind);
}

void CarveFixtures::expectCases(const FormatCarver& carver, const std::vector<Case>& cases,
                                std::optional<FileKind> kind) {
    for (const auto& c : cases) {
        const auto carved = carve(carver, c.data, c.start, c.kind ? c.kind : kind);
        EXPECT_EQ(carved ? std::optional(carved->size) : std::nullopt, c.size) << c.name;
        if (carved && c.size) {
            EXPECT_EQ(carved->complete, c.complete) << c.name;
        }
    }
}

std::optional<Bytes> CarveFixtures::produce(const TempDir& dir, const std::string& name,
                                            const std::string& command) {
    const auto path = dir / name;
    if (run("cd '" + dir.path().string() + "' && " + command) != 0) return std::nullopt;
    if (!std::filesystem::exists(path)) return std::nullopt;
    const auto contents = readFile(path);
    if (contents.empty()) return std::nullopt;
    return text(contents);
}

std::string CarveFixtures::slideDocument() {
    return R"(<?xml version="1.0" encoding="UTF-8"?>
<office:document xmlns:office="urn:oasis:names:tc:opendocument:xmlns:office:1.0"
 xmlns:draw="urn:oasis:names:tc:opendocument:xmlns:drawing:1.0"
 xmlns:text="urn:oasis:names:tc:opendocument:xmlns:text:1.0"
 xmlns:presentation="urn:oasis:names:tc:opendocument:xmlns:presentation:1.0"
 xmlns:svg="urn:oasis:names:tc:opendocument:xmlns:svg-compatible:1.0" office:version="1.2"
 office:mimetype="application/vnd.oasis.opendocument.presentation">
<office:body><office:presentation><draw:page draw:name="one"><draw:frame svg:x="2cm" svg:y="2cm"
 svg:width="10cm" svg:height="3cm"><draw:text-box><text:p>Harbour at dawn</text:p></draw:text-box>
</draw:frame></draw:page></office:presentation></office:body></office:document>
)";
}

Bytes CarveFixtures::storedZip(const std::vector<Entry>& entries, const std::string& comment) {
    Bytes out;
    Bytes directory;
    for (const auto& entry : entries) {
        const std::uint64_t offset = out.size(), crc = crc32(text(entry.data)),
                            size = entry.data.size(), name = entry.name.size();
        // Stored, no flags, a fixed DOS time; then the central record for the same entry.
        appendFields(out, {0x04034B50, 20, 0, 0, 0x6000, 0x5A21, crc, size, size, name, 0},
                     "42222244422");
        append(out, entry.name);
        append(out, entry.data);
        appendFields(directory,
                     {0x02014B50, 0x031E, 20, 0, 0, 0x6000, 0x5A21, crc, size, size, name, 0, 0, 0,
                      0, 0, offset},
                     "42222224442222244");
        append(directory, entry.name);
    }
    const std::uint64_t cdOffset = out.size(), count = entries.size();
    out.insert(out.end(), directory.begin(), directory.end());
    appendFields(out, {0x06054B50, 0, 0, count, count, directory.size(), cdOffset, comment.size()},
                 "42222442");
    append(out, comment);
    return out;
}

} // namespace vellary::testing
