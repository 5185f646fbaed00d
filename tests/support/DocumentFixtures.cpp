#include "tests/support/DocumentFixtures.hpp"

#include "core/io/DataBlockReader.hpp"
#include "tests/support/ByteWriters.hpp"
#include "tests/support/CarveFixtures.hpp"

#include <gtest/gtest.h>

#include <array>
#include <filesystem>
#include <random>
#include <zlib.h>

namespace vellary::testing {
namespace {

void appendText(Bytes& b, const std::string& text) {
    b.insert(b.end(), text.begin(), text.end());
}

std::uint32_t crc32(const std::string& data) {
    return static_cast<std::uint32_t>(
        ::crc32(0, reinterpret_cast<const Bytef*>(data.data()), static_cast<uInt>(data.size())));
}

} // namespace

std::optional<Bytes> DocumentFixtures::produce(const TempDir& dir, const std::string& name,
                                               const std::string& command) {
    const auto path = dir / name;
    if (run("cd '" + dir.path().string() + "' && " + command) != 0) return std::nullopt;
    if (!std::filesystem::exists(path)) return std::nullopt;
    const auto text = readFile(path);
    if (text.empty()) return std::nullopt;
    return fromString(text);
}

std::optional<Bytes> DocumentFixtures::office(const TempDir& dir, const std::string& source,
                                              const std::string& content,
                                              const std::string& format) {
    if (!haveTool("libreoffice")) return std::nullopt;
    writeFile(dir / source, content);
    const auto stem = std::filesystem::path(source).stem().string();
    // A private profile, so that tests running side by side do not share one.
    const std::string profile = "file://" + (dir / "lo-profile").string();
    return produce(dir, stem + "." + format,
                   "timeout 180 libreoffice -env:UserInstallation=" + profile +
                       " --headless --convert-to " + format + " '" + source + "' >/dev/null");
}

std::string DocumentFixtures::slideDocument() {
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

Bytes DocumentFixtures::storedZip(const std::vector<Entry>& entries, const std::string& comment) {
    Bytes out;
    Bytes directory;
    for (const auto& entry : entries) {
        const auto offset = static_cast<std::uint32_t>(out.size());
        const auto crc = crc32(entry.data);
        const auto size = static_cast<std::uint32_t>(entry.data.size());
        const auto nameLength = static_cast<std::uint16_t>(entry.name.size());
        appendLE(out, 0x04034B50, 4);
        appendLE(out, 20, 2);
        appendLE(out, 0, 2); // flags
        appendLE(out, 0, 2); // stored
        appendLE(out, 0x6000, 2);
        appendLE(out, 0x5A21, 2);
        appendLE(out, crc, 4);
        appendLE(out, size, 4);
        appendLE(out, size, 4);
        appendLE(out, nameLength, 2);
        appendLE(out, 0, 2);
        appendText(out, entry.name);
        appendText(out, entry.data);

        appendLE(directory, 0x02014B50, 4);
        appendLE(directory, 0x031E, 2);
        appendLE(directory, 20, 2);
        appendLE(directory, 0, 2);
        appendLE(directory, 0, 2);
        appendLE(directory, 0x6000, 2);
        appendLE(directory, 0x5A21, 2);
        appendLE(directory, crc, 4);
        appendLE(directory, size, 4);
        appendLE(directory, size, 4);
        appendLE(directory, nameLength, 2);
        appendLE(directory, 0, 2); // extra
        appendLE(directory, 0, 2); // comment
        appendLE(directory, 0, 2); // disk
        appendLE(directory, 0, 2); // internal attributes
        appendLE(directory, 0, 4); // external attributes
        appendLE(directory, offset, 4);
        appendText(directory, entry.name);
    }
    const auto cdOffset = static_cast<std::uint32_t>(out.size());
    out.insert(out.end(), directory.begin(), directory.end());
    appendLE(out, 0x06054B50, 4);
    appendLE(out, 0, 2);
    appendLE(out, 0, 2);
    appendLE(out, static_cast<std::uint16_t>(entries.size()), 2);
    appendLE(out, static_cast<std::uint16_t>(entries.size()), 2);
    appendLE(out, static_cast<std::uint32_t>(directory.size()), 4);
    appendLE(out, cdOffset, 4);
    appendLE(out, static_cast<std::uint16_t>(comment.size()), 2);
    appendText(out, comment);
    return out;
}

Bytes DocumentFixtures::compoundFile(const std::vector<std::string>& streams,
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

Bytes DocumentFixtures::concat(std::initializer_list<const Bytes*> parts) {
    Bytes out;
    for (const auto* part : parts)
        out.insert(out.end(), part->begin(), part->end());
    return out;
}

std::optional<Carved> DocumentFixtures::carve(const FormatCarver& carver, const Bytes& source,
                                              std::uint64_t start, FileKind kind) {
    const DataBlockReader reader(source);
    return carver.carve(reader, start, kind);
}

int DocumentFixtures::expectSafeOnDamage(const FormatCarver& carver, const Bytes& file,
                                         FileKind kind) {
    int carved = 0;
    const auto check = [&](const Bytes& source, const std::string& what) {
        const auto result = carve(carver, source, 0, kind);
        if (!result) return;
        ++carved;
        EXPECT_GE(result->size, 1u) << what;
        EXPECT_LE(result->size, source.size()) << what;
    };
    for (int cut = 1; cut < 32; ++cut) {
        const auto length = file.size() * static_cast<std::size_t>(cut) / 32;
        check(Bytes(file.begin(), file.begin() + static_cast<std::ptrdiff_t>(length)),
              "cut at " + std::to_string(length));
    }
    check(Bytes(file.begin(), file.end() - 1), "one byte short");
    const auto tail = CarveFixtures::noise(64 * 1024, 11);
    check(concat({&file, &tail}), "followed by random bytes");
    std::mt19937 random(5);
    const std::size_t span = std::min<std::size_t>(file.size(), 4096);
    for (int round = 0; round < 200; ++round) {
        Bytes damaged = file;
        damaged[random() % span] = static_cast<std::uint8_t>(random());
        check(damaged, "damaged header round " + std::to_string(round));
    }
    return carved;
}

} // namespace vellary::testing
