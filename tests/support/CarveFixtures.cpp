#include "tests/support/CarveFixtures.hpp"

#include "tests/support/ByteWriters.hpp"

#include <fstream>
#include <random>

namespace vellary::testing {
namespace {

// Writes a directory at the end of out; long strings go after it. Returns where the value of
// the entry with tag `pointer` sits, so the caller can aim it at a sub-directory.
std::size_t directory(Bytes& out, bool little, const std::vector<CarveFixtures::Tag>& tags,
                      std::uint16_t pointer, std::size_t* pointerField) {
    const std::size_t start = out.size();
    const std::size_t count = tags.size() + (pointerField ? 1 : 0);
    std::size_t extra = start + 2 + count * 12 + 4;
    Bytes strings;
    appendEndian(out, static_cast<std::uint16_t>(count), 2, little);
    for (const auto& tag : tags) {
        const auto length = static_cast<std::uint32_t>(tag.ascii.size() + 1);
        appendEndian(out, tag.tag, 2, little);
        appendEndian(out, 2, 2, little);
        appendEndian(out, length, 4, little);
        if (length <= 4) {
            Bytes inline4(tag.ascii.begin(), tag.ascii.end());
            inline4.resize(4, 0);
            out.insert(out.end(), inline4.begin(), inline4.end());
        } else {
            appendEndian(out, static_cast<std::uint32_t>(extra + strings.size()), 4, little);
            strings.insert(strings.end(), tag.ascii.begin(), tag.ascii.end());
            strings.push_back(0);
        }
    }
    if (pointerField) {
        appendEndian(out, pointer, 2, little);
        appendEndian(out, 4, 2, little);
        appendEndian(out, 1, 4, little);
        *pointerField = out.size();
        appendEndian(out, 0, 4, little);
    }
    appendEndian(out, 0, 4, little);
    out.insert(out.end(), strings.begin(), strings.end());
    return start;
}

} // namespace

Bytes CarveFixtures::tiff(bool little, const std::vector<Tag>& tags,
                          const std::vector<Tag>& exifTags) {
    Bytes out = little ? Bytes{'I', 'I'} : Bytes{'M', 'M'};
    appendEndian(out, 42, 2, little);
    appendEndian(out, 8, 4, little);
    std::size_t field = 0;
    directory(out, little, tags, 0x8769, exifTags.empty() ? nullptr : &field);
    if (!exifTags.empty()) {
        const auto sub = directory(out, little, exifTags, 0, nullptr);
        putEndian(out, field, static_cast<std::uint32_t>(sub), 4, little);
    }
    return out;
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
        at = (at + files[i]->size() + 511) / 512 * 512 + (i % 3) * 512;
    }
    return image;
}

std::optional<Bytes> CarveFixtures::encoded(const TempDir& dir, int width, int height,
                                            bool progressive, unsigned seed) {
    if (!haveTool("cjpeg")) return std::nullopt;
    const auto input = dir / ("picture-" + std::to_string(seed) + ".ppm");
    const auto output = dir / ("picture-" + std::to_string(seed) + ".jpg");
    {
        std::mt19937 random(seed);
        std::ofstream ppm(input, std::ios::binary);
        ppm << "P6\n" << width << " " << height << "\n255\n";
        for (int y = 0; y < height; ++y)
            for (int x = 0; x < width; ++x) {
                const auto n = random() % 48;
                ppm.put(static_cast<char>((x * 255 / width + n) % 256));
                ppm.put(static_cast<char>((y * 255 / height + n) % 256));
                ppm.put(static_cast<char>(((x + y) * 3 + n) % 256));
            }
    }
    const std::string flags = progressive ? "-progressive " : "";
    if (run("cjpeg -quality 85 " + flags + "'" + input.string() + "' > '" + output.string() +
            "'") != 0)
        return std::nullopt;
    const auto text = readFile(output);
    return Bytes(text.begin(), text.end());
}

std::optional<Bytes> CarveFixtures::tagged(const TempDir& dir, const Bytes& jpeg,
                                           const std::string& assignments) {
    if (!haveTool("exiftool")) return std::nullopt;
    const auto path = dir / "tagged.jpg";
    std::filesystem::remove(path);
    writeFile(path, std::string(jpeg.begin(), jpeg.end()));
    if (run("exiftool -q -overwrite_original " + assignments + " '" + path.string() + "'") != 0)
        return std::nullopt;
    const auto text = readFile(path);
    return Bytes(text.begin(), text.end());
}

Bytes CarveFixtures::withMPF(const Bytes& primary, const Bytes& secondary) {
    // APP2: "MPF\0", then a big-endian TIFF with one directory: version, image count, entries.
    Bytes tiffPart = {'M', 'M', 0, 42, 0, 0, 0, 8};
    appendEndian(tiffPart, 3, 2, false);
    const auto entry = [&](std::uint16_t tag, std::uint16_t type, std::uint32_t count,
                           const Bytes& value) {
        appendEndian(tiffPart, tag, 2, false);
        appendEndian(tiffPart, type, 2, false);
        appendEndian(tiffPart, count, 4, false);
        tiffPart.insert(tiffPart.end(), value.begin(), value.end());
    };
    entry(0xB000, 7, 4, {'0', '1', '0', '0'});
    entry(0xB001, 4, 1, {0, 0, 0, 2});
    const std::uint32_t arrayAt = 8 + 2 + 3 * 12 + 4;
    Bytes at;
    appendEndian(at, arrayAt, 4, false);
    entry(0xB002, 7, 32, at);
    appendEndian(tiffPart, 0, 4, false);
    const std::size_t arrayField = tiffPart.size();
    tiffPart.resize(tiffPart.size() + 32, 0);

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

} // namespace vellary::testing
