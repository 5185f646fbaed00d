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
    appendEndian(out, offset + pixels + slack, 4, true);
    appendEndian(out, 0, 4, true);
    appendEndian(out, offset, 4, true);
    appendEndian(out, 40, 4, true);
    appendEndian(out, static_cast<std::uint32_t>(width), 4, true);
    appendEndian(out, static_cast<std::uint32_t>(height), 4, true);
    appendEndian(out, 1, 2, true);
    appendEndian(out, 24, 2, true);
    for (int i = 0; i < 6; ++i)
        appendEndian(out, 0, 4, true);
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

Bytes CarveFixtures::scattered(const std::vector<const Bytes*>& files, unsigned seed,
                               std::vector<std::uint64_t>& starts) {
    std::uint64_t total = 8192;
    for (const auto* file : files)
        total += (file->size() + 511) / 512 * 512 + 3 * 512;
    Bytes image = noise(total + 8192, seed);
    std::uint64_t at = 8192;
    for (std::size_t i = 0; i < files.size(); ++i) {
        place(image, at, *files[i]);
        starts.push_back(at);
        const auto end = at + files[i]->size();
        at = (end + 511) / 512 * 512;
        std::fill(image.begin() + static_cast<std::ptrdiff_t>(end),
                  image.begin() + static_cast<std::ptrdiff_t>(at), 0);
        at += (i % 3) * 512;
    }
    return image;
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

// Little-endian values, each as many bytes wide as its digit in widths.
static void appendFields(Bytes& out, std::initializer_list<std::uint64_t> values,
                         std::string_view widths) {
    auto width = widths.begin();
    for (const auto value : values)
        appendLE(out, value, *width++ - '0');
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

Bytes CarveFixtures::compoundFile(const std::vector<std::string>& streams,
                                  std::uint32_t highestSector, std::uint64_t rootTime,
                                  std::uint32_t fatSectors) {
    constexpr std::size_t kSector = 512;
    constexpr std::uint32_t kPerSector = 128;
    constexpr std::uint32_t kFree = 0xFFFFFFFF;
    constexpr std::uint32_t kEnd = 0xFFFFFFFE;
    // Layout: FAT sectors, DIFAT sectors, directory sectors, then one stream over the rest.
    const std::uint32_t difatSectors =
        fatSectors > 109 ? (fatSectors - 109 + kPerSector - 2) / (kPerSector - 1) : 0;
    const std::uint32_t firstDirectory = fatSectors + difatSectors;
    const auto directorySectors = static_cast<std::uint32_t>((streams.size() + 1 + 3) / 4);
    const std::uint32_t highest = std::max(highestSector, firstDirectory + directorySectors - 1);
    Bytes out((std::size_t{highest} + 2) * kSector, 0);
    const auto sectorAt = [&](std::uint32_t n) { return (std::size_t{n} + 1) * kSector; };

    static constexpr std::uint8_t signature[8] = {0xD0, 0xCF, 0x11, 0xE0, 0xA1, 0xB1, 0x1A, 0xE1};
    std::copy(std::begin(signature), std::end(signature), out.begin());
    putLE(out, 24, 0x3E, 2);
    putLE(out, 26, 3, 2);
    putLE(out, 28, 0xFFFE, 2);
    putLE(out, 30, 9, 2);
    putLE(out, 32, 6, 2);
    putLE(out, 44, fatSectors, 4);
    putLE(out, 48, firstDirectory, 4);
    putLE(out, 56, 4096, 4);
    putLE(out, 60, kEnd, 4); // no mini FAT
    putLE(out, 68, difatSectors > 0 ? fatSectors : kEnd, 4);
    putLE(out, 72, difatSectors, 4);
    for (std::uint32_t i = 0; i < 109; ++i)
        putLE(out, 76 + 4 * i, i < fatSectors ? i : kFree, 4);
    for (std::uint32_t d = 0; d < difatSectors; ++d) {
        const auto at = sectorAt(fatSectors + d);
        for (std::uint32_t i = 0; i + 1 < kPerSector; ++i) {
            const std::uint32_t n = 109 + d * (kPerSector - 1) + i;
            putLE(out, at + 4 * i, n < fatSectors ? n : kFree, 4);
        }
        putLE(out, at + 4 * (kPerSector - 1), d + 1 < difatSectors ? fatSectors + d + 1 : kEnd, 4);
    }

    std::vector<std::uint32_t> fat(std::size_t{fatSectors} * kPerSector, kFree);
    for (std::uint32_t s = 0; s < fatSectors; ++s)
        fat[s] = 0xFFFFFFFD;
    for (std::uint32_t d = 0; d < difatSectors; ++d)
        fat[fatSectors + d] = 0xFFFFFFFC;
    const std::uint32_t lastDirectory = firstDirectory + directorySectors - 1;
    for (std::uint32_t s = firstDirectory; s <= lastDirectory; ++s)
        fat[s] = s == lastDirectory ? kEnd : s + 1;
    for (std::uint32_t s = lastDirectory + 1; s <= highest; ++s)
        fat[s] = s == highest ? kEnd : s + 1;
    for (std::uint32_t s = 0; s < fatSectors; ++s)
        for (std::uint32_t i = 0; i < kPerSector; ++i)
            putLE(out, sectorAt(s) + 4 * i, fat[std::size_t{s} * kPerSector + i], 4);

    std::vector<std::string> names = {"Root Entry"};
    names.insert(names.end(), streams.begin(), streams.end());
    for (std::size_t i = 0; i < names.size(); ++i) {
        const auto entry = sectorAt(firstDirectory) + 128 * i;
        const auto& name = names[i];
        for (std::size_t k = 0; k < name.size(); ++k)
            putLE(out, entry + 2 * k, static_cast<std::uint8_t>(name[k]), 2);
        putLE(out, entry + 64, static_cast<std::uint16_t>(2 * (name.size() + 1)), 2);
        out[entry + 66] = i == 0 ? 5 : 2;
        putLE(out, entry + 68, kFree, 4);
        putLE(out, entry + 72, kFree, 4);
        putLE(out, entry + 76, i == 0 && names.size() > 1 ? 1 : kFree, 4);
        if (i == 0) putLE(out, entry + 108, rootTime, 8);
        putLE(out, entry + 116, i == 0 ? kEnd : lastDirectory + 1, 4);
    }
    for (std::uint32_t s = lastDirectory + 1; s <= highest; ++s)
        for (std::size_t k = 0; k < kSector; ++k)
            out[sectorAt(s) + k] = static_cast<std::uint8_t>('a' + (s + k) % 26);
    return out;
}

} // namespace vellary::testing
